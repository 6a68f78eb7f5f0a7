"""The metadata of random trees: permission bits (all twelve as root), owners and
groups by number, extended attributes (user.* and, as root, trusted.*) and POSIX
ACLs, access and default, written as their raw system.posix_acl_* values; and
the changes of each kind that keep every last-write time.

Rights say what the process making the tree may set: as root any owner, group,
set-id bit and namespace; as a normal user its own trees, its own groups and
user.* attributes only, with modes that leave it able to read its files and to
enter and fill its folders.
"""

import collections
import os
import stat
import struct

from .trees import entries, folders, full, of_kind, random_bytes, set_time, write_file

Rights = collections.namedtuple("Rights", "root uid groups")

ROOT_OWNERS = [0, 1, 1000, 4242, 65534]
ROOT_GROUPS = [0, 5, 1000, 4343, 65534]
# Named entries of ACLs: any number will do, whoever owns the file.
ACL_IDS = [0, 1000, 4242, 65534, 99999]
USER_NAMES = ["user.tag", "user.comment", "user.xdg.origin.url", "user.été", "user.empty"]
TRUSTED_NAMES = ["trusted.overlay.opaque", "trusted.mark"]
ACCESS, DEFAULT = "system.posix_acl_access", "system.posix_acl_default"
# ACL entry tags, in the order the kernel wants them.
USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20
NO_ID = 0xFFFFFFFF
SET_ID = stat.S_ISUID | stat.S_ISGID


def rights_of_this_process():
    if os.geteuid() == 0:
        return Rights(True, 0, ROOT_GROUPS)
    return Rights(False, os.geteuid(), sorted(set(os.getgroups()) | {os.getegid()}))


def is_folder(path):
    return stat.S_ISDIR(os.lstat(path).st_mode)


def random_mode(src, folder):
    rng, perm = src.rng, src.rng.randrange(0o1000)
    if not src.rights.root:
        perm |= 0o700 if folder else 0o400
        return perm | (stat.S_ISVTX if rng.random() < 0.1 else 0)
    if rng.random() < 0.35:
        perm |= rng.choice([stat.S_ISUID, stat.S_ISGID, SET_ID, stat.S_ISVTX, 0o7000])
    return perm


def acl_value(items):
    """items: (tag, permissions, id); sorted as the kernel checks them."""
    items = sorted(items, key=lambda item: (item[0], item[2]))
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *item) for item in items)


def named_entries(rng, at_least_one):
    found = []
    for tag in (USER, GROUP):
        for ident in rng.sample(ACL_IDS, rng.randint(0, 2)):
            found.append((tag, rng.randrange(8), ident))
    if at_least_one and not found:
        found.append((rng.choice([USER, GROUP]), rng.randrange(8), rng.choice(ACL_IDS)))
    return found


def access_value():
    """The least extended access ACL: a named user beside the usual three."""
    return acl_value([(USER_OBJ, 6, NO_ID), (USER, 4, 1000), (GROUP_OBJ, 4, NO_ID),
                      (MASK, 4, NO_ID), (OTHER, 4, NO_ID)])


def access_acl(rng, mode):
    """An extended access ACL that agrees with mode (owner bits, mask as the
    group bits, other bits): setting it leaves the mode as it is."""
    named = named_entries(rng, True)
    return acl_value([(USER_OBJ, (mode >> 6) & 7, NO_ID), (GROUP_OBJ, rng.randrange(8), NO_ID),
                      (MASK, (mode >> 3) & 7, NO_ID), (OTHER, mode & 7, NO_ID)] + named)


def default_acl(src):
    """What a folder's new entries get: its owner may always fill them as a
    normal user, as the modes of the user's trees let it."""
    rng = src.rng
    named = named_entries(rng, False)
    mask = [(MASK, rng.randrange(8), NO_ID)] if named else []
    owner = rng.randrange(4, 8) if src.rights.root else 7
    return acl_value([(USER_OBJ, owner, NO_ID), (GROUP_OBJ, rng.randrange(8), NO_ID),
                      (OTHER, rng.randrange(8), NO_ID)] + named + mask)


def attribute_names(src, link):
    """Links take no user.* attributes on Linux; trusted.* needs root."""
    return (TRUSTED_NAMES if src.rights.root else []) + ([] if link else USER_NAMES)


def attribute_value(src, name):
    if name == "user.empty":
        return b""
    return random_bytes(src.rng, src.rng.choice([1, 8, 60, src.rng.randrange(1, 1200)]))


