#!/usr/bin/env python3
"""Turns the samples of one benchmark run into medians, ratios and targets.

  report.py RESULTS_FOLDER

Reads samples.csv (and paths.csv for the memory budget) from the folder,
writes summary.csv, targets.csv, ratios.dat and scale.dat there, and prints
the table. Only the standard library is used.
"""

import csv
import os
import statistics
import sys
from collections import defaultdict

# (case, peers, largest allowed ratio of talven's median to the fastest of the
# peers' medians, for talven as it runs by default against the peers followed by
# sync, then for talven --no-sync against the plain peers; None: not a target for
# that pair). The floor is the same in both pairs.
FASTEST_PEER = ("rclone", "rsync", "cp")
RATIO_TARGETS = [
    ("first", ("cp",), 0.9, 0.8), ("first", ("rsync",), 0.6, 0.6),
    ("first", ("rclone",), 0.6, 0.6),
    ("first-cold", FASTEST_PEER, 0.6, 0.6),
    ("first-cold", ("cp",), 0.5, 0.5), ("first-cold", ("baseline",), 0.9, 0.9),
    ("large-cold", ("cp",), 0.8, 1.0),
    ("noop", ("floor",), 1.0, 1.0),
    ("incremental", ("rsync",), 0.4, 0.4),
    ("large", ("cp",), 1.0, 1.0),
    ("share", ("cp",), 0.9, 0.8), ("share", ("rsync",), 0.6, None),
    ("share", ("rclone",), 0.6, None),
    ("share-cold", ("cp",), 0.9, 0.8), ("share-cold", ("rsync",), 0.6, None),
    ("share-cold", ("rclone",), 0.6, None),
]
PAIRS = [("talven", "+sync"), ("talven-nosync", "")]
# (case, tool, the tool it is measured against, largest allowed ratio of their
# medians): what a hundred patterns may cost, and what --exact may cost against
# the same run without it and against rsync -aH, durable and with --no-sync.
COST_TARGETS = [("filters-noop", "talven-filtered", "talven-nosync", 1.05),
                ("filters-first", "talven-filtered", "talven-nosync", 1.05),
                ("exact", "talven-exact", "talven", 1.2),
                ("exact", "talven-exact-nosync", "talven-nosync", 1.2),
                ("exact-noop", "talven-exact", "talven", 1.1),
                ("exact-noop", "talven-exact-nosync", "talven-nosync", 1.1),
                ("exact", "talven-exact", "rsync-H+sync", 0.6),
                ("exact", "talven-exact-nosync", "rsync-H", 0.6),
                ("exact-noop", "talven-exact", "rsync-H", 0.6),
                ("exact-noop", "talven-exact-nosync", "rsync-H", 0.6),
                ("exact-meta", "talven-exact", "talven", 1.2),
                ("exact-meta", "talven-exact-nosync", "talven-nosync", 1.2),
                ("exact-meta-noop", "talven-exact", "talven", 1.1),
                ("exact-meta-noop", "talven-exact-nosync", "talven-nosync", 1.1),
                ("exact-meta", "talven-exact", "rsync-AX+sync", 0.6),
                ("exact-meta", "talven-exact-nosync", "rsync-AX", 0.6),
                ("exact-meta-noop", "talven-exact", "rsync-AX", 0.6),
                ("exact-meta-noop", "talven-exact-nosync", "rsync-AX", 0.6)]
# In the exact cases each row's ratio is of the talven --exact of its pair.
EXACT_PAIRS = {"talven": "talven-exact", "talven-nosync": "talven-exact-nosync",
               "rsync-H+sync": "talven-exact", "rsync-H": "talven-exact-nosync",
               "rsync-AX+sync": "talven-exact", "rsync-AX": "talven-exact-nosync",
               "floor": "talven-exact"}
# The chart's short names of the exact targets (after "first" or "no-op").
EXACT_LABELS = {("talven-exact", "talven"): "exact/default",
                ("talven-exact-nosync", "talven-nosync"): "exact/default nosync",
                ("talven-exact", "rsync-H+sync"): "exact/rsync -aH+sync",
                ("talven-exact-nosync", "rsync-H"): "exact nosync/rsync -aH",
                ("talven-exact", "rsync-H"): "exact/rsync -aH",
                ("talven-exact", "rsync-AX+sync"): "exact/rsync -aHAX+sync",
                ("talven-exact-nosync", "rsync-AX"): "exact nosync/rsync -aHAX",
                ("talven-exact", "rsync-AX"): "exact/rsync -aHAX"}
