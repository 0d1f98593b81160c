"""Board diagrams in the fumen v115 text form ("v115@..."), the form players share positions,
openers and setups in: `encode` writes game states (or pages) as one diagram, one page per
state, `decode` reads a diagram back into pages, and `state_from_page` starts a game from a
page.

A page is a board in this package's cell codes (40 rows of 10, row 0 at the bottom; 0 empty,
1-7 a cell of kind I L J T S Z O, 8 garbage), the piece shown over it (kind, rotation 0-3,
and the (row, column) of its shape grid's bottom-left cell, as a falling piece is placed in
a game state), a comment and fumen's page flags.

A fumen field is 23 rows of 10 plus one garbage row below its floor, which only fumen's
"rise" flag lifts into the field; our rows 0-22 are the field's rows. A board or piece that
reaches above row 22 cannot be written and is refused with a ValueError, never cut.

The fumen text: after the "v115@" prefix, base-64 digits ("A-Za-z0-9+/"), a value of n
digits written least significant digit first, with a "?" after every 47 characters (the
prefix counted) that readers skip. Each page is its field as runs of cell differences from
the field the previous page left (a page that "locks" its piece leaves its field with the
piece drawn and full rows cleared), a field equal to that one written as one run followed by
how many of the next pages repeat it, then 3 digits of piece and flags, then the comment if
it differs from the previous page's (comments carry over to the pages that follow).
"""

from __future__ import annotations

from typing import Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

from corvelle_vim import GameSeedPy, GameStatePy, generate_seed

from ._batch import shapes
from .bytestate import COLUMNS, KINDS, ROWS, DecodedState, encode_position
from .bytestate import decode as decode_state

__all__ = [
    "FIELD_ROWS",
    "PIECE_CENTRES",
    "Page",
    "Piece",
    "decode",
    "encode",
    "encode_pages",
    "page_from_state",
    "state_from_page",
]

FIELD_ROWS = 23
_FIELD_CELLS = (FIELD_ROWS + 1) * COLUMNS
_DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_DIGIT_VALUE = {c: i for i, c in enumerate(_DIGITS)}
_PREFIXES = ("v115@", "m115@", "d115@")
_LINE = 47
# Comment characters (printable ASCII), numbered from 0; a comment is its escaped text.
_COMMENT_CHARS = "".join(chr(c) for c in range(32, 127))
_COMMENT_VALUE = {c: i for i, c in enumerate(_COMMENT_CHARS)}
_COMMENT_BASE = len(_COMMENT_CHARS) + 1
_COMMENT_MAX = 4095
# Characters that JavaScript's escape() leaves as they are; fumen comments are escaped text.
_UNESCAPED = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@*_+-./")

# Fumen's block numbers: 0 empty, 1 I, 2 L, 3 O, 4 Z, 5 T, 6 J, 7 S, 8 garbage.
_FUMEN_BLOCKS = "_ILOZTJS"
_CODE_TO_BLOCK = tuple([0] + [_FUMEN_BLOCKS.index(k) for k in KINDS] + [8])
_BLOCK_TO_CODE = tuple([0] + [KINDS.index(k) + 1 for k in _FUMEN_BLOCKS[1:]] + [8])
# Our rotation states (spawn, clockwise, 180, counter-clockwise) as fumen numbers them.
_ROTATION_TO_FUMEN = (2, 1, 0, 3)
_FUMEN_TO_ROTATION = (2, 1, 0, 3)

