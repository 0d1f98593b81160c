"""Observations of a game state, its observation space, and how episodes draw their games.

An observation is a dict of numpy arrays:

    key        dtype  shape     content
    board      int8   (20, 10)  1 where a visible cell is solid (a locked piece or garbage),
                                top row first (board row 19 .. row 0); the falling piece and
                                its ghost are left out while the game runs
    piece      int8   (4,)      falling piece: kind (0-6, I L J T S Z O), rotation (0-3),
                                row and column of its shape grid's bottom-left cell
    next       int8   (5,)      the next five kinds
    hold       int8   (2,)      held kind (7 when nothing is held), 1 when Hold may be used now
    counters   int32  (4,)      combo counter (-1 after a lock that cleared nothing),
                                back-to-back flag, total lines cleared, garbage rows received

Once the game is over (knockout) the piece that could not spawn was never drawn, and the
board shows every solid cell.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, Optional, Tuple, Union, cast

import numpy as np
from gymnasium import spaces

import corvelle_vim

from .._batch import observations, shapes
from ..bytestate import KINDS, ROWS, VISIBLE_ROWS, DecodedState

__all__ = [
    "COUNTERS",
    "OBS_KEYS",
    "NO_HOLD",
    "SHAPE_CELLS",
    "Observation",
    "draw_game_record",
    "draw_game_seed",
    "game_seed_record",
    "stream_words",
    "observation_from_state",
    "observation_space",
    "observations_from_bytes",
    "OBS_SHAPES",
    "OBS_FORMS",
    "AFTERSTATE_FEATURES",
    "FLAT_SIZE",
    "ObservationForm",
]

Observation = Dict[str, np.ndarray]

# The observation's keys.
OBS_KEYS = ("board", "piece", "next", "hold", "counters")

# Names of the entries of obs["counters"], in order.
COUNTERS = ("combo", "back_to_back", "lines", "garbage_received")
# obs["hold"][0] when nothing is held.
NO_HOLD = len(KINDS)
# A drawn start time keeps the top 52 of 64 drawn bits: microseconds since the Unix epoch,
# below 2**52 (years 1970 to 2112).
_START_TIME_SHIFT = 12


def _shape_cells() -> Tuple[Tuple[Tuple[Tuple[int, int], ...], ...], ...]:
    """(row, column) offsets of the four cells of every kind in every rotation, read from the
    engine's shape table (which `corvelle._batch.shapes()` gives as [rotation][kind])."""
    table = shapes()
    return tuple(tuple(table[r][k][1] for r in range(4)) for k in range(len(KINDS)))


# SHAPE_CELLS[kind][rotation]: the four (row, column) offsets from the piece's position.
SHAPE_CELLS = _shape_cells()


def _position_bounds() -> Tuple[int, int, int, int]:
    """Lowest and highest row and column a piece with every cell on the board can have."""
    rows = [
        (-min(i for i, _ in c), ROWS - 1 - max(i for i, _ in c)) for k in SHAPE_CELLS for c in k
    ]
    cols = [(-min(j for _, j in c), 9 - max(j for _, j in c)) for k in SHAPE_CELLS for c in k]
    return (
        min(r[0] for r in rows),
        max(r[1] for r in rows),
        min(c[0] for c in cols),
        max(c[1] for c in cols),
    )


_ROW_LOW, _ROW_HIGH, _COL_LOW, _COL_HIGH = _position_bounds()


def int8_multi_discrete(nvec: np.ndarray) -> "spaces.MultiDiscrete[Any]":
    """A MultiDiscrete of int8 values whose counts `nvec` are int64: libraries sum the counts
    (the width of a one-hot encoding), and a sum of int8 counts overflows."""
    space = spaces.MultiDiscrete(nvec, dtype=np.int8)
    space.nvec = np.asarray(nvec, dtype=np.int64)
    return space


def observation_space(hidden_rows: int = 0) -> "spaces.Space[Observation]":
    """The space of one game's observation; with `hidden_rows`, the board shows that many rows
    above the visible 20 as well (its first rows)."""
    return spaces.Dict(  # type: ignore[return-value]
        {
            "board": spaces.MultiBinary((VISIBLE_ROWS + hidden_rows, 10)),
            "piece": spaces.Box(
                low=np.array([0, 0, _ROW_LOW, _COL_LOW], dtype=np.int8),
                high=np.array([len(KINDS) - 1, 3, _ROW_HIGH, _COL_HIGH], dtype=np.int8),
                dtype=np.int8,
            ),
            "next": int8_multi_discrete(np.full(5, len(KINDS))),
            "hold": int8_multi_discrete(np.array([len(KINDS) + 1, 2])),
            "counters": spaces.Box(
                low=np.array([-128, 0, 0, 0], dtype=np.int32),
                high=np.array([127, 1, 65535, 65535], dtype=np.int32),
                dtype=np.int32,
            ),
        }
    )


