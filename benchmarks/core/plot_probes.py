"""Plot the probe lengths written by velomap_probes (CSV on stdin or a file).

Four panels for the largest n measured: insertion and successful search,
mean and worst case, in 16-slot group loads against 1/delta, log axes, with
reference curves proportional to 1, log 1/delta, log^2 1/delta and 1/delta.
Also prints a Markdown table of the same figures.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

SCHEMES = ("elastic", "funnel", "uniform", "linear")
PANELS = (("insert_mean", "insertion, mean"), ("insert_max", "insertion, worst case"),
          ("search_mean", "successful search, mean"), ("search_max", "successful search, worst case"))
REFERENCES = (("1", lambda x: 1.0), ("log 1/δ", math.log2), ("log² 1/δ", lambda x: math.log2(x) ** 2),
              ("1/δ", lambda x: x))


def load(stream):
    rows = list(csv.DictReader(stream))
    for r in rows:
        r["n"] = int(r["n"])
        for k in ("delta", "insert_mean", "insert_max", "search_mean", "search_max"):
            r[k] = float(r[k])
    return rows


def plot(rows, n: int, out: str) -> None:
    fig, axes = plt.subplots(2, 2, figsize=(11, 8), sharex=True)
    for ax, (field, title) in zip(axes.flat, PANELS):
        top = 1.0
        for scheme in SCHEMES:
            pts = sorted((1 / r["delta"], r[field]) for r in rows if r["scheme"] == scheme and r["n"] == n)
            if pts:
                ax.plot(*zip(*pts), marker="o", label=scheme)
                top = max(top, max(p[1] for p in pts))
        xs = sorted({1 / r["delta"] for r in rows if r["n"] == n})
        for name, f in REFERENCES:
            # Anchored at the smallest 1/delta, drawn faintly for the slope.
            scale = 1.0 / max(f(xs[0]), 1e-9)
            ax.plot(xs, [scale * f(x) for x in xs], linestyle=":", color="grey", linewidth=1)
            ax.annotate(name, (xs[-1], scale * f(xs[-1])), fontsize=7, color="grey")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log", base=2)
        ax.set_ylim(0.8, top * 2)
        ax.set_title(title)
        ax.grid(True, which="major", alpha=0.3)
    for ax in axes[1]:
        ax.set_xlabel("1/δ (table filled to 1 − δ)")
    for ax in axes[:, 0]:
        ax.set_ylabel("16-slot groups read")
    axes[0, 0].legend()
    fig.suptitle(f"Probe lengths against load, n = 2^{int(math.log2(n))} slots")
    fig.tight_layout()
    fig.savefig(out, dpi=100)


def table(rows, n: int) -> str:
    lines = ["| 1/δ | " + " | ".join(f"{s} ins. mean/max | {s} search mean/max" for s in SCHEMES[:3]) + " |",
             "|---" * 7 + "|"]
    for inv in sorted({round(1 / r["delta"]) for r in rows if r["n"] == n}):
        cells = []
        for s in SCHEMES[:3]:
            r = next((r for r in rows if r["scheme"] == s and r["n"] == n and round(1 / r["delta"]) == inv), None)
            cells += ["–", "–"] if r is None else [f"{r['insert_mean']:.2f} / {r['insert_max']:.0f}",
                                                   f"{r['search_mean']:.2f} / {r['search_max']:.0f}"]
        lines.append(f"| {inv} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("csv", nargs="?", help="CSV file (default: stdin)")
    p.add_argument("--out", default="docs/probes.png")
    args = p.parse_args(argv)
    with (open(args.csv) if args.csv else sys.stdin) as f:
        rows = load(f)
    n = max(r["n"] for r in rows)
    plot(rows, n, args.out)
    print(table(rows, n))
    print(f"\nplot: {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