def set_owner(src, path, link=False):
    rng, rights = src.rng, src.rights
    uid = rng.choice(ROOT_OWNERS) if rights.root else -1
    os.chown(path, uid, rng.choice(rights.groups), follow_symlinks=not link)


def set_attributes(src, path, link):
    names = attribute_names(src, link)
    if names and src.rng.random() < 0.5:
        for name in src.rng.sample(names, src.rng.randint(1, min(3, len(names)))):
            os.setxattr(path, name, attribute_value(src, name), follow_symlinks=False)


def decorate(src, rel, kind):
    """Random metadata for one entry, in an order that keeps it all: owner and
    group (a change of owner clears set-id bits), attributes (a user.* one needs
    a file its owner may write), mode, then ACLs made to agree with the mode."""
    path, rng = full(src, rel), src.rng
    t = os.lstat(path).st_mtime_ns
    set_owner(src, path, kind == "link")
    if kind == "file":
        os.chmod(path, 0o600)
    set_attributes(src, path, kind == "link")
    if kind != "link":
        mode = random_mode(src, kind == "folder")
        os.chmod(path, mode)
        if rng.random() < 0.3:
            os.setxattr(path, ACCESS, access_acl(rng, mode))
        if kind == "folder" and rng.random() < 0.4:
            os.setxattr(path, DEFAULT, default_acl(src))
    set_time(path, t)


def decorate_tree(src):
    """Every entry and the root; at least one file with an access ACL, one folder
    below the root with a default ACL and one entry below it with a user
    attribute, so each tree has them all."""
    found = [("", "folder")] + entries(src.root)
    for rel, kind in found:
        decorate(src, rel, kind)
    files, dirs = of_kind(src.root, "file"), folders(src.root)
    wants = [(files, ACCESS), (dirs[1:], DEFAULT), (files + dirs[1:], USER_NAMES[0])]
    for candidates, name in wants:
        paths = [full(src, rel) for rel in candidates]
        if paths and not any(name in os.listxattr(p) for p in paths):
            path = paths[0]
            value = (access_acl(src.rng, os.lstat(path).st_mode) if name == ACCESS else
                     default_acl(src) if name == DEFAULT else b"made sure")
            kept_time(path, lambda p=path, v=value, n=name: os.setxattr(p, n, v))


def kept_time(path, change):
    """Makes a change and puts the entry's last-write time back; a file its
    owner may not write is made writable for the change (a user.* attribute
    asks it), then given its mode back."""
    st = os.lstat(path)
    lent = stat.S_ISREG(st.st_mode) and not st.st_mode & stat.S_IWUSR and os.geteuid() != 0
    if lent:
        os.chmod(path, stat.S_IMODE(st.st_mode) | stat.S_IWUSR)
    change()
    if lent:
        os.chmod(path, stat.S_IMODE(st.st_mode))
    set_time(path, st.st_mtime_ns)


def pick_entry(src, kinds=("file", "folder")):
    """An entry of the kinds, the root among them; never a name of the data of
    a file whose bytes changed with size and time kept (a metadata change of
    its own would explain its change time, and no mirror then looks at the
    bytes)."""
    groups = file_groups(src) if src.tampered else {}
    kept = {name for rel in src.tampered for name in groups.get(rel, ())}
    found = [(rel, kind) for rel, kind in [("", "folder")] + entries(src.root)
             if kind in kinds and rel not in kept]
    return src.rng.choice(found) if found else (None, None)


def shown(rel):
    return rel or "the root"


def chmod_kept(src):
    rel, kind = pick_entry(src)
    path = full(src, rel)
    mode = random_mode(src, kind == "folder")
    kept_time(path, lambda: os.chmod(path, mode))
    return f"changed the mode of {shown(rel)} to {mode:o}, not its time"


def chown_kept(src):
    """A new owner or group; as root, where the change cleared set-id bits of a
    file, they are given back half the time (chown, then chmod)."""
    rel, kind = pick_entry(src, ("file", "folder", "link"))
    path = full(src, rel)
    mode = stat.S_IMODE(os.lstat(path).st_mode)
    kept_time(path, lambda: set_owner(src, path, kind == "link"))
    st = os.lstat(path)
    again = kind == "file" and stat.S_IMODE(st.st_mode) != mode and src.rng.random() < 0.5
    if again:
        kept_time(path, lambda: os.chmod(path, mode))
    return (f"changed the owner of {shown(rel)} to {st.st_uid}:{st.st_gid}" +
            (f", then its mode back to {mode:o}" if again else "") + ", not its time")


