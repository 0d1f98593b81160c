"""numpy views of a `corvelle._batch.Batch` arena, and the checks its users share."""

from __future__ import annotations

import operator
from typing import Dict, Optional, Sequence

import numpy as np

from .._batch import SEED_RECORD_SIZE, Batch

__all__ = [
    "SEED_RECORD_SIZE",
    "Batch",
    "arena_views",
    "check_action",
    "check_moves",
    "check_render_mode",
    "check_reward",
]

REWARDS = ("score", "lines")
MOVES = ("chains", "all")


def arena_views(batch: Batch) -> Dict[str, np.ndarray]:
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
    if render_mode is not None and render_mode not in modes:
        raise ValueError(f"render_mode must be 'ansi', 'rgb_array' or None, not {render_mode!r}")
    return render_mode


def check_reward(reward: str) -> str:
    if reward not in REWARDS:
        raise ValueError(f"reward must be 'score' or 'lines', not {reward!r}")
    return reward


def check_moves(moves: str) -> str:
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