# (case, longest allowed median in seconds), for each talven that was measured.
TIME_TARGETS = [("sparse", 0.1)]
# The case whose copies may take at most the room of their source and one block more
# (allocation.csv).
ROOM_CASE = "sparse"
LINEARITY_LIMIT = 1.5
BYTES_PER_FILE = 200
CASE_ORDER = ["first", "first-cold", "noop", "incremental", "large", "large-cold", "share",
              "share-cold", "sparse", "scale", "filters-noop", "filters-first", "exact",
              "exact-noop", "exact-meta", "exact-meta-noop"]
TOOL_ORDER = ["talven", "talven-exact", "baseline+sync", "rsync+sync", "rsync-H+sync",
              "rsync-AX+sync", "cp+sync", "rclone+sync", "talven-nosync", "talven-exact-nosync",
              "baseline", "rsync", "rsync-H", "rsync-AX",
              "cp", "rclone", "floor", "talven-filtered"]


def read_samples(folder):
    times = defaultdict(list)
    memory = defaultdict(list)
    failures = defaultdict(int)
    with open(os.path.join(folder, "samples.csv"), newline="") as source:
        for row in csv.DictReader(source):
            key = (row["case"], int(row["size"]), row["tool"])
            if row["status"] != "ok":
                failures[key] += 1
                continue
            times[key].append(float(row["seconds"]))
            if row["max_rss_kb"]:
                memory[key].append(int(row["max_rss_kb"]))
    return times, memory, failures


def read_paths(folder):
    paths = {}
    name = os.path.join(folder, "paths.csv")
    if os.path.exists(name):
        with open(name, newline="") as source:
            for row in csv.DictReader(source):
                paths[int(row["size"])] = (int(row["files"]), int(row["path_bytes"]))
    return paths


def sort_key(key):
    case, size, tool = key
    return (CASE_ORDER.index(case) if case in CASE_ORDER else 99, size,
            TOOL_ORDER.index(tool) if tool in TOOL_ORDER else 99)


def paired_talven(tool, case, size, medians):
    """The talven that a peer is compared with: talven's default against a peer
    followed by sync and against the floor, talven --no-sync (where measured)
    against a plain peer; none for talven itself. In the exact cases: talven
    --exact against the rest, --no-sync where the rest runs without sync."""
    if case.startswith("exact"):
        return EXACT_PAIRS.get(tool)
    if tool.startswith("talven"):
        return None
    if tool.endswith("+sync") or tool == "floor":
        return "talven"
    return "talven-nosync" if (case, size, "talven-nosync") in medians else "talven"


SPREAD_LIMIT = 15.0


def spreads(values):
    """The spread of a cell's runs in percent of their median: (max - min) and the
    interquartile range; None where fewer than two runs were timed."""
    if len(values) < 2:
        return None, None
    median = statistics.median(values)
    if not median:
        return None, None
    quartiles = statistics.quantiles(values, n=4, method="inclusive")
    return ((max(values) - min(values)) / median * 100,
            (quartiles[2] - quartiles[0]) / median * 100)


def summarise(times, memory, failures):
    """One row per case, size and tool: runs, median, spread, ratio of the
    paired talven to it."""
    medians = {key: statistics.median(values) for key, values in times.items()}
    rows = []
    for key in sorted(set(times) | set(failures), key=sort_key):
        case, size, tool = key
        values = times.get(key, [])
        pair = paired_talven(tool, case, size, medians)
        talven = medians.get((case, size, pair)) if pair else None
        median = medians.get(key)
        ratio = talven / median if talven is not None and median else None
        spread, iqr = spreads(values)
        rows.append({
            "case": case, "size": size, "tool": tool, "runs": len(values),
            "failed_runs": failures.get(key, 0),
            "median_s": median, "min_s": min(values) if values else None,
            "max_s": max(values) if values else None,
            "spread_pct": spread, "iqr_pct": iqr,
            "paired_talven": pair or "",
            "talven_over_tool": ratio,
            "max_rss_kb": max(memory[key]) if memory.get(key) else None,
        })
    return rows, medians