# PIECE_CENTRES[kind][rotation] = (rows, columns) from a piece's position (its shape grid's
# bottom-left cell) to the cell fumen places it by: the centre of rotation of the common
# rotation system, and for O the corner cell fumen names per rotation.
PIECE_CENTRES: Tuple[Tuple[Tuple[int, int], ...], ...] = (
    ((2, 1), (2, 2), (1, 2), (1, 1)),  # I
    ((1, 1), (1, 1), (1, 1), (1, 1)),  # L
    ((1, 1), (1, 1), (1, 1), (1, 1)),  # J
    ((1, 1), (1, 1), (1, 1), (1, 1)),  # T
    ((1, 1), (1, 1), (1, 1), (1, 1)),  # S
    ((1, 1), (1, 1), (1, 1), (1, 1)),  # Z
    ((0, 0), (1, 0), (1, 1), (0, 1)),  # O
)
# Fumen stores the centre with a per-shape correction for a few pieces (a relic of an older
# placement rule): stored (x, y) = centre (x, y) + this.
_STORED_SHIFT = {
    (0, 2): (-1, 0),  # I, 180
    (0, 3): (0, 1),  # I, counter-clockwise
    (6, 0): (0, 1),  # O, spawn
    (6, 2): (-1, 0),
    (6, 3): (-1, 1),
    (5, 0): (0, 1),  # Z, spawn
    (5, 3): (-1, 0),
    (4, 0): (0, 1),  # S, spawn
    (4, 1): (1, 0),
}

# _SHAPES[kind][rotation]: the (row, column) cells of the engine's shape grid.
_SHAPES = tuple(tuple(shapes()[r][k][1] for r in range(4)) for k in range(len(KINDS)))

Board = Tuple[Tuple[int, ...], ...]
_EMPTY_ROW = (0,) * COLUMNS


class Piece(NamedTuple):
    """A piece shown on a page: kind letter, rotation 0-3 (spawn, clockwise, 180,
    counter-clockwise) and the (row, column) of its shape grid's bottom-left cell."""

    kind: str
    rotation: int
    row: int
    column: int

    def cells(self) -> List[Tuple[int, int]]:
        """The (row, column) cells the piece covers."""
        k = KINDS.index(self.kind)
        return [(self.row + i, self.column + j) for i, j in _SHAPES[k][self.rotation]]


class Page(NamedTuple):
    """One page of a diagram.

    `board`: 40 rows of 10 cell codes, row 0 (the bottom) first, without the page's piece.
    `piece`: the piece shown over the board, or None. `comment`: the page's comment (a page
    shows the previous page's comment unless it has its own). `lock`: the piece is placed and
    full rows cleared before the next page; `rise`: then the garbage row `below` (10 codes,
    under the field's floor) is lifted into the field; `mirror`: then the field is flipped
    left to right.
    """

    board: Board
    piece: Optional[Piece] = None
    comment: str = ""
    lock: bool = True
    rise: bool = False
    mirror: bool = False
    below: Tuple[int, ...] = _EMPTY_ROW


# --------------------------------------------------------------------------------------------
# States and pages
# --------------------------------------------------------------------------------------------


def _check_piece(piece: Piece, where: str) -> None:
    if piece.kind not in KINDS or not 0 <= piece.rotation < 4:
        raise ValueError(f"{where}: bad piece {piece!r}")
    for row, column in piece.cells():
        if not 0 <= column < COLUMNS or row < 0:
            raise ValueError(f"{where}: the {piece.kind} piece at {piece[2:]} is off the board")
        if row >= FIELD_ROWS:
            raise ValueError(
                f"{where}: the {piece.kind} piece reaches row {row}, above the "
                f"{FIELD_ROWS} rows a fumen field holds"
            )


def page_from_state(state: object, comment: str = "") -> Page:
    """The page of a game state (a GameStatePy, its byte form or a `DecodedState`): its board
    without the falling piece and ghost, and the falling piece as the page's piece (none once
    the game is over: the piece that could not spawn was never drawn)."""
    if isinstance(state, DecodedState):
        s = state
    else:
        s = decode_state(bytes(state))  # type: ignore[call-overload]
    codes = [c if 1 <= c <= 8 else 0 for c in s.cells]
    piece: Optional[Piece] = None
    p = s.current_pcs
    if p is not None and not s.game_over:
        piece = Piece(p.kind, p.rotation, p.row, p.column)
        for row, column in piece.cells():
            if 0 <= row < ROWS and 0 <= column < COLUMNS:
                codes[row * COLUMNS + column] = 0
    board = tuple(tuple(codes[r * COLUMNS : (r + 1) * COLUMNS]) for r in range(ROWS))
    return Page(board, piece, comment)


