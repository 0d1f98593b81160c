"""numpy views of a `corvelle._batch.Batch` arena, and the checks its users share."""

from __future__ import annotations

import operator
from typing import Any, Callable, Dict, Literal, Mapping, Optional, Sequence, Union, cast

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
    "check_native_reward",
    "check_reward",
    "given_state",
    "Reward",
    "RewardFn",
    "RewardKind",
]

# What a step's reward counts, computed natively: the change in the engine's score, the lines
# cleared, or the lines plus the change of a board potential less a game-over penalty (see
# `corvelle._batch.step_reward`).
RewardKind = Literal["score", "lines", "shaped"]
REWARDS = ("score", "lines", "shaped")
# A reward computed in Python: (state before, state after, the step's info) -> reward.
RewardFn = Callable[[GameStatePy, GameStatePy, Dict[str, Any]], float]
Reward = Union[RewardKind, RewardFn]
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


def check_reward(reward: object) -> Reward:
    """`reward` when it names a reward kind or is callable; ValueError otherwise."""
    if callable(reward):
        return cast(RewardFn, reward)
    if not isinstance(reward, str) or reward not in REWARDS:
        raise ValueError(
            "reward must be 'score', 'lines', 'shaped' or a callable "
            f"(state_before, state_after, info) -> float, not {reward!r}"
        )
    return cast(RewardKind, reward)


def check_native_reward(reward: object) -> RewardKind:
    """`reward` when it names a reward kind the native games compute; ValueError otherwise,
    TypeError for a callable (which needs every step's states in Python)."""
    if callable(reward):
        raise TypeError(
            "the native vector env computes 'score', 'lines' or 'shaped' rewards only; for a "
            "callable reward use gymnasium.make_vec(..., vectorization_mode='sync')"
        )
    return cast(RewardKind, check_reward(reward))


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
