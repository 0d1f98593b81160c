"""Reads the fields of a game state straight from its byte form (`GameStatePy.to_bytes()`).

The byte form has no field names or lengths: the fields follow one another in a fixed order,
and three optional fields (falling piece, held piece, game-over reason) and the variant of the
last replay segment decide where everything after them starts. `decode` walks the layout once:

    offset  field                 bytes
    0       score                 4   signed, little-endian
    4       is_t_spin             1   bool
    5       is_t_mini_spin        1   bool
    6       is_b2b                1   bool
    7       combo_counter         1   signed
    8       main_board            200 40 rows of 5 bytes, row 0 first; two cells a byte,
                                      even column in the high nibble
    208     last_action           4   action index
    212     current_pcs           1 | 1 + 12  tag, then row i8, column i8, kind u32,
                                              rotation u32, id u16
    var     current_id            2
    var     hold_pcs              1 | 1 + 5   tag, then can_use bool, kind u32
    var     game_over_reason      1 | 1 + 4   tag, then reason u32
    var     seed, init_seed       32 + 32
    var     start_time            8   signed
    var     total_lines, total_garbage_sent, garbage_recv, garbage_applied, total_moves
                                  5 x 2
    var     last_segment          4 + 40 (Init) | 4 + 50 (Update) | 4 + 4 (GameOver)
    var     last_segment_idx      2
    var     next_pcs_bags         14 x 4  kind indexes
    var     next_pcs_idx          1
"""

from __future__ import annotations

import struct
from typing import NamedTuple, Optional, Sequence, Tuple, Union

__all__ = [
    "ACTIONS",
    "KINDS",
    "ROWS",
    "COLUMNS",
    "VISIBLE_ROWS",
    "CELL_EMPTY",
    "CELL_GARBAGE",
    "CELL_GHOST",
    "SEGMENT_INIT",
    "SEGMENT_UPDATE",
    "SEGMENT_GAME_OVER",
    "SEGMENT_SIZES",
    "ByteForm",
    "DecodedState",
    "FallingPiece",
    "HeldPiece",
    "as_bytes",
    "decode",
    "last_segment",
]

ByteForm = Union[bytes, bytearray, memoryview, Sequence[int]]

# Piece kinds by index; a board cell of kind k holds the code k + 1.
KINDS = "ILJTSZO"
ACTIONS = (
    "HardDrop",
    "SoftDrop",
    "MoveLeft",
    "MoveRight",
    "Hold",
    "RotateLeft",
    "RotateRight",
    "Nothing",
)
ROWS = 40
COLUMNS = 10
VISIBLE_ROWS = 20

CELL_EMPTY = 0
CELL_GARBAGE = 8
CELL_GHOST = 9

SEGMENT_INIT = 0
SEGMENT_UPDATE = 1
SEGMENT_GAME_OVER = 2
# Encoded size of each replay segment variant, its 4-byte variant index included.
SEGMENT_SIZES = (4 + 40, 4 + 50, 4 + 4)

_GAME_OVER_REASONS = 4
_BOARD_OFFSET = 8
_BOARD_BYTES = ROWS * COLUMNS // 2
_CURRENT_PCS_OFFSET = 212
_QUEUE_LENGTH = 14
_PREVIEW_LENGTH = 5

_HEAD = struct.Struct("<i???b")
_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_PIECE = struct.Struct("<bbIIH")
_HOLD = struct.Struct("<?I")
_TIME_AND_COUNTERS = struct.Struct("<q5H")
_QUEUE = struct.Struct("<14I")

# One hexadecimal digit of the board's hex text is one cell; this maps the digit to its code.
_HEX_DIGIT_TO_CODE = bytes.maketrans(b"0123456789abcdef", bytes(range(16)))


class FallingPiece(NamedTuple):
    """The falling piece: kind letter, rotation index 0-3, position (row, column) and id."""

    kind: str
    rotation: int
    row: int
    column: int
    id: int


class HeldPiece(NamedTuple):
    """The held piece and whether Hold may be used now."""

    kind: str
    can_use: bool


class DecodedState(NamedTuple):
    """The fields of one game state, as read from its byte form."""

    score: int
    is_t_spin: bool
    is_t_mini_spin: bool
    is_b2b: bool
    combo_counter: int
    # The 200 packed board bytes, row 0 first.
    board: bytes
    # One code 0-15 per cell, index 10 * row + column, row 0 (the bottom) first.
    cells: bytes
    last_action: str
    current_pcs: Optional[FallingPiece]
    current_id: int
    hold: Optional[HeldPiece]
    game_over_reason: Optional[int]
    seed: bytes
    init_seed: bytes
    start_time: int
    total_lines: int
    total_garbage_sent: int
    garbage_recv: int
    garbage_applied: int
    total_moves: int
    # The encoded last replay segment, variant index included.
    last_segment: bytes
    last_segment_idx: int
    # The 14 queued kinds as letters.
    next_pcs_bags: str
    next_pcs_idx: int

    @property
    def next_pcs(self) -> str:
        """The next five queued kinds as letters (fewer if the queue position is past 9)."""
        return self.next_pcs_bags[self.next_pcs_idx : self.next_pcs_idx + _PREVIEW_LENGTH]

    @property
    def game_over(self) -> bool:
        """Whether the game is over (a game-over reason is recorded)."""
        return self.game_over_reason is not None

    def cell(self, row: int, column: int) -> int:
        """Returns the code of cell (row, column); row 0 is the bottom row."""
        if not (0 <= row < ROWS and 0 <= column < COLUMNS):
            raise IndexError(f"cell ({row}, {column}) is off the {ROWS} x {COLUMNS} board")
        return self.cells[row * COLUMNS + column]