def state_from_page(page: Page, game_seed: Optional[GameSeedPy] = None) -> GameStatePy:
    """A game state with the page's board and piece: a new game (from `game_seed`, a
    GameSeedPy; 32 zero bytes at time 0 by default) whose board is replaced by the page's and
    whose falling piece, when the page has one, by the page's piece. The queue, hold and
    counters are the new game's. No ghost is drawn; the first action paints it.

    Start an environment from it with `env.reset(options={"state": state})`. ValueError when
    the piece overlaps the board's cells or lies off the board, a row is full (a game never
    holds a full row), or the board holds codes other than 0-8. The state is built by
    `corvelle.bytestate.encode_position`."""
    if game_seed is None:
        game_seed = generate_seed(0, bytes(32))
    base = bytes(GameStatePy(game_seed))
    new = decode_state(base)
    codes = _board_codes(page.board, "page")
    piece = page.piece
    if piece is not None and (piece.kind not in KINDS or piece.rotation not in range(4)):
        raise ValueError(f"bad piece {piece!r}")
    assert new.current_pcs is not None
    kind = new.current_pcs.kind if piece is None else piece.kind
    at = None if piece is None else (piece.rotation, piece.row, piece.column)
    queue = new.next_pcs_bags[new.next_pcs_idx :]
    return GameStatePy.state_from_bytes(encode_position(codes, kind, queue, base=base, at=at))


def _board_codes(board: Sequence[Sequence[int]], where: str) -> List[int]:
    if len(board) != ROWS or any(len(row) != COLUMNS for row in board):
        raise ValueError(f"{where}: a board is {ROWS} rows of {COLUMNS} cells")
    codes = [c for row in board for c in row]
    if any(not (isinstance(c, int) and 0 <= c <= 8) for c in codes):
        raise ValueError(f"{where}: board cells are codes 0-8")
    return codes


# --------------------------------------------------------------------------------------------
# Fields
# --------------------------------------------------------------------------------------------

# A field as fumen lists it: 240 block numbers, the top row (22) first, the garbage row last.
_Field = List[int]


def _field_index(row: int, column: int) -> int:
    return (FIELD_ROWS - 1 - row) * COLUMNS + column


def _field_of(page: Page, where: str) -> _Field:
    codes = _board_codes(page.board, where)
    for at in range(FIELD_ROWS * COLUMNS, ROWS * COLUMNS):
        if codes[at]:
            raise ValueError(
                f"{where}: the board has a cell in row {at // COLUMNS}, above the "
                f"{FIELD_ROWS} rows a fumen field holds"
            )
    below = list(page.below)
    if len(below) != COLUMNS or any(not (isinstance(c, int) and 0 <= c <= 8) for c in below):
        raise ValueError(f"{where}: the garbage row is {COLUMNS} cell codes 0-8")
    field = [0] * _FIELD_CELLS
    for row in range(FIELD_ROWS):
        for column in range(COLUMNS):
            field[_field_index(row, column)] = _CODE_TO_BLOCK[codes[row * COLUMNS + column]]
    field[FIELD_ROWS * COLUMNS :] = [_CODE_TO_BLOCK[c] for c in below]
    return field


def _page_of(field: _Field, piece: Optional[Piece], comment: str, flags: Tuple[bool, ...]) -> Page:
    rows = [
        tuple(_BLOCK_TO_CODE[field[_field_index(row, c)]] for c in range(COLUMNS))
        for row in range(FIELD_ROWS)
    ]
    board = tuple(rows) + (_EMPTY_ROW,) * (ROWS - FIELD_ROWS)
    below = tuple(_BLOCK_TO_CODE[b] for b in field[FIELD_ROWS * COLUMNS :])
    lock, rise, mirror = flags
    return Page(board, piece, comment, lock, rise, mirror, below)


