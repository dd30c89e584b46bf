"""Draws report.png from results.json: CPU per picture (median, with the minimum marked) for
every row of every input.

    python plot.py results.json report.png
"""

from __future__ import annotations

import json
import statistics
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main() -> int:
    with open(sys.argv[1]) as f:
        data = json.load(f)
    results, meta = data["results"], data["meta"]
    inputs = list(results)
    fig, axes = plt.subplots(len(inputs), 1, figsize=(10, 2.2 + 1.9 * len(inputs)), squeeze=False)
    for ax, name in zip(axes[:, 0], inputs):
        rows = results[name]
        labels = list(rows)
        medians = [statistics.median(r["cpu_per_picture_ns"] for r in rows[k]) / 1000 for k in labels]
        minima = [min(r["cpu_per_picture_ns"] for r in rows[k]) / 1000 for k in labels]
        colours = ["tab:red" if k.startswith("trelvo") else "tab:gray" if k.startswith("floor") else "tab:blue"
                   for k in labels]
        y = range(len(labels))
        ax.barh(y, medians, color=colours)
        ax.plot(minima, list(y), "k|", markersize=10)
        ax.set_yticks(list(y))
        ax.set_yticklabels(labels, fontsize=8)
        ax.invert_yaxis()
        ax.set_title(name, fontsize=9)
        ax.set_xlabel("CPU µs per picture (bar: median, tick: minimum)", fontsize=8)
    fig.suptitle(f"trelvo benchmark — {meta['cpu']}, {meta['date']}", fontsize=10)
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=90)
    return 0


if __name__ == "__main__":
    sys.exit(main())
