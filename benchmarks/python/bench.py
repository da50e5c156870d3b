"""velomap against dict: the same keys, interleaved repeats, GC off, medians.

Each measurement runs the loop a Python user would write (``m[k] = v``,
``m[k]``, ``k in m``, ``del m[k]``) inside a function, for dict and for each
velomap class in turn, and reports nanoseconds per operation and the ratio to
dict measured in the same run. Every loop checks its result (a checksum, a
hit count, the final length), so a broken table cannot look fast.

The high-load section fills maps built with
``with_options(capacity=2**20, reserve_fraction=d)`` to their own limit
(``capacity - floor(capacity * d)`` entries) for several d, gives dict the
same keys, and reports memory (RSS growth per entry, each table built in a
fresh interpreter) and the build, hit, miss and delete ratios to dict.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import time

import velomap

CLASSES = {"dict": dict, "elastic": velomap.ElasticHashMap, "funnel": velomap.FunnelHashMap}
# Per-element costs: single-key loops (build = m[k] = v from empty, presized =
# the same into a map made with room for n, i.e. the least capacity that
# holds n without growing (dict: grown as usual), hit = m[k],
# get = m.get(k), miss = k in m for absent keys, delete = del m[k]) and bulk
# operations (iterate = for k in m, items = list(m.items()), copy = m.copy(),
# update = m.update(a_dict) into an empty map). Single-key loops visit the
# keys in shuffled order; "hit-ins" and "del-ins" visit them in insertion
# order.
OPS = ("build", "presized", "hit", "hit-ins", "get", "miss", "delete", "del-ins",
       "iterate", "items", "copy", "update")


def op_build(cls, keys, _absent):
    m = cls()
    t0 = time.perf_counter_ns()
    for k in keys:
        m[k] = k
    t1 = time.perf_counter_ns()
    assert len(m) == len(keys)
    return t1 - t0, m


def op_hit(m, keys, _absent):
    found = 0
    t0 = time.perf_counter_ns()
    for k in keys:
        if m[k] is k:
            found += 1
    t1 = time.perf_counter_ns()
    assert found == len(keys)
    return t1 - t0


def op_miss(m, _keys, absent):
    hits = 0
    t0 = time.perf_counter_ns()
    for k in absent:
        if k in m:
            hits += 1
    t1 = time.perf_counter_ns()
    assert hits == 0
    return t1 - t0


def op_get(m, keys, _absent):
    found = 0
    get = m.get
    t0 = time.perf_counter_ns()
    for k in keys:
        if get(k) is k:
            found += 1
    t1 = time.perf_counter_ns()
    assert found == len(keys)
    return t1 - t0


def room_for(n: int, delta: float = 0.1) -> int:
    """The least capacity that holds n entries without growing (a map built
    for c holds c - floor(c * delta))."""
    c = n
    while c - int(c * delta) < n:
        c += 1
    return c


def op_presized(cls, keys, _absent):
    m = cls() if cls is dict else cls(capacity=room_for(len(keys)))
    t0 = time.perf_counter_ns()
    for k in keys:
        m[k] = k
    t1 = time.perf_counter_ns()
    assert len(m) == len(keys)
    assert cls is dict or m.capacity == room_for(len(keys)), "a presized map grew"
    return t1 - t0


def op_update(cls, source):
    m = cls()
    t0 = time.perf_counter_ns()
    m.update(source)
    t1 = time.perf_counter_ns()
    assert len(m) == len(source)
    return t1 - t0


def op_copy(m, keys, _absent):
    t0 = time.perf_counter_ns()
    c = m.copy()
    t1 = time.perf_counter_ns()
    assert len(c) == len(keys)
    return t1 - t0


def op_iterate(m, keys, _absent):
    n = 0
    t0 = time.perf_counter_ns()
    for _k in m:
        n += 1
    t1 = time.perf_counter_ns()
    assert n == len(keys)
    return t1 - t0


def op_items(m, keys, _absent):
    t0 = time.perf_counter_ns()
    items = list(m.items())
    t1 = time.perf_counter_ns()
    assert len(items) == len(keys) and items[0][0] is items[0][1]
    return t1 - t0


def op_delete(m, keys, _absent):
    t0 = time.perf_counter_ns()
    for k in keys:
        del m[k]
    t1 = time.perf_counter_ns()
    assert len(m) == 0
    return t1 - t0


def make_keys(kind: str, n: int, rng: random.Random):
    if kind == "int":
        pool = rng.sample(range(1 << 40), 2 * n)
    else:
        pool = [f"key:{rng.getrandbits(48):012x}:{i}" for i in range(2 * n)]
    return pool[:n], pool[n:]


def measure(kind: str, n: int, repeats: int, names: list[str], seed: int):
    rng = random.Random(seed)
    keys, absent = make_keys(kind, n, rng)
    shuffled = keys[:]
    rng.shuffle(shuffled)
    source = dict(zip(keys, keys))
    rounds = max(1, 300_000 // n)  # small maps: repeat the loop to get measurable times
    samples = {name: {op: [] for op in OPS} for name in names}
    for rep in range(repeats):
        order = names[rep % len(names):] + names[: rep % len(names)]
        for name in order:
            cls = CLASSES[name]
            totals = dict.fromkeys(OPS, 0)
            for _ in range(rounds):
                gc.disable()
                try:
                    t, m = op_build(cls, keys, absent)
                    totals["build"] += t
                    totals["presized"] += op_presized(cls, keys, absent)
                    totals["hit"] += op_hit(m, shuffled, absent)
                    totals["hit-ins"] += op_hit(m, keys, absent)
                    totals["get"] += op_get(m, shuffled, absent)
                    totals["miss"] += op_miss(m, keys, absent)
                    totals["iterate"] += op_iterate(m, keys, absent)
                    totals["items"] += op_items(m, keys, absent)
                    totals["copy"] += op_copy(m, keys, absent)
                    totals["update"] += op_update(cls, source)
                    twin = m.copy()
                    totals["delete"] += op_delete(m, shuffled, absent)
                    totals["del-ins"] += op_delete(twin, keys, absent)
                finally:
                    gc.enable()
                del m, twin
            for op, t in totals.items():
                samples[name][op].append(t / (rounds * n))
        print(f"  [{kind} n={n}: repeat {rep + 1} of {repeats} done]", file=sys.stderr, flush=True)
    return samples


# Run in a fresh interpreter: RSS growth per entry of a map of n int keys
# built by m[k] = k from empty ("grown") or into a map made with room for n
# ("presized"), and the peak RSS growth while building it (the kernel's
# high-water mark, reset just before). The keys' own memory is not counted.
_BUILD_MEMORY_PROBE = """
import os, random, sys, velomap
name, how, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
def peak_rss():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
keys = random.Random(7).sample(range(1 << 40), n)
cls = dict if name == "dict" else getattr(velomap, name)
room = n
while room - int(room * 0.1) < n:
    room += 1
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from the current RSS
before = rss()
m = cls(capacity=room) if how == "presized" else cls()
for k in keys:
    m[k] = k
