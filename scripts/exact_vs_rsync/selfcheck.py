"""Checks of the comparison itself: rsync standing in for talven must pass on
every tree, and mirrors spoiled in one known way each must be reported by the
check meant to catch them.

A spoiled mirror is this script run with --fake-talven MODE in talven's place:
it mirrors with rsync (printing talven's line when rsync had nothing to do),
then spoils what MODE names, picking the first fitting entry of the sorted tree.
The stand-in ends with a pass that compares content (rsync -c), as talven
copies again a file whose bytes changed with its size and time kept;
"quick-check" alone does not.
"""

import contextlib
import os
import shutil
import stat
import subprocess
import sys

from .metadata import ACCESS, DEFAULT
from .rounds import NOTHING_TO_DO, RSYNC, TIME_UNIT_NS, layout, run_tree
from .trees import entries, set_time

FAULTY_TREES = 3


@contextlib.contextmanager
def times_kept(*paths):
    """Gives the paths back their times, so a spoiling shows only where meant;
    a file its owner may not write is lent the right meanwhile."""
    saved = [(path, os.lstat(path)) for path in paths]
    lent = [path for path, st in saved if os.geteuid() != 0 and stat.S_ISREG(st.st_mode)
            and not st.st_mode & stat.S_IWUSR]
    for path in lent:
        os.chmod(path, stat.S_IMODE(os.lstat(path).st_mode) | stat.S_IWUSR)
    yield
    for path in lent:  # what the spoiling made of the mode, less the lent right
        os.chmod(path, stat.S_IMODE(os.lstat(path).st_mode) & ~stat.S_IWUSR)
    for path, st in saved:
        set_time(path, st.st_mtime_ns)


def first(root, kind, test=lambda path: True):
    """kind: one kind, or a tuple of them."""
    kinds = kind if isinstance(kind, tuple) else (kind,)
    for rel, k in entries(root):
        path = os.path.join(root, rel)
        if k in kinds and test(path):
            return path
    raise SystemExit(f"fake-talven: the tree holds no fitting {kind}")


def shift_time(path):
    """By the least the comparison tells apart (it compares 100-ns units)."""
    set_time(path, os.lstat(path).st_mtime_ns + TIME_UNIT_NS)


def copy_over(path):
    """The same bytes and time under a new inode."""
    with times_kept(os.path.dirname(path)):
        shutil.copy2(path, path + ".copy")
        os.rename(path + ".copy", path)


def plain_copy(dst, src):
    for name in os.listdir(dst):
        path = os.path.join(dst, name)
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) \
            else os.unlink(path)
    subprocess.run(["cp", "-r", src + "/.", dst + "/"], check=True)


def retarget(path):
    with times_kept(os.path.dirname(path), path):
        target = os.readlink(path)
        os.unlink(path)
        os.symlink(target + "x", path)


def drop_empty_folder(dst):
    path = first(dst, "folder", lambda p: not os.listdir(p))
    with times_kept(os.path.dirname(path)):
        os.rmdir(path)


def flip_first_byte(path):
    with times_kept(path), open(path, "r+b") as f:
        byte = f.read(1)
        f.seek(0)
        f.write(bytes([byte[0] ^ 1]))


def is_member(path):
    return os.lstat(path).st_nlink > 1


def rewrite_when_idle(dst, run):
    if run == "idle":
        copy_over(first(dst, "file"))


def shift_when_busy(dst, run):
    if run == "busy":
        shift_time(first(dst, "file"))


def chmod_same(path):
    """The same mode set again: the change time alone tells."""
    with times_kept(path):
        os.chmod(path, stat.S_IMODE(os.lstat(path).st_mode))


def has_attribute(name):
    return lambda path: any(n.startswith(name) for n in os.listxattr(path))


def drop_attribute(path, prefix):
    name = next(n for n in os.listxattr(path) if n.startswith(prefix))
    with times_kept(path):
        os.removexattr(path, name)


def flip_mode(path):
    with times_kept(path):
        os.chmod(path, stat.S_IMODE(os.lstat(path).st_mode) ^ 0o010)


def other_group(path):
    """Another of this process's groups (root has them all)."""
    groups = sorted(set(os.getgroups()) | {os.getegid()}) if os.geteuid() else [0, 5]
    gid = os.lstat(path).st_gid
    with times_kept(path):
        os.chown(path, -1, next(g for g in groups if g != gid), follow_symlinks=False)


def stray_file():
    with open("stray.txt", "wb"):
        pass


