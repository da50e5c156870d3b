"""The C++ benchmark's results as one table: the median ns per element of each
table for every operation and size, and the core tables' ratios to
boost::unordered_flat_map measured in the same run.

Reads the JSON that velomap_core_bench writes with --benchmark_out (run with
repetitions and aggregates, so that every benchmark has a median).
"""

import json
import re
import sys

TABLES = ("Elastic", "Funnel", "Boost", "Absl")
OPS = ("insert", "presized", "hit", "miss", "erase", "iterate", "rebuild")
NAME = re.compile(r"BM_(\w+)<(\w+)>/(\d+)$")


def medians(path):
    """{(op, n): {table: ns per element}} from the median aggregates."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    out = {}
    for run in runs:
        match = NAME.match(run.get("run_name", ""))
        if run.get("aggregate_name") != "median" or not match or "per_elem" not in run:
            continue  # other aggregates, and benchmarks that failed their check
        op, table, n = match.groups()
        out.setdefault((op, int(n)), {})[table] = run["per_elem"] * 1e9
    return out


def main(path):
    results = medians(path)
    # Interleaved runs come in random order: print in a fixed one.
    ops = [op for op in OPS if any(o == op for o, _ in results)]
    head = f"{'op':>9} {'n':>8}" + "".join(f" {t.lower():>8}" for t in TABLES)
    print("ns per element, medians of interleaved repeats; ratio = table / boost in the same run")
    print(head + f" {'elastic/b':>9} {'funnel/b':>9}")
    for op in ops:
        for n in sorted(n for o, n in results if o == op):
            row = results[op, n]
            line = f"{op:>9} {n:>8}" + "".join(f" {row[t]:8.1f}" if t in row else f" {'-':>8}" for t in TABLES)
            for t in ("Elastic", "Funnel"):
                line += f" {row[t] / row['Boost']:9.2f}" if t in row and "Boost" in row else f" {'-':>9}"
            print(line)


if __name__ == "__main__":
    main(sys.argv[1])
