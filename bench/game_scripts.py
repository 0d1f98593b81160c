"""The benchmarks' fixed inputs: game scripts read from bench/inputs/.

A game script is a seed record and a list of actions, all played at time 0. The text form,
also read by the engine benchmarks (bench/game_script.cpp):

    # comment lines start with '#'
    seed <64 hex digits>
    ts <start timestamp, microseconds>
    actions
    <action names separated by white space, to the end of the file>

A file whose name ends in '.gz' is gzip-compressed.
"""
import gzip
import hashlib
import os
import struct
from pathlib import Path

import corvelle_vim as cv

INPUTS = Path(__file__).resolve().parent / "inputs"
ACTION_NAMES = ("HardDrop", "SoftDrop", "MoveLeft", "MoveRight", "Hold",
                "RotateLeft", "RotateRight", "Nothing")

# Offsets in a state's byte form, used to cut out its last replay segment.
_LAST_ACTION_END = 212
_SEGMENT_SIZE = {0: 44, 1: 54, 2: 8}


class GameScript:
    """A seed record and the actions played from it."""

    def __init__(self, seed, ts, actions):
        self.seed = bytes(seed)
        self.ts = ts
        self.actions = list(actions)

    def new_game(self):
        return cv.GameStatePy(cv.generate_seed(self.ts, self.seed))

    def play(self, limit=None):
        """The states reached: the new game, then one per action (the first `limit` actions)."""
        state = self.new_game()
        states = [state]
        for k, name in enumerate(self.actions[:limit]):
            state = dict(state.next_actions_and_states).get(name)
            if state is None:
                raise ValueError(f"action {k} ({name}) is refused")
            states.append(state)
        return states

    def final_state(self):
        return self.play()[-1]

    def text(self, comment=""):
        lines = [f"# {line}" for line in comment.splitlines()]
        lines += [f"seed {self.seed.hex()}", f"ts {self.ts}", "actions"]
        for i in range(0, len(self.actions), 8):
            lines.append(" ".join(self.actions[i:i + 8]))
        return "\n".join(lines) + "\n"

    def save(self, path, comment=""):
        data = self.text(comment).encode()
        if str(path).endswith(".gz"):
            data = gzip.compress(data, compresslevel=9, mtime=0)
        Path(path).write_bytes(data)


def load(name):
    """The game script bench/inputs/<name>."""
    raw = (INPUTS / name).read_bytes()
    if name.endswith(".gz"):
        raw = gzip.decompress(raw)
    seed = ts = None
    actions = []
    in_actions = False
    for line in raw.decode().splitlines():
        if line.startswith("#") or not line.strip():
            continue
        if in_actions:
            actions += line.split()
            continue
        key, _, value = line.partition(" ")
        if key == "seed":
            seed = bytes.fromhex(value.strip())
        elif key == "ts":
            ts = int(value)
        elif key == "actions":
            in_actions = True
        else:
            raise ValueError(f"{name}: unknown line {line!r}")
    if seed is None or len(seed) != 32 or ts is None:
        raise ValueError(f"{name}: needs a 32-byte seed and a ts")
    bad = [a for a in actions if a not in ACTION_NAMES]
    if bad:
        raise ValueError(f"{name}: unknown action {bad[0]!r}")
    return GameScript(seed, ts, actions)


def last_segment(state_bytes):
    """The byte form of a state's last replay segment, cut out of the state's byte form."""
    b = state_bytes
    off = _LAST_ACTION_END
    off += 13 if b[off] == 1 else 1  # current_pcs
    off += 2  # current_id
    off += 6 if b[off] == 1 else 1  # hold_pcs
    off += 5 if b[off] == 1 else 1  # game_over_reason
    off += 32 + 32 + 8 + 2 * 5  # seed, init_seed, start_time, five counters
    kind = struct.unpack_from("<I", b, off)[0]
    return bytes(b[off:off + _SEGMENT_SIZE[kind]])


def replay_bytes(script, limit):
    """A replay stream of the script's first `limit` actions: Init, the slices, GameOver."""
    states = script.play(limit)
    segments = [last_segment(bytes(s.to_bytes())) for s in states]
    segments.append(struct.pack("<II", 2, 0))  # GameOver(Knockout)
    return struct.pack("<Q", len(segments)) + b"".join(segments)


def cached_replay_bytes(script_name, limit, cache_dir):
    """replay_bytes of a stored script, cached in `cache_dir` under a key of the script and
    the installed module (so an engine change makes a new stream)."""
    key = hashlib.sha256()
    key.update((INPUTS / script_name).read_bytes())
    key.update(Path(cv.__file__).read_bytes())
    key.update(str(limit).encode())
    path = Path(cache_dir) / f"replay-{key.hexdigest()[:16]}.bin"
    if path.exists():
        return path.read_bytes()
    data = replay_bytes(load(script_name), limit)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(f".tmp{os.getpid()}")
    tmp.write_bytes(data)
    tmp.replace(path)
    return data


def input_states_hex():
    """'<label> <hex>' lines of the benchmarks' input states, as `engine_bench --print_inputs`
    prints them: the fresh and the mid-game state, the replay game after 10,000 actions."""
    states = {
        "fresh": load("fresh.txt").final_state(),
        "midgame": load("midgame.txt").final_state(),
        "replay10k": load("replay.txt.gz").play(10_000)[-1],
    }
    return "".join(f"{k} {bytes(s.to_bytes()).hex()}\n" for k, s in states.items())


if __name__ == "__main__":
    import sys
    if sys.argv[1:] == ["--print-inputs"]:
        sys.stdout.write(input_states_hex())
