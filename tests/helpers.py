"""Test helpers: the byte form in pure Python, board pictures, replay recording and a
reference model of the seeded stream, the shapes and the rules.

Nothing here imports the module under test except the few functions at the end that wrap
`GameStatePy`; everything else is plain Python so that it can be checked on its own.
"""

from __future__ import annotations

import dataclasses
import json
import os
import struct
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Iterable, Optional, Sequence, Union

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
ACTION_INDEX = {name: i for i, name in enumerate(ACTIONS)}
TRIED_ACTIONS = ACTIONS[:7]

ROWS = 40
COLS = 10
BOARD_OFFSET = 8
BOARD_BYTES = 200
ZERO_SEED = bytes(32)

EOF = "io error: unexpected end of file"
# First queue of a game from 32 zero bytes at time 0.
ZERO_GAME_QUEUE = "ZLJIOTSSZTIJOL"


def kind_index(kind: Union[str, int]) -> int:
    return KINDS.index(kind) if isinstance(kind, str) else kind


# --------------------------------------------------------------------------------------------
# ChaCha20 keystream (RFC 8439 block function, 64-bit counter, 64-bit zero nonce)
# --------------------------------------------------------------------------------------------

_MASK32 = 0xFFFFFFFF
_CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def _rotl(v: int, n: int) -> int:
    return ((v << n) & _MASK32) | (v >> (32 - n))


