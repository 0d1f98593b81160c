"""Recording games as replay streams, and playing replay files back.

A replay stream is an unsigned 64-bit little-endian segment count followed by the segments:
the `Init` of the new game (seed and start time), one `Update` per action (a replay slice
numbered 0, 1, 2, ...) and normally a final `GameOver` with the reason. Every state carries
the segment that produced it as its last segment, so a `Recorder` collects the stream from the
new game and from each state an action returns, read from the states' byte form.

    state = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
    recorder = Recorder(state)
    for action, state in state.generate_bot_episode("wordpress", 500):
        recorder.record(state)
    recorder.finish()
    recorder.save("game.cvr")
    initial, steps = load("game.cvr")
"""

from __future__ import annotations

import os
import struct
from typing import Iterable, List, NamedTuple, Optional, Tuple, Union

from corvelle_vim import GameStatePy

from ._files import write_whole
from .bytestate import (
    ACTIONS,
    SEGMENT_GAME_OVER,
    SEGMENT_INIT,
    SEGMENT_SIZES,
    SEGMENT_UPDATE,
    ByteForm,
    as_bytes,
    last_segment,
)

__all__ = [
    "GAME_OVER_REASONS",
    "KNOCKOUT",
    "FORFEIT",
    "PlaybackMismatch",
    "Recorder",
    "Segment",
    "Steps",
    "check_playback",
    "game_over_reason",
    "load",
    "load_bytes",
    "read_segments",
]

StrPath = Union[str, "os.PathLike[str]"]
Steps = List[Tuple[str, GameStatePy]]

# Game-over reasons by index. Play itself only ends a game by knockout; the others are
# recorded by whoever ends a game for another reason.
GAME_OVER_REASONS = ("Knockout", "LockOut", "Forfeit", "TimeUp")
KNOCKOUT = 0
FORFEIT = 2

_COUNT = struct.Struct("<Q")
_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_SEGMENT_NAMES = ("Init", "Update", "GameOver")
# Offsets inside an encoded Update segment (after its 4-byte variant index).
_SLICE_IDX = 4 + 44
_SLICE_ACTION = 4 + 46
# The fields of each segment variant as (name, start, end) inside the encoded segment.
_FIELDS = (
    (("seed", 4, 36), ("start time", 36, 44)),
    (
        ("time", 4, 12),
        ("seed", 12, 44),
        ("garbage received", 44, 46),
        ("garbage applied", 46, 48),
        ("step index", 48, 50),
        ("action", 50, 54),
    ),
    (("reason", 4, 8),),
)
# The "field" of recorded slices the playback has no state for.
_NOT_PLAYED = "not played back"


class Segment(NamedTuple):
    """One encoded replay segment: its variant index and its bytes, variant index included."""

    variant: int
    data: bytes

    @property
    def name(self) -> str:
        """The segment's variant name: "Init", "Update" or "GameOver"."""
        return _SEGMENT_NAMES[self.variant]

    @property
    def idx(self) -> int:
        """The slice number of an Update segment."""
        self._expect(SEGMENT_UPDATE)
        return int(_U16.unpack_from(self.data, _SLICE_IDX)[0])

    @property
    def action(self) -> str:
        """The action name of an Update segment."""
        self._expect(SEGMENT_UPDATE)
        index = _U32.unpack_from(self.data, _SLICE_ACTION)[0]
        return ACTIONS[index] if index < len(ACTIONS) else f"action {index}"

    @property
    def reason(self) -> int:
        """The game-over reason index of a GameOver segment."""
        self._expect(SEGMENT_GAME_OVER)
        return int(_U32.unpack_from(self.data, 4)[0])

    def _expect(self, variant: int) -> None:
        if self.variant != variant:
            raise ValueError(f"a {self.name} segment has no such field")

    @classmethod
    def of_state(cls, state: GameStatePy) -> Segment:
        """The last replay segment of a state, read from its byte form."""
        data = last_segment(state.to_bytes())
        return cls(int(_U32.unpack_from(data, 0)[0]), data)


