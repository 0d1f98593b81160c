"""numpy views of a `corvelle._batch.Batch` arena, and the checks its users share."""

from __future__ import annotations

import operator
from typing import Any, Dict, Literal, Mapping, Optional, Sequence, Union, cast

import numpy as np

from corvelle_vim import GameStatePy

from .._batch import SEED_RECORD_SIZE, Batch, VersusBatch

__all__ = [
    "SEED_RECORD_SIZE",
    "Batch",
    "arena_views",
    "check_action",
    "check_moves",
    "check_render_mode",
    "check_reward",
    "given_state",
    "RewardKind",
]

# What a step's reward counts: the change in the engine's score, or the lines cleared.
RewardKind = Literal["score", "lines"]
REWARDS = ("score", "lines")
MOVES = ("chains", "all")


def arena_views(batch: Union[Batch, VersusBatch]) -> Dict[str, np.ndarray]:
    """Every field of the batch's arena as a writable numpy array sharing its memory."""
    memory = memoryview(batch)
    views = {}
    for name, (offset, fmt, shape) in batch.layout.items():
        count = int(np.prod(shape))
        views[name] = np.frombuffer(
            memory, dtype=np.dtype(fmt), count=count, offset=offset
        ).reshape(shape)
    return views


def check_render_mode(render_mode: Optional[str], modes: Sequence[str]) -> Optional[str]:
    """`render_mode` when it is None or one of `modes`; ValueError otherwise."""
    if render_mode is not None and render_mode not in modes:
        raise ValueError(f"render_mode must be 'ansi', 'rgb_array' or None, not {render_mode!r}")
    return render_mode


def check_reward(reward: str) -> RewardKind:
    """`reward` when it is "score" or "lines"; ValueError otherwise."""
    if reward not in REWARDS:
        raise ValueError(f"reward must be 'score' or 'lines', not {reward!r}")
    return cast(RewardKind, reward)


def check_moves(moves: str) -> str:
    """`moves` when it names an action space ('chains' or 'all'); ValueError otherwise."""
    if moves not in MOVES:
        raise ValueError(f"moves must be 'chains' or 'all', not {moves!r}")
    return moves


def check_action(action: object, n: int) -> int:
    """The index of a Discrete(n) action; TypeError for a non-integer, ValueError when out of
    range."""
    try:
        a = operator.index(action)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"action must be an integer, not {type(action).__name__}") from None
    if not 0 <= a < n:
        raise ValueError(f"action {a} is out of range 0..{n - 1}")
    return a


def given_state(options: Optional[Mapping[str, Any]]) -> Optional[GameStatePy]:
    """The state `reset(options={"state": s})` asks a single environment to continue from, or
    None. TypeError for anything but a GameStatePy; ValueError when a game seed is given too."""
    state = (options or {}).get("state")
    if state is None:
        return None
    if not isinstance(state, GameStatePy):
        raise TypeError(f"options['state'] must be a GameStatePy, not {type(state).__name__}")
    if (options or {}).get("game_seed") is not None:
        raise ValueError("options may give 'state' or 'game_seed', not both")
    return state