def _after(field: _Field, piece: Optional[Piece], lock: bool, rise: bool, mirror: bool) -> _Field:
    """The field a page leaves to the next: with `lock`, its piece drawn, full rows cleared,
    then the garbage row lifted (`rise`) and the field flipped (`mirror`)."""
    if not lock:
        return field
    rows = [field[i : i + COLUMNS] for i in range(0, FIELD_ROWS * COLUMNS, COLUMNS)]
    if piece is not None:
        block = _FUMEN_BLOCKS.index(piece.kind)
        for row, column in piece.cells():
            rows[FIELD_ROWS - 1 - row][column] = block
    kept = [r for r in rows if 0 in r]
    rows = [[0] * COLUMNS for _ in range(FIELD_ROWS - len(kept))] + kept
    below = field[FIELD_ROWS * COLUMNS :]
    if rise:
        rows = rows[1:] + [below]
        below = [0] * COLUMNS
    if mirror:
        rows = [r[::-1] for r in rows]
    return [b for r in rows for b in r] + below


# --------------------------------------------------------------------------------------------
# Encoding
# --------------------------------------------------------------------------------------------


def _push(out: List[int], value: int, digits: int) -> None:
    for _ in range(digits):
        value, digit = divmod(value, 64)
        out.append(digit)


def _escape(text: str) -> str:
    """JavaScript's escape(): %XX below 256, %uXXXX above, for every character it escapes."""
    parts = []
    for ch in text:
        if ch in _UNESCAPED:
            parts.append(ch)
        elif ord(ch) < 256:
            parts.append(f"%{ord(ch):02X}")
        elif ord(ch) < 0x10000:
            parts.append(f"%u{ord(ch):04X}")
        else:
            # Outside the basic plane JavaScript escapes the UTF-16 surrogate pair.
            v = ord(ch) - 0x10000
            parts.append(f"%u{0xD800 + (v >> 10):04X}%u{0xDC00 + (v & 0x3FF):04X}")
    return "".join(parts)


def _unescape(text: str) -> str:
    out: List[str] = []
    i = 0
    while i < len(text):
        ch = text[i]
        if ch == "%":
            h4, h2 = text[i + 2 : i + 6], text[i + 1 : i + 3]
            if text[i + 1 : i + 2] == "u" and len(h4) == 4 and _is_hex(h4):
                out.append(chr(int(h4, 16)))
                i += 6
                continue
            if len(h2) == 2 and _is_hex(h2):
                out.append(chr(int(h2, 16)))
                i += 3
                continue
        out.append(ch)
        i += 1
    # Surrogate pairs back to one character.
    return "".join(out).encode("utf-16", "surrogatepass").decode("utf-16", "replace")


def _is_hex(text: str) -> bool:
    return all(c in "0123456789abcdefABCDEF" for c in text)


def _piece_code(piece: Optional[Piece]) -> Tuple[int, int, int]:
    """(block, rotation, stored position) of a page's piece as fumen writes it."""
    if piece is None:
        return 0, 0, 0
    k = KINDS.index(piece.kind)
    drow, dcol = PIECE_CENTRES[k][piece.rotation]
    sx, sy = _STORED_SHIFT.get((k, piece.rotation), (0, 0))
    x = piece.column + dcol + sx
    y = piece.row + drow + sy
    position = (FIELD_ROWS - 1 - y) * COLUMNS + x
    return _FUMEN_BLOCKS.index(piece.kind), _ROTATION_TO_FUMEN[piece.rotation], position


