"""Every placement of the falling piece: tucks, spins and hold, each with its shortest key path.

`placements(state)` lists every distinct way to lock the falling piece of a `GameStatePy`
(and, with `hold=True`, the piece `Hold` brings in): the places reachable by `MoveLeft`,
`MoveRight`, `RotateRight`, `RotateLeft` and `SoftDrop` (kicks as the engine does them), each
ended by a `HardDrop`; with hold, `Hold` is the first key. Two placements differ when their
hold, the cells the piece locks on or their spin kind differ.

Each `Placement` carries its shortest key path: the fewest actions, ties going to the first in
the order `Hold`, `MoveLeft`, `MoveRight`, `RotateRight`, `RotateLeft`, `SoftDrop` (compared
key by key). The list holds the placements without hold first, then those with hold, each
group ordered the same way: by key count, then key by key in that order.

`Placement.state` is the state the keys lead to, played with the engine's actions at time 0
(seed, replay record and all, as `next_actions_and_states` would give them one by one); it is
computed when first read, so listing costs only the search.

Placements as one fixed action space (`PlacementEnv(moves="all")`): `encode` and `decode`
map (hold, rotation, row, column, spin) to one of `ACTION_NB` action numbers.
"""

from __future__ import annotations

import dataclasses
import functools
from typing import Any, List, Literal, Tuple

from corvelle_vim import GameStatePy

from . import _batch

__all__ = [
    "ACTION_NB",
    "COLUMNS",
    "ROWS",
    "SPINS",
    "Placement",
    "Spin",
    "decode",
    "encode",
    "from_row",
    "placements",
]

Spin = Literal["none", "mini", "spin", "full"]

# The kinds by engine index, and the spin kinds by their number in the encoding.
KINDS = "ILJTSZO"
SPINS: Tuple[Spin, ...] = ("none", "mini", "spin", "full")
# The rows and columns of a piece's grid at which its cells can lie on the board.
ROWS = range(-2, 39)
COLUMNS = range(-2, 9)
ACTION_NB: int = 2 * 4 * len(ROWS) * len(COLUMNS) * len(SPINS)


def encode(hold: bool, rotation: int, row: int, column: int, spin: Spin) -> int:
    """The action number of a placement:
    `(((hold * 4 + rotation) * 41 + row + 2) * 11 + column + 2) * 4 + spin`, with spin
    numbered none 0, mini 1, spin 2, full 3."""
    if rotation not in range(4) or row not in ROWS or column not in COLUMNS:
        raise ValueError(f"no placement at rotation {rotation}, row {row}, column {column}")
    if spin not in SPINS:
        raise ValueError(f"spin must be one of {SPINS}, not {spin!r}")
    code = (int(bool(hold)) * 4 + rotation) * len(ROWS) + row - ROWS.start
    return (code * len(COLUMNS) + column - COLUMNS.start) * len(SPINS) + SPINS.index(spin)


def decode(action: int) -> Tuple[bool, int, int, int, Spin]:
    """(hold, rotation, row, column, spin) of an action number; the inverse of `encode`."""
    if not 0 <= action < ACTION_NB:
        raise ValueError(f"action must lie in 0..{ACTION_NB - 1}, not {action}")
    rest, spin = divmod(action, len(SPINS))
    rest, column = divmod(rest, len(COLUMNS))
    rest, row = divmod(rest, len(ROWS))
    hold, rotation = divmod(rest, 4)
    return bool(hold), rotation, row + ROWS.start, column + COLUMNS.start, SPINS[spin]


@dataclasses.dataclass(frozen=True)
class Placement:
    """One placement: its key path (the last key `"HardDrop"`), whether it holds first, the
    kind that locks, where it locks (rotation 0-3, and row and column of its grid's cell (0, 0),
    rows counted from the bottom), the spin kind its lock scores (`"mini"`: only
    `is_t_mini_spin`; `"spin"`: only `is_t_spin`, a piece other than T that needed a kick;
    `"full"`: both) and the lines it clears."""

    keys: Tuple[str, ...]
    hold: bool
    kind: str
    rotation: int
    row: int
    column: int
    spin: Spin
    lines: int
    action: int
    _origin: bytes = dataclasses.field(repr=False, compare=False)

    @functools.cached_property
    def state(self) -> GameStatePy:
        """The state after playing `keys` from the listed state, each at time 0."""
        return GameStatePy.state_from_bytes(_batch.play_keys(self._origin, self.keys))


def placements(state: GameStatePy, *, hold: bool = True) -> List[Placement]:
    """Every placement of `state`'s falling piece, and with `hold` of the piece `Hold` brings
    in, in the order described above. Empty when the game is over or no piece falls."""
    if not isinstance(state, GameStatePy):
        raise TypeError(f"state must be a GameStatePy, not {type(state).__name__}")
    origin = bytes(state.to_bytes())
    return [from_row(row, origin) for row in _batch.placements(origin, hold=hold)]


def from_row(row: Tuple[Any, ...], origin: bytes) -> Placement:
    """The Placement of one row of the native listing ((keys, hold, kind, rotation, row,
    column, spin, lines, code), as `corvelle._batch.placements` and `beam_move` give them) of
    the state of byte form `origin`."""
    keys, held, kind, rotation, y, column, spin, lines, code = row
    # Built without the frozen dataclass's __init__ (one object.__setattr__ per field): the
    # fields go straight into the record's __dict__, as __init__ would leave them.
    p = object.__new__(Placement)
    p.__dict__.update(
        zip(_FIELDS, (keys, held, KINDS[kind], rotation, y, column, SPINS[spin], lines, code, origin))
    )
    return p


_FIELDS = tuple(f.name for f in dataclasses.fields(Placement))
