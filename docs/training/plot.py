"""Draws the reference training run's learning curve (lines and pieces per episode against
steps, beside a random masked policy's) from the CSV files of examples/ppo_masked.py.

    python docs/training/plot.py docs/training/ppo_shaped.csv docs/training/random_shaped.csv \
        docs/training/curve.png
"""

import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def read(path):
    rows = list(csv.DictReader(open(path)))
    return {k: [float(r[k]) for r in rows] for k in rows[0]}


def main(ppo_path, random_path, out_path):
    ppo, rnd = read(ppo_path), read(random_path)
    fig, axes = plt.subplots(1, 2, figsize=(9, 3.2), dpi=100)
    for ax, key, title in zip(
        axes, ("lines_per_episode", "pieces_per_episode"), ("lines per episode", "pieces per episode")
    ):
        ax.plot([s / 1e6 for s in ppo["steps"]], ppo[key], label="masked PPO, shaped reward")
        level = sum(rnd[key]) / len(rnd[key])
        ax.axhline(level, color="grey", linestyle="--", label=f"random valid placement ({level:.3g})")
        ax.set_xlabel("placement steps (millions)")
        ax.set_title(title)
        ax.grid(alpha=0.3)
    axes[0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out_path)


if __name__ == "__main__":
    main(*sys.argv[1:4])