def encode(
    state_or_states: object,
    comment: Union[str, Sequence[str], None] = None,
    lock: bool = True,
) -> str:
    """The diagram of one game state or a sequence of them, one page each (see
    `page_from_state`); `Page` objects are written as they are. `comment` is the text of every
    state's page, or one text per state. `lock` sets the flag of the states' pages: each
    page's piece is placed (full rows cleared) before the next page, which then writes only
    what differs from that; the pages shown are the same either way.

    ValueError when a board or piece reaches above row 22 (a fumen field holds 23 rows) or a
    comment, escaped, is longer than 4095 characters."""
    single = isinstance(state_or_states, (Page, DecodedState)) or not isinstance(
        state_or_states, (list, tuple)
    )
    items = [state_or_states] if single else list(state_or_states)  # type: ignore[call-overload]
    if not items:
        raise ValueError("no state or page to encode")
    if isinstance(comment, str) or comment is None:
        comments: Sequence[Optional[str]] = [comment] * len(items)
    else:
        comments = list(comment)
        if len(comments) != len(items):
            raise ValueError(f"{len(comments)} comments for {len(items)} pages")
    pages = []
    for item, text in zip(items, comments):
        if isinstance(item, Page):
            pages.append(item if text is None else item._replace(comment=text))
        else:
            pages.append(page_from_state(item, text or "")._replace(lock=lock))
    return encode_pages(pages)


def encode_pages(pages: Iterable[Page]) -> str:
    """The diagram of the given pages (see `encode`)."""
    out: List[int] = []
    previous: _Field = [0] * _FIELD_CELLS
    previous_comment = ""
    repeat_at = -1
    for n, page in enumerate(pages):
        where = f"page {n}"
        field = _field_of(page, where)
        if page.piece is not None:
            _check_piece(page.piece, where)
        runs: List[Tuple[int, int]] = []
        for at in range(_FIELD_CELLS):
            diff = field[at] - previous[at] + 8
            if runs and runs[-1][0] == diff:
                runs[-1] = (diff, runs[-1][1] + 1)
            else:
                runs.append((diff, 1))
        if runs != [(8, _FIELD_CELLS)]:
            for diff, count in runs:
                _push(out, diff * _FIELD_CELLS + count - 1, 2)
            repeat_at = -1
        elif repeat_at >= 0 and out[repeat_at] < 63:
            out[repeat_at] += 1
        else:
            _push(out, 8 * _FIELD_CELLS + _FIELD_CELLS - 1, 2)
            out.append(0)
            repeat_at = len(out) - 1
        block, rotation, position = _piece_code(page.piece)
        escaped = _escape(page.comment)
        if len(escaped) > _COMMENT_MAX:
            raise ValueError(
                f"{where}: the comment is {len(escaped)} characters escaped, "
                f"more than {_COMMENT_MAX}"
            )
        new_comment = escaped != _escape(previous_comment)
        flags = (not page.lock, new_comment, n == 0, page.mirror, page.rise)
        value = 0
        for flag in flags:
            value = value * 2 + int(flag)
        _push(out, ((value * _FIELD_CELLS + position) * 4 + rotation) * 8 + block, 3)
        if new_comment:
            _push(out, len(escaped), 2)
            for i in range(0, len(escaped), 4):
                chunk = 0
                for ch in reversed(escaped[i : i + 4]):
                    chunk = chunk * _COMMENT_BASE + _COMMENT_VALUE[ch]
                _push(out, chunk, 5)
            previous_comment = page.comment
        previous = _after(field, page.piece, page.lock, page.rise, page.mirror)
    text = "v115@" + "".join(_DIGITS[d] for d in out)
    return "?".join(text[i : i + _LINE] for i in range(0, len(text), _LINE))


# --------------------------------------------------------------------------------------------
# Decoding
# --------------------------------------------------------------------------------------------


class _Digits:
    def __init__(self, data: str) -> None:
        self.data = data
        self.pos = 0

    def __bool__(self) -> bool:
        return self.pos < len(self.data)

    def take(self, count: int, what: str) -> int:
        chunk = self.data[self.pos : self.pos + count]
        if len(chunk) < count:
            raise ValueError(f"fumen data ends inside {what}")
        self.pos += count
        value = 0
        for ch in reversed(chunk):
            value = value * 64 + _DIGIT_VALUE[ch]
        return value


