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
    "encode_position",
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

# Where a new piece enters, (row, column) in rotation 0, by kind letter.
SPAWN = {"I": (17, 3), "O": (19, 4), "L": (18, 3), "J": (18, 3), "T": (18, 3), "S": (18, 3),
         "Z": (18, 3)}

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


def encode_position(
    cells: Sequence[int],
    current: str,
    queue: str = "",
    hold: Optional[str] = None,
    *,
    hold_usable: bool = True,
    combo_counter: int = -1,
    is_b2b: bool = False,
    base: Optional[ByteForm] = None,
    at: Optional[Tuple[int, int, int]] = None,
) -> bytes:
    """The byte form of a position given by its parts, for starting play or a search there.

    `cells` holds the locked cells, one code per cell (0 empty, 1-7 the kinds I L J T S Z O,
    8 garbage), index 10 * row + column, row 0 (the bottom) first: 400 codes. `current` is the
    kind that falls, placed at `at` (rotation, row, column of its shape grid's cell (0, 0)),
    by default its spawn position in rotation 0; `queue` the kinds after it
    (the first five are the preview; more than 13 do not fit the queue and are dropped);
    `hold` the held kind or None. Score, counters and spin flags start at zero; the seed,
    start time, replay record and the queue past what is given come from `base`, the byte
    form of a new game (default: the game of 32 zero seed bytes at time 0).

    ValueError when a cell code or kind is unknown, a row is full, or the falling piece lies
    off the board or on a taken cell.
    """
    from corvelle_vim import GameStatePy, generate_seed
    from . import _batch

    codes = bytes(cells)
    if len(codes) != ROWS * COLUMNS:
        raise ValueError(f"a board is {ROWS * COLUMNS} cells, got {len(codes)}")
    if max(codes, default=0) > CELL_GARBAGE:
        raise ValueError(f"cell codes are 0 to {CELL_GARBAGE}, got {max(codes)}")
    for row in range(ROWS):
        if all(codes[row * COLUMNS : (row + 1) * COLUMNS]):
            raise ValueError(f"row {row} is full: a position has no full rows")
    for kind in (current, *queue, *([hold] if hold is not None else [])):
        if not isinstance(kind, str) or kind not in KINDS or len(kind) != 1:
            raise ValueError(f"piece kinds are one of {KINDS}, not {kind!r}")
    if not -128 <= combo_counter <= 127:
        raise ValueError(f"combo_counter lies in -128..127, not {combo_counter}")

    raw = as_bytes(base) if base is not None else GameStatePy(generate_seed(0, bytes(32))).to_bytes()
    old = decode(raw)
    if old.current_pcs is None or old.game_over:
        raise ValueError("base must be the byte form of a new game")

    # The falling piece's cells, drawn over the locked ones.
    board = bytearray(codes)
    rotation, (row, column) = (0, SPAWN[current]) if at is None else (at[0], at[1:])
    if rotation not in range(4):
        raise ValueError(f"rotations are 0 to 3, not {rotation!r}")
    for i, j in _batch.shapes()[rotation][KINDS.index(current)][1]:
        r, c = row + i, column + j
        if not (0 <= r < ROWS and 0 <= c < COLUMNS):
            raise ValueError(f"the {current} piece at ({row}, {column}) is off the board")
        if board[r * COLUMNS + c]:
            raise ValueError(f"the {current} piece at ({row}, {column}) overlaps the board at ({r}, {c})")
        board[r * COLUMNS + c] = KINDS.index(current) + 1
    packed = bytes((board[k] << 4) | board[k + 1] for k in range(0, len(board), 2))

    bags = [KINDS.index(k) for k in old.next_pcs_bags]
    given = [KINDS.index(k) for k in (current + queue[: _QUEUE_LENGTH - 1])]
    bags[: len(given)] = given
    out = bytearray()
    out += _HEAD.pack(0, False, False, bool(is_b2b), combo_counter)
    out += packed
    out += _U32.pack(ACTIONS.index("Nothing"))
    out += b"\x01" + _PIECE.pack(row, column, KINDS.index(current), rotation, 0)
    out += _U16.pack(1)
    out += b"\x01" + _HOLD.pack(bool(hold_usable), KINDS.index(hold)) if hold is not None else b"\x00"
    out += b"\x00"  # no game-over reason
    out += old.seed + old.init_seed
    out += _TIME_AND_COUNTERS.pack(old.start_time, 0, 0, 0, 0, 0)
    out += old.last_segment + _U16.pack(0)
    out += _QUEUE.pack(*bags) + bytes([1])
    return bytes(out)
