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
import time

from .changes import change_destination, change_source
from .metadata import change_metadata, decorate_tree, file_groups, settled_as
from .snapshot import changes, describe_bytes, hard_link_groups, mirror_differences, snapshot
from .trees import Source, build, entries, write_file

TIME_UNIT_NS = 100
# rsync compares times to the second unless the window is negative; the mirror
# under test compares them exactly. Owners and groups by number, ACLs and
# extended attributes (trusted.* as root, user.* otherwise) too.
RSYNC = ["rsync", "-aHAX", "--numeric-ids", "--delete", "--modify-window=-1"]
# Between the destinations' changes and the source's: the source's change times
# must come out later than anything the destinations got, on a clock that may
# tick in jiffies.
CLOCK_TICK_S = 0.02
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


def apart(source, tampered):
    """The source's files that share data with the tampered ones."""
    inodes = {(source[rel].dev, source[rel].ino) for rel in tampered
              if rel in source and source[rel].kind == "file"}
    return {rel for rel, e in source.items() if e.kind == "file" and (e.dev, e.ino) in inodes}


def mirror_round(command, where, label, notes, tampered=()):
    around = outside(where)
    result = run_talven(command, where)
    found = outside_problems(where, label, around, outside(where))
    if result.returncode != 0:
        found.append(Problem("status", f"{label}: talven exited with {result.returncode}: "
                                       f"{tail(result)}"))
    source = snapshot(where.src)
    for attempt in range(2):
        reference = run(RSYNC + [where.src + "/", where.dst_rsync + "/"], where.tree)
        if reference.returncode != 0:
            return found + [Problem("rsync", f"{label}: rsync exited with "
                                             f"{reference.returncode}: {tail(reference)}")]
        expected = snapshot(where.dst_rsync)
        if not mirror_differences(expected, source, 1, apart(source, tampered)):
            break
        # rsync's own slips, which its next run mends: as a normal user, a name
        # of a read-only file left writable where another name of its data was
        # deleted; a sticky folder's ACL losing its owning group's bits.
        notes.append(f"{label}: rsync ran twice to reach the source")
    mirrored = snapshot(where.dst_talven)
    # Bytes changed with size and time kept: talven copies them, rsync's quick
    # check keeps its copy; talven's must be the source's.
    kept_apart = apart(source, tampered)
    # talven keeps times in 100-ns units, the finest a Windows file time holds.
    for path, what, a, b in mirror_differences(mirrored, expected, TIME_UNIT_NS, kept_apart):
        found.append(Problem("mirror", f"{label}: {path}: {what}: talven {a}, rsync {b}"))
    for rel in sorted(kept_apart):
        if rel in mirrored and mirrored[rel].data != source[rel].data:
            found.append(Problem("mirror", f"{label}: {rel}: bytes changed with size and time "
                                           f"kept: talven {describe_bytes(mirrored[rel].data)}, "
                                           f"source {describe_bytes(source[rel].data)}"))
    # A tree whose rsync mirror is not its source cannot judge talven.
    for path, what, a, b in mirror_differences(expected, source, 1, kept_apart):
        found.append(Problem("rsync", f"{label}: rsync's mirror is not the source at "
                                      f"{path}: {what}: rsync {a}, source {b}"))
    return found + second_run(command, where, label)


def settled(where, src):
    """The source's files whose twins in both destinations hold their size and
    time, in a group of the same names, mapped to those (settled_as)."""
    trees = [snapshot(root) for root in (where.src, where.dst_talven, where.dst_rsync)]
    groups = [hard_link_groups(tree) for tree in trees]

    def same(i, rel):
        twin, entry = trees[i].get(rel), trees[0][rel]
        return (twin is not None and twin.kind == "file" and twin.mtime == entry.mtime and
                len(twin.data) == len(entry.data) and groups[i].get(rel) == groups[0][rel])

    now = file_groups(src)
    return {rel: settled_as(src, rel, now) for rel, e in trees[0].items()
            if e.kind == "file" and same(1, rel) and same(2, rel)}


def run_tree(seed, command, where, rights):
    """Returns the problems of one tree and the changes made between its two
    mirrors; a tree whose first mirror fails is not changed and mirrored again.
    The destinations are changed before the source, never after: a mirror reads
    attributes and ACLs again only where the source changed after its twin."""
    rng = random.Random(seed)
    prepare(where)
    src = Source(where.src, rng, where.canary, rights=rights)
    build(src)
    decorate_tree(src)
    notes = []
    found = mirror_round(command, where, "first mirror", notes)
    if found:
        return found, notes
    destination_seed = rng.getrandbits(64)
    for root in (where.dst_talven, where.dst_rsync):
        dst = Source(root, random.Random(destination_seed), where.canary, DESTINATION_NAMES)
        made_there = change_destination(dst)
    time.sleep(CLOCK_TICK_S)
    src.settled = settled(where, src)
    before = {rel: os.lstat(os.path.join(src.root, rel)).st_ino for rel, _ in entries(src.root)}
    made = change_source(src) + change_metadata(src, before)
    found = mirror_round(command, where, "after the changes", notes, src.tampered)
    return found, made_there + made + notes
