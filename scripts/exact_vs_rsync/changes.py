"""What happens to a tree between two mirrors: changes to the source, and
changes made alike to both destinations.

Each change picks its entries from a sorted listing with the tree's random
source and returns a line that says what it did (None where the tree holds
nothing it applies to), so a failing seed tells what preceded the failure.
"""

import os
import shutil
import stat

from .trees import (add_file, add_folder, add_link, add_random_entry, deepest_first, entries,
                    folder_times, folders, full, join, new_name, of_kind, random_bytes,
                    random_time, set_folder_times, set_time, time_step, write_file)


def pick(src, kind, exclude_root=True):
    found = folders(src.root) if kind == "folder" else of_kind(src.root, kind)
    if kind == "folder" and exclude_root:
        found = found[1:]
    return src.rng.choice(found) if found else None


def mtime(path):
    return os.lstat(path).st_mtime_ns


def rename_file(src):
    rel = pick(src, "file")
    if rel is None:
        return None
    to = join(src.rng.choice(folders(src.root)), new_name(src, "r"))
    os.rename(full(src, rel), full(src, to))
    return f"renamed file {rel} to {to}"


def rename_folder(src):
    rel = pick(src, "folder")
    if rel is None:
        return None
    parents = [f for f in folders(src.root) if f != rel and not f.startswith(rel + "/")]
    to = join(src.rng.choice(parents), new_name(src, "r"))
    os.rename(full(src, rel), full(src, to))
    return f"renamed folder {rel} to {to}"


def restore_older(src):
    """An older version put back, as from an archive: other bytes (often of the
    same size) and an earlier time, in place, so hard links share it."""
    rel = pick(src, "file")
    if rel is None:
        return None
    path = full(src, rel)
    old = os.lstat(path)
    size = old.st_size if src.rng.random() < 0.5 else None
    write_file(path, random_bytes(src.rng, size))
    set_time(path, old.st_mtime_ns - time_step(src.rng))
    return f"restored an older version of {rel}"


def update_newer(src):
    rel = pick(src, "file")
    if rel is None:
        return None
    path = full(src, rel)
    t = mtime(path)
    write_file(path, random_bytes(src.rng))
    set_time(path, t + time_step(src.rng))
    return f"updated {rel}"


def resize_same_time(src):
    rel = pick(src, "file")
    if rel is None:
        return None
    path = full(src, rel)
    old = os.lstat(path)
    write_file(path, random_bytes(src.rng, (old.st_size + 1 + src.rng.randrange(50)) % 3073))
    set_time(path, old.st_mtime_ns)
    return f"changed the size of {rel}, not its time"


def file_to_link(src):
    rel = pick(src, "file")
    if rel is None:
        return None
    os.unlink(full(src, rel))
    folder, _, name = rel.rpartition("/")
    add_link(src, folder, name=name)
    return f"turned file {rel} into a link"


def link_to_file(src):
    rel = pick(src, "link")
    if rel is None:
        return None
    os.unlink(full(src, rel))
    write_file(full(src, rel), random_bytes(src.rng))
    set_time(full(src, rel), random_time(src.rng))
    return f"turned link {rel} into a file"


def folder_to_file(src):
    rel = pick(src, "folder")
    if rel is None:
        return None
    shutil.rmtree(full(src, rel))
    write_file(full(src, rel), random_bytes(src.rng))
    set_time(full(src, rel), random_time(src.rng))
    return f"turned folder {rel} into a file"


def file_to_folder(src):
    rel = pick(src, "file")
    if rel is None:
        return None
    os.unlink(full(src, rel))
    os.mkdir(full(src, rel))
    if src.rng.random() < 0.5:
        add_file(src, rel)
    return f"turned file {rel} into a folder"


def delete_file(src):
    rel = pick(src, "file")
    if rel is None:
        return None
    os.unlink(full(src, rel))
    return f"deleted {rel}"


def join_hard_link(src):
    """A name joins a group: a new name, or a file that was apart replaced by a
    link to the group's data."""
    rel = pick(src, "file")
    if rel is None:
        return None
    others = [f for f in of_kind(src.root, "file")
              if not os.path.samefile(full(src, f), full(src, rel))]
    if others and src.rng.random() < 0.5:
        other = src.rng.choice(others)
        os.unlink(full(src, other))
        os.link(full(src, rel), full(src, other))
        return f"replaced {other} by a hard link to {rel}"
    to = join(src.rng.choice(folders(src.root)), new_name(src, "h"))
    os.link(full(src, rel), full(src, to))
    return f"added hard link {to} to {rel}"


def leave_hard_link(src):
    """A member leaves its group: deleted, or made a file of its own whose time
    differs from the group's, as a copy and a rename would leave it."""
    members = [f for f in of_kind(src.root, "file") if os.lstat(full(src, f)).st_nlink > 1]
    if not members:
        return None
    rel = src.rng.choice(members)
    path = full(src, rel)
    if src.rng.random() < 0.5:
        os.unlink(path)
        return f"deleted hard link {rel}"
    with open(path, "rb") as f:
        data = f.read()
    t = mtime(path)
    os.unlink(path)
    write_file(path, data)
    set_time(path, t + time_step(src.rng))
    return f"made hard link {rel} a file of its own"


