"""Throughput of the self-play versus vector env next to the single-player one, in one run.

    python bench/versus_bench.py [--agents 256] [--seconds 2] [--repeats 3] [--threads 1]
                                 [--moves chains|all]

Both play a masked random policy (every action a playable chain, or with `--moves all` a
playable placement of every placement). The single-player env steps
`agents` games; the versus env steps agents / 2 matches, each step placing one piece for
each of its 2 agents. Reported: agent placements per second counting only the time in `step`
(median over the repeats), and their ratio.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import statistics
import time

import numpy as np

from corvelle.envs import PlacementVectorEnv, versus_vector_env


def masked_choice(rng: np.random.Generator, mask: np.ndarray) -> np.ndarray:
    noise = rng.integers(0, 64, size=mask.shape, dtype=np.int8)
    return np.argmax(noise + (mask << 6), axis=-1)


def rate(env, agents_per_row: int, rows: int, seconds: float, seed: int) -> float:
    rng = np.random.default_rng(seed)
    _, info = env.reset(seed=seed)
    in_step = 0.0
    placements = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        actions = masked_choice(rng, info["action_mask"])
        t = time.perf_counter()
        _, _, _, _, info = env.step(actions)
        in_step += time.perf_counter() - t
        placements += rows * agents_per_row
    return placements / in_step


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--agents", type=int, default=256)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--moves", choices=("chains", "all"), default="chains")
    args = parser.parse_args()
    single = PlacementVectorEnv(args.agents, num_threads=args.threads, copy=False,
                                moves=args.moves)
    versus = versus_vector_env(args.agents // 2, attack="guideline", num_threads=args.threads,
                               copy=False, moves=args.moves)
    rates = {"single": [], "versus": []}
    for k in range(args.repeats):
        rates["single"].append(rate(single, 1, args.agents, args.seconds, k))
        rates["versus"].append(rate(versus, 2, args.agents // 2, args.seconds, k))
    s, v = statistics.median(rates["single"]), statistics.median(rates["versus"])
    print(f"single-player PlacementVectorEnv({args.agents}):  {s:,.0f} agent placements/s")
    print(f"versus_vector_env({args.agents // 2} matches):     {v:,.0f} agent placements/s")
    print(f"versus / single: {v / s:.2f}  ({args.threads} thread(s), moves={args.moves})")


if __name__ == "__main__":
    main()
