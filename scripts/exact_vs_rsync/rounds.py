"""One random tree, mirrored by talven and by rsync, changed, and mirrored again
by both, with every check after each mirror.

The tree's folder holds the source, the two destinations and a canary folder
that links lead to; talven runs there, so whatever it wrote beside its
destination (a stray file, a log) shows in the snapshot of that folder.
"""

import collections
import os
import random
import shutil
import subprocess

from .changes import change_destination, change_source
from .snapshot import changes, mirror_differences, snapshot

TIME_UNIT_NS = 100
from .trees import Source, build, write_file

# rsync compares times to the second unless the window is negative; the mirror
# under test compares them exactly.
RSYNC = ["rsync", "-aH", "--delete", "--modify-window=-1"]
NOTHING_TO_DO = "Nothing to do, folders are equal !"
TIMEOUT = 120
# New names in the destinations start far above the source's, so they never meet.
DESTINATION_NAMES = 1_000_000

# check: "status", "mirror", "rsync", "second-run", "source" or "outside".
Problem = collections.namedtuple("Problem", "check text")
Layout = collections.namedtuple("Layout", "tree src dst_talven dst_rsync canary")


def layout(scratch):
    tree = os.path.join(scratch, "tree")
    return Layout(tree, *(os.path.join(tree, name)
                          for name in ("src", "dst-talven", "dst-rsync", "canary")))


def prepare(where):
    if os.path.lexists(where.tree):
        shutil.rmtree(where.tree)
    for folder in where:
        os.mkdir(folder)
    write_file(os.path.join(where.canary, "keep.txt"), b"the canary\n")
    os.mkdir(os.path.join(where.canary, "sub"))
    write_file(os.path.join(where.canary, "sub", "also.txt"), b"the canary too\n")


def run(command, cwd):
    try:
        return subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        return subprocess.CompletedProcess(command, f"killed after {TIMEOUT} s",
                                           expired.stdout or b"", expired.stderr or b"")


def tail(result, lines=4):
    text = (result.stdout + result.stderr).decode("utf-8", "replace").strip().splitlines()
    return " | ".join(text[-lines:]) if text else "(no output)"


def run_talven(command, where):
    return run(command + [where.dst_talven, where.src, "--exact", "--no-sync"], where.tree)


def outside(where):
    return snapshot(where.tree, leave_out={os.path.basename(where.dst_talven)})


def outside_problems(where, label, before, after):
    source = os.path.basename(where.src)
    found = []
    for path, what, old, new in changes(before, after):
        check = "source" if path == source or path.startswith(source + "/") else "outside"
        found.append(Problem(check, f"{label}: talven changed {path} outside its "
                                    f"destination: {what}: before {old}, after {new}"))
    return found


def second_run(command, where, label):
    """A run right after a mirror finds nothing to do and changes nothing."""
    before, around = snapshot(where.dst_talven), outside(where)
    result = run_talven(command, where)
    found = outside_problems(where, f"{label}, second run", around, outside(where))
    if result.returncode != 0:
        found.append(Problem("second-run", f"{label}: a second run exited with "
                                           f"{result.returncode}: {tail(result)}"))
    if NOTHING_TO_DO not in result.stdout.decode("utf-8", "replace").splitlines():
        found.append(Problem("second-run", f'{label}: a second run did not print '
                                           f'"{NOTHING_TO_DO}": {tail(result)}'))
    for path, what, old, new in changes(before, snapshot(where.dst_talven)):
        found.append(Problem("second-run", f"{label}: a second run changed {path}: "
                                           f"{what}: before {old}, after {new}"))
    return found


def mirror_round(command, where, label):
    around = outside(where)
    result = run_talven(command, where)
    found = outside_problems(where, label, around, outside(where))
    if result.returncode != 0:
        found.append(Problem("status", f"{label}: talven exited with {result.returncode}: "
                                       f"{tail(result)}"))
    reference = run(RSYNC + [where.src + "/", where.dst_rsync + "/"], where.tree)
    if reference.returncode != 0:
        return found + [Problem("rsync", f"{label}: rsync exited with "
                                         f"{reference.returncode}: {tail(reference)}")]
    mirrored, expected = snapshot(where.dst_talven), snapshot(where.dst_rsync)
    # talven keeps times in 100-ns units, the finest a Windows file time holds.
    for path, what, a, b in mirror_differences(mirrored, expected, TIME_UNIT_NS):
        found.append(Problem("mirror", f"{label}: {path}: {what}: talven {a}, rsync {b}"))
    # A tree whose rsync mirror is not its source cannot judge talven.
    for path, what, a, b in mirror_differences(expected, snapshot(where.src)):
        found.append(Problem("rsync", f"{label}: rsync's mirror is not the source at "
                                      f"{path}: {what}: rsync {a}, source {b}"))
    return found + second_run(command, where, label)


def run_tree(seed, command, where):
    """Returns the problems of one tree and the changes made between its two
    mirrors; a tree whose first mirror fails is not changed and mirrored again."""
    rng = random.Random(seed)
    prepare(where)
    src = Source(where.src, rng, where.canary)
    build(src)
    found = mirror_round(command, where, "first mirror")
    if found:
        return found, []
    made = change_source(src)
    destination_seed = rng.getrandbits(64)
    for root in (where.dst_talven, where.dst_rsync):
        dst = Source(root, random.Random(destination_seed), where.canary, DESTINATION_NAMES)
        made_there = change_destination(dst)
    return mirror_round(command, where, "after the changes"), made + made_there
