"""Observations of stored states: states per second turned into environment observations.

    python bench/obs_bench.py [--states 200000] [--repeats 5]

The states are the byte forms of bot-played games (what a dataset's `state` column holds).
Compared: `corvelle.envs.observations_from_bytes` (native, batched; target at least 1,000,000
states/s) and the Python path, `observation_from_state(bytestate.decode(b))` one state at a
time, on a slice of the same states. Reported: the median over the repeats.
"""

from __future__ import annotations

import argparse
import statistics
import time

import corvelle_vim
from corvelle.bytestate import decode
from corvelle.envs import observations_from_bytes
from corvelle.envs.obs import observation_from_state

TARGET = 1_000_000


def played_states(n: int) -> list:
    out: list = []
    game = 0
    while len(out) < n:
        seed = corvelle_vim.generate_seed(game, bytes(range(game % 200, game % 200 + 32)))
        episode = corvelle_vim.GameStatePy(seed).generate_bot_episode(
            "wordpress", min(20_000, n - len(out))
        )
        out += [bytes(t) for _, t in episode]
        game += 1
    return out


def rate(fn, states: list, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn(states)
        times.append(time.perf_counter() - t0)
    return len(states) / statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--states", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    states = played_states(args.states)
    native = rate(observations_from_bytes, states, args.repeats)
    python = rate(lambda ss: [observation_from_state(decode(b)) for b in ss],
                  states[: max(1, args.states // 50)], args.repeats)
    mark = "pass" if native >= TARGET else "short"
    print(f"{'name':<40} {'states/s':>14} {'target':>14} mark")
    target = ">= " + format(TARGET, ",")
    print(f"{'observations_from_bytes (native)':<40} {native:>14,.0f} {target:>14} {mark}")
    print(f"{'observation_from_state(decode(b))':<40} {python:>14,.0f} {'':>14}")
    print(f"native / Python: {native / python:,.0f}x")


if __name__ == "__main__":
    main()
