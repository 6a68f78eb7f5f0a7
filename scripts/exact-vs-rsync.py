#!/usr/bin/env python3
"""Mirrors random trees with talven --exact and with rsync -aHAX --numeric-ids
--delete from the same starting destinations, and reports every way the two
mirrors differ.

  exact-vs-rsync.py TALVEN SCRATCH [--trees N] [--seed S] [--as root|user|both]
  exact-vs-rsync.py --self-check SCRATCH [--trees N] [--seed S] [--as root|user|both]

Tree k is made from seed S + k (S is 1 unless given), N trees (100 unless given)
as root and N as a normal user: a failure names its seed and who ran it, and
--seed SEED --trees 1 --as WHO replays that tree alone. Each tree (files, links
of every kind, hard-link groups, empty and nested folders, times to the
nanosecond, random modes, owners, groups, extended attributes and ACLs) is
mirrored into an empty destination by both, then the destinations are changed
alike (destination-only folders and links to a canary, a twin made newer, a
hard link split), then the source (renames, an older version restored, files
turned into links and folders and back, hard links joined and split, and each
kind of metadata changed with the time kept), and both mirror again. After
each mirror the two destinations must hold the same paths, types, bytes, link
targets, hard-link groups, times, modes, owners, groups and attributes; talven
must exit 0; a second run must print "Nothing to do, folders are equal !" and
change nothing, not even a change time; and nothing beside talven's destination
may change, its source least of all. rsync's mirror must be the source (rsync
runs once more where its first run slips), or the tree cannot judge; files
whose bytes changed with size and time kept, which rsync's quick check leaves,
are checked against the source.

As root, the user's trees run in a child of uid 43210 and groups 43210 to
43212, under SCRATCH/user; as anyone else, the trees run as that user alone.

--self-check runs the comparison with rsync in talven's place (it must pass) and
with mirrors spoiled in one way each (each must be reported).

Everything is made under SCRATCH, which is emptied first (a folder that is not
empty must carry the mark this script leaves in it). Exits 0 when every tree
matched, 1 on any difference, 2 on bad arguments, 77 (skipped, one line) where
rsync is missing or cannot compare or set times, attributes or ACLs as the test
needs, or where SCRATCH keeps no attributes or ACLs.
"""

import argparse
import os
import re
import shutil
import stat
import subprocess
import sys
import traceback

from exact_vs_rsync.metadata import ACCESS, access_value, rights_of_this_process
from exact_vs_rsync.rounds import RSYNC, layout, run_tree
from exact_vs_rsync.selfcheck import fake_talven, self_check

MARK = ".exact-vs-rsync"
SHOWN_PER_TREE = 20
FAILED_TREES_MAX = 5
TREES = 100
# The normal user of the user's trees, when root runs them: numbers alone, no
# account needed; its trees take groups among these.
USER_UID = 43210
USER_GROUPS = [43210, 43211, 43212]


def why_rsync_cannot_judge():
    if shutil.which("rsync") is None:
        return "rsync is missing (scripts/install-deps.sh --test installs it)"
    version = subprocess.run(["rsync", "--version"], capture_output=True, text=True).stdout
    found = re.search(r"version\s+(\d+)\.(\d+)\.(\d+)", version)
    if not found or tuple(map(int, found.groups())) < (3, 1, 3):
        return "this rsync is older than 3.1.3 and compares times only to the second"
    if not re.search(r"(?<!no )symtimes", version):
        return "this rsync cannot set the times of links"
    if not re.search(r"(?<!no )ACLs", version) or not re.search(r"(?<!no )xattrs", version):
        return "this rsync keeps no ACLs or no extended attributes"
    return None


