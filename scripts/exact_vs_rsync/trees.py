"""Random source trees: files, links of every kind, hard-link groups, empty and
nested folders, with random times down to the nanosecond.

Everything is drawn from the tree's own random.Random, and every listing is
sorted, so one seed gives the same tree on every machine.
"""

import os
import stat

# Names with spaces, a leading dash, letters beyond ASCII and case twins: a tree
# name is never an argument, and the mirror must keep every byte of it.
STEMS = ["a", "B", "b", "notes", "Notes", "photo 1", "été", "日本", "-dash", "x.y",
         "long-" + "n" * 60]
TIME_LOW = 315_532_800 * 10**9  # 1980
TIME_HIGH = 2_145_916_800 * 10**9  # 2038
# Two versions of one entry differ by at least this much: the mirror may compare
# times in 100-ns units (the finest a Windows time holds), while it must keep
# every copied time to the nanosecond.
STEP_NS = 100
LINK_KINDS = ["file", "folder", "broken", "absolute", "absolute-folder", "odd"]


class Source:
    """The tree being made: where it is, its random source and a counter that
    keeps every name it hands out unique."""

    def __init__(self, root, rng, canary, counter=0, rights=None):
        self.root = root
        self.rng = rng
        self.canary = canary  # a folder beside the trees that no run may change
        self.counter = counter
        self.rights = rights  # what metadata the process may set (metadata.Rights)
        self.tampered = set()  # files whose bytes changed with size and time kept
        self.settled = {}  # files whose destination twins are as the source's: their groups


def new_name(src, prefix=""):
    src.counter += 1
    return f"{prefix}{src.rng.choice(STEMS)}{src.counter}"


def full(src, rel):
    return os.path.join(src.root, rel) if rel else src.root


def join(folder, name):
    return f"{folder}/{name}" if folder else name


def random_time(rng):
    t = rng.randrange(TIME_LOW, TIME_HIGH)
    roll = rng.random()
    if roll < 0.15:
        return t - t % 10**9  # whole seconds, as FAT and most tools keep them
    if roll < 0.3:
        return t - t % STEP_NS
    return t


def time_step(rng):
    return rng.choice([STEP_NS, 999, 10**6, 10**9,
                       rng.randrange(STEP_NS, 365 * 86400 * 10**9)])


def set_time(path, t):
    os.utime(path, ns=(t, t), follow_symlinks=False)


def entries(root):
    """Returns [(relative path, 'file' | 'link' | 'folder')], sorted, root left out."""
    found = []

    def visit(rel, path):
        for name in sorted(os.listdir(path)):
            child_rel, child = join(rel, name), os.path.join(path, name)
            mode = os.lstat(child).st_mode
            if stat.S_ISLNK(mode):
                found.append((child_rel, "link"))
            elif stat.S_ISDIR(mode):
                found.append((child_rel, "folder"))
                visit(child_rel, child)
            elif stat.S_ISREG(mode):
                found.append((child_rel, "file"))

    visit("", root)
    return found


def of_kind(root, kind):
    return [rel for rel, k in entries(root) if k == kind]


def folders(root):
    return [""] + of_kind(root, "folder")


def random_bytes(rng, size=None):
    if size is None:
        size = 0 if rng.random() < 0.1 else rng.randrange(1, 3073)
    return rng.randbytes(size)


def write_file(path, data):
    """Writes a file in place; one its owner may not write is lent the right
    and given its mode back."""
    try:
        mode = stat.S_IMODE(os.lstat(path).st_mode)
    except FileNotFoundError:
        mode = None
    if mode is not None and not mode & stat.S_IWUSR and os.geteuid() != 0:
        os.chmod(path, mode | stat.S_IWUSR)
    with open(path, "wb") as f:
        f.write(data)
    if mode is not None and not mode & stat.S_IWUSR and os.geteuid() != 0:
        os.chmod(path, mode)


