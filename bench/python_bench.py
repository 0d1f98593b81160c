"""Python-level benchmarks of corvelle_vim with pyperf, on the fixed inputs of bench/inputs/.

    python bench/python_bench.py [pyperf options, e.g. -o out.json --fast]

Every benchmark's value is the time of one call (one attribute read), the episode's the time
of 10,000 steps; bench/report.py turns the episode and the replay playback into rates. Inputs
are built in each worker before its timing starts; the 100,000-action replay stream is cached
in bench/results/cache/.
"""
import functools
import time
from pathlib import Path

import pyperf

import corvelle
import game_scripts as gs

REPLAY_ACTIONS = 100_000
EPISODE_STEPS = 10_000
CACHE = Path(__file__).resolve().parent / "results" / "cache"


@functools.cache
def state(label):
    return gs.load(f"{label}.txt").final_state()


@functools.cache
def seed():
    script = gs.load("fresh.txt")
    return gs.cv.generate_seed(script.ts, script.seed)


@functools.cache
def replay():
    return gs.cached_replay_bytes("replay.txt.gz", REPLAY_ACTIONS, CACHE)


def timed(loops, fn, *args):
    """Seconds taken by `loops` calls of fn(*args)."""
    it = range(loops)
    t0 = time.perf_counter()
    for _ in it:
        fn(*args)
    return time.perf_counter() - t0


def new_state(loops):
    return timed(loops, gs.cv.GameStatePy, seed())


# Attribute reads, each spelled out so that the loop reads the attribute directly.
def next_actions_and_states(loops, label):
    s, it = state(label), range(loops)
    t0 = time.perf_counter()
    for _ in it:
        s.next_actions_and_states
    return time.perf_counter() - t0


def main_board(loops, label):
    s, it = state(label), range(loops)
    t0 = time.perf_counter()
    for _ in it:
        s.main_board
    return time.perf_counter() - t0


def matrix_txt(loops, label):
    s, it = state(label), range(loops)
    t0 = time.perf_counter()
    for _ in it:
        s.matrix_txt
    return time.perf_counter() - t0


def method(name, *args):
    def run(loops, label):
        return timed(loops, getattr(state(label), name), *args)
    return run


def state_from_bytes(loops, label):
    return timed(loops, gs.cv.GameStatePy.state_from_bytes, state(label).to_bytes())


def placements(loops, label, hold):
    return timed(loops, functools.partial(corvelle.placements, hold=hold), state(label))


def placement_state(loops, label):
    """Reading one placement's state (the list's last, its longest key path) on a fresh
    listing each time, so that the cached value is never what is timed."""
    s, it = state(label), range(loops)
    total = 0.0
    for _ in it:
        p = corvelle.placements(s)[-1]
        t0 = time.perf_counter()
        p.state
        total += time.perf_counter() - t0
    return total


def episode(loops):
    """Time per EPISODE_STEPS steps: the bot sometimes tops out early, so the time of each
    episode is scaled by the steps it took."""
    run = state("fresh").generate_bot_episode
    it = range(loops)
    steps = 0
    t0 = time.perf_counter()
    for _ in it:
        steps += len(run("wordpress", EPISODE_STEPS))
    return (time.perf_counter() - t0) * (loops * EPISODE_STEPS / steps)


def load_replay(loops):
    data, load = replay(), gs.cv.GameStatePy.load_replay_from_bytes
    if len(load(data)[1]) != REPLAY_ACTIONS:
        raise RuntimeError("the replay does not play back")
    return timed(loops, load, data)


def main():
    runner = pyperf.Runner()
    runner.metadata["description"] = "corvelle_vim Python-level benchmarks"
    add = runner.bench_time_func
    add("GameStatePy(seed)", new_state)
    for label in ("fresh", "midgame"):
        add(f"next_actions_and_states/{label}", next_actions_and_states, label)
        add(f"bot_moves_raw(wordpress)/{label}", method("bot_moves_raw", "wordpress"), label)
        add(f"get_valid_move_chains/{label}", method("get_valid_move_chains"), label)
        add(f"placements/{label}", placements, label, True)
        add(f"placements(hold=False)/{label}", placements, label, False)
    add("Placement.state/midgame", placement_state, "midgame")
    add("main_board/midgame", main_board, "midgame")
    add("matrix_txt/midgame", matrix_txt, "midgame")
    add("to_bytes/midgame", method("to_bytes"), "midgame")
    add("state_from_bytes/midgame", state_from_bytes, "midgame")
    add(f"generate_bot_episode(wordpress, {EPISODE_STEPS})", episode,
        metadata={"work": EPISODE_STEPS, "work_unit": "steps"})
    add(f"load_replay_from_bytes/{REPLAY_ACTIONS}", load_replay,
        metadata={"work": REPLAY_ACTIONS, "work_unit": "actions"})


if __name__ == "__main__":
    main()
