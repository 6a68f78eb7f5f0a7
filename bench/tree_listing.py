#!/usr/bin/env python3
"""Lists what a mirror of a tree must hold, one sorted line a name, so that two
trees agree when their listings do. Only the standard library is used.

  tree_listing.py ROOT --as exact|default|metadata

exact: ROOT's time and every name under it with its type, its time (in
100 ns), a file's size, bytes and the first of the names it shares with other
files of the tree, a link's target. default: what a run without --exact makes of the tree: links
to files listed as the files they lead to, links to folders and broken links
left out, no folders and no shared names. metadata: each name's mode, owner,
group and extended attributes (a link's owner and group only).
"""

import argparse
import hashlib
import os
import stat


def digest(path):
    with open(path, "rb") as source:
        return hashlib.blake2b(source.read(), digest_size=16).hexdigest()


def walk(root, relative=""):
    """Yields (relative path, lstat) of every name under root, sorted, without
    following any link."""
    with os.scandir(os.path.join(root, relative)) as entries:
        names = sorted(entry.name for entry in entries)
    for name in names:
        path = os.path.join(relative, name)
        info = os.lstat(os.path.join(root, path))
        yield path, info
        if stat.S_ISDIR(info.st_mode):
            yield from walk(root, path)


def metadata(full, info):
    """Mode, owner, group and the extended attributes of one name, never followed."""
    owners = f"{info.st_uid}:{info.st_gid}"
    if stat.S_ISLNK(info.st_mode):
        return owners
    items = sorted((name, os.getxattr(full, name, follow_symlinks=False).hex())
                   for name in os.listxattr(full, follow_symlinks=False))
    return f"{stat.S_IMODE(info.st_mode):o} {owners} {items}"


def listing(root, kind):
    """Prints the listing of root of the kind named (see above)."""
    if kind == "metadata":
        print(f". {metadata(root, os.lstat(root))}")
        for path, info in walk(root):
            print(f"{path} {metadata(os.path.join(root, path), info)}")
        return
    rows, groups = [], {}
    if kind == "exact":
        rows.append((".", f"d {os.stat(root).st_mtime_ns // 100}"))
    for path, info in walk(root):
        full = os.path.join(root, path)
        if kind == "default":
            try:
                info = os.stat(full)
            except OSError:
                continue
            if stat.S_ISREG(info.st_mode):
                rows.append((path, f"f {info.st_size} {info.st_mtime_ns // 100} {digest(full)}"))
            continue
        time = info.st_mtime_ns // 100
        if stat.S_ISDIR(info.st_mode):
            rows.append((path, f"d {time}"))
        elif stat.S_ISLNK(info.st_mode):
            rows.append((path, f"l {time} -> {os.readlink(full)}"))
        elif stat.S_ISREG(info.st_mode):
            groups.setdefault((info.st_dev, info.st_ino), []).append(path)
            rows.append((path, f"f {info.st_size} {time} {digest(full)}",
                         (info.st_dev, info.st_ino)))
        else:
            rows.append((path, "other"))
    for row in rows:
        group = groups.get(row[2], []) if len(row) > 2 else []
        shared = f" names {min(group)}" if len(group) > 1 else ""
        print(f"{row[0]} {row[1]}{shared}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--as", dest="kind", choices=("exact", "default", "metadata"), required=True)
    parser.add_argument("root")
    args = parser.parse_args()
    listing(args.root, args.kind)


if __name__ == "__main__":
    main()