def as_bytes(data: ByteForm) -> bytes:
    """Returns `data` (a bytes-like object or a sequence of ints 0-255) as bytes."""
    if isinstance(data, bytes):
        return data
    return bytes(data)


class _Reader:
    """A cursor over a byte form that reports where and why the bytes do not fit the layout."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytes, pos: int) -> None:
        self.data = data
        self.pos = pos

    def take(self, size: int, what: str) -> int:
        """Returns the offset of the next `size` bytes and moves past them."""
        start = self.pos
        if start + size > len(self.data):
            raise ValueError(
                f"state byte form ends inside {what} "
                f"(needs {start + size} bytes, has {len(self.data)})"
            )
        self.pos = start + size
        return start

    def tag(self, what: str) -> bool:
        at = self.take(1, what)
        value = self.data[at]
        if value > 1:
            raise ValueError(f"bad presence tag {value} for {what} at offset {at}")
        return value == 1

    def index(self, count: int, what: str) -> int:
        at = self.take(4, what)
        (value,) = _U32.unpack_from(self.data, at)
        if value >= count:
            raise ValueError(f"bad {what} index {value} at offset {at}")
        return int(value)


def _check_bools(data: bytes, offsets: Tuple[int, ...]) -> None:
    for at in offsets:
        if data[at] > 1:
            raise ValueError(f"bad bool byte {data[at]} at offset {at}")


def _skip_to_last_segment(r: _Reader) -> None:
    """Moves the cursor from the falling piece to the start of the last replay segment."""
    if r.tag("current_pcs"):
        r.take(_PIECE.size, "current_pcs")
    r.take(2, "current_id")
    if r.tag("hold_pcs"):
        r.take(_HOLD.size, "hold_pcs")
    if r.tag("game_over_reason"):
        r.index(_GAME_OVER_REASONS, "game_over_reason")
    r.take(32 + 32 + _TIME_AND_COUNTERS.size, "seeds and counters")


def _read_segment(r: _Reader) -> bytes:
    start = r.pos
    variant = r.index(len(SEGMENT_SIZES), "last_segment")
    r.take(SEGMENT_SIZES[variant] - 4, "last_segment")
    return r.data[start : r.pos]


def last_segment(data: ByteForm) -> bytes:
    """Returns the encoded last replay segment of a state's byte form, variant index first."""
    r = _Reader(as_bytes(data), 0)
    r.take(_CURRENT_PCS_OFFSET, "the board")
    _skip_to_last_segment(r)
    return _read_segment(r)


def decode(data: ByteForm) -> DecodedState:
    """Decodes a state's byte form (bytes after the state are ignored).

    Raises ValueError when the bytes do not follow the layout.
    """
    raw = as_bytes(data)
    r = _Reader(raw, 0)
    r.take(_BOARD_OFFSET, "flags")
    score, t_spin, mini, b2b, combo = _HEAD.unpack_from(raw, 0)
    _check_bools(raw, (4, 5, 6))
    r.take(_BOARD_BYTES, "main_board")
    board = raw[_BOARD_OFFSET : _BOARD_OFFSET + _BOARD_BYTES]
    last_action = ACTIONS[r.index(len(ACTIONS), "last_action")]

    current: Optional[FallingPiece] = None
    if r.tag("current_pcs"):
        at = r.take(_PIECE.size, "current_pcs")
        row, column, kind, rotation, piece_id = _PIECE.unpack_from(raw, at)
        if kind >= len(KINDS) or rotation >= 4:
            raise ValueError(f"bad falling piece kind {kind} or rotation {rotation}")
        current = FallingPiece(KINDS[kind], rotation, row, column, piece_id)
    (current_id,) = _U16.unpack_from(raw, r.take(2, "current_id"))

    hold: Optional[HeldPiece] = None
    if r.tag("hold_pcs"):
        at = r.take(_HOLD.size, "hold_pcs")
        _check_bools(raw, (at,))
        can_use, kind = _HOLD.unpack_from(raw, at)
        if kind >= len(KINDS):
            raise ValueError(f"bad held piece kind {kind}")
        hold = HeldPiece(KINDS[kind], can_use)

    reason: Optional[int] = None
    if r.tag("game_over_reason"):
        reason = r.index(_GAME_OVER_REASONS, "game_over_reason")

    at = r.take(64 + _TIME_AND_COUNTERS.size, "seeds and counters")
    seed = raw[at : at + 32]
    init_seed = raw[at + 32 : at + 64]
    start_time, lines, sent, recv, applied, moves = _TIME_AND_COUNTERS.unpack_from(raw, at + 64)

    segment = _read_segment(r)
    (segment_idx,) = _U16.unpack_from(raw, r.take(2, "last_segment_idx"))
    at = r.take(_QUEUE.size + 1, "next_pcs_bags")
    queue = _QUEUE.unpack_from(raw, at)
    if max(queue) >= len(KINDS):
        raise ValueError(f"bad queued kind {max(queue)}")
    queue_text = "".join([KINDS[k] for k in queue])

    return DecodedState(
        score=score,
        is_t_spin=t_spin,
        is_t_mini_spin=mini,
        is_b2b=b2b,
        combo_counter=combo,
        board=board,
        cells=board.hex().encode("ascii").translate(_HEX_DIGIT_TO_CODE),
        last_action=last_action,
        current_pcs=current,
        current_id=current_id,
        hold=hold,
        game_over_reason=reason,
        seed=seed,
        init_seed=init_seed,
        start_time=start_time,
        total_lines=lines,
        total_garbage_sent=sent,
        garbage_recv=recv,
        garbage_applied=applied,
        total_moves=moves,
        last_segment=segment,
        last_segment_idx=segment_idx,
        next_pcs_bags=queue_text,
        next_pcs_idx=raw[at + _QUEUE.size],
    )
