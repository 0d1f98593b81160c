"""Throughput of the placement environments: masked placement steps per second.

    python bench/envs_bench.py [--envs 256] [--seconds 3] [--repeats 5]

Every step plays, in each game, a chain its action mask allows (a random masked policy), and
writes observations, rewards, flags and masks. Rates count game steps (num_envs per vector
step). "env" rates count only the time spent inside `step`; "loop" rates also count the
policy (a numpy masked choice). Reported: the median over the repeats, and the total work.

Compared: PlacementVectorEnv (native, batched) on one and two threads, with and without
copies of its arrays, and gymnasium's SyncVectorEnv over the same number of PlacementEnv; then
the same two with `moves="all"` (every placement an action); the vector env with
`afterstates=True`; then a single PlacementEnv (as a SyncVectorEnv of one, and stepped
directly with `env.step`), and KeyVectorEnv (one engine action per step, native) at 1, 256 and
1024 games.
Figures measured on the project's machine: bench/envs_results.md.
"""

from __future__ import annotations

import os

# numpy's BLAS threads would compete with the batch's own threads for the two cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import statistics
import time

import numpy as np
from gymnasium.vector import SyncVectorEnv

from corvelle.envs import KeyVectorEnv, PlacementEnv, PlacementVectorEnv


class MaskedPolicy:
    """A uniform random choice among each game's playable chains, from precomputed noise so
    that the policy costs little next to the environment."""

    def __init__(self, num_envs: int, action_nb: int, seed: int = 0) -> None:
        rng = np.random.default_rng(seed)
        frames = max(1, 16 * 96 // action_nb)
        self.noise = rng.integers(0, 64, size=(frames, num_envs, action_nb), dtype=np.int8)
        self.k = 0

    def __call__(self, mask: np.ndarray) -> np.ndarray:
        self.k = (self.k + 1) % len(self.noise)
        return np.argmax(self.noise[self.k] + (mask << 6), axis=1)


def run(env, seconds: float, seed: int) -> tuple[float, float, int]:
    """(env-only rate, loop rate, game steps) of one timed run."""
    policy = MaskedPolicy(env.num_envs, int(env.single_action_space.n), seed)
    _, info = env.reset(seed=seed)
    step_time = 0.0
    steps = 0
    invalid = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        actions = policy(info["action_mask"])
        t = time.perf_counter()
        _, _, _, _, info = env.step(actions)
        step_time += time.perf_counter() - t
        steps += env.num_envs
        invalid += int(info["invalid_action"].sum())
    loop_time = time.perf_counter() - start
    assert invalid == 0, "the policy played masked-out actions"
    return steps / step_time, steps / loop_time, steps


def run_single(env, seconds: float, seed: int) -> tuple[float, float, int]:
    """`run` for one env stepped directly (no vector wrapper), reset when its episode ends
    (the reset counted as step time, as a vector env's autoreset is)."""
    policy = MaskedPolicy(1, int(env.action_space.n), seed)
    _, info = env.reset(seed=seed)
    step_time = 0.0
    steps = 0
    invalid = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        action = int(policy(info["action_mask"][None])[0])
        t = time.perf_counter()
        _, _, terminated, truncated, info = env.step(action)
        if terminated or truncated:
            _, info = env.reset()
        step_time += time.perf_counter() - t
        steps += 1
        invalid += int(info["invalid_action"])
    loop_time = time.perf_counter() - start
    assert invalid == 0, "the policy played masked-out actions"
    return steps / step_time, steps / loop_time, steps


def measure(name: str, make, seconds: float, repeats: int, runner=run) -> float:
    env_rates, loop_rates, total = [], [], 0
    for r in range(repeats):
        env = make()
        env_rate, loop_rate, steps = runner(env, seconds, seed=r)
        env.close()
        env_rates.append(env_rate)
        loop_rates.append(loop_rate)
        total += steps
    env_rate = statistics.median(env_rates)
    print(
        f"{name:<44} env {env_rate:>12,.0f} steps/s   loop {statistics.median(loop_rates):>12,.0f}"
        f" steps/s   ({total:,} steps)"
    )
    return env_rate


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--envs", type=int, default=256)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sync-seconds", type=float, default=3.0)
    args = parser.parse_args()
    n = args.envs
    print(f"{n} games, {os.cpu_count()} cores, median of {args.repeats} runs")

    rates = {}
    for threads in (1, 2):
        for copy in (False, True):
            name = f"PlacementVectorEnv threads={threads} copy={copy}"
            rates[name] = measure(
                name,
                lambda: PlacementVectorEnv(n, num_threads=threads, copy=copy),
                args.seconds,
                args.repeats,
            )
    sync = measure(
        "SyncVectorEnv of PlacementEnv",
        lambda: SyncVectorEnv([PlacementEnv for _ in range(n)]),
        args.sync_seconds,
        max(1, args.repeats // 2),
    )
    best = max(rates.values())
    print(f"best native / SyncVectorEnv: {best / sync:,.0f}x")

    all_rates = {}
    for threads in (1, 2):
        name = f"PlacementVectorEnv moves=all threads={threads}"
        all_rates[name] = measure(
            name,
            lambda: PlacementVectorEnv(n, num_threads=threads, moves="all"),
            args.seconds,
            args.repeats,
        )
    sync_all = measure(
        "SyncVectorEnv of PlacementEnv moves=all",
        lambda: SyncVectorEnv([lambda: PlacementEnv(moves="all") for _ in range(n)]),
        args.sync_seconds,
        max(1, args.repeats // 2),
    )
    print(f"moves=all: best native / SyncVectorEnv: {max(all_rates.values()) / sync_all:,.0f}x")

    # What the after-state features cost: each game lists what every valid chain leaves.
    plain = rates["PlacementVectorEnv threads=2 copy=True"]
    after = measure(
        "PlacementVectorEnv threads=2 afterstates=True",
        lambda: PlacementVectorEnv(n, num_threads=2, afterstates=True),
        args.seconds,
        args.repeats,
    )
    print(f"afterstates=True / without: {after / plain:.2f}")

    measure(
        "single PlacementEnv",
        lambda: SyncVectorEnv([PlacementEnv]),
        args.sync_seconds,
        max(1, args.repeats // 2),
    )
    measure(
        "single PlacementEnv, stepped directly",
        PlacementEnv,
        args.sync_seconds,
        max(1, args.repeats // 2),
        runner=run_single,
    )
    for games in (1, 256, 1024):
        measure(
            f"KeyVectorEnv num_envs={games}",
            lambda: KeyVectorEnv(games),
            args.seconds,
            args.repeats,
        )


if __name__ == "__main__":
    main()
