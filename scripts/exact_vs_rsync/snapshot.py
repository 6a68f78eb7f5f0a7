"""Snapshots of a tree and the differences between two of them.

A snapshot maps each relative path ("" for the root) to an Entry read with
lstat, never through a link: its kind, time, bytes or link target, its metadata
(permission bits, owner and group by number, every extended attribute this
process may read, ACLs among them as their system.posix_acl_* values, sorted by
name), and its identity (device, inode, link count, change time) for the checks
that nothing changed.
"""

import collections
import hashlib
import os
import stat

Entry = collections.namedtuple("Entry",
                               "kind mtime data target dev ino nlink mode uid gid xattrs ctime")


def attributes(path):
    names = sorted(os.listxattr(path, follow_symlinks=False))
    return tuple((name, os.getxattr(path, name, follow_symlinks=False)) for name in names)


def read_entry(path):
    st = os.lstat(path)
    kind, data, target = "other", None, None
    if stat.S_ISLNK(st.st_mode):
        kind, target = "link", os.readlink(path)
    elif stat.S_ISDIR(st.st_mode):
        kind = "folder"
    elif stat.S_ISREG(st.st_mode):
        kind = "file"
        with open(path, "rb") as f:
            data = f.read()
    return Entry(kind, st.st_mtime_ns, data, target, st.st_dev, st.st_ino, st.st_nlink,
                 stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, attributes(path),
                 st.st_ctime_ns)


def snapshot(root, leave_out=()):
    """leave_out: names at the top of root that the snapshot skips."""
    found = {}

    def visit(rel, path):
        found[rel] = entry = read_entry(path)
        if entry.kind != "folder":
            return
        for name in sorted(os.listdir(path)):
            if rel or name not in leave_out:
                visit(f"{rel}/{name}" if rel else name, os.path.join(path, name))

    visit("", root)
    return found


def shown(rel):
    return rel or "."


def describe_bytes(data):
    return f"{len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()[:16]}"


def hard_link_groups(tree):
    """Maps each file's path to the set of paths that share its data."""
    by_identity = collections.defaultdict(set)
    for rel, entry in tree.items():
        if entry.kind == "file":
            by_identity[(entry.dev, entry.ino)].add(rel)
    return {rel: frozenset(group) for group in by_identity.values() for rel in group}


def describe_value(value):
    if value is None:
        return "missing"
    if len(value) <= 24:
        return repr(value)
    return describe_bytes(value)


def attribute_differences(rel, a, b):
    """One difference per attribute name that differs, with both values."""
    a, b = dict(a), dict(b)
    return [(rel, f"attribute {name}", describe_value(a.get(name)), describe_value(b.get(name)))
            for name in sorted(set(a) | set(b)) if a.get(name) != b.get(name)]


def metadata_differences(rel, a, b):
    """Mode of files and folders (a link's is always 777), owner, group and
    attributes of every kind."""
    found = []
    if a.kind != "link" and a.mode != b.mode:
        found.append((rel, "mode", f"{a.mode:o}", f"{b.mode:o}"))
    if a.uid != b.uid:
        found.append((rel, "owner", a.uid, b.uid))
    if a.gid != b.gid:
        found.append((rel, "group", a.gid, b.gid))
    return found + attribute_differences(rel, a.xattrs, b.xattrs)


def entry_differences(rel, a, b, unit=1, bytes_too=True):
    """What differs between two entries of one path, as (path, what, a, b);
    times are compared in units of unit nanoseconds."""
    if a.kind != b.kind:
        return [(rel, "type", a.kind, b.kind)]
    found = metadata_differences(rel, a, b)
    if a.kind == "file" and a.data != b.data and bytes_too:
        found.append((rel, "bytes", describe_bytes(a.data), describe_bytes(b.data)))
    if a.kind == "link" and a.target != b.target:
        found.append((rel, "link target", repr(a.target), repr(b.target)))
    if a.mtime // unit != b.mtime // unit:
        what = {"file": "time", "link": "link time", "folder": "folder time"}.get(a.kind, "time")
        found.append((rel, what, a.mtime, b.mtime))
    return found


def mirror_differences(a, b, unit=1, bytes_apart=()):
    """The differences between two mirrors, or a mirror and its source, as
    (path, what, value in a, value in b): paths, types, bytes (but of the paths
    in bytes_apart), link targets, times of files, links and folders (the
    root's too), their metadata, and the partition of files into hard-link
    groups."""
    found = []
    for rel in sorted(set(a) | set(b)):
        if rel not in b:
            found.append((shown(rel), "presence", a[rel].kind, "missing"))
        elif rel not in a:
            found.append((shown(rel), "presence", "missing", b[rel].kind))
        else:
            found += entry_differences(shown(rel), a[rel], b[rel], unit, rel not in bytes_apart)
    groups_a, groups_b = hard_link_groups(a), hard_link_groups(b)
    told = set()
    for rel in sorted(set(groups_a) & set(groups_b)):
        pair = (groups_a[rel], groups_b[rel])
        if pair[0] != pair[1] and pair not in told:
            told.add(pair)
            found.append((rel, "hard-link group", sorted(pair[0]), sorted(pair[1])))
    return found


def changes(before, after):
    """Everything that changed in one tree between two snapshots, identities
    (inode, device, link count, change time) too, as (path, what, before,
    after): a change time that moved tells of a change made to the same value."""
    found = []
    for rel in sorted(set(before) | set(after)):
        if rel not in after:
            found.append((shown(rel), "presence", before[rel].kind, "missing"))
        elif rel not in before:
            found.append((shown(rel), "presence", "missing", after[rel].kind))
        else:
            found += entry_differences(shown(rel), before[rel], after[rel])
            for field in ("ino", "dev", "nlink", "ctime"):
                old, new = getattr(before[rel], field), getattr(after[rel], field)
                if old != new and before[rel].kind == after[rel].kind:
                    found.append((shown(rel), field, old, new))
    return found