# Each key's dtype and shape for one state.
OBS_SHAPES: Dict[str, Tuple[np.dtype, Tuple[int, ...]]] = {
    "board": (np.dtype(np.int8), (VISIBLE_ROWS, 10)),
    "piece": (np.dtype(np.int8), (4,)),
    "next": (np.dtype(np.int8), (5,)),
    "hold": (np.dtype(np.int8), (2,)),
    "counters": (np.dtype(np.int32), (4,)),
}

StateBytes = Union[bytes, bytearray, memoryview]


def observations_from_bytes(
    states: Iterable[StateBytes], obs: Optional[Observation] = None, hidden_rows: int = 0
) -> Observation:
    """The observations of many states given in their byte form (`bytes(state)`,
    `GameStatePy.to_bytes()` as bytes, or a dataset's `state` / `next_state` column), batched:
    a dict of the five observation arrays with one leading row per state, each row exactly
    what an environment observes in that state.

    `states` is any sequence or iterable of bytes-like objects (a list, a pandas Series, a
    pyarrow column's `to_pylist()`). `obs`, when given, is a dict of C-contiguous arrays of
    shape (n, ...) and the dtypes of `OBS_SHAPES` to write into (say, a replay buffer's
    slices); it is filled and returned. `hidden_rows` adds that many rows above the visible
    ones at the top of each board (board shape (n, 20 + hidden_rows, 10)). Decoding and
    writing run natively, one pass, no Python per state. ValueError names the first state
    whose bytes do not decode."""
    if not isinstance(states, (list, tuple)):
        states = list(states)
    n = len(states)
    shapes = dict(OBS_SHAPES)
    shapes["board"] = (shapes["board"][0], (VISIBLE_ROWS + hidden_rows, 10))
    if obs is None:
        obs = {k: np.empty((n,) + shape, dtype=dtype) for k, (dtype, shape) in shapes.items()}
    else:
        for k, (dtype, shape) in shapes.items():
            a = obs.get(k)
            if not isinstance(a, np.ndarray):
                raise TypeError(f"obs[{k!r}] must be a numpy array")
            if a.shape != (n,) + shape or a.dtype != dtype or not a.flags.c_contiguous:
                raise ValueError(
                    f"obs[{k!r}] must be a C-contiguous {dtype} array of shape {(n,) + shape}, "
                    f"not {a.dtype} {a.shape}"
                )
    observations(
        states, obs["board"], obs["piece"], obs["next"], obs["hold"], obs["counters"], hidden_rows
    )
    return obs


def observation_from_state(s: DecodedState) -> Observation:
    """The observation of a state read from its byte form (`corvelle.bytestate.decode`), in
    plain numpy: a reading independent of the native one the environments use
    (`observations_from_bytes`), which it matches for every state whose falling piece lies on
    the board."""
    cells = np.frombuffer(s.cells, dtype=np.uint8).reshape(ROWS, 10)
    solid = (cells >= 1) & (cells <= 8)
    piece = s.current_pcs
    kind = KINDS.index(piece.kind) if piece is not None else 0
    if piece is not None and not s.game_over:
        for i, j in SHAPE_CELLS[kind][piece.rotation]:
            y, x = piece.row + i, piece.column + j
            if 0 <= y < ROWS and 0 <= x < 10:
                solid[y, x] = False
    hold = s.hold
    return {
        "board": solid[VISIBLE_ROWS - 1 :: -1].astype(np.int8),
        "piece": np.array(
            [kind, piece.rotation, piece.row, piece.column] if piece is not None else [0] * 4,
            dtype=np.int8,
        ),
        # A queue position past 9 has no preview (the engine refuses it): all zeros.
        "next": np.array(
            [KINDS.index(k) for k in s.next_pcs] if len(s.next_pcs) == 5 else [0] * 5,
            dtype=np.int8,
        ),
        "hold": np.array(
            [KINDS.index(hold.kind), hold.can_use] if hold is not None else [NO_HOLD, 1],
            dtype=np.int8,
        ),
        "counters": np.array(
            [s.combo_counter, s.is_b2b, s.total_lines, s.garbage_recv], dtype=np.int32
        ),
    }


def draw_game_record(rng: np.random.Generator) -> bytes:
    """The next game of an episode stream, drawn from `rng` as five 64-bit words of its bit
    generator (`rng.bit_generator.random_raw(5)`): the first four, little-endian, are the 32
    seed bytes; the top 52 bits of the fifth are the start time. Returned as the game's seed
    record (see game_seed_record)."""
    words = rng.bit_generator.random_raw(5)
    ts = int(words[4]) >> _START_TIME_SHIFT
    return words[:4].astype("<u8").tobytes() + ts.to_bytes(8, "little")