def fastest(case, size, peers, suffix, medians):
    """The peer with the lowest median among peers (each with suffix, but the
    floor), and that median; (None, None) when none was measured."""
    found = []
    for peer in peers:
        tool = peer if peer == "floor" else peer + suffix
        if (case, size, tool) in medians:
            found.append((medians[(case, size, tool)], tool))
    return (min(found)[1], min(found)[0]) if found else (None, None)


def ratio_targets(medians):
    targets = []
    sizes = sorted({size for case, size, tool in medians})
    for case, peers, durable_limit, nosync_limit in RATIO_TARGETS:
        for size in sizes:
            for (talven_tool, suffix), limit in zip(PAIRS, (durable_limit, nosync_limit)):
                talven = medians.get((case, size, talven_tool))
                if limit is None:
                    continue
                peer, other = fastest(case, size, peers, suffix, medians)
                if talven is None or other is None:
                    continue
                figure = talven / other
                name = "talven" if talven_tool == "talven" else "talven --no-sync"
                among = " (fastest)" if len(peers) > 1 else ""
                targets.append((f"{case}: {name} / {peer}{among}", figure, limit,
                                figure <= limit))
    return targets


def cost_targets(medians):
    targets = []
    for case, tool, against, limit in COST_TARGETS:
        for (name, size, measured), median in sorted(medians.items()):
            base = medians.get((case, size, against))
            if name == case and measured == tool and base:
                targets.append((f"{case}: {tool} / {against}", median / base, limit,
                                median / base <= limit))
    return targets


def time_targets(medians):
    targets = []
    for case, limit in TIME_TARGETS:
        for (name, size, tool), median in sorted(medians.items()):
            if name == case and tool in ("talven", "talven-nosync"):
                shown = "talven" if tool == "talven" else "talven --no-sync"
                targets.append((f"{case}: {shown} median seconds", median, limit,
                                median <= limit))
    return targets


def read_allocation(folder):
    """Rows of allocation.csv: the room a tool's copy took against its source's."""
    name = os.path.join(folder, "allocation.csv")
    if not os.path.exists(name):
        return []
    with open(name, newline="") as source:
        return [{key: (value if key == "tool" else int(value)) for key, value in row.items()}
                for row in csv.DictReader(source)]


def room_targets(allocation):
    targets = []
    for row in allocation:
        if not row["tool"].startswith("talven"):
            continue
        shown = "talven" if row["tool"] == "talven" else "talven --no-sync"
        figure = row["copy_bytes"] / (row["source_bytes"] + row["block_bytes"])
        targets.append((f"{ROOM_CASE}: room of {shown}'s copy / (source + one block)",
                        figure, 1.0, figure <= 1.0))
    return targets


def scale_rows(medians, memory, paths):
    rows = []
    sizes = sorted(size for case, size, tool in medians if case == "scale" and tool == "talven")
    for size in sizes:
        talven = medians[("scale", size, "talven")]
        floor = medians.get(("scale", size, "floor"))
        rss = max(memory.get(("scale", size, "talven"), [0])) * 1024
        files, path_bytes = paths.get(size, (size, 0))
        rows.append({"size": size, "talven_us": talven / size * 1e6,
                     "floor_us": floor / size * 1e6 if floor else None,
                     "rss_bytes": rss, "bytes_per_file": rss / size,
                     "path_bytes_per_file": path_bytes / files if files else 0,
                     "budget_bytes": BYTES_PER_FILE * size + path_bytes})
    return rows


def scale_targets(rows):
    targets = []
    if len(rows) >= 2:
        small, large = rows[-2], rows[-1]
        figure = large["talven_us"] / small["talven_us"]
        targets.append((f"scale: time per file at {large['size']:,} / at {small['size']:,}",
                        figure, LINEARITY_LIMIT, figure <= LINEARITY_LIMIT))
    if rows and rows[-1]["rss_bytes"]:
        row = rows[-1]
        figure = row["rss_bytes"] / row["budget_bytes"]
        targets.append((f"scale: peak memory at {row['size']:,} / (200 B + path) per file",
                        figure, 1.0, figure <= 1.0))
    return targets


def show(value, digits=3):
    return "-" if value is None else f"{value:.{digits}f}"


