"""The search bot: a beam search over every placement, with hold, through the preview.

    from corvelle.bots import Beam
    bot = Beam(width=16, depth=6, weights="default", seed=0)
    p = bot.move(state)          # a corvelle.placement.Placement: p.keys, p.state
    played = bot.play(state, 100)

`Beam` asks the engine's beam search (`corvelle._batch.beam_move`). It lists every placement
of the falling piece and of the piece `Hold` brings in (tucks and spins included, as
`corvelle.placements` does), and looks `depth` placements ahead through the five previews:
at each level it keeps the `width` best positions by an evaluation of the board (holes,
heights, bumpiness, wells, row transitions, T-spin slots) and of what the placements on the
way did (attack under the guideline table, back-to-back, combo), with the garbage waiting
counted as height. Identical positions reached two ways are searched once. The first placement
of the best line is played.

The same state, settings and seed always give the same placement: the seed only chooses among
first placements of exactly equal value. Weight sets: "default" (tuned for attack while
staying alive, see bench/beam_tune.py) and "safe" (survival first).

Settings: `DEFAULT` (width 16, depth 6) and `FAST` (width 4, depth 2, over ten times as many
decisions a second).
"""

from __future__ import annotations

import operator
from typing import Dict, List, Mapping, Optional, Union

from corvelle_vim import GameStatePy

from . import _batch
from .placement import Placement, from_row

__all__ = ["Beam", "DEFAULT", "FAST", "MAX_DEPTH", "MAX_WIDTH", "WEIGHTS", "weight_set"]

WEIGHTS = ("default", "safe")
MAX_WIDTH = 4096
# The falling piece, the held one and the five previews.
MAX_DEPTH = 7
DEFAULT: Dict[str, int] = {"width": 16, "depth": 6}
FAST: Dict[str, int] = {"width": 4, "depth": 2}

StateLike = Union[GameStatePy, bytes, bytearray, memoryview]
Weights = Union[str, Mapping[str, float]]


def weight_set(name: str = "default") -> Dict[str, float]:
    """The weights of the named set, by weight name: a starting point for a set of one's own
    (`Beam(weights={...})`, the weights left out taken from "default")."""
    if name not in WEIGHTS:
        raise ValueError(f"weights must be one of {', '.join(WEIGHTS)}, not {name!r}")
    return _batch.beam_weights(name)


def _state_bytes(state: StateLike) -> bytes:
    if isinstance(state, GameStatePy):
        return bytes(state.to_bytes())
    if isinstance(state, (bytes, bytearray, memoryview)):
        return bytes(state)
    raise TypeError(f"state must be a GameStatePy or its byte form, not {type(state).__name__}")


def _int_in(name: str, value: object, low: int, high: int) -> int:
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if not low <= n <= high:
        raise ValueError(f"{name} must lie in {low}..{high}, not {n}")
    return n


class Beam:
    """Beam(width=16, depth=6, weights="default", seed=0)

    The beam search bot. `width`: positions kept at each level (1 to 4096); `depth`:
    placements looked ahead, the first included (1 to 7); `weights`: a weight set of
    `WEIGHTS`, or a mapping of weights by name (`weight_set()` names them; those left out
    are the default set's); `seed`: 0 to 2**64 - 1, choosing among first placements of exactly equal
    value (0: the first listed)."""

    def __init__(
        self,
        width: int = DEFAULT["width"],
        depth: int = DEFAULT["depth"],
        weights: Weights = "default",
        seed: int = 0,
    ) -> None:
        self.width = _int_in("width", width, 1, MAX_WIDTH)
        self.depth = _int_in("depth", depth, 1, MAX_DEPTH)
        if isinstance(weights, str):
            if weights not in WEIGHTS:
                raise ValueError(f"weights must be one of {', '.join(WEIGHTS)}, not {weights!r}")
            self.weights: Union[str, Dict[str, float]] = weights
        else:
            known = weight_set()
            custom = dict(weights)
            for name, value in custom.items():
                if name not in known:
                    raise ValueError(f"unknown weight {name!r}; weights are {', '.join(known)}")
                if not isinstance(value, (int, float)):
                    raise TypeError(f"weight {name!r} must be a number, not {type(value).__name__}")
            self.weights = {name: float(value) for name, value in custom.items()}
        self.seed = _int_in("seed", seed, 0, 2**64 - 1)

    def __repr__(self) -> str:
        return (f"Beam(width={self.width}, depth={self.depth}, weights={self.weights!r}, "
                f"seed={self.seed})")

    def move(
        self,
        state: StateLike,
        *,
        incoming: int = 0,
        back_to_back: bool = False,
        max_keys: int = 0,
    ) -> Optional[Placement]:
        """The placement the bot plays on `state` (a GameStatePy or its byte form), with its
        key path; None when the game is over or no piece falls. In a match, `incoming` is the
        garbage queued against the player and not yet in its state, `back_to_back` whether its
        last clear was difficult; `max_keys` the longest key path a turn may hold (0: any), the
        search then planning with such placements only, at every level.
        """
        data = _state_bytes(state)
        row = _batch.beam_move(
            data,
            width=self.width,
            depth=self.depth,
            weights=self.weights,
            seed=self.seed,
            incoming=_int_in("incoming", incoming, 0, 2**31 - 1),
            back_to_back=bool(back_to_back),
            max_keys=_int_in("max_keys", max_keys, 0, 2**31 - 1),
        )
        return None if row is None else from_row(row, data)

    def play(self, state: StateLike, pieces: int) -> List[Placement]:
        """Plays up to `pieces` placements from `state`, each from the state the one before
        leads to (`Placement.state`, keys at time 0), and returns them in order; fewer when
        the game ends first."""
        pieces = _int_in("pieces", pieces, 0, 2**63 - 1)
        data = _state_bytes(state)
        played: List[Placement] = []
        while len(played) < pieces:
            p = self.move(data)
            if p is None:
                break
            played.append(p)
            after = p.state
            if after.game_over:
                break
            data = bytes(after.to_bytes())
        return played
