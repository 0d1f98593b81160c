"""Tunes the beam search bot's weights by coordinate search on short games.

    python bench/beam_tune.py                                  # about ten minutes on one core
    python bench/beam_tune.py --games 2 --pieces 300 --rounds 1   # a quick look

Starting from a weight set (default: "default"), each round tries every tuned weight scaled by
0.5 and by 1.5 (a weight at 0 tries -step and +step) and keeps a change when it raises the
objective: the mean over the games of the attack per piece under the guideline table, a game
that tops out counting -1. Games are played natively (`corvelle._batch.beam_play`) from
seeds of their own (not the bench's), at a reduced search (width 8, depth 4 by default) so
that a round takes minutes. Prints every trial and, at the end, the weights found as a dict
to paste into game/src/bot/beam.cpp.

The run that set the default weights (2026-12-10, 3 games x 500 pieces, width 8, depth 4,
2 rounds over the weights below) is recorded in bench/beam_tune.md.
"""

from __future__ import annotations

import argparse
import hashlib
import statistics
import sys
import time
from typing import Dict, List

import corvelle_vim
from corvelle import _batch
from corvelle_vim import GameStatePy

TAG = b"corvelle.beam_tune"
TUNED = ("attack", "back_to_back", "t_slot_1", "t_slot_2", "t_spin", "wasted_t", "clear_1",
         "clear_2", "clear_4", "holes", "covered", "height", "danger", "bumpiness",
         "row_transitions", "well")


def start(i: int) -> bytes:
    seed = hashlib.sha256(TAG + i.to_bytes(8, "little")).digest()
    return bytes(GameStatePy(corvelle_vim.generate_seed(0, seed)).to_bytes())


def objective(weights: Dict[str, float], games: int, pieces: int, width: int, depth: int) -> float:
    scores = []
    for i in range(games):
        final, fig = _batch.beam_play(start(i), pieces, width=width, depth=depth, weights=weights)
        over = GameStatePy.state_from_bytes(final).game_over
        scores.append(-1.0 if over else fig["attack"] / max(1, fig["pieces"]))
    return statistics.fmean(scores)


def main(argv: List[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--games", type=int, default=3)
    ap.add_argument("--pieces", type=int, default=500)
    ap.add_argument("--width", type=int, default=8)
    ap.add_argument("--depth", type=int, default=4)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--start", default="default", help="the weight set to start from")
    ap.add_argument("--step", type=float, default=10.0, help="the move of a weight at 0")
    ap.add_argument("--tune", default=",".join(TUNED), help="comma-separated weight names")
    args = ap.parse_args(argv)

    weights = _batch.beam_weights(args.start)
    names = [n for n in args.tune.split(",") if n]
    for n in names:
        if n not in weights:
            ap.error(f"unknown weight {n!r}; weights are {', '.join(weights)}")
    began = time.perf_counter()
    best = objective(weights, args.games, args.pieces, args.width, args.depth)
    print(f"start {args.start}: objective {best:.4f}", flush=True)
    for r in range(args.rounds):
        for name in names:
            v = weights[name]
            for candidate in ((v * 0.5, v * 1.5) if v else (-args.step, args.step)):
                trial = dict(weights, **{name: candidate})
                score = objective(trial, args.games, args.pieces, args.width, args.depth)
                kept = score > best
                print(f"round {r}: {name} {v:g} -> {candidate:g}: {score:.4f}"
                      f"{'  kept' if kept else ''}", flush=True)
                if kept:
                    best, weights = score, trial
                    v = candidate
    print(f"\nobjective {best:.4f} after {time.perf_counter() - began:.0f} s; weights:")
    print("{" + ", ".join(f'"{k}": {weights[k]:g}' for k in weights) + "}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