# mode: (the spoiling, given dst, src and the run ("first" into an empty
# destination, "idle" where rsync had nothing to do, "busy" otherwise), returning
# an exit status or None for 0; the check that must report it, None for rsync
# itself, which must pass).
SPOILINGS = {
    "rsync": (lambda dst, src, run: None, None),
    "cp-r": (lambda dst, src, run: plain_copy(dst, src), "mirror"),
    "file-time": (lambda dst, src, run: shift_time(first(dst, "file")), "mirror"),
    "file-bytes": (lambda dst, src, run: flip_first_byte(
        first(dst, "file", lambda p: os.lstat(p).st_size > 0)), "mirror"),
    "hard-link-broken": (lambda dst, src, run: copy_over(first(dst, "file", is_member)),
                         "mirror"),
    "link-target": (lambda dst, src, run: retarget(first(dst, "link")), "mirror"),
    "link-time": (lambda dst, src, run: shift_time(first(dst, "link")), "mirror"),
    "empty-folder-missing": (lambda dst, src, run: drop_empty_folder(dst), "mirror"),
    "root-time": (lambda dst, src, run: shift_time(dst), "mirror"),
    "exit-status": (lambda dst, src, run: 1, "status"),
    "source-touched": (lambda dst, src, run: shift_time(first(src, "file")), "source"),
    "stray-file": (lambda dst, src, run: stray_file(), "outside"),
    "second-run-rewrites": (lambda dst, src, run: rewrite_when_idle(dst, run), "second-run"),
    "changed-tree-file-time": (lambda dst, src, run: shift_when_busy(dst, run), "mirror"),
    "second-run-silent": (lambda dst, src, run: None, "second-run"),
    "file-mode": (lambda dst, src, run: flip_mode(first(dst, "file")), "mirror"),
    "folder-group": (lambda dst, src, run: other_group(dst), "mirror"),
    "link-group": (lambda dst, src, run: other_group(first(dst, "link")), "mirror"),
    "user-attribute-missing": (lambda dst, src, run: drop_attribute(
        first(dst, ("file", "folder"), has_attribute("user.")), "user."), "mirror"),
    "access-acl-missing": (lambda dst, src, run: drop_attribute(
        first(dst, "file", has_attribute(ACCESS)), ACCESS), "mirror"),
    "default-acl-missing": (lambda dst, src, run: drop_attribute(
        first(dst, "folder", has_attribute(DEFAULT)), DEFAULT), "mirror"),
    "second-run-sets-mode": (lambda dst, src, run: run == "idle" and chmod_same(
        first(dst, "file")), "second-run"),
    "quick-check": (lambda dst, src, run: None, "mirror"),
}


def fake_talven(argv):
    """talven's place in a self-check: MODE DESTINATION SOURCE [options]."""
    mode, dst, src = argv[0], argv[1], argv[2]
    fresh = not os.listdir(dst)
    # rsync's quick check twice, as the comparison runs it where its first run
    # slips, then (but for "quick-check") a pass that compares content, for the
    # bytes changed with size and time kept (rsync -cH alone mends parted names
    # of one file wrongly). Idle where no pass had anything to do.
    passes = [[], []] + ([] if mode == "quick-check" else [["-c"]])
    idle = True
    for compare in passes:
        result = subprocess.run(RSYNC + compare + ["-i", src + "/", dst + "/"],
                                capture_output=True)
        if result.returncode != 0:
            sys.stderr.write(result.stderr.decode("utf-8", "replace"))
            return result.returncode
        idle = idle and not result.stdout.strip()
    if idle and mode != "second-run-silent":
        print(NOTHING_TO_DO)
    run = "first" if fresh else "idle" if idle else "busy"
    return SPOILINGS[mode][0](dst, src, run) or 0


def fake_command(mode):
    return [sys.executable, os.path.abspath(sys.argv[0]), "--fake-talven", mode]


def judges(mode, made):
    """Whether a tree can judge the mode: "quick-check" needs a file whose bytes
    changed with size and time kept, which not every tree has."""
    return mode != "quick-check" or any(line.startswith("changed the bytes of") for line in made)


def check_mode(mode, seeds, scratch, rights):
    """Returns a line on the mode's trees, and whether they came out as meant."""
    expected = SPOILINGS[mode][1]
    where = layout(scratch)
    missed, shown, judged = [], None, 0
    for seed in seeds:
        problems, made = run_tree(seed, fake_command(mode), where, rights)
        if not judges(mode, made) and not problems:
            continue
        judged += 1
        meant = [p for p in problems if p.check == expected]
        if expected is None and problems:
            missed.append(seed)
            shown = shown or problems[0].text
        elif expected is not None and not meant:
            missed.append(seed)
            shown = shown or (problems[0].text if problems else "no problem reported")
        elif meant:
            shown = shown or meant[0].text
    good = not missed and judged > 0
    what = "no problem" if expected is None else f"reported by the {expected} check"
    line = f"{'ok' if good else 'FAILED'} {mode}: {what} expected, " \
           f"{judged - len(missed)} of {judged} trees that can judge it as expected"
    return (line + (f"; seeds {missed}" if missed else "") +
            (f"\n    {shown}" if shown else "")), good


def self_check(seeds, scratch, rights):
    results = [check_mode("rsync", seeds, scratch, rights)]
    for mode in SPOILINGS:
        if mode != "rsync":
            results.append(check_mode(mode, seeds[:FAULTY_TREES], scratch, rights))
    for line, _ in results:
        print(line)
    return 0 if all(good for _, good in results) else 1
