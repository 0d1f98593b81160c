"""Draws the reference training runs' learning curves (lines and pieces per episode, and lines
per piece, against steps, beside a random masked policy's) from the CSV files of
examples/ppo_masked.py.

    python docs/training/plot.py docs/training/curve.png docs/training/random_shaped.csv \
        "MLP policy=docs/training/ppo_shaped.csv" \
        "after-state scorer=docs/training/ppo_afterstates_shaped.csv"

Each run is LABEL=CSV; a run whose CSV has no lines_per_piece column is left out of that panel.
"""

import csv
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PANELS = (
    ("lines_per_episode", "lines per episode"),
    ("pieces_per_episode", "pieces per episode"),
    ("lines_per_piece", "lines per piece"),
)


def read(path):
    rows = list(csv.DictReader(open(path)))
    return {k: [float(r[k]) if r[k] else math.nan for r in rows] for k in rows[0]}


def main(out_path, random_path, *runs):
    rnd = read(random_path)
    fig, axes = plt.subplots(1, len(PANELS), figsize=(12, 3.4), dpi=100)
    for ax, (key, title) in zip(axes, PANELS):
        for i, run in enumerate(runs):
            label, path = run.split("=", 1)
            data = read(path)
            if key in data:
                # Markers too: a row between two rows where no episode ended stands alone.
                ax.plot([s / 1e6 for s in data["steps"]], data[key], color=f"C{i}", marker=".",
                        markersize=3, label=label)
        if key in rnd:
            level = sum(rnd[key]) / len(rnd[key])
            ax.axhline(level, color="grey", linestyle="--", label=f"random valid placement ({level:.2g})")
        if key != "lines_per_piece":
            ax.set_yscale("log")
        ax.set_xlabel("placement steps (millions)")
        ax.set_title(title)
        ax.grid(alpha=0.3)
    axes[0].legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(out_path)


if __name__ == "__main__":
    main(*sys.argv[1:])