def _quarter(s: list, a: int, b: int, c: int, d: int) -> None:
    s[a] = (s[a] + s[b]) & _MASK32
    s[d] = _rotl(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & _MASK32
    s[b] = _rotl(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & _MASK32
    s[d] = _rotl(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & _MASK32
    s[b] = _rotl(s[b] ^ s[c], 7)


def chacha20_block(key: bytes, counter: int) -> list:
    """The 16 output words of one ChaCha20 block."""
    init = list(_CONSTANTS) + list(struct.unpack("<8I", key))
    init += [counter & _MASK32, counter >> 32, 0, 0]
    s = init[:]
    for _ in range(10):
        _quarter(s, 0, 4, 8, 12)
        _quarter(s, 1, 5, 9, 13)
        _quarter(s, 2, 6, 10, 14)
        _quarter(s, 3, 7, 11, 15)
        _quarter(s, 0, 5, 10, 15)
        _quarter(s, 1, 6, 11, 12)
        _quarter(s, 2, 7, 8, 13)
        _quarter(s, 3, 4, 9, 14)
    return [(x + y) & _MASK32 for x, y in zip(s, init)]


class SeededStream:
    """32-bit words of the keystream keyed by 32 bytes."""

    def __init__(self, key: bytes):
        assert len(key) == 32
        self._key = bytes(key)
        self._counter = 0
        self._buf: list = []

    def next_word(self) -> int:
        if not self._buf:
            self._buf = chacha20_block(self._key, self._counter)
            self._counter += 1
        return self._buf.pop(0)

    def next_byte(self) -> int:
        return self.next_word() & 0xFF

    def take_bytes(self, n: int) -> bytes:
        return bytes(self.next_byte() for _ in range(n))

    def bounded(self, n: int) -> int:
        lz = 32 - n.bit_length()
        zone = ((n << lz) - 1) & _MASK32
        while True:
            prod = self.next_word() * n
            if prod & _MASK32 <= zone:
                return prod >> 32


def shuffle_tets(seed: bytes, ts: int) -> tuple:
    """One bag (a list of 7 kind indexes) and the new seed."""
    key = bytearray(seed)
    for k, b in enumerate(struct.pack("<q", ts)):
        key[k] ^= b
    stream = SeededStream(bytes(key))
    bag = list(range(7))
    for n in range(7, 1, -1):
        j = stream.bounded(n)
        bag[n - 1], bag[j] = bag[j], bag[n - 1]
    return bag, stream.take_bytes(32)


def accept_event(seed: bytes, action: Union[str, int], ts: int, idx: int) -> bytes:
    """The running seed after an accepted action."""
    a = ACTION_INDEX[action] if isinstance(action, str) else action
    r = SeededStream(seed).take_bytes(16)
    material = struct.pack("<Iq", a, ts) + struct.pack("<I", idx & 0xFFFF) + r
    return SeededStream(material).take_bytes(32)


def garbage_hole(seed: bytes) -> int:
    return SeededStream(seed).next_byte() % 10


def new_game_seeds(seed: bytes, ts: int) -> tuple:
    """(queue of 14 kind indexes, running seed) of a new game."""
    bag1, s1 = shuffle_tets(seed, ts)
    bag2, s2 = shuffle_tets(s1, ts)
    return bag1 + bag2, s2


# --------------------------------------------------------------------------------------------
# Shapes and kicks
# --------------------------------------------------------------------------------------------

_BASE = {
    "I": ["0000", "0000", "1111", "0000"],
    "L": ["000", "111", "001"],
    "J": ["000", "111", "100"],
    "T": ["000", "111", "010"],
    "S": ["000", "110", "011"],
    "Z": ["000", "011", "110"],
    "O": ["11", "11"],
}


def _rotate_cw(grid: list) -> list:
    rows, cols = len(grid), len(grid[0])
    return [[grid[j][cols - 1 - k] for j in range(rows)] for k in range(cols)]


def _build_shapes() -> dict:
    table = {}
    for kind, rows in _BASE.items():
        g = [[c == "1" for c in r] for r in rows]
        for rs in range(4):
            cells = tuple((i, j) for i in range(len(g)) for j in range(len(g[i])) if g[i][j])
            table[(kind, rs)] = cells
            g = _rotate_cw(g)
    return table


SHAPES = _build_shapes()  # (kind letter, rs) -> cells (i, j) in visiting order

SPAWN = {"I": (17, 3), "O": (19, 4)}


def spawn_pos(kind: str) -> tuple:
    return SPAWN.get(kind, (18, 3))


_KICKS = {
    (0, 1): [(0, 0), (-1, 0), (-1, 1), (0, -2), (-1, -2)],
    (1, 0): [(0, 0), (1, 0), (1, -1), (0, 2), (1, 2)],
    (1, 2): [(0, 0), (1, 0), (1, -1), (0, 2), (1, 2)],
    (2, 1): [(0, 0), (-1, 0), (-1, 1), (0, -2), (-1, -2)],
    (2, 3): [(0, 0), (1, 0), (1, 1), (0, -2), (1, -2)],
    (3, 2): [(0, 0), (-1, 0), (-1, -1), (0, 2), (-1, 2)],
    (3, 0): [(0, 0), (-1, 0), (-1, -1), (0, 2), (-1, 2)],
    (0, 3): [(0, 0), (1, 0), (1, 1), (0, -2), (1, -2)],
}
_KICKS_I = {
    (0, 1): [(0, 0), (-2, 0), (1, 0), (-2, -1), (1, 2)],
    (1, 0): [(0, 0), (2, 0), (-1, 0), (2, 1), (-1, -2)],
    (1, 2): [(0, 0), (-1, 0), (2, 0), (-1, 2), (2, -1)],
    (2, 1): [(0, 0), (1, 0), (-2, 0), (1, -2), (-2, 1)],
    (2, 3): [(0, 0), (2, 0), (-1, 0), (2, 1), (-1, -2)],
    (3, 2): [(0, 0), (-2, 0), (1, 0), (-2, -1), (1, 2)],
    (3, 0): [(0, 0), (1, 0), (-2, 0), (1, -2), (-2, 1)],
    (0, 3): [(0, 0), (-1, 0), (2, 0), (-1, 2), (2, -1)],
}


def kicks(kind: str, old_rs: int, new_rs: int) -> list:
    """(column offset, row offset) pairs tried in order."""
    return (_KICKS_I if kind == "I" else _KICKS)[(old_rs, new_rs)]


def piece_cells(kind: Union[str, int], rs: int, pos: tuple) -> list:
    """Board cells (y, x) covered by a piece, in visiting order."""
    k = KINDS[kind] if isinstance(kind, int) else kind
    y, x = pos
    return [(y + i, x + j) for i, j in SHAPES[(k, rs)]]


# --------------------------------------------------------------------------------------------
# Boards: pictures and packed bytes
# --------------------------------------------------------------------------------------------

# Picture characters: '.' empty, 'I'..'O' piece kinds, 'G' garbage, 'g' ghost,
# 'a'..'f' the raw nibble codes 10 to 15 (never written by the engine).
_CHAR_CODE = {".": 0, "G": 8, "g": 9}
_CHAR_CODE.update({k: i + 1 for i, k in enumerate(KINDS)})
_CHAR_CODE.update({c: 10 + i for i, c in enumerate("abcdef")})
_CODE_CHAR = {v: k for k, v in _CHAR_CODE.items()}


def _rows_of(picture: Union[str, Sequence[str]]) -> list:
    if isinstance(picture, str):
        rows = [r.strip() for r in picture.strip("\n").splitlines()]
        rows = [r for r in rows if r]
    else:
        rows = list(picture)
    for r in rows:
        if len(r) != COLS:
            raise ValueError(f"picture row {r!r} is not {COLS} cells wide")
    if len(rows) > ROWS:
        raise ValueError("picture has more than 40 rows")
    return rows


def codes_from_picture(picture: Union[str, Sequence[str], None]) -> list:
    """40 rows x 10 nibble codes, row 0 first; the picture's last row is board row 0."""
    codes = [[0] * COLS for _ in range(ROWS)]
    if picture is None:
        return codes
    rows = _rows_of(picture)
    for k, row in enumerate(reversed(rows)):
        codes[k] = [_CHAR_CODE[c] for c in row]
    return codes


def pack_board(codes: Sequence[Sequence[int]]) -> bytes:
    out = bytearray(BOARD_BYTES)
    for y in range(ROWS):
        for x in range(COLS):
            c = codes[y][x] & 0xF
            i = 5 * y + x // 2
            out[i] |= (c << 4) if x % 2 == 0 else c
    return bytes(out)


def unpack_board(board: Sequence[int]) -> list:
    """40 rows x 10 nibble codes, row 0 first, from 200 packed bytes."""
    assert len(board) == BOARD_BYTES
    return [
        [(board[5 * y + x // 2] >> 4) if x % 2 == 0 else (board[5 * y + x // 2] & 0xF)
         for x in range(COLS)]
        for y in range(ROWS)
    ]


def board_from_picture(picture: Union[str, Sequence[str], None]) -> bytes:
    return pack_board(codes_from_picture(picture))


def picture_of(board_codes: Sequence[Sequence[int]], rows: int = 20) -> list:
    """The lowest `rows` board rows as picture strings, top row first."""
    return ["".join(_CODE_CHAR[c] for c in board_codes[y]) for y in reversed(range(rows))]


def board_codes(state_bytes: Sequence[int]) -> list:
    """The board cells of a state's byte form (bytes 8..207) as 40 x 10 codes."""
    return unpack_board(bytes(state_bytes[BOARD_OFFSET:BOARD_OFFSET + BOARD_BYTES]))


def board_picture(state, rows: int = 20, ghosts: bool = True) -> list:
    """Picture of the lowest rows of a GameStatePy's board, top row first; with
    ghosts=False ghost cells show as empty."""
    pic = picture_of(board_codes(state.to_bytes()), rows)
    return pic if ghosts else [r.replace("g", ".") for r in pic]


def is_solid(code: int) -> bool:
    return 1 <= code <= 8


# --------------------------------------------------------------------------------------------
# The byte form
# --------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Init:
    seed: bytes = ZERO_SEED
    ts: int = 0


@dataclass(frozen=True)
class Update:
    ts: int = 0
    new_seed: bytes = ZERO_SEED
    garbage_recv: int = 0
    garbage_applied: int = 0
    idx: int = 0
    action: int = 7


@dataclass(frozen=True)
class GameOver:
    reason: int = 0


Segment = Union[Init, Update, GameOver]


@dataclass(frozen=True)
class Piece:
    y: int
    x: int
    tet: int
    rs: int = 0
    id: int = 0


@dataclass(frozen=True)
class Hold:
    can_use: bool
    tet: int


@dataclass(frozen=True)
class State:
    score: int = 0
    is_t_spin: bool = False
    is_t_mini_spin: bool = False
    is_b2b: bool = False
    combo_counter: int = -1
    board: bytes = bytes(BOARD_BYTES)
    last_action: int = 7
    current: Optional[Piece] = None
    current_id: int = 0
    hold: Optional[Hold] = None
    game_over_reason: Optional[int] = None
    seed: bytes = ZERO_SEED
    init_seed: bytes = ZERO_SEED
    start_time: int = 0
    total_lines: int = 0
    total_garbage_sent: int = 0
    garbage_recv: int = 0
    garbage_applied: int = 0
    total_moves: int = 0
    last_segment: Segment = field(default_factory=Init)
    last_segment_idx: int = 0
    next_pcs_bags: tuple = tuple(KINDS.index(k) for k in ZERO_GAME_QUEUE)
    next_pcs_idx: int = 1

    def replace(self, **changes) -> "State":
        return dataclasses.replace(self, **changes)


class DecodeError(Exception):
    pass


def encode_segment(seg: Segment) -> bytes:
    if isinstance(seg, Init):
        return struct.pack("<I", 0) + bytes(seg.seed) + struct.pack("<q", seg.ts)
    if isinstance(seg, Update):
        return (struct.pack("<Iq", 1, seg.ts) + bytes(seg.new_seed)
                + struct.pack("<HHHI", seg.garbage_recv, seg.garbage_applied, seg.idx,
                              seg.action))
    return struct.pack("<II", 2, seg.reason)


def encode_stream(segments: Iterable[Segment], count: Optional[int] = None) -> bytes:
    segs = list(segments)
    body = b"".join(encode_segment(s) for s in segs)
    return struct.pack("<Q", len(segs) if count is None else count) + body


def encode_state(s: State) -> bytes:
    out = bytearray()
    out += struct.pack("<i???b", s.score, s.is_t_spin, s.is_t_mini_spin, s.is_b2b,
                       s.combo_counter)
    assert len(s.board) == BOARD_BYTES
    out += bytes(s.board)
    out += struct.pack("<I", s.last_action)
    if s.current is None:
        out += b"\x00"
    else:
        c = s.current
        out += struct.pack("<BbbIIH", 1, c.y, c.x, c.tet, c.rs, c.id)
    out += struct.pack("<H", s.current_id)
    if s.hold is None:
        out += b"\x00"
    else:
        out += struct.pack("<B?I", 1, s.hold.can_use, s.hold.tet)
    if s.game_over_reason is None:
        out += b"\x00"
    else:
        out += struct.pack("<BI", 1, s.game_over_reason)
    out += bytes(s.seed) + bytes(s.init_seed)
    out += struct.pack("<qHHHHH", s.start_time, s.total_lines, s.total_garbage_sent,
                       s.garbage_recv, s.garbage_applied, s.total_moves)
    out += encode_segment(s.last_segment)
    out += struct.pack("<H", s.last_segment_idx)
    assert len(s.next_pcs_bags) == 14
    out += struct.pack("<14I", *s.next_pcs_bags)
    out += struct.pack("<B", s.next_pcs_idx)
    return bytes(out)


class _Reader:
    def __init__(self, data: Sequence[int]):
        self.data = bytes(data)
        self.pos = 0

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise DecodeError(EOF)
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def unpack(self, fmt: str):
        return struct.unpack("<" + fmt, self.take(struct.calcsize("<" + fmt)))[0]

    def bool(self) -> bool:
        v = self.take(1)[0]
        if v > 1:
            raise DecodeError(f"invalid u8 while decoding bool, expected 0 or 1, found {v}")
        return v == 1

    def tag(self) -> bool:
        v = self.take(1)[0]
        if v > 1:
            raise DecodeError(f"tag for enum is not valid, found {v}")
        return v == 1

    def enum(self, count: int) -> int:
        v = self.unpack("I")
        if v >= count:
            raise DecodeError(
                f"invalid value: integer `{v}`, expected variant index 0 <= i < {count}")
        return v

    def segment(self) -> Segment:
        kind = self.enum(3)
        if kind == 0:
            return Init(self.take(32), self.unpack("q"))
        if kind == 1:
            ts = self.unpack("q")
            seed = self.take(32)
            recv, applied, idx = self.unpack("H"), self.unpack("H"), self.unpack("H")
            return Update(ts, seed, recv, applied, idx, self.enum(8))
        return GameOver(self.enum(4))


def decode_state(data: Sequence[int]) -> tuple:
    """(State, bytes consumed); raises DecodeError with the engine's display text."""
    r = _Reader(data)
    score = r.unpack("i")
    t_spin, mini, b2b = r.bool(), r.bool(), r.bool()
    combo = r.unpack("b")
    board = r.take(BOARD_BYTES)
    last_action = r.enum(8)
    current = None
    if r.tag():
        y, x = r.unpack("b"), r.unpack("b")
        tet = r.enum(7)
        rs = r.enum(4)
        current = Piece(y, x, tet, rs, r.unpack("H"))
    current_id = r.unpack("H")
    hold = None
    if r.tag():
        can_use = r.bool()
        hold = Hold(can_use, r.enum(7))
    reason = r.enum(4) if r.tag() else None
    seed, init_seed = r.take(32), r.take(32)
    start_time = r.unpack("q")
    lines, sent, recv, applied, moves = (r.unpack("H") for _ in range(5))
    seg = r.segment()
    seg_idx = r.unpack("H")
    bags = tuple(r.enum(7) for _ in range(14))
    idx = r.unpack("B")
    s = State(score, t_spin, mini, b2b, combo, board, last_action, current, current_id, hold,
              reason, seed, init_seed, start_time, lines, sent, recv, applied, moves, seg,
              seg_idx, bags, idx)
    return s, r.pos


def decode_stream(data: Sequence[int]) -> list:
    r = _Reader(data)
    n = r.unpack("Q")
    out = []
    for _ in range(n):
        out.append(r.segment())
    return out


def segment_offset(state_bytes: Sequence[int]) -> int:
    """Offset of `last_segment` in a state's byte form, from the optional-field tags."""
    off = 212
    off += 13 if state_bytes[off] == 1 else 1
    off += 2  # current_id
    off += 6 if state_bytes[off] == 1 else 1
    off += 5 if state_bytes[off] == 1 else 1
    return off + 32 + 32 + 8 + 10


_SEGMENT_SIZES = {0: 44, 1: 54, 2: 8}


def segment_bytes(state_bytes: Sequence[int]) -> bytes:
    """The raw bytes of `last_segment` in a state's byte form."""
    off = segment_offset(state_bytes)
    kind = struct.unpack_from("<I", bytes(state_bytes[off:off + 4]))[0]
    return bytes(state_bytes[off:off + _SEGMENT_SIZES[kind]])


def last_segment_idx(state_bytes: Sequence[int]) -> int:
    off = segment_offset(state_bytes)
    kind = state_bytes[off]
    off += _SEGMENT_SIZES[kind]
    return state_bytes[off] | (state_bytes[off + 1] << 8)


def fresh_state(seed: bytes = ZERO_SEED, ts: int = 0) -> State:
    """The state GameState::new builds, computed here (ghost included)."""
    queue, running = new_game_seeds(seed, ts)
    first = KINDS[queue[0]]
    y, x = spawn_pos(first)
    codes = [[0] * COLS for _ in range(ROWS)]
    piece = Piece(y, x, queue[0], 0, 0)
    for cy, cx in piece_cells(first, 0, (y, x)):
        codes[cy][cx] = queue[0] + 1
    paint_ghost(codes, first, 0, (y, x))
    return State(board=pack_board(codes), current=piece, current_id=1, seed=running,
                 init_seed=bytes(seed), start_time=ts, last_segment=Init(bytes(seed), ts),
                 next_pcs_bags=tuple(queue), next_pcs_idx=1)


# --------------------------------------------------------------------------------------------
# Reference model of the board operations and the rules
# --------------------------------------------------------------------------------------------


def fits(codes, kind: str, rs: int, pos: tuple) -> bool:
    for y, x in piece_cells(kind, rs, pos):
        if not (0 <= y < ROWS and 0 <= x < COLS) or is_solid(codes[y][x]):
            return False
    return True


def paint_ghost(codes, kind: str, rs: int, pos: tuple) -> None:
    """Paints the ghost of a piece drawn at pos on `codes` (in place)."""
    y, x = pos
    cells = piece_cells(kind, rs, pos)
    copy = [row[:] for row in codes]
    for cy, cx in cells:
        if 0 <= cy < ROWS and 0 <= cx < COLS:
            copy[cy][cx] = 0
    r = y
    while True:
        if r < -2:
            return
        if fits(copy, kind, rs, (r - 1, x)):
            r -= 1
            continue
        break
    for cy, cx in piece_cells(kind, rs, (r, x)):
        if not (0 <= cy < ROWS and 0 <= cx < COLS) or is_solid(codes[cy][cx]):
            return
        codes[cy][cx] = 9


_LINE_POINTS = [0, 40, 80, 160, 320]
_PC_POINTS = [0, 200, 400, 800, 1600]
_SPIN_BOTH = [0, 1666, 3666, 5666, 0]
_SPIN_T = [0, 1000, 2000, 3000, 0]
_SPIN_MINI = [0, 666, 1666, 2666, 0]


def combo_garbage(c: int) -> int:
    if c in (0, 1):
        return 1
    if c in (2, 3):
        return 2
    if c in (4, 5):
        return 3
    if 6 <= c <= 126:
        return 4
    return 0


def _wrap8(v: int) -> int:
    return ((v + 128) & 0xFF) - 128


def _wrap32(v: int) -> int:
    return ((v + 2**31) & 0xFFFFFFFF) - 2**31


class Refused(Exception):
    pass


class Model:
    """The rules applied to a decoded State, for states the engine itself builds."""

    def __init__(self, s: State):
        self.s = s
        self.codes = unpack_board(s.board)
        self.f = dataclasses.asdict(s)
        self.f["current"] = s.current
        self.f["hold"] = s.hold
        self.f["last_segment"] = s.last_segment

    def state(self) -> State:
        f = dict(self.f)
        f["board"] = pack_board(self.codes)
        return State(**f)

    # Board helpers on the working copy.
    def _draw(self, kind, rs, pos) -> bool:
        if not fits(self.codes, kind, rs, pos):
            return False
        for y, x in piece_cells(kind, rs, pos):
            self.codes[y][x] = KINDS.index(kind) + 1
        return True

    def _erase(self, kind, rs, pos) -> None:
        for y, x in piece_cells(kind, rs, pos):
            self.codes[y][x] = 0

    def _cur(self):
        c = self.f["current"]
        if c is None:
            raise Refused("no current pcs")
        return c, KINDS[c.tet]

    def put_next_piece(self, t: int, preset: Optional[int]) -> None:
        f = self.f
        codes = self.codes
        # Step 3: clear lines.
        lines = 0
        while True:
            full = [y for y in range(ROWS) if all(is_solid(c) for c in codes[y])]
            if not full:
                break
            i = full[0]
            for k in range(i, ROWS - 1):
                codes[k] = codes[k + 1][:]
            lines += 1
            assert lines <= 40
        pc = not any(is_solid(c) for row in codes for c in row)
        t_spin, mini = f["is_t_spin"], f["is_t_mini_spin"]
        scored = min(lines, 4)  # only decoded states can clear more; they score as four
        pts = _LINE_POINTS[scored] + (_PC_POINTS[scored] if pc else 0)
        if t_spin and mini:
            pts += _SPIN_BOTH[scored]
        elif t_spin:
            pts += _SPIN_T[scored]
        elif mini:
            pts += _SPIN_MINI[scored]
        f["score"] = _wrap32(f["score"] + pts)
        f["is_b2b"] = bool(t_spin or scored == 4)
        f["is_t_spin"] = f["is_t_mini_spin"] = False
        if lines > 0:
            c = f["combo_counter"]
            f["combo_counter"] = _wrap8(c + 1)
            if 0 <= c <= 126:
                f["score"] = _wrap32(f["score"] + 50 * (c + 1))
            f["total_lines"] = (f["total_lines"] + lines) & 0xFFFF
            f["total_garbage_sent"] = (f["total_garbage_sent"] + combo_garbage(c)) & 0xFFFF
        else:
            f["combo_counter"] = -1
        # Step 7: pending garbage.
        while f["garbage_applied"] < f["garbage_recv"]:
            h = garbage_hole(f["seed"])
            for k in range(37, -1, -1):
                codes[k + 1] = codes[k][:]
            codes[0] = [0 if x == h else 8 for x in range(COLS)]
            f["garbage_applied"] += 1
        # Step 9: the next kind.
        if preset is not None:
            k = preset
        else:
            bags = list(f["next_pcs_bags"])
            if f["next_pcs_idx"] > 6:
                bags[0:7] = bags[7:14]
                f["next_pcs_idx"] -= 7
                bag, f["seed"] = shuffle_tets(f["seed"], t)
                bags[7:14] = bag
                f["next_pcs_bags"] = tuple(bags)
            k = bags[f["next_pcs_idx"]]
            f["next_pcs_idx"] += 1
        kind = KINDS[k]
        y, x = spawn_pos(kind)
        f["current"] = Piece(y, x, k, 0, f["current_id"])
        f["current_id"] = (f["current_id"] + 1) & 0xFFFF
        if not self._draw(kind, 0, (y, x)):
            f["game_over_reason"] = 0
            f["last_segment"] = GameOver(0)
        elif f["hold"] is not None:
            f["hold"] = Hold(True, f["hold"].tet)

    def softdrop(self, t: int) -> None:
        c, kind = self._cur()
        self._erase(kind, c.rs, (c.y, c.x))
        if self._draw(kind, c.rs, (c.y - 1, c.x)):
            self.f["current"] = dataclasses.replace(c, y=c.y - 1)
            self.f["score"] = _wrap32(self.f["score"] + 2)
            self.f["is_t_spin"] = self.f["is_t_mini_spin"] = False
            return
        assert self._draw(kind, c.rs, (c.y, c.x))
        self.f["current"] = None
        self.put_next_piece(t, None)

    def act(self, action: Union[str, int], t: int = 0) -> None:
        """Applies an action in place; raises Refused (state unchanged) when refused."""
        name = ACTIONS[action] if isinstance(action, int) else action
        saved = (dict(self.f), [r[:] for r in self.codes])
        try:
            self._act(name, t)
        except Refused:
            self.f, self.codes = saved
            raise

    def _act(self, name: str, t: int) -> None:
        f = self.f
        if f["game_over_reason"] is not None:
            raise Refused("game over")
        f["last_action"] = ACTION_INDEX[name]
        if name == "SoftDrop":
            self.softdrop(t)
        elif name in ("MoveLeft", "MoveRight"):
            c, kind = self._cur()
            dx = -1 if name == "MoveLeft" else 1
            self._erase(kind, c.rs, (c.y, c.x))
            if not self._draw(kind, c.rs, (c.y, c.x + dx)):
                raise Refused("move blocked")
            f["current"] = dataclasses.replace(c, x=c.x + dx)
        elif name in ("RotateLeft", "RotateRight"):
            c, kind = self._cur()
            self._erase(kind, c.rs, (c.y, c.x))
            new_rs = (c.rs + (1 if name == "RotateRight" else 3)) % 4
            for n, (dx, dy) in enumerate(kicks(kind, c.rs, new_rs)):
                pos = (c.y + dy, c.x + dx)
                if self._draw(kind, new_rs, pos):
                    break
            else:
                raise Refused("all ooffset are blocked")
            f["current"] = dataclasses.replace(c, y=pos[0], x=pos[1], rs=new_rs)
            if kind == "T":
                y, x = pos
                corners = sum(
                    1 for cy, cx in ((y, x), (y + 2, x), (y, x + 2), (y + 2, x + 2))
                    if 0 <= cy < ROWS and 0 <= cx < COLS and is_solid(self.codes[cy][cx]))
                f["is_t_mini_spin"] = corners >= 2
                f["is_t_spin"] = corners >= 3
            else:
                f["is_t_spin"] = n != 0
                f["is_t_mini_spin"] = False
        elif name == "Hold":
            c, kind = self._cur()
            held = f["hold"]
            if held is not None and not held.can_use:
                raise Refused("can_use=false for hold")
            f["hold"] = Hold(False, c.tet)
            self._erase(kind, c.rs, (c.y, c.x))
            f["current"] = None
            self.put_next_piece(t, None if held is None else held.tet)
            f["hold"] = Hold(False, c.tet)
        elif name == "HardDrop":
            self._cur()
            spawned = f["current_id"]
            k = 0
            while True:
                k += 1
                try:
                    self.softdrop(t)
                except Refused:
                    break
                if f["current"] is None or f["current_id"] != spawned:
                    break
            f["score"] = _wrap32(f["score"] + 10 - 2 * (k - 1))
        # Seed, replay record, ghost, move count.
        i = f["last_segment_idx"]
        f["seed"] = accept_event(f["seed"], name, t, i)
        f["last_segment"] = Update(t, f["seed"], f["garbage_recv"], f["garbage_applied"], i,
                                   ACTION_INDEX[name])
        f["last_segment_idx"] = (i + 1) & 0xFFFF
        for row in self.codes:
            for x in range(COLS):
                if row[x] == 9:
                    row[x] = 0
        cur = f["current"]
        if f["game_over_reason"] is None and cur is not None:
            paint_ghost(self.codes, KINDS[cur.tet], cur.rs, (cur.y, cur.x))
        f["total_moves"] = (f["total_moves"] + 1) & 0xFFFF


def model_successors(s: State) -> dict:
    """{action name: State} for the seven tried actions that the rules accept."""
    out = {}
    for name in TRIED_ACTIONS:
        m = Model(s)
        try:
            m.act(name)
        except Refused:
            continue
        out[name] = m.state()
    return out


# --------------------------------------------------------------------------------------------
# Building module states
# --------------------------------------------------------------------------------------------


def build_state(
    board: Union[str, Sequence[str], bytes, None] = None,
    current: Optional[tuple] = None,
    *,
    draw: bool = True,
    ghost: bool = False,
    hold: Union[None, str, tuple] = None,
    queue: Union[str, Sequence[int], None] = None,
    next_pcs_idx: int = 1,
    current_id: Optional[int] = None,
    **fields,
) -> State:
    """A State from a board picture and a falling piece ("T", rs, (y, x)[, id]).

    The piece is drawn on the board unless draw=False (cells off the board are skipped);
    ghost=True also paints its ghost. `hold` is a letter (usable) or (letter, can_use).
    Any other State field may be given by name.
    """
    if isinstance(board, (bytes, bytearray)):
        codes = unpack_board(board)
    else:
        codes = codes_from_picture(board)
    piece = None
    if current is not None:
        kind, rs, (y, x) = current[:3]
        pid = current[3] if len(current) > 3 else 0
        piece = Piece(y, x, kind_index(kind), rs, pid)
        if draw:
            for cy, cx in piece_cells(kind, rs, (y, x)):
                if 0 <= cy < ROWS and 0 <= cx < COLS:
                    codes[cy][cx] = kind_index(kind) + 1
            if ghost:
                paint_ghost(codes, KINDS[piece.tet], rs, (y, x))
    if current_id is None:
        current_id = (piece.id + 1) & 0xFFFF if piece is not None else 0
    hold_rec = None
    if hold is not None:
        letter, can_use = (hold, True) if isinstance(hold, str) else hold
        hold_rec = Hold(can_use, kind_index(letter))
    if queue is None:
        bags = State().next_pcs_bags
    elif isinstance(queue, str):
        bags = tuple(KINDS.index(k) for k in queue)
    else:
        bags = tuple(queue)
    assert len(bags) == 14
    return State(board=pack_board(codes), current=piece, current_id=current_id, hold=hold_rec,
                 next_pcs_bags=bags, next_pcs_idx=next_pcs_idx, **fields)


def to_py(s: State):
    """A GameStatePy holding exactly this State."""
    from corvelle_vim import GameStatePy

    return GameStatePy.state_from_bytes(list(encode_state(s)))


def make_state(*args, **kwargs):
    """GameStatePy from build_state's arguments."""
    return to_py(build_state(*args, **kwargs))


def decoded(state) -> State:
    """The State held by a GameStatePy, decoded here from its byte form."""
    return decode_state(state.to_bytes())[0]


def with_fields(state, **changes):
    """A GameStatePy equal to `state` except for the given State fields."""
    return to_py(decoded(state).replace(**changes))


def new_game(seed: bytes = ZERO_SEED, ts: int = 0):
    from corvelle_vim import GameStatePy, generate_seed

    return GameStatePy(generate_seed(ts, list(seed)))


def successors(state) -> dict:
    """{action name: GameStatePy} of next_actions_and_states."""
    return dict(state.next_actions_and_states)


def act(state, *names: str):
    """Applies actions one after the other through next_actions_and_states (time 0).

    Raises AssertionError naming the action when one is refused.
    """
    for name in names:
        nxt = successors(state)
        assert name in nxt, f"{name} refused; accepted: {sorted(nxt)}"
        state = nxt[name]
    return state


def play_replay(seed: bytes, ts: int, steps: Sequence[tuple]):
    """Plays (action, timestamp) steps from a new game through load_replay_from_bytes.

    Returns (state 0, [(name, state), ...]); the recorded seeds are left zero, which
    playback only reports as a diagnostic.
    """
    from corvelle_vim import GameStatePy

    segs = [Init(bytes(seed), ts)]
    for i, (action, t) in enumerate(steps):
        a = ACTION_INDEX[action] if isinstance(action, str) else action
        segs.append(Update(ts=t, idx=i & 0xFFFF, action=a))
    if len(segs) < 3:
        segs.append(GameOver(0))
    return GameStatePy.load_replay_from_bytes(encode_stream(segs))


class Recorder:
    """Collects the replay stream of a game played through the module.

    Feed it the new game's state, then every state an action returned, in order; `stream`
    appends a GameOver segment and encodes the whole as u64 count + segments.
    """

    def __init__(self, state0):
        self.segments = [segment_bytes(state0.to_bytes())]
        self.states = [state0]

    def add(self, state) -> None:
        self.segments.append(segment_bytes(state.to_bytes()))
        self.states.append(state)

    def stream(self, game_over: Optional[int] = 0) -> bytes:
        segs = list(self.segments)
        if game_over is not None:
            segs.append(encode_segment(GameOver(game_over)))
        return struct.pack("<Q", len(segs)) + b"".join(segs)


# Every attribute of GameStatePy that reads the state.
STATE_ATTRIBUTES = (
    "main_board", "next_pcs", "total_lines", "is_t_spin", "is_t_mini_spin", "is_b2b",
    "combo_counter", "total_garbage_sent", "garbage_recv", "bumpi", "holes", "height",
    "matrix_txt", "html", "total_move_count", "hold", "game_over", "score",
    "debug_current_pcs_info", "current_pcs_rotation", "current_pcs", "next_actions_and_states",
)


def random_walk(rng, n: int, seed: Optional[bytes] = None, ts: int = 0,
                restart: bool = True) -> list:
    """States along random play: n actions chosen uniformly among the accepted ones.

    A finished game starts over from a new seed when restart is set, otherwise the walk
    stops there. Returns [(action name or None for a new game, state), ...].
    """
    if seed is None:
        seed = bytes(rng.randrange(256) for _ in range(32))
    state = new_game(seed, ts)
    out = [(None, state)]
    for _ in range(n):
        nxt = state.next_actions_and_states
        if not nxt:
            if not restart:
                break
            state = new_game(bytes(rng.randrange(256) for _ in range(32)), rng.randrange(2**40))
            out.append((None, state))
            continue
        name, state = nxt[rng.randrange(len(nxt))]
        out.append((name, state))
    return out


def observable(state) -> dict:
    """Every attribute of a GameStatePy that does not vary between reads, with the
    successors by name and byte form."""
    out = {a: getattr(state, a) for a in STATE_ATTRIBUTES
           if a not in ("matrix_txt", "html", "next_actions_and_states")}
    out["next_actions_and_states"] = [(n, s.to_bytes()) for n, s in state.next_actions_and_states]
    out["to_bytes"] = state.to_bytes()
    return out


def in_fresh_interpreter(module: str, function: str) -> object:
    """Runs `function()` of the test module `module` in a new interpreter and returns its
    JSON-encoded result. Reference counts of shared objects (True, small ints) move with
    whatever other threads in this process do, and libraries such as Ray leave threads behind;
    a new interpreter runs only the measurement."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = (
        f"import json, sys; sys.path.insert(0, {here!r}); import {module}; "
        f"print(json.dumps({module}.{function}()))"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, check=False
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])