def why_the_scratch_cannot_judge(scratch):
    """The trees need user.* attributes and ACLs (and trusted.* as root) where
    they are made."""
    probe = os.path.join(scratch, "probe")
    open(probe, "wb").close()
    wanted = [("user.probe", b"1"), (ACCESS, access_value())]
    if os.geteuid() == 0:
        wanted.append(("trusted.probe", b"1"))
    try:
        for name, value in wanted:
            os.setxattr(probe, name, value)
    except OSError as error:
        return f"{scratch} keeps no {name} ({error.strerror})"
    finally:
        os.unlink(probe)
    return None


def empty_scratch(scratch):
    """Empties SCRATCH, refusing a folder that holds what this script did not make."""
    if os.path.islink(scratch) or (os.path.lexists(scratch) and not os.path.isdir(scratch)):
        return f"{scratch} is not a folder"
    os.makedirs(scratch, exist_ok=True)
    names = os.listdir(scratch)
    if names and MARK not in names:
        return f"{scratch} holds files this script did not make: give a new or empty folder"
    for name in names:
        path = os.path.join(scratch, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    open(os.path.join(scratch, MARK), "wb").close()
    return None


def report_tree(seed, problems, made, kept):
    print(f"seed {seed}: {len(problems)} problems")
    for problem in problems[:SHOWN_PER_TREE]:
        print(f"seed {seed}, {problem.text}")
    if len(problems) > SHOWN_PER_TREE:
        print(f"seed {seed}: and {len(problems) - SHOWN_PER_TREE} more")
    if made:
        print(f"seed {seed}: between the mirrors: " + "; ".join(made))
    if kept:
        print(f"seed {seed}: its folders are kept in {kept}")


def compare(talven, scratch, seeds, rights):
    where = layout(scratch)
    failed = []
    for seed in seeds:
        try:
            problems, made = run_tree(seed, [talven], where, rights)
        except Exception:
            print(f"seed {seed}: the test itself failed:\n{traceback.format_exc()}")
            return 1
        if not problems:
            continue
        kept = None
        if not failed:
            kept = os.path.join(scratch, f"seed-{seed}")
            os.rename(where.tree, kept)
        failed.append(seed)
        report_tree(seed, problems, made, kept)
        if len(failed) == FAILED_TREES_MAX:
            print(f"stopped after {FAILED_TREES_MAX} trees that failed")
            break
    who = who_runs(rights)
    if failed:
        print(f"exact-vs-rsync: trees of seeds {failed} {who} differ; replay one alone with: "
              f"{sys.argv[0]} {talven} SCRATCH --seed {failed[0]} --trees 1 "
              f"--as {'root' if rights.root else 'user'}")
        return 1
    print(f"exact-vs-rsync: {len(seeds)} random trees {who} (seeds {seeds[0]} to {seeds[-1]}), "
          f"each mirrored twice, came out the same from talven --exact and "
          f"{' '.join(RSYNC[:-1])}")
    return 0


def who_runs(rights):
    return "as root" if rights.root else f"as user {rights.uid} (groups {rights.groups})"


def arguments(argv):
    parser = argparse.ArgumentParser(
        prog="exact-vs-rsync.py",
        usage="%(prog)s TALVEN SCRATCH [--trees N] [--seed S] [--as WHO]\n"
              "       %(prog)s --self-check SCRATCH [--trees N] [--seed S] [--as WHO]")
    parser.add_argument("folders", nargs="+", metavar="TALVEN SCRATCH",
                        help="the program to test, and a folder for the trees (emptied)")
    parser.add_argument("--trees", type=int, default=TREES, metavar="N",
                        help=f"how many trees for each of root and the user ({TREES} unless "
                             f"given)")
    parser.add_argument("--seed", type=int, default=1, metavar="S",
                        help="the first tree's seed; tree k has seed S + k (1 unless given)")
    parser.add_argument("--as", dest="who", choices=["both", "root", "user"], default="both",
                        help="run the trees as root, as a normal user (as root: user "
                             f"{USER_UID} of groups {USER_GROUPS}), or both (the default)")
    parser.add_argument("--self-check", action="store_true",
                        help="check the comparison itself, with rsync in talven's place")
    args = parser.parse_args(argv)
    if len(args.folders) != (1 if args.self_check else 2) or args.trees < 1:
        parser.error("give TALVEN and SCRATCH (SCRATCH alone with --self-check), "
                     "and at least one tree")
    if not args.self_check and not os.access(args.folders[0], os.X_OK):
        parser.error(f"{args.folders[0]} is no program")
    return args


def run_here(args, scratch, rights):
    refused = empty_scratch(scratch)
    if refused:
        print(f"exact-vs-rsync: {refused}")
        return 2
    reason = why_the_scratch_cannot_judge(scratch)
    if reason:
        print(f"skipped: {reason}")
        return 77
    seeds = list(range(args.seed, args.seed + args.trees))
    if args.self_check:
        return self_check(seeds, scratch, rights)
    return compare(os.path.abspath(args.folders[0]), scratch, seeds, rights)


def open_to_others(path):
    """Whether a user of no group of path's may run it: every folder on its way
    lets others through, and the program itself others may read and run."""
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    while folder != os.path.dirname(folder):
        if not os.stat(folder).st_mode & stat.S_IXOTH:
            return False
        folder = os.path.dirname(folder)
    return os.stat(path).st_mode & (stat.S_IROTH | stat.S_IXOTH) == stat.S_IROTH | stat.S_IXOTH


def python_for_others():
    found = [sys.executable, shutil.which("python3") or "", "/usr/bin/python3"]
    return next((p for p in found if p and os.path.exists(p) and open_to_others(p)), None)


def run_as_user(args, scratch):
    """As root: the user's trees in a child of USER_UID and its groups, in a
    folder it owns (the folders above it must let others through)."""
    python = python_for_others()
    needed = [os.path.abspath(sys.argv[0])] + ([] if args.self_check else [args.folders[0]])
    closed = [p for p in needed + [scratch] if not open_to_others(p if p != scratch else
                                                                   os.path.dirname(p))]
    if python is None or closed:
        print(f"skipped: the trees as user {USER_UID} need "
              + ("a python3 others may run" if python is None else
                 f"{closed[0]} open to others"))
        return 77
    os.makedirs(scratch)
    os.chown(scratch, USER_UID, USER_GROUPS[0])
    command = [python, os.path.abspath(sys.argv[0])]
    command += ["--self-check"] if args.self_check else [os.path.abspath(args.folders[0])]
    command += [scratch, "--trees", str(args.trees), "--seed", str(args.seed), "--as", "user"]
    environment = dict(os.environ, HOME=scratch)
    sys.stdout.flush()
    return subprocess.run(command, user=USER_UID, group=USER_GROUPS[0],
                          extra_groups=USER_GROUPS, env=environment, cwd=scratch).returncode


def main(argv):
    if argv[:1] == ["--fake-talven"]:
        return fake_talven(argv[1:])
    args = arguments(argv)
    reason = why_rsync_cannot_judge()
    if reason:
        print(f"skipped: {reason}")
        return 77
    scratch = os.path.abspath(args.folders[-1])
    if os.geteuid() != 0:
        if args.who == "root":
            print("skipped: trees as root need root")
            return 77
        if args.who == "both":
            print("exact-vs-rsync: not root: the trees run as this user alone")
        return run_here(args, scratch, rights_of_this_process())
    if args.who == "root":
        return run_here(args, scratch, rights_of_this_process())
    refused = empty_scratch(scratch)
    if refused:
        print(f"exact-vs-rsync: {refused}")
        return 2
    status = 0
    if args.who == "both":
        status = run_here(args, os.path.join(scratch, "root"), rights_of_this_process())
    statuses = {status, run_as_user(args, os.path.join(scratch, "user"))}
    # A failure (1, 2) outweighs a skip (77), which outweighs a pass.
    return next((s for s in (2, 1, 77) if s in statuses), max(statuses))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
