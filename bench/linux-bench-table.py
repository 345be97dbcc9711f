#!/usr/bin/env python3
"""The before/after table of bench/run-linux-bench.sh: medians over the rounds of each library's
runs of korvale-linux-bench (the JSON files in RESULTS_DIR), as Markdown.
    linux-bench-table.py RESULTS_DIR"""
import glob
import json
import os
import statistics
import sys

ACTIONS = [
    ("BM_SelectSmallDocument", "select text in a small document (400 bytes)", "4"),
    ("BM_SelectEndOf1MBDocument", "select at the end of a 1 MB document", "4"),
    ("BM_FocusListOf1000Rows", "focus moves to a list of 1,000 rows", ""),
    ("BM_FirstSwitchTo10Widgets", "first switch to an application of 10 widgets", ""),
    ("BM_FirstSwitchTo1000Widgets", "first switch to an application of 1,000 widgets", ""),
    ("BM_SwitchAfter1000Switches", "switch to an application followed before, after 1,000 switches", ""),
    ("BM_SelectAfter1000Switches", "select text in a small document after 1,000 switches", "4"),
]


def load(results):
    runs = {"before": [], "after": []}
    for path in sorted(glob.glob(os.path.join(results, "*.json"))):
        which = os.path.basename(path).split("-")[0]
        with open(path) as f:
            runs[which].append(json.load(f))
    return runs


def figures(runs, name):
    """Per round: (busy ms, D-Bus calls, X round trips, CPU ms) of the benchmark `name`."""
    out = []
    for run in runs:
        for b in run["benchmarks"]:
            if b["name"].split("/")[0] == name and not b.get("error_occurred"):
                out.append((b["real_time"], b.get("dbus"), b.get("x"), b.get("cpu_ms")))
    return out


def median(values, digits):
    values = [v for v in values if v is not None]
    if not values:
        return "—"
    m = statistics.median(values)
    return f"{m:,.{digits}f}"


def spread(values):
    values = [v for v in values if v is not None]
    if len(values) < 2:
        return ""
    return f" ({min(values):,.1f}–{max(values):,.1f})"


def main():
    results = sys.argv[1]
    runs = load(results)
    print("| action | main thread, before | after | CPU, before | after | D-Bus calls, before | after "
          "| X round trips, before | after | simple listener |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name, label, listener in ACTIONS:
        b, a = figures(runs["before"], name), figures(runs["after"], name)
        cells = [label]
        cells += [median([f[0] for f in b], 2) + " ms" + spread([f[0] for f in b]),
                  median([f[0] for f in a], 2) + " ms" + spread([f[0] for f in a])]
        cells += [median([f[3] for f in b], 2) + " ms", median([f[3] for f in a], 2) + " ms"]
        cells += [median([f[1] for f in b], 1), median([f[1] for f in a], 1)]
        cells += [median([f[2] for f in b], 1), median([f[2] for f in a], 1)]
        cells.append(listener)
        print("| " + " | ".join(cells) + " |")
    print()
    loads = []
    for which in ("before", "after"):
        for run in runs[which]:
            ctx = run.get("context", {})
            loads.append(f"{which} {ctx.get('date', '?')}: load average "
                         + ", ".join(f"{x:.2f}" for x in ctx.get("load_avg", [])))
    for line in loads:
        print("- " + line)
    for f in ("before-revision", "after-revision", "machine"):
        path = os.path.join(results, f)
        if os.path.exists(path):
            print(f"- {f}: " + open(path).read().strip().replace("\n", "; "))


if __name__ == "__main__":
    main()