def retarget_link(src):
    rel = pick(src, "link")
    if rel is None:
        return None
    t = mtime(full(src, rel))
    os.unlink(full(src, rel))
    folder, _, name = rel.rpartition("/")
    add_link(src, folder, name=name)
    if src.rng.random() < 0.5:
        set_time(full(src, rel), t)  # the target alone tells the change
    return f"gave link {rel} another target"


def touch_link(src):
    rel = pick(src, "link")
    if rel is None:
        return None
    path = full(src, rel)
    set_time(path, mtime(path) + src.rng.choice([-1, 1]) * time_step(src.rng))
    return f"changed the time of link {rel} alone"


def add_entries(src):
    made = [add_random_entry(src, src.rng.choice(folders(src.root)))
            for _ in range(src.rng.randint(1, 3))]
    if src.rng.random() < 0.3:
        made.append(add_folder(src, src.rng.choice(folders(src.root))))  # stays empty
    return "added " + ", ".join(made)


SOURCE_CHANGES = [rename_file, rename_folder, restore_older, update_newer, resize_same_time,
                  file_to_link, link_to_file, folder_to_file, file_to_folder, delete_file,
                  join_hard_link, leave_hard_link, retarget_link, touch_link, add_entries]


def change_source(src):
    """Applies about half of the changes, in a random order; the source keeps at
    least one file (a source without files stops a mirror before it deletes),
    and its folders get their times again once their content is done."""
    before = folder_times(src.root)
    chosen = [change for change in SOURCE_CHANGES if src.rng.random() < 0.5]
    src.rng.shuffle(chosen)
    done = [change(src) for change in chosen]
    if not of_kind(src.root, "file"):
        done.append("added " + add_file(src, ""))
    set_folder_times(src, before)
    return [line for line in done if line]


def only_in_destination(dst):
    """A folder the source never had, with files, a subfolder and a link to the
    canary: removing it must not follow the link."""
    rel = add_folder(dst, dst.rng.choice(folders(dst.root)))
    add_file(dst, rel)
    add_file(dst, add_folder(dst, rel))
    os.symlink(dst.canary, full(dst, join(rel, "to-canary")))
    add_file(dst, dst.rng.choice(folders(dst.root)))
    return f"made folder {rel} in the destinations alone"


def twin_made_newer(dst):
    rel = pick(dst, "file")
    if rel is None:
        return None
    path = full(dst, rel)
    set_time(path, mtime(path) + time_step(dst.rng))
    return f"made destination file {rel} newer than the source's"


def group_broken(dst):
    """A destination group split, every byte and time kept: only the links tell."""
    members = [f for f in of_kind(dst.root, "file") if os.lstat(full(dst, f)).st_nlink > 1]
    if not members:
        return None
    rel = dst.rng.choice(members)
    path = full(dst, rel)
    copy_apart(path, path + ".split")
    os.rename(path + ".split", path)
    return f"split destination hard link {rel} from its group"


def copy_apart(path, to):
    """A copy with everything of the file but its inode, as a mirror must not
    tell it from the original but by its links (a mirror reads attributes and
    ACLs again only where the source changed after its twin): bytes, owner and
    group (the owner where the process may), attributes while the copy may
    still be written, mode, ACLs, then time."""
    st = os.lstat(path)
    with open(path, "rb") as f:
        write_file(to, f.read())
    os.chown(to, st.st_uid if os.geteuid() == 0 else -1, st.st_gid)
    names = os.listxattr(path)
    for name in set(os.listxattr(to)) - set(names):
        os.removexattr(to, name)  # an ACL the folder's default ACL gave the copy
    acls = [n for n in names if n.startswith("system.posix_acl_")]
    for name in [n for n in names if n not in acls]:
        os.setxattr(to, name, os.getxattr(path, name))
    os.chmod(to, stat.S_IMODE(st.st_mode))
    for name in acls:
        os.setxattr(to, name, os.getxattr(path, name))
    set_time(to, st.st_mtime_ns)


def swapped_for_link(dst):
    """A destination entry replaced by a link to the canary (a folder, or the
    file in it): the mirror must replace the link, never write through it."""
    entry = dst.rng.choice([e for e in entries(dst.root) if e[1] != "link"] or [None])
    if entry is None:
        return None
    rel, kind = entry
    path = full(dst, rel)
    if kind == "folder":
        shutil.rmtree(path)
        os.symlink(dst.canary, path)
    else:
        os.unlink(path)
        os.symlink(os.path.join(dst.canary, "keep.txt"), path)
    return f"replaced destination {kind} {rel} by a link to the canary"


DESTINATION_CHANGES = [only_in_destination, twin_made_newer, group_broken, swapped_for_link]


def change_destination(dst):
    """Changes one destination; made with the same seed on two equal
    destinations, it leaves them equal (folder times too: each folder gets back
    the time it had, a new one a random time)."""
    before = folder_times(dst.root)
    chosen = [only_in_destination] + [c for c in DESTINATION_CHANGES[1:]
                                       if dst.rng.random() < 0.5]
    done = [change(dst) for change in chosen]
    for rel in deepest_first(folders(dst.root)):
        set_time(full(dst, rel), before[rel] if rel in before else random_time(dst.rng))
    return [line for line in done if line]
