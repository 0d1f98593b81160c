"""Playback speed of a long replay through load_replay_from_bytes.

Records one game of the requested length: the 'wordpress' bot places the pieces, and after
each placement the new piece is wiggled left and right a few times (as a person's recording
has many small moves), so that one game reaches the length before the stack tops out. Then
times playback and prints the median actions per second.

    python bench/replay_bench.py [actions]    (default 100000)
"""
import statistics
import struct
import sys
import time

import corvelle_vim as cv


def segment_of(state_bytes):
    """The byte form of a state's last replay segment."""
    b = state_bytes
    off = 212
    off += 13 if b[off] == 1 else 1  # current_pcs
    off += 2  # current_id
    off += 6 if b[off] == 1 else 1  # hold_pcs
    off += 5 if b[off] == 1 else 1  # game_over_reason
    off += 32 + 32 + 8 + 2 * 5
    kind = b[off]
    size = {0: 44, 1: 54, 2: 8}[kind]
    return bytes(b[off:off + size])


def record(actions, wiggles=12):
    state = cv.GameStatePy(cv.generate_seed(0, bytes(range(32))))
    segments = [segment_of(state.to_bytes())]
    while len(segments) <= actions and not state.game_over:
        for name in state.bot_moves_raw("wordpress"):
            state = dict(state.next_actions_and_states)[name]
            segments.append(segment_of(state.to_bytes()))
        for k in range(wiggles):
            nxt = dict(state.next_actions_and_states)
            name = "MoveLeft" if k % 2 == 0 else "MoveRight"
            if name not in nxt:
                break
            state = nxt[name]
            segments.append(segment_of(state.to_bytes()))
    segments.append(struct.pack("<II", 2, 0))
    return struct.pack("<Q", len(segments)) + b"".join(segments), len(segments) - 2


def main():
    actions = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    data, recorded = record(actions)
    runs = []
    for _ in range(5):
        t0 = time.perf_counter()
        _, pairs = cv.GameStatePy.load_replay_from_bytes(data)
        runs.append(time.perf_counter() - t0)
        assert len(pairs) == recorded
    med = statistics.median(runs)
    print(f"load_replay_from_bytes: {recorded} actions, median {med * 1e3:.1f} ms, "
          f"{recorded / med:,.0f} actions/s")


if __name__ == "__main__":
    main()