def add_file(src, folder, t=None):
    rel = join(folder, new_name(src, "f"))
    write_file(full(src, rel), random_bytes(src.rng))
    set_time(full(src, rel), random_time(src.rng) if t is None else t)
    return rel


def add_folder(src, parent):
    rel = join(parent, new_name(src, "d"))
    os.mkdir(full(src, rel))
    return rel


def link_target(src, kind, folder):
    """A target for a link placed in folder: relative ones as a user's ln -s
    would write them, absolute ones into the source itself."""
    rng = src.rng
    files, dirs = of_kind(src.root, "file"), folders(src.root)
    here = full(src, folder)
    if kind == "file" and files:
        return os.path.relpath(full(src, rng.choice(files)), here)
    if kind == "folder":
        return os.path.relpath(full(src, rng.choice(dirs)), here)
    if kind == "absolute" and files:
        return full(src, rng.choice(files))
    if kind == "absolute-folder":
        return full(src, rng.choice(dirs))
    if kind == "odd":
        # Bytes a mirror must keep as they are, never cleaned up nor resolved;
        # whatever leads out of the source leads to the canary or to nothing.
        return rng.choice([".", "..", "./x//y/", "a b/é", "-x", "nowhere/../..",
                           os.path.relpath(src.canary, here),
                           os.path.join(src.canary, "keep.txt"),
                           os.path.join(os.path.dirname(src.canary), "z" * 200)])
    return rng.choice(["missing", "../missing/x", f"gone{src.counter}"])


def add_link(src, folder, kind=None, name=None):
    kind = kind or src.rng.choice(LINK_KINDS)
    rel = join(folder, name or new_name(src, "l"))
    os.symlink(link_target(src, kind, folder), full(src, rel))
    set_time(full(src, rel), random_time(src.rng))
    return rel


def add_hard_link(src, target, folder):
    rel = join(folder, new_name(src, "h"))
    os.link(full(src, target), full(src, rel))
    return rel


def deepest_first(paths):
    return sorted(paths, key=lambda rel: (-rel.count("/") - bool(rel), rel))


def set_folder_times(src, keep=None):
    """Gives every folder a time, deepest first, once its content is made; with
    keep (path: time), a folder that had a time keeps it half the time, so a
    folder whose content changed may still carry its old time."""
    for rel in deepest_first(folders(src.root)):
        t = random_time(src.rng)
        if keep and rel in keep and src.rng.random() < 0.5:
            t = keep[rel]
        set_time(full(src, rel), t)


def folder_times(root):
    return {rel: os.lstat(os.path.join(root, rel) if rel else root).st_mtime_ns
            for rel in folders(root)}


def build(src):
    """Makes a tree of 10 to 40 entries that holds at least one of each: nested
    folder, empty folder (sometimes inside another empty one), file, hard-link
    group and kind of link."""
    rng = src.rng
    dirs = [""]
    for _ in range(rng.randint(2, 5)):
        dirs.append(add_folder(src, rng.choice(dirs)))
    empty = add_folder(src, rng.choice(dirs))
    if rng.random() < 0.4:
        add_folder(src, empty)
    files = [add_file(src, rng.choice(dirs)) for _ in range(rng.randint(3, 8))]
    for target in rng.sample(files, rng.randint(1, 2)):
        for _ in range(rng.randint(1, 2)):
            add_hard_link(src, target, rng.choice(dirs))
    for kind in LINK_KINDS:
        add_link(src, rng.choice(dirs), kind)
    for _ in range(rng.randint(10, 40) - len(entries(src.root))):
        add_random_entry(src, rng.choice(dirs))
    set_folder_times(src)


def add_random_entry(src, folder):
    roll = src.rng.random()
    if roll < 0.45:
        return add_file(src, folder)
    if roll < 0.75:
        return add_link(src, folder)
    if roll < 0.9:
        return add_folder(src, folder)
    files = of_kind(src.root, "file")
    if files:
        return add_hard_link(src, src.rng.choice(files), folder)
    return add_file(src, folder)