class Recorder:
    """Collects the replay stream of one game while it is played.

    Start it with the new game (its last segment is the game's Init), pass every state an
    action returns to `record` in playing order, and `finish` it with the game-over reason.
    """

    def __init__(self, start: GameStatePy) -> None:
        first = Segment.of_state(start)
        if first.variant != SEGMENT_INIT:
            raise ValueError(
                f"a recording starts from a new game; this state's last segment is {first.name}"
            )
        self._segments: List[bytes] = [first.data]
        self._next_idx = 0
        self._finished = False

    @property
    def actions(self) -> int:
        """The number of actions recorded so far."""
        return self._next_idx

    @property
    def finished(self) -> bool:
        """Whether `finish` has closed the stream with a GameOver segment."""
        return self._finished

    def __len__(self) -> int:
        """The number of segments recorded so far."""
        return len(self._segments)

    def segments(self) -> List[Segment]:
        """The segments recorded so far, in order."""
        return [Segment(int(_U32.unpack_from(s, 0)[0]), s) for s in self._segments]

    def record(self, state: GameStatePy) -> None:
        """Appends the Update of a state an action returned; it must be the game's next step."""
        if self._finished:
            raise ValueError("the recording is finished; no action can follow the game over")
        segment = Segment.of_state(state)
        if segment.variant != SEGMENT_UPDATE:
            raise ValueError(
                f"only states returned by an action can be recorded; "
                f"this state's last segment is {segment.name}"
            )
        if segment.idx != self._next_idx & 0xFFFF:
            raise ValueError(
                f"state is not the next step of the recorded game: it holds slice "
                f"{segment.idx}, the recording expects slice {self._next_idx & 0xFFFF}"
            )
        self._segments.append(segment.data)
        self._next_idx += 1

    def record_steps(self, steps: Iterable[Tuple[str, GameStatePy]]) -> None:
        """Records the states of (action, state) pairs, as a bot episode returns them."""
        for _, state in steps:
            self.record(state)

    def finish(self, reason: int = KNOCKOUT) -> None:
        """Appends the GameOver segment with a reason index from GAME_OVER_REASONS."""
        if self._finished:
            raise ValueError("the recording is already finished")
        if not 0 <= reason < len(GAME_OVER_REASONS):
            raise ValueError(
                f"game-over reason must be 0 to {len(GAME_OVER_REASONS) - 1}, got {reason}"
            )
        self._segments.append(_U32.pack(SEGMENT_GAME_OVER) + _U32.pack(reason))
        self._finished = True

    def to_bytes(self) -> bytes:
        """The replay stream: the segment count, then the segments."""
        return _COUNT.pack(len(self._segments)) + b"".join(self._segments)

    def save(self, path: StrPath) -> None:
        """Writes the replay stream to a file, whole: through a temporary file renamed over
        `path` once complete."""
        write_whole(path, self.to_bytes())


class PlaybackMismatch(ValueError):
    """A replay stream that plays back as a different game than it records: the slices the
    playback produced differ from the recorded ones, or bytes follow the last segment.

    `first_slice` is the index of the first Update segment that differs (None when all agree),
    `fields` the names of the fields that differ in it ("not played back" when the playback
    stopped before it), `slices` how many Update segments differ (recorded ones that were not
    played back count too) and `trailing` the number of bytes after the last segment.
    """

    def __init__(
        self, first_slice: Optional[int], fields: Tuple[str, ...], slices: int, trailing: int
    ) -> None:
        parts = []
        if first_slice is not None:
            if fields == (_NOT_PLAYED,):
                what = f"slice {first_slice} on is not played back"
            else:
                what = f"slice {first_slice} differs in {', '.join(fields)}"
            parts.append(
                f"replay plays back as a different game: {what}; "
                f"{slices} slice{'s differ' if slices != 1 else ' differs'}"
            )
        if trailing:
            parts.append(f"{trailing} bytes follow the last segment")
        super().__init__("; ".join(parts))
        self.first_slice = first_slice
        self.fields = fields
        self.slices = slices
        self.trailing = trailing