def stream_words(rng: np.random.Generator) -> np.ndarray:
    """The state of `rng`'s PCG64 bit generator as the native batch keeps a game's stream:
    state low and high 64 bits, increment low and high 64 bits."""
    state = rng.bit_generator.state
    if state["bit_generator"] != "PCG64":
        raise TypeError(f"episode streams are PCG64 generators, not {state['bit_generator']}")
    s, inc = state["state"]["state"], state["state"]["inc"]
    low = 2**64 - 1
    return np.array([s & low, s >> 64, inc & low, inc >> 64], dtype=np.uint64)


def draw_game_seed(rng: np.random.Generator) -> corvelle_vim.GameSeedPy:
    """The next game of an episode stream (see draw_game_record) as a GameSeedPy."""
    record = draw_game_record(rng)
    return corvelle_vim.generate_seed(int.from_bytes(record[32:], "little"), record[:32])


def episode_game_seed(
    options: Optional[Dict[str, Any]], rng: np.random.Generator
) -> corvelle_vim.GameSeedPy:
    """The game an episode plays: `options["game_seed"]` when given (TypeError unless it is a
    GameSeedPy), else the next one drawn from `rng`."""
    game_seed: object = (options or {}).get("game_seed")
    if game_seed is None:
        return draw_game_seed(rng)
    if isinstance(game_seed, corvelle_vim.GameSeedPy):
        return cast(corvelle_vim.GameSeedPy, game_seed)
    raise TypeError(f"options['game_seed'] must be a GameSeedPy, not {type(game_seed).__name__}")


def game_seed_record(game_seed: corvelle_vim.GameSeedPy) -> bytes:
    """The 40-byte form the batched games start from: the seed bytes, then the start time as
    a signed little-endian 64-bit integer."""
    return bytes(game_seed.seed) + game_seed.ts.to_bytes(8, "little", signed=True)


# What `obs=` may ask for.
OBS_FORMS = ("dict", "flat", "image")
# What each action leaves (`corvelle._batch.afterstates`), by column: lines cleared, holes,
# height, aggregate height, bumpiness, well depth, row transitions, topped out; and the
# highest value each can take on the 40 x 10 board.
AFTERSTATE_FEATURES = ("lines", "holes", "height", "aggregate_height", "bumpiness", "wells",
                       "row_transitions", "topped_out")
AFTERSTATE_HIGH = np.array([4, 400, 40, 400, 360, 400, 440, 1], dtype=np.float32)
# The image form's keys besides "image": what the board planes do not show.
IMAGE_KEYS = ("next", "hold", "counters")
# SHAPE_CELLS as one array: [kind, rotation, cell, (row, column)].
_SHAPE_TABLE = np.array(SHAPE_CELLS, dtype=np.int64)
# The flat form's parts, in order, and their widths.
_FLAT_WIDTHS = tuple(int(np.prod(OBS_SHAPES[k][1])) for k in OBS_KEYS)
FLAT_SIZE = sum(_FLAT_WIDTHS)


