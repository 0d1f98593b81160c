"""VersusVectorEnv: N two-player matches for self-play, stepped together in native code.

Every array has the match index first and the player second: observations (the keys of a
player observation, see corvelle.envs.versus) of shape (N, 2, ...), rewards (N, 2), actions
(N, 2); `terminated`, `truncated`, `invalid_action` and `winner` (-1 running, 0, 1, 2 a draw)
are per match, shape (N,). One call steps every match outside the interpreter lock and
writes into buffers that numpy reads without copying.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Optional, Tuple

import numpy as np
from gymnasium.error import ResetNeeded
from gymnasium.utils import seeding

from corvelle_vim import GameStatePy

from .._batch import VersusBatch
from .arena import SEED_RECORD_SIZE, arena_views
from .obs import OBS_KEYS, stream_words
from .versus import DEFAULT_MAX_STEPS, check_settings

__all__ = ["VersusVectorEnv"]

PLAYER_KEYS = OBS_KEYS + ("opponent_board", "garbage")
_TWO_THREADS_FROM = 16


class VersusVectorEnv:
    """`num_matches` matches of both players at once (2N agents). A step takes the actions of
    shape (N, 2), move chains (`mode="placement"`) or engine actions (`mode="keys"`). When
    either action of a match is masked out, that match is left as it is and its
    `invalid_action` is set. A match that ends starts again on the following step (that step
    ignores its actions and gives the new match's first observation). `reset(seed=s)` seeds
    match i's generator with s + i; each new match draws player 0's game, then player 1's.
    With `copy=False` the arrays returned are the native buffers, overwritten by the next
    step.
    """

    def __init__(
        self,
        num_matches: int = 1,
        *,
        mode: str = "placement",
        attack: str = "engine",
        delay: int = 0,
        max_steps: int = DEFAULT_MAX_STEPS,
        reward: str = "win",
        num_threads: Optional[int] = None,
        copy: bool = True,
    ) -> None:
        check_settings(attack, reward, max_steps)
        if num_threads is None:
            num_threads = 2 if num_matches >= _TWO_THREADS_FROM and (os.cpu_count() or 1) >= 2 else 1
        self._batch = VersusBatch(
            num_matches,
            mode=mode,
            attack=attack,
            delay=delay,
            max_steps=max_steps,
            reward=reward,
            num_threads=num_threads,
        )
        self.num_matches = num_matches
        self.num_threads = self._batch.num_threads
        self.action_nb = self._batch.action_nb
        self.copy = copy
        n = num_matches
        views = arena_views(self._batch)
        self._views = {
            k: (v.reshape((n, 2) + v.shape[1:]) if v.shape[0] == 2 * n else v)
            for k, v in views.items()
        }
        self._seeded = np.zeros(n, dtype=bool)
        self._started = False

    def reset(
        self, *, seed: Optional[int] = None, options: Optional[Dict[str, Any]] = None
    ) -> Tuple[Dict[str, np.ndarray], Dict[str, Any]]:
        streams = self._views["streams"]
        for i in range(self.num_matches):
            if seed is not None or not self._seeded[i]:
                streams[i] = stream_words(
                    seeding.np_random(None if seed is None else seed + i)[0]
                )
                self._seeded[i] = True
        self._views["use_seed"][:] = False
        self._batch.reset()
        self._started = True
        return self._observations(), self._info()

    def step(
        self, actions: Any
    ) -> Tuple[Dict[str, np.ndarray], np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        if not self._started:
            raise ResetNeeded("Cannot call step() before calling reset()")
        actions = np.ascontiguousarray(actions)
        if actions.shape != (self.num_matches, 2):
            raise ValueError(
                f"actions must have shape ({self.num_matches}, 2), not {actions.shape}"
            )
        self._batch.step(actions)
        v = self._views
        reward, terminated, truncated = v["reward"], v["terminated"], v["truncated"]
        if self.copy:
            reward, terminated, truncated = reward.copy(), terminated.copy(), truncated.copy()
        return self._observations(), reward, terminated, truncated, self._info()

    def state(self, match: int, player: int) -> GameStatePy:
        return GameStatePy.state_from_bytes(self._batch.state_bytes(match, player))

    def close(self) -> None:
        pass

    def _observations(self) -> Dict[str, np.ndarray]:
        obs = {k: self._views[k] for k in PLAYER_KEYS}
        return {k: a.copy() for k, a in obs.items()} if self.copy else obs

    def _info(self) -> Dict[str, Any]:
        v = self._views
        info = {"action_mask": v["mask"], "invalid_action": v["invalid"], "winner": v["winner"]}
        return {k: a.copy() for k, a in info.items()} if self.copy else info