def read_segments(data: ByteForm) -> List[Segment]:
    """Splits a replay stream into its segments without playing it (bytes after the last
    segment are ignored). Raises ValueError for a stream that ends early or holds an unknown
    segment variant."""
    raw = as_bytes(data)
    if len(raw) < _COUNT.size:
        raise ValueError("replay stream ends inside its segment count")
    (count,) = _COUNT.unpack_from(raw, 0)
    segments: List[Segment] = []
    pos = _COUNT.size
    while len(segments) < count:
        if pos + 4 > len(raw):
            raise ValueError(f"replay stream ends inside segment {len(segments)}")
        (variant,) = _U32.unpack_from(raw, pos)
        if variant >= len(SEGMENT_SIZES):
            raise ValueError(f"segment {len(segments)} has the unknown variant {variant}")
        end = pos + SEGMENT_SIZES[variant]
        if end > len(raw):
            raise ValueError(f"replay stream ends inside segment {len(segments)}")
        segments.append(Segment(int(variant), raw[pos:end]))
        pos = end
    return segments


def _differing_fields(recorded: bytes, played: bytes) -> Tuple[str, ...]:
    variant = int(_U32.unpack_from(recorded, 0)[0])
    if int(_U32.unpack_from(played, 0)[0]) != variant:
        return ("segment variant",)
    return tuple(name for name, a, b in _FIELDS[variant] if recorded[a:b] != played[a:b])


def check_playback(data: ByteForm, initial: GameStatePy, steps: Steps) -> None:
    """Raises PlaybackMismatch when the playback (`initial`, `steps`) of the replay stream
    `data` is not the game the stream records: every Update segment must equal the segment
    its played state carries, every Update must have been played, and no bytes may follow
    the last segment. A differing Init is reported as slice 0 with its fields named "Init ..."."""
    raw = as_bytes(data)
    segments = read_segments(raw)
    trailing = len(raw) - _COUNT.size - sum(len(s.data) for s in segments)
    recorded = [s.data for s in segments if s.variant == SEGMENT_UPDATE]
    played = [last_segment(state.to_bytes()) for _, state in steps]
    first: Optional[int] = None
    fields: Tuple[str, ...] = ()
    init = last_segment(initial.to_bytes())
    if segments and segments[0].data != init:
        first = 0
        fields = tuple(f"Init {name}" for name in _differing_fields(segments[0].data, init))
    # Slices recorded but not played (or played but not recorded) differ too.
    differing = abs(len(recorded) - len(played))
    for k, (want, got) in enumerate(zip(recorded, played)):
        if want != got:
            differing += 1
            if first is None:
                first, fields = k, _differing_fields(want, got)
    if first is None and differing:
        first, fields = min(len(recorded), len(played)), (_NOT_PLAYED,)
    if first is not None or trailing:
        raise PlaybackMismatch(first, fields, differing, trailing)


def load_bytes(data: ByteForm, strict: bool = True) -> Tuple[GameStatePy, Steps]:
    """Plays a replay stream back: returns the new game and (action name, state) per action.

    Raises the engine's ValueError for a stream that does not decode or play back. With
    `strict` (the default) it also raises PlaybackMismatch (a ValueError) when the playback
    is not the recorded game (see `check_playback`); without it the playback is returned as
    the engine produces it, its own results kept where recorded ones differ.
    """
    raw = as_bytes(data)
    initial, steps = GameStatePy.load_replay_from_bytes(raw)
    if strict:
        check_playback(raw, initial, steps)
    return initial, steps


def load(path: StrPath, strict: bool = True) -> Tuple[GameStatePy, Steps]:
    """Plays a replay file back, like `load_bytes`; OSError when the file cannot be read."""
    with open(path, "rb") as f:
        data = f.read()
    return load_bytes(data, strict)


def game_over_reason(segments: List[Segment]) -> Optional[int]:
    """The reason of the last GameOver segment of a stream, or None when it has none."""
    for segment in reversed(segments):
        if segment.variant == SEGMENT_GAME_OVER:
            return segment.reason
    return None