assert len(m) == n
print((rss() - before) / n, (peak_rss() - before) / n)
"""


def build_memory(n: int):
    """Rows of (name, how, bytes/entry after the build, peak bytes/entry during it)."""
    rows = []
    for name, how in (("dict", "grown"), ("ElasticHashMap", "grown"), ("ElasticHashMap", "presized"),
                      ("FunnelHashMap", "grown"), ("FunnelHashMap", "presized")):
        out = subprocess.run([sys.executable, "-c", _BUILD_MEMORY_PROBE, name, how, str(n)],
                             check=True, capture_output=True, text=True)
        after, peak = (float(x) for x in out.stdout.split())
        rows.append((name, how, after, peak))
    return rows


def print_build_memory(n: int, rows) -> None:
    print(f"\nMemory: {n} int keys by m[k] = k; RSS growth per entry after the build, and its peak "
          f"during the build")
    print(f"{'class':>15} {'build':>9} {'B/entry':>8} {'peak':>8}")
    for name, how, after, peak in rows:
        print(f"{name:>15} {how:>9} {after:8.1f} {peak:8.1f}", flush=True)


HIGH_LOAD_CAPACITY = 1 << 20
HIGH_LOAD_DELTAS = (0.1, 0.05, 0.02, 0.01, 0.005)
HIGH_LOAD_OPS = ("build", "hit", "miss", "delete")

# Run in a fresh interpreter: RSS growth per entry of one table holding keys
# that already exist (the keys' own memory is not counted). Every table is
# allocated once at its final size: memory freed by growth steps can stay
# in the process and would be counted too.
_MEMORY_PROBE = """
import os, random, sys, velomap
name, delta, n = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
keys = random.Random(7).sample(range(1 << 40), n)
if name == "dict":
    distinct = set(keys)  # dict.fromkeys sizes its table once from a set's length
    before = rss()
    m = dict.fromkeys(distinct)
