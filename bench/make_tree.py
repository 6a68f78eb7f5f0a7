#!/usr/bin/env python3
"""Makes the deterministic folder trees the benchmark mirrors.

The same arguments always give the same tree: the same folders, file names,
sizes, contents and last-write times (whole seconds, so every tool and every
file system keeps them exactly). Only the standard library is used.

  make_tree.py tree ROOT --files N --folders F --max-size BYTES [--seed S]
                   [--links PERCENT] [--hardlinks PERCENT] [--xattrs PERCENT]
  make_tree.py large ROOT --count N --size-mib M [--seed S]
  make_tree.py mutate ROOT --percent P --max-size BYTES [--seed S]
  make_tree.py sparse ROOT --size-mib M --data-kib K [--seed S]
  make_tree.py evict ROOT

With --links and --hardlinks, N counts every name: that share of them are
symbolic links (relative; most to files, some to folders, a few broken) and
second names of files in other folders, and every folder gets its own time.
With --xattrs, that share of the files carry an extended attribute of the user
namespace (a tag of 16 to 64 bytes) and another permission mode (0600 or 0755).
"""

import argparse
import os
import random
import stat
import sys

POOL_SIZE = 1 << 20
BASE_TIME = 1_600_000_000  # 2020-09-13: old enough that every later touch is newer
TIME_SPREAD = 365 * 86400
TOUCH_STEP = 86400
FANOUT = 10
# Shares of the symbolic links that point to a folder and that point nowhere;
# the others point to files.
FOLDER_LINKS = 0.08
BROKEN_LINKS = 0.02


def make_pool(seed):
    """Returns incompressible bytes that every file takes a slice of."""
    rng = random.Random(f"pool-{seed}")
    return rng.randbytes(POOL_SIZE * 2)


def folder_path(number):
    """Folders are numbered from 1; folder k lies in folder (k - 1) // FANOUT,
    and folder 0 is the root, so 1,000 folders nest three levels deep."""
    parts = []
    while number > 0:
        parts.append(f"d{number}")
        number = (number - 1) // FANOUT
    return os.path.join(*reversed(parts))


def write_file(path, size, pool, rng, mtime):
    offset = rng.randrange(POOL_SIZE)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        while size > 0:
            chunk = min(size, POOL_SIZE)
            os.write(fd, pool[offset:offset + chunk])
            size -= chunk
    finally:
        os.close(fd)
    os.utime(path, ns=(mtime * 10**9, mtime * 10**9))