def write_csv(name, header, rows):
    with open(name, "w", newline="") as target:
        writer = csv.writer(target)
        writer.writerow(header)
        writer.writerows(rows)


def print_tables(rows, scale, allocation, targets):
    print(f"{'case':<13} {'size':>9} {'tool':<19} {'runs':>4} {'median s':>9} "
          f"{'min s':>9} {'max s':>9} {'spread%':>7} {'IQR%':>5} {'ratio':>6}  of")
    for row in rows:
        failed = f"  ({row['failed_runs']} failed)" if row["failed_runs"] else ""
        wide = (" (spread over 15%)" if row["spread_pct"] is not None
                and row["spread_pct"] > SPREAD_LIMIT else "")
        print(f"{row['case']:<13} {row['size']:>9} {row['tool']:<19} {row['runs']:>4} "
              f"{show(row['median_s']):>9} {show(row['min_s']):>9} {show(row['max_s']):>9} "
              f"{show(row['spread_pct'], 1):>7} {show(row['iqr_pct'], 1):>5} "
              f"{show(row['talven_over_tool'], 2):>6}  {row['paired_talven']}{failed}{wide}")
    if scale:
        print(f"\n{'files':>9} {'talven us/file':>14} {'floor us/file':>13} {'peak MiB':>9} "
              f"{'B/file':>7} {'path B/file':>11} {'budget B/file':>13}")
        for row in scale:
            print(f"{row['size']:>9} {show(row['talven_us'], 2):>14} "
                  f"{show(row['floor_us'], 2):>13} {row['rss_bytes'] / 2**20:>9.1f} "
                  f"{row['bytes_per_file']:>7.0f} {row['path_bytes_per_file']:>11.1f} "
                  f"{row['budget_bytes'] / row['size']:>13.1f}")
    if allocation:
        print(f"\n{'sparse copy of':<14} {'source bytes':>13} {'copy bytes':>13} {'block':>6}")
        for row in allocation:
            print(f"{row['tool']:<14} {row['source_bytes']:>13,} {row['copy_bytes']:>13,} "
                  f"{row['block_bytes']:>6}")
    print(f"\n{'target':<62} {'figure':>7} {'limit':>6}  result")
    for name, figure, limit, met in targets:
        verdict = "met" if met else f"MISSED by {(figure / limit - 1) * 100:.0f}%"
        print(f"{name:<62} {figure:>7.3f} {limit:>6.2f}  {verdict}")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: report.py RESULTS_FOLDER")
    folder = sys.argv[1]
    times, memory, failures = read_samples(folder)
    rows, medians = summarise(times, memory, failures)
    scale = scale_rows(medians, memory, read_paths(folder))
    allocation = read_allocation(folder)
    targets = (ratio_targets(medians) + cost_targets(medians) + time_targets(medians)
               + room_targets(allocation) + scale_targets(scale))
    fields = list(rows[0]) if rows else []
    write_csv(os.path.join(folder, "summary.csv"), fields,
              [[row[field] for field in fields] for row in rows])
    write_csv(os.path.join(folder, "targets.csv"), ["target", "figure", "limit", "met"],
              [[name, f"{figure:.3f}", limit, "yes" if met else "no"]
               for name, figure, limit, met in targets])
    with open(os.path.join(folder, "ratios.dat"), "w") as target:
        for name, figure, limit, met in targets:
            # Ratios of one tool to another only: the sparse case's are seconds and room.
            if name.startswith(("scale", "sparse")):
                continue
            label = (name.replace(": talven --no-sync / ", " nosync vs ")
                     .replace(": talven / ", " vs ").replace(" (fastest)", ""))
            if name.startswith("exact"):
                case, tools = name.split(": ")
                mirror = "no-op" if case.endswith("-noop") else "first"
                label = f"{mirror} " + EXACT_LABELS[tuple(tools.split(" / "))]
            target.write(f'"{label}" {figure:.4f} {limit}\n')
    with open(os.path.join(folder, "scale.dat"), "w") as target:
        for row in scale:
            target.write(f"{row['size']} {row['talven_us']:.4f} {row['floor_us'] or 0:.4f}\n")
    print_tables(rows, scale, allocation, targets)


if __name__ == "__main__":
    main()
