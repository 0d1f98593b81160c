"""Throughput of dataset generation: transitions written per second, 1 and 2 workers.

    python bench/datagen_bench.py [--games 64] [--max-pieces 500] [--games-per-shard 8]
                                  [--repeats 3] [--workers 1,2] [--ray-for-one]

Each run writes the same dataset (one master seed) to a fresh temporary directory: one worker
plays in this process (as a Ray task with --ray-for-one), more play as Ray tasks on a local
Ray of that many CPUs, started once before the timed runs. Rates count the time from the
first shard to the manifest; Ray's start-up is reported apart. Reported: the median over the
repeats, and the scaling ratio of each worker count against one worker. Other work on the
machine lowers the two-worker figure first: run it on an otherwise idle machine.
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import tempfile
import time
from typing import Dict, List

from corvelle.datagen import generate, require_ray


def _run(
    games: int, max_pieces: int, per_shard: int, workers: int, use_ray: bool
) -> "tuple[int, float]":
    out = tempfile.mkdtemp(prefix="datagen-bench-")
    try:
        r = generate(
            out,
            games,
            seed=bytes(range(32)),
            max_pieces=max_pieces,
            games_per_shard=per_shard,
            workers=workers,
            use_ray=use_ray,
        )
        return r.transitions, r.elapsed
    finally:
        shutil.rmtree(out, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=64)
    parser.add_argument("--max-pieces", type=int, default=500)
    parser.add_argument("--games-per-shard", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--workers", default="1,2", help="comma-separated worker counts")
    parser.add_argument(
        "--ray-for-one", action="store_true", help="run one worker as a Ray task too"
    )
    args = parser.parse_args()
    counts = [int(w) for w in args.workers.split(",")]

    ray = None
    startup = 0.0
    if max(counts) > 1 or args.ray_for_one:
        ray = require_ray()
        began = time.perf_counter()
        ray.init(
            address="local", num_cpus=max(counts), include_dashboard=False, log_to_driver=False
        )
        startup = time.perf_counter() - began

    rates: Dict[int, float] = {}
    try:
        for workers in counts:
            runs: List[float] = []
            rows = 0
            for _ in range(args.repeats):
                rows, seconds = _run(
                    args.games,
                    args.max_pieces,
                    args.games_per_shard,
                    workers,
                    workers > 1 or args.ray_for_one,
                )
                runs.append(rows / seconds)
            rates[workers] = statistics.median(runs)
            where = "Ray tasks" if workers > 1 or args.ray_for_one else "in process"
            print(
                f"workers {workers} ({where}): {rates[workers]:,.0f} transitions/s "
                f"(median of {args.repeats}; {rows} transitions, {args.games} games of up to "
                f"{args.max_pieces} pieces)"
            )
    finally:
        if ray is not None:
            ray.shutdown()
    if ray is not None:
        print(f"Ray start-up: {startup:.1f} s (not in the rates)")
    if 1 in rates:
        for workers, rate in rates.items():
            if workers != 1:
                print(f"scaling {workers} workers / 1 worker: {rate / rates[1]:.2f}")


if __name__ == "__main__":
    main()