class ObservationForm:
    """How an environment shows its observations: `obs="dict"` (the dict of arrays above),
    `obs="flat"` (one float32 vector: board, piece, next, hold and counters in that order,
    FLAT_SIZE values, 10 more per hidden row) or `obs="image"` (a dict: "image", uint8 planes
    of shape (2, rows, 10) for convolutional layers, plane 0 the board's solid cells and plane
    1 the falling piece's cells while the game runs, beside "next", "hold" and "counters"),
    with `mask_in_obs=True` adding the action mask (0/1 for each of the `action_nb` actions):
    as key "action_mask" (int8) of a dict, or as `action_nb` values after the observation's in
    the flat vector;
    `hidden_rows` is the number of rows above the visible 20 that the board shows;
    `afterstates=True` adds what each action leaves (`AFTERSTATE_FEATURES` per action, float32):
    as key "afterstates" of a dict, or after the mask at the flat vector's end. Called on one
    game's arrays or on a batch of them."""

    def __init__(
        self,
        obs: str,
        mask_in_obs: bool,
        action_nb: int,
        hidden_rows: int = 0,
        afterstates: bool = False,
    ) -> None:
        if not isinstance(hidden_rows, int) or not 0 <= hidden_rows <= ROWS - VISIBLE_ROWS:
            raise ValueError(
                f"hidden_rows must be in 0..{ROWS - VISIBLE_ROWS}, not {hidden_rows!r}"
            )
        self.hidden_rows = hidden_rows
        if obs not in OBS_FORMS:
            raise ValueError(f"obs must be 'dict', 'flat' or 'image', not {obs!r}")
        self.obs = obs
        self.mask_in_obs = bool(mask_in_obs)
        self.action_nb = action_nb
        self.afterstates = bool(afterstates)
        self.plain = obs == "dict" and not mask_in_obs and not self.afterstates

    def space(self) -> "spaces.Space[Any]":
        """The space of one game's observation in this form."""
        base = observation_space(self.hidden_rows)
        if self.obs != "flat":
            parts: Dict[str, "spaces.Space[Any]"] = dict(base.spaces)  # type: ignore[attr-defined]
            if self.obs == "image":
                rows = VISIBLE_ROWS + self.hidden_rows
                image = spaces.Box(0, 1, (2, rows, 10), dtype=np.uint8)
                parts = {"image": image, **{k: parts[k] for k in IMAGE_KEYS}}
            elif self.plain:
                return base
            if self.mask_in_obs:
                parts["action_mask"] = spaces.MultiBinary(self.action_nb)
            if self.afterstates:
                parts["afterstates"] = self._afterstate_space()
            return spaces.Dict(parts)
        pieces = [base[k] for k in OBS_KEYS]  # type: ignore[index]
        low = np.concatenate([_low_high(p)[0] for p in pieces])
        high = np.concatenate([_low_high(p)[1] for p in pieces])
        if self.mask_in_obs:
            low = np.concatenate([low, np.zeros(self.action_nb)])
            high = np.concatenate([high, np.ones(self.action_nb)])
        if self.afterstates:
            after = self._afterstate_space()
            low = np.concatenate([low, after.low.ravel()])
            high = np.concatenate([high, after.high.ravel()])
        return spaces.Box(low.astype(np.float32), high.astype(np.float32), dtype=np.float32)

    def _afterstate_space(self) -> spaces.Box:
        high = np.broadcast_to(AFTERSTATE_HIGH, (self.action_nb, len(AFTERSTATE_HIGH)))
        return spaces.Box(np.zeros_like(high), high.copy(), dtype=np.float32)

    def __call__(
        self, obs: Observation, mask: np.ndarray, over: Any = False, after: Any = None
    ) -> Any:
        """`obs` (one game's arrays, or a batch with a leading game index), its action mask,
        whether the game is over and, with `afterstates`, what each action leaves, in this
        form; the plain dict form passes the arrays on as they are."""
        extra: Dict[str, np.ndarray] = {}
        if self.mask_in_obs:
            extra["action_mask"] = mask
        if self.afterstates:
            extra["afterstates"] = after
        if self.obs == "dict":
            return {**obs, **extra}
        if self.obs == "image":
            out = {"image": self._planes(obs, np.asarray(over)), **{k: obs[k] for k in IMAGE_KEYS}}
            return {**out, **extra}
        lead = mask.shape[:-1]
        parts = [obs[k].reshape(lead + (-1,)) for k in OBS_KEYS]
        if self.mask_in_obs:
            parts.append(mask)
        if self.afterstates:
            parts.append(np.asarray(after).reshape(lead + (-1,)))
        return np.concatenate(parts, axis=-1).astype(np.float32)

    # The image form's planes: the board, and the falling piece's cells on the rows shown.
    def _planes(self, obs: Observation, over: np.ndarray) -> np.ndarray:
        board = obs["board"]
        lead, rows = board.shape[:-2], board.shape[-2]
        planes = np.zeros(lead + (2, rows, 10), dtype=np.uint8)
        planes[..., 0, :, :] = board
        piece = obs["piece"].reshape(-1, 4).astype(np.int64)
        cells = _SHAPE_TABLE[piece[:, 0], piece[:, 1]]  # (games, 4, 2)
        top = rows - 1 - (piece[:, 2, None] + cells[..., 0])  # row in the image, top first
        col = piece[:, 3, None] + cells[..., 1]
        shown = (top >= 0) & (top < rows) & ~np.broadcast_to(over, lead).reshape(-1, 1)
        game = np.broadcast_to(np.arange(len(piece))[:, None], top.shape)
        flat = planes.reshape(-1, 2, rows, 10)
        flat[game[shown], 1, top[shown], col[shown]] = 1
        return planes


def _low_high(space: "spaces.Space[Any]") -> Tuple[np.ndarray, np.ndarray]:
    """Flattened lowest and highest values of a part of the dict observation."""
    if isinstance(space, spaces.Box):
        return space.low.reshape(-1), space.high.reshape(-1)
    if isinstance(space, spaces.MultiDiscrete):
        return np.zeros(space.nvec.size), (space.nvec - 1).reshape(-1)
    assert isinstance(space, spaces.MultiBinary)
    size = int(np.prod(space.shape))
    return np.zeros(size), np.ones(size)
