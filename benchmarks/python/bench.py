"""velomap against dict: the same keys, interleaved repeats, GC off, medians.

Each measurement runs the loop a Python user would write (``m[k] = v``,
``m[k]``, ``k in m``, ``del m[k]``) inside a function, for dict and for each
velomap class in turn, and reports nanoseconds per operation and the ratio to
dict measured in the same run. Every loop checks its result (a checksum, a
hit count, the final length), so a broken table cannot look fast.
"""

from __future__ import annotations

import argparse
import gc
import random
import statistics
import sys
import time

import velomap

CLASSES = {"dict": dict, "elastic": velomap.ElasticHashMap, "funnel": velomap.FunnelHashMap}
# Per-element costs: single-key loops (build = m[k] = v from empty, hit = m[k],
# get = m.get(k), miss = k in m for absent keys, delete = del m[k]) and bulk
# operations (iterate = for k in m, items = list(m.items()), copy = m.copy(),
# update = m.update(a_dict) into an empty map).
OPS = ("build", "hit", "get", "miss", "delete", "iterate", "items", "copy", "update")


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
                    totals["hit"] += op_hit(m, keys, absent)
                    totals["get"] += op_get(m, keys, absent)
                    totals["miss"] += op_miss(m, keys, absent)
                    totals["iterate"] += op_iterate(m, keys, absent)
                    totals["items"] += op_items(m, keys, absent)
                    totals["copy"] += op_copy(m, keys, absent)
                    totals["update"] += op_update(cls, source)
                    totals["delete"] += op_delete(m, keys, absent)
                finally:
                    gc.enable()
                del m
            for op, t in totals.items():
                samples[name][op].append(t / (rounds * n))
    return {name: {op: statistics.median(v) for op, v in ops.items()} for name, ops in samples.items()}


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", default="1000,100000,1000000")
    p.add_argument("--kinds", default="int,str")
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--classes", default="elastic,funnel")
    p.add_argument("--seed", type=int, default=12345)
    args = p.parse_args(argv)

    names = ["dict"] + [c for c in args.classes.split(",") if c]
    others = names[1:]
    print(f"Python {sys.version.split()[0]}, velomap {velomap.__file__.rsplit('/', 1)[-1]}; "
          f"ns/op, median of {args.repeats} interleaved repeats; ratio = class / dict")
    header = f"{'keys':>4} {'n':>8} {'op':>7} {'dict':>8}" + "".join(
        f" {name:>8} {'ratio':>6}" for name in others)
    print(header)
    print("-" * len(header))
    for kind in args.kinds.split(","):
        for n in (int(s) for s in args.sizes.split(",")):
            res = measure(kind, n, args.repeats, names, args.seed)
            for op in OPS:
                base = res["dict"][op]
                line = f"{kind:>4} {n:>8} {op:>7} {base:8.1f}"
                for name in others:
                    v = res[name][op]
                    line += f" {v:8.1f} {v / base:6.2f}"
                print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