def _data_of(text: str) -> str:
    starts = [(text.find(p), p) for p in _PREFIXES if p in text]
    if not starts:
        if "110@" in text:
            raise ValueError("fumen v110 diagrams are not read; only v115")
        raise ValueError("not a fumen v115 diagram (no 'v115@')")
    at, prefix = min(starts)
    data = text[at + len(prefix) :].split("&", 1)[0].split("#", 1)[0]
    data = "".join(data.split()).replace("?", "")
    for ch in data:
        if ch not in _DIGIT_VALUE:
            raise ValueError(f"bad character {ch!r} in fumen data")
    return data


def _piece_of(block: int, rotation: int, position: int, where: str) -> Optional[Piece]:
    if block == 0 or block == 8:
        return None
    kind = _FUMEN_BLOCKS[block]
    k = KINDS.index(kind)
    ours = _FUMEN_TO_ROTATION[rotation]
    sx, sy = _STORED_SHIFT.get((k, ours), (0, 0))
    x = position % COLUMNS - sx
    y = FIELD_ROWS - 1 - position // COLUMNS - sy
    drow, dcol = PIECE_CENTRES[k][ours]
    piece = Piece(kind, ours, y - drow, x - dcol)
    _check_piece(piece, where)
    return piece


def decode(text: str) -> List[Page]:
    """The pages of a fumen v115 diagram (the "v115@..." text, alone or inside a link). Each
    page's board is the field as shown on that page, in our 40-row board (rows 23-39
    empty), with the page's piece apart. ValueError for anything else, or data that does
    not decode."""
    digits = _Digits(_data_of(text))
    pages: List[Page] = []
    field: _Field = [0] * _FIELD_CELLS
    comment = ""
    repeats = 0
    while digits:
        where = f"page {len(pages)}"
        if repeats > 0:
            repeats -= 1
        else:
            at = 0
            new = list(field)
            while at < _FIELD_CELLS:
                value = digits.take(2, f"{where}'s field")
                diff, count = divmod(value, _FIELD_CELLS)
                count += 1
                if at + count > _FIELD_CELLS:
                    raise ValueError(f"{where}: a field run goes past the field's last cell")
                if diff == 8 and count == _FIELD_CELLS:
                    repeats = digits.take(1, f"{where}'s repeat count")
                for i in range(at, at + count):
                    new[i] += diff - 8
                    if not 0 <= new[i] <= 8:
                        raise ValueError(f"{where}: a field cell decodes to block {new[i]}")
                at += count
            field = new
        value = digits.take(3, f"{where}'s piece")
        value, block = divmod(value, 8)
        value, rotation = divmod(value, 4)
        value, position = divmod(value, _FIELD_CELLS)
        value, rise = divmod(value, 2)
        value, mirror = divmod(value, 2)
        value, _colour = divmod(value, 2)
        value, has_comment = divmod(value, 2)
        unlocked = value % 2
        piece = _piece_of(block, rotation, position, where)
        if has_comment:
            length = digits.take(2, f"{where}'s comment")
            chars: List[str] = []
            for _ in range((length + 3) // 4):
                chunk = digits.take(5, f"{where}'s comment")
                for _ in range(4):
                    chunk, ch = divmod(chunk, _COMMENT_BASE)
                    if ch >= len(_COMMENT_CHARS):
                        raise ValueError(f"{where}: bad comment character")
                    chars.append(_COMMENT_CHARS[ch])
            comment = _unescape("".join(chars[:length]))
        flags = (not unlocked, bool(rise), bool(mirror))
        pages.append(_page_of(field, piece, comment, flags))
        field = _after(field, piece, *flags)
    if not pages:
        raise ValueError("the fumen diagram has no page")
    return pages
