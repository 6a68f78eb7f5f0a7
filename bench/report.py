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

# (case, peer, largest allowed talven/peer ratio of the medians)
RATIO_TARGETS = [
    ("first", "rsync", 0.7), ("first", "cp", 1.1),
    ("noop", "rsync", 0.5), ("noop", "floor", 2.0),
    ("incremental", "rsync", 0.5),
    ("large", "cp", 1.2),
]
LINEARITY_LIMIT = 1.5
BYTES_PER_FILE = 200
CASE_ORDER = ["first", "noop", "incremental", "large", "scale"]
TOOL_ORDER = ["talven", "rsync", "cp", "floor"]


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


def summarise(times, memory, failures):
    """One row per case, size and tool: runs, median, spread, ratio to talven."""
    medians = {key: statistics.median(values) for key, values in times.items()}
    rows = []
    for key in sorted(set(times) | set(failures), key=sort_key):
        case, size, tool = key
        values = times.get(key, [])
        talven = medians.get((case, size, "talven"))
        median = medians.get(key)
        ratio = talven / median if talven is not None and median else None
        rows.append({
            "case": case, "size": size, "tool": tool, "runs": len(values),
            "failed_runs": failures.get(key, 0),
            "median_s": median, "min_s": min(values) if values else None,
            "max_s": max(values) if values else None,
            "talven_over_tool": ratio,
            "max_rss_kb": max(memory[key]) if memory.get(key) else None,
        })
    return rows, medians


def ratio_targets(medians):
    targets = []
    sizes = sorted({size for case, size, tool in medians})
    for case, peer, limit in RATIO_TARGETS:
        for size in sizes:
            talven = medians.get((case, size, "talven"))
            other = medians.get((case, size, peer))
            if talven is None or other is None:
                continue
            figure = talven / other
            targets.append((f"{case}: talven / {peer}", figure, limit, figure <= limit))
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


def print_tables(rows, scale, targets):
    print(f"{'case':<12} {'size':>9} {'tool':<7} {'runs':>4} {'median s':>9} "
          f"{'min s':>9} {'max s':>9} {'talven/tool':>11}")
    for row in rows:
        failed = f"  ({row['failed_runs']} failed)" if row["failed_runs"] else ""
        print(f"{row['case']:<12} {row['size']:>9} {row['tool']:<7} {row['runs']:>4} "
              f"{show(row['median_s']):>9} {show(row['min_s']):>9} {show(row['max_s']):>9} "
              f"{show(row['talven_over_tool'], 2):>11}{failed}")
    if scale:
        print(f"\n{'files':>9} {'talven us/file':>14} {'floor us/file':>13} {'peak MiB':>9} "
              f"{'B/file':>7} {'path B/file':>11} {'budget B/file':>13}")
        for row in scale:
            print(f"{row['size']:>9} {show(row['talven_us'], 2):>14} "
                  f"{show(row['floor_us'], 2):>13} {row['rss_bytes'] / 2**20:>9.1f} "
                  f"{row['bytes_per_file']:>7.0f} {row['path_bytes_per_file']:>11.1f} "
                  f"{row['budget_bytes'] / row['size']:>13.1f}")
    print(f"\n{'target':<58} {'figure':>7} {'limit':>6}  result")
    for name, figure, limit, met in targets:
        print(f"{name:<58} {figure:>7.3f} {limit:>6.2f}  {'met' if met else 'MISSED'}")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: report.py RESULTS_FOLDER")
    folder = sys.argv[1]
    times, memory, failures = read_samples(folder)
    rows, medians = summarise(times, memory, failures)
    scale = scale_rows(medians, memory, read_paths(folder))
    targets = ratio_targets(medians) + scale_targets(scale)
    fields = list(rows[0]) if rows else []
    write_csv(os.path.join(folder, "summary.csv"), fields,
              [[row[field] for field in fields] for row in rows])
    write_csv(os.path.join(folder, "targets.csv"), ["target", "figure", "limit", "met"],
              [[name, f"{figure:.3f}", limit, "yes" if met else "no"]
               for name, figure, limit, met in targets])
    with open(os.path.join(folder, "ratios.dat"), "w") as target:
        for name, figure, limit, met in targets:
            if name.startswith("scale"):
                continue
            label = name.replace(": talven / ", " vs ")
            target.write(f'"{label}" {figure:.4f} {limit}\n')
    with open(os.path.join(folder, "scale.dat"), "w") as target:
        for row in scale:
            target.write(f"{row['size']} {row['talven_us']:.4f} {row['floor_us'] or 0:.4f}\n")
    print_tables(rows, scale, targets)


if __name__ == "__main__":
    main()