else:
    before = rss()
    m = getattr(velomap, name).with_options(capacity=%d, reserve_fraction=delta)
for k in keys:
    m[k] = k
assert len(m) == n
print((rss() - before) / n)
""" % HIGH_LOAD_CAPACITY


def bytes_per_entry(name: str, delta: float, n: int) -> float:
    out = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, name, repr(delta), str(n)],
                         check=True, capture_output=True, text=True)
    return float(out.stdout)


def high_load(repeats: int, seed: int):
    """Rows of (delta, name, bytes/entry, {op: ns/op}) for dict and both classes."""
    rows = []
    for delta in HIGH_LOAD_DELTAS:
        n = HIGH_LOAD_CAPACITY - int(HIGH_LOAD_CAPACITY * delta)
        rng = random.Random(seed)
        pool = rng.sample(range(1 << 40), 2 * n)
        keys, absent = pool[:n], pool[n:]
        makers = {
            "dict": dict,
            "ElasticHashMap": lambda: velomap.ElasticHashMap.with_options(
                capacity=HIGH_LOAD_CAPACITY, reserve_fraction=delta),
            "FunnelHashMap": lambda: velomap.FunnelHashMap.with_options(
                capacity=HIGH_LOAD_CAPACITY, reserve_fraction=delta),
        }
        samples = {name: {op: [] for op in HIGH_LOAD_OPS} for name in makers}
        for rep in range(repeats):
            names = list(makers)
            names = names[rep % 3:] + names[: rep % 3]
            for name in names:
                gc.disable()
                try:
                    t, m = op_build(makers[name], keys, absent)
                    if name != "dict" and m.capacity != HIGH_LOAD_CAPACITY:
                        raise AssertionError(f"{name} grew at reserve fraction {delta}")
                    samples[name]["build"].append(t / n)
                    samples[name]["hit"].append(op_hit(m, keys, absent) / n)
                    samples[name]["miss"].append(op_miss(m, keys, absent) / n)
                    samples[name]["delete"].append(op_delete(m, keys, absent) / n)
                finally:
                    gc.enable()
                del m
        for name in makers:
            rows.append((delta, name, bytes_per_entry(name, delta, n),
                         {op: statistics.median(v) for op, v in samples[name].items()}))
    return rows


def print_high_load(rows) -> None:
    print(f"\nHigh load: capacity 2^20 filled to its limit; ratio = class / dict in the same run")
    print(f"{'delta':>6} {'class':>15} {'B/entry':>8} {'x dict':>6}" + "".join(f" {op:>7}" for op in HIGH_LOAD_OPS))
    base = {(d, op): v[op] for d, name, _, v in rows if name == "dict" for op in HIGH_LOAD_OPS}
    mem = {d: b for d, name, b, _ in rows if name == "dict"}
    for delta, name, b, v in rows:
        line = f"{delta:>6} {name:>15} {b:8.1f} {b / mem[delta]:6.2f}"
        for op in HIGH_LOAD_OPS:
            line += f" {v[op] / base[delta, op]:7.2f}" if name != "dict" else f" {v[op]:6.0f}n"
        print(line, flush=True)


def plot_high_load(rows, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax_mem, ax_speed) = plt.subplots(1, 2, figsize=(12, 4.5))
    # x is 1/delta on a log axis, labelled with the load 1 - delta.
    xs = sorted({1 / d for d, *_ in rows})
    for name in ("dict", "ElasticHashMap", "FunnelHashMap"):
        pts = sorted((1 / d, b) for d, n, b, _ in rows if n == name)
        ax_mem.plot(*zip(*pts), marker="o", label=name)
    ax_mem.set_xlabel("load (entries / capacity), log scale in 1 / (1 - load)")
    ax_mem.set_ylabel("bytes per entry (RSS)")
    ax_mem.set_ylim(bottom=0)
    ax_mem.set_title("Memory")
    ax_mem.legend()
    base = {(d, op): v[op] for d, name, _, v in rows if name == "dict" for op in HIGH_LOAD_OPS}
    styles = {"ElasticHashMap": "-", "FunnelHashMap": "--"}
    for name, style in styles.items():
        for op in HIGH_LOAD_OPS:
            pts = sorted((1 / d, v[op] / base[d, op]) for d, n, _, v in rows if n == name)
            ax_speed.plot(*zip(*pts), linestyle=style, marker="o", label=f"{name[:-7].lower()} {op}")
    ax_speed.axhline(1.0, color="grey", linewidth=1)
    ax_speed.set_xlabel("load (entries / capacity), log scale in 1 / (1 - load)")
    ax_speed.set_ylabel("time / dict's time")
    ax_speed.set_title("Speed (below 1: faster than dict)")
    ax_speed.legend(fontsize=7, ncol=2)
    for ax in (ax_mem, ax_speed):
        ax.set_xscale("log")
        ax.set_xticks(xs)
        ax.set_xticklabels([f"{1 - 1 / x:.3f}" for x in xs])
        ax.minorticks_off()
    fig.suptitle("velomap presized to 2^20 and filled to its limit, against dict (int keys)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot: {path}")


# The large-map section (--large): maps of 10^6 and 10^7 str keys, made and
# inserted in the same order (what most programs do), and the bulk
# operations that walk or rebuild all of them: iterate (for k in m), items
# (for k, v in m.items()), list (list(m)), copy (m.copy()) and cls(d)
# (construction from a dict). Thread CPU time, interleaved, GC off; the
# ratio to dict is the median of the per-repeat ratios.
LARGE_OPS = {
    "iterate": lambda m, d: sum(1 for _k in m),
    "items": lambda m, d: sum(1 for _k, _v in m.items()),
    "list": lambda m, d: len(list(m)),
    "copy": lambda m, d: len(m.copy()),
    "cls(d)": lambda m, d: len(type(m)(d)),
}


def large(sizes: list[int], repeats: int, names: list[str]):
    rows = []
    for n in sizes:
        print(f"  [large n={n:,}: making keys and maps]", file=sys.stderr, flush=True)
        keys = [f"key:{i}" for i in range(n)]
        d = dict.fromkeys(keys, 0)
        maps = {}
        for name in names:
            m = CLASSES[name]()
            for k in keys:
                m[k] = 0
            maps[name] = m
        times = {(name, op): [] for name in names for op in LARGE_OPS}
        for rep in range(repeats):
            for op, f in LARGE_OPS.items():
                for name in names[rep % len(names):] + names[: rep % len(names)]:
                    gc.disable()
                    try:
                        t0 = time.thread_time()
                        got = f(maps[name], d)
                        t1 = time.thread_time()
                    finally:
                        gc.enable()
                    assert got == n, (name, op, got)
                    times[(name, op)].append(t1 - t0)
            print(f"  [large n={n:,}: repeat {rep + 1} of {repeats} done]", file=sys.stderr,
                  flush=True)
        for op in LARGE_OPS:
            base = times[("dict", op)]
            row = {"n": n, "op": op, "dict_ms": 1e3 * statistics.median(base)}
            for name in names[1:]:
                row[name] = statistics.median(t / b for t, b in zip(times[(name, op)], base))
            rows.append(row)
        del maps, d, keys
    return rows


def print_large(rows, names: list[str]) -> None:
    print()
    print("Large maps: str keys made and inserted in order; thread CPU time, ratio = class / dict")
    print(f"{'n':>10} {'op':>8} {'dict ms':>9}" + "".join(f" {n:>8}" for n in names[1:]))
    for r in rows:
        print(f"{r['n']:>10,} {r['op']:>8} {r['dict_ms']:>9.1f}" +
              "".join(f" {r[n]:>8.2f}" for n in names[1:]))


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", default="1000,100000,1000000")
    p.add_argument("--kinds", default="int,str")
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--classes", default="elastic,funnel")
    p.add_argument("--seed", type=int, default=12345)
    p.add_argument("--quick", action="store_true",
                   help="about a minute: int keys at 1e3 and 1e5, 3 repeats, no high-load section")
    p.add_argument("--high-load", action="store_true", help="run only the high-load section")
    p.add_argument("--large", action="store_true",
                   help="run only the large-map section (10^6 and 10^7 str keys)")
    p.add_argument("--large-sizes", default="1000000,10000000")
    p.add_argument("--plot", metavar="PNG", help="draw the high-load figures into this file")
    p.add_argument("--json", metavar="FILE", help="write the raw numbers into this file")
    args = p.parse_args(argv)
    if args.quick:
        args.sizes, args.kinds, args.repeats = "1000,100000", "int", 3

    raw = {}
    if args.large:
        names = ["dict"] + [c for c in args.classes.split(",") if c]
        rows = large([int(x) for x in args.large_sizes.split(",")], max(1, args.repeats), names)
        raw["large"] = rows
        print_large(rows, names)
    elif not args.high_load:
        raw["general"] = general(args)
        n = max(int(s) for s in args.sizes.split(","))
        raw["memory"] = {"n": n, "rows": build_memory(n)}
        print_build_memory(n, raw["memory"]["rows"])
    if not args.quick and not args.large:
        rows = high_load(max(1, min(args.repeats, 3)), args.seed)
        raw["high_load"] = rows
        print_high_load(rows)
        if args.plot:
            os.makedirs(os.path.dirname(args.plot) or ".", exist_ok=True)
            plot_high_load(rows, args.plot)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(raw, f, indent=1)
        print(f"raw numbers: {args.json}")
    return 0


def general(args) -> None:
    names = ["dict"] + [c for c in args.classes.split(",") if c]
    others = names[1:]
    print(f"Python {sys.version.split()[0]}, velomap {velomap.__file__.rsplit('/', 1)[-1]}; "
          f"ns/op, median of {args.repeats} interleaved repeats; ratio = class / dict, "
          f"the median of the per-repeat ratios and their range")
    header = f"{'keys':>4} {'n':>8} {'op':>7} {'dict':>8}" + "".join(
        f" {name:>8} {'ratio (range)':>18}" for name in others)
    print(header)
    print("-" * len(header))
    raw = []
    for kind in args.kinds.split(","):
        for n in (int(s) for s in args.sizes.split(",")):
            samples = measure(kind, n, args.repeats, names, args.seed)
            raw.append({"keys": kind, "n": n, "ns_per_op": samples})
            for op in OPS:
                base = samples["dict"][op]
                line = f"{kind:>4} {n:>8} {op:>7} {statistics.median(base):8.1f}"
                for name in others:
                    mine = samples[name][op]
                    ratios = [a / b for a, b in zip(mine, base)]
                    spread = f"{statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f})"
                    line += f" {statistics.median(mine):8.1f} {spread:>18}"
                print(line, flush=True)
    return raw


if __name__ == "__main__":
    sys.exit(main())