def write_files(root, files, folders, max_size, seed):
    """Writes the files of a tree; returns its folders and its files' paths."""
    rng = random.Random(f"tree-{seed}")
    pool = make_pool(seed) if max_size > 0 else b""
    os.makedirs(root, exist_ok=True)
    paths = [os.path.join(root, folder_path(k)) for k in range(1, folders + 1)]
    for path in paths:
        os.makedirs(path, exist_ok=True)
    names = []
    for i in range(files):
        folder = paths[i * folders // files]
        size = rng.randint(0, max_size)
        mtime = BASE_TIME + rng.randrange(TIME_SPREAD)
        names.append(os.path.join(folder, f"f{i:07d}.dat"))
        write_file(names[-1], size, pool, rng, mtime)
    return paths, names


def link_target(rng, folder, folders, files, j):
    """The relative target of a new link in folder: a file, a folder that does
    not hold the link (no loop for a tool that follows links), or nothing."""
    kind = rng.random()
    if kind < BROKEN_LINKS:
        return f"gone{j}/f{j:07d}.dat"
    if kind < BROKEN_LINKS + FOLDER_LINKS:
        while True:
            target = rng.choice(folders)
            if not (folder + os.sep).startswith(target + os.sep):
                return os.path.relpath(target, folder)
    return os.path.relpath(rng.choice(files), folder)


def add_links(folders, files, links, hardlinks, seed):
    """Spreads symbolic links and second names of files over the folders, then
    gives every folder its time, deepest first."""
    rng = random.Random(f"links-{seed}")
    for j in range(links):
        folder = folders[j * len(folders) // links]
        path = os.path.join(folder, f"l{j:07d}")
        os.symlink(link_target(rng, folder, folders, files, j), path)
        mtime = (BASE_TIME + rng.randrange(TIME_SPREAD)) * 10**9
        os.utime(path, ns=(mtime, mtime), follow_symlinks=False)
    for j in range(hardlinks):
        folder = folders[j * len(folders) // hardlinks]
        original = rng.choice(files)
        while os.path.dirname(original) == folder:
            original = rng.choice(files)
        os.link(original, os.path.join(folder, f"h{j:07d}.dat"))
    for folder in sorted(folders, key=lambda path: -path.count(os.sep)):
        mtime = (BASE_TIME + rng.randrange(TIME_SPREAD)) * 10**9
        os.utime(folder, ns=(mtime, mtime))


def add_attributes(files, percent, seed):
    """Gives that share of the files a user.* attribute and a mode of their own,
    keeping their last-write times."""
    rng = random.Random(f"xattrs-{seed}")
    for path in files:
        if rng.random() * 100 >= percent:
            continue
        os.setxattr(path, "user.talven.tag", rng.randbytes(rng.randint(16, 64)))
        os.chmod(path, rng.choice((0o600, 0o755)))


def make_tree(root, files, folders, max_size, seed, links_percent=0, hardlinks_percent=0,
              xattrs_percent=0):
    links = round(files * links_percent / 100)
    hardlinks = round(files * hardlinks_percent / 100)
    regular = files - links - hardlinks
    if (links or hardlinks) and (regular < 2 or folders < 2):
        sys.exit("tree: links and second names need two folders and two files at least")
    paths, names = write_files(root, regular, folders, max_size, seed)
    if xattrs_percent:
        add_attributes(names, xattrs_percent, seed)
    if not (links or hardlinks):
        print(f"made {files} files of 0..{max_size} bytes in {folders} folders under {root}")
        return
    add_links(paths, names, links, hardlinks, seed)
    print(f"made {regular} files of 0..{max_size} bytes, {links} symbolic links and "
          f"{hardlinks} second names of files in {folders} folders under {root}")


def make_large(root, count, size_mib, seed):
    rng = random.Random(f"large-{seed}")
    pool = make_pool(seed)
    os.makedirs(root, exist_ok=True)
    for i in range(count):
        mtime = BASE_TIME + rng.randrange(TIME_SPREAD)
        write_file(os.path.join(root, f"large{i}.bin"), size_mib << 20, pool, rng, mtime)
    print(f"made {count} files of {size_mib} MiB under {root}")


def make_sparse(root, size_mib, data_kib, seed):
    """One file of size_mib MiB holding data_kib KiB of data in its middle and
    holes elsewhere, as a virtual machine's disk or a database file does."""
    rng = random.Random(f"sparse-{seed}")
    pool = make_pool(seed)
    os.makedirs(root, exist_ok=True)
    path = os.path.join(root, "disk.img")
    size, data = size_mib << 20, data_kib << 10
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.pwrite(fd, pool[:data], size // 2)
        os.ftruncate(fd, size)
    finally:
        os.close(fd)
    mtime = BASE_TIME + rng.randrange(TIME_SPREAD)
    os.utime(path, ns=(mtime * 10**9, mtime * 10**9))
    print(f"made a {size_mib} MiB file holding {data_kib} KiB of data under {root}")


def list_files(root):
    found = []
    for directory, subdirectories, names in os.walk(root):
        subdirectories.sort()
        found.extend(os.path.join(directory, name) for name in sorted(names))
    return found


def mutate(root, percent, max_size, seed):
    """Touches, deletes and adds percent of the files each: touched files get a
    later time (contents unchanged), added files go beside existing ones."""
    rng = random.Random(f"mutate-{seed}")
    files = list_files(root)
    n = max(1, round(len(files) * percent / 100))
    if 2 * n > len(files):
        sys.exit(f"mutate: {root} has too few files ({len(files)}) for {percent}%")
    chosen = rng.sample(files, 2 * n)
    for path in chosen[:n]:
        mtime = os.stat(path).st_mtime_ns + TOUCH_STEP * 10**9
        os.utime(path, ns=(mtime, mtime))
    for path in chosen[n:]:
        os.unlink(path)
    pool = make_pool(seed)
    beside = rng.sample(files, n)
    for i, neighbour in enumerate(beside):
        path = os.path.join(os.path.dirname(neighbour), f"n{i:07d}.dat")
        mtime = BASE_TIME + TIME_SPREAD + rng.randrange(TOUCH_STEP)
        write_file(path, rng.randint(0, max_size), pool, rng, mtime)
    print(f"touched {n}, deleted {n}, added {n} files under {root}")


def evict(root):
    """Drops the cached pages of every file under root (written back already):
    trees kept until the end of a case then do not crowd the page cache, and a
    source is read from the disk by the next tool. Only regular files are
    opened, read-only: links, pipes and devices of a real tree are passed over,
    and a file that cannot be opened keeps its pages."""
    for path in list_files(root):
        try:
            if not stat.S_ISREG(os.lstat(path).st_mode):
                continue
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    tree = commands.add_parser("tree")
    tree.add_argument("--files", type=int, required=True)
    tree.add_argument("--folders", type=int, required=True)
    tree.add_argument("--max-size", type=int, required=True)
    large = commands.add_parser("large")
    large.add_argument("--count", type=int, required=True)
    large.add_argument("--size-mib", type=int, required=True)
    change = commands.add_parser("mutate")
    change.add_argument("--percent", type=float, required=True)
    change.add_argument("--max-size", type=int, required=True)
    holes = commands.add_parser("sparse")
    holes.add_argument("--size-mib", type=int, required=True)
    holes.add_argument("--data-kib", type=int, required=True)
    tree.add_argument("--links", type=float, default=0)
    tree.add_argument("--hardlinks", type=float, default=0)
    tree.add_argument("--xattrs", type=float, default=0)
    drop = commands.add_parser("evict")
    for command in (tree, large, change, holes):
        command.add_argument("--seed", type=int, default=6)
    for command in (tree, large, change, holes, drop):
        command.add_argument("root")
    args = parser.parse_args()
    if args.command == "tree":
        if args.files < 1 or args.folders < 1:
            sys.exit("tree: --files and --folders must be at least 1")
        if not (0 <= args.links and 0 <= args.hardlinks and args.links + args.hardlinks < 100):
            sys.exit("tree: --links and --hardlinks are shares of the files, below 100 together")
        if not 0 <= args.xattrs <= 100:
            sys.exit("tree: --xattrs is a share of the files, from 0 to 100")
        make_tree(args.root, args.files, args.folders, args.max_size, args.seed, args.links,
                  args.hardlinks, args.xattrs)
    elif args.command == "large":
        make_large(args.root, args.count, args.size_mib, args.seed)
    elif args.command == "mutate":
        mutate(args.root, args.percent, args.max_size, args.seed)
    elif args.command == "sparse":
        if not 0 < args.data_kib << 10 <= (args.size_mib << 20) // 2:
            sys.exit("sparse: --data-kib must be above 0 and fit the second half of the file")
        make_sparse(args.root, args.size_mib, args.data_kib, args.seed)
    else:
        evict(args.root)


if __name__ == "__main__":
    main()