def set_id_kept(src):
    """As root: a set-id bit turned on or off alone."""
    if not src.rights.root:
        return None
    rel, kind = pick_entry(src)
    path = full(src, rel)
    mode = stat.S_IMODE(os.lstat(path).st_mode) ^ src.rng.choice([stat.S_ISUID, stat.S_ISGID])
    kept_time(path, lambda: os.chmod(path, mode))
    return f"changed the set-id bits of {shown(rel)} to {mode:o}, not its time"


def attribute_kept(src):
    """An attribute added, given another value or removed, on a file, folder or
    (as root) link."""
    rel, kind = pick_entry(src, ("file", "folder", "link"))
    path = full(src, rel)
    names = attribute_names(src, kind == "link")
    held = [n for n in os.listxattr(path, follow_symlinks=False) if n in names]
    if held and src.rng.random() < 0.4:
        name = src.rng.choice(held)
        kept_time(path, lambda: os.removexattr(path, name, follow_symlinks=False))
        return f"removed attribute {name} of {shown(rel)}, not its time"
    if not names:
        return None
    name = src.rng.choice(names)
    value = attribute_value(src, name)
    kept_time(path, lambda: os.setxattr(path, name, value, follow_symlinks=False))
    return f"set attribute {name} of {shown(rel)} to {len(value)} bytes, not its time"


def acl_kept(src, which):
    rel, kind = pick_entry(src, ("file", "folder") if which == ACCESS else ("folder",))
    path = full(src, rel)
    if which in os.listxattr(path) and src.rng.random() < 0.4:
        kept_time(path, lambda: os.removexattr(path, which))
        return f"removed {which} of {shown(rel)}, not its time"
    mode = os.lstat(path).st_mode
    value = access_acl(src.rng, mode) if which == ACCESS else default_acl(src)
    kept_time(path, lambda: os.setxattr(path, which, value))
    return f"set {which} of {shown(rel)}, not its time"


def file_groups(src):
    """Each file's path mapped to the names of its data."""
    by_inode = collections.defaultdict(set)
    for rel in of_kind(src.root, "file"):
        by_inode[os.lstat(full(src, rel)).st_ino].add(rel)
    return {rel: frozenset(names) for names in by_inode.values() for rel in names}


def settled_as(src, rel, groups):
    """What a file's twins must still match for rsync to take it as done."""
    st = os.lstat(full(src, rel))
    return groups[rel], st.st_size, st.st_mtime_ns


def content_kept(src, before):
    """Other bytes of the same size with the time kept, as taggers write them:
    talven copies the file again (its change time is later), rsync's quick
    check does not, so the comparison checks it against the source instead.
    Only a file that the other changes left where it was, with the names of
    its data, and whose twins the destinations' changes left alone (rsync
    copies the others anyway), so a tree may have none."""
    files = [rel for rel in of_kind(src.root, "file") if os.lstat(full(src, rel)).st_size]
    groups = file_groups(src)
    files = [rel for rel in files if src.settled.get(rel) == settled_as(src, rel, groups) and
             all(before.get(name) == os.lstat(full(src, name)).st_ino for name in groups[rel])]
    if not files:
        return None
    rel = src.rng.choice(files)
    path = full(src, rel)
    size = os.lstat(path).st_size
    kept_time(path, lambda: write_file(path, random_bytes(src.rng, size)))
    src.tampered.add(rel)
    return f"changed the bytes of {rel}, not its size nor its time"


def decorate_new(src, before):
    """Entries the structural changes made get random metadata half the time."""
    found = [(rel, kind) for rel, kind in entries(src.root) if rel not in before]
    done = [rel for rel, kind in found if src.rng.random() < 0.5]
    for rel, kind in found:
        if rel in done:
            decorate(src, rel, kind)
    return f"gave metadata to new entries {', '.join(done)}" if done else None


METADATA_CHANGES = [chmod_kept, chown_kept, set_id_kept, attribute_kept,
                    lambda src: acl_kept(src, ACCESS), lambda src: acl_kept(src, DEFAULT)]


def change_metadata(src, before):
    """After the source's other changes (before: each path's inode before them):
    new entries decorated, two files (where the tree has them) whose bytes
    change with size and time kept, and about half of the metadata changes
    made once or twice each, on other entries."""
    done = [decorate_new(src, before)]
    done += [content_kept(src, before) for _ in range(2)]
    for change in METADATA_CHANGES:
        for _ in range(src.rng.choice([0, 0, 1, 2])):
            done.append(change(src))
    return [line for line in done if line]
