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
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError, ResetNeeded
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from corvelle_vim import GameStatePy

from .._batch import VersusBatch
from ..versus import PLAYER_COUNTS, match_metrics, per_piece_and_minute
from .arena import arena_views
from .obs import OBS_KEYS, stream_words
from .versus import DEFAULT_MAX_STEPS, action_count, check_settings, player_observation_space

__all__ = ["METRIC_KEYS", "PLAYER_KEYS", "VersusVectorEnv"]

PLAYER_KEYS = OBS_KEYS + ("opponent_board", "garbage")
# Per-player figures of an ended match in info["metrics"], each of shape (N, 2): the counts
# of the arena's `stats` field, then the rates.
PLAYER_METRICS = PLAYER_COUNTS + ("app", "apm", "ppm")
# Every key of info["metrics"]: the match's own figures (shape (N,)), then the players'.
METRIC_KEYS = ("winner", "steps", "minutes") + PLAYER_METRICS
_TWO_THREADS_FROM = 16


class VersusVectorEnv(VectorEnv):
    """`num_matches` matches of both players at once (2N agents), a Gymnasium `VectorEnv`
    whose sub-environments are the matches (`num_envs` = N), each with its two agents in a
    second axis of size 2: `single_observation_space` and `single_action_space` are one
    match's (both agents, batched by 2: `MultiDiscrete([A, A])` for the actions),
    `observation_space` and `action_space` every match's (N, 2, ...), and
    `agent_observation_space` and `agent_action_space` (`Discrete(A)`) one agent's.

    A step takes the actions of shape (N, 2): move chains (`mode="placement"`), every
    placement by its code (`mode="placement", moves="all"`, the space of
    `PlacementEnv(moves="all")`, the placement's key path played as the player's turn), or
    engine actions (`mode="keys"`). `info["action_mask"]` has shape (N, 2, A) in the
    single-player layout. When either action of a match is not playable, that match is left
    as it is and its `invalid_action` is set.

    A match that ends starts again on the following step (next-step autoreset: that step
    ignores its actions and gives the new match's first observation). On a step in which
    matches end, `info["metrics"]` holds their figures (those of
    `corvelle.versus.match_metrics`): winner (0, 1, 2 a draw), steps and minutes of game time
    of shape (N,), and per player pieces, attack, lines sent, cancelled, received and
    cleared, app, apm and ppm of shape (N, 2), each with its `_`-mask, and
    `info["_metrics"]` marks the matches that ended, as Gymnasium's vector infos do.
    `reset(seed=s)` seeds match i's generator with s + i; each new match draws player 0's
    game, then player 1's. With `copy=False` the arrays returned are the native buffers,
    overwritten by the next step.
    """

    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}

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
        moves: str = "chains",
    ) -> None:
        check_settings(attack, reward, max_steps)
        action_nb = action_count(mode, moves)
        if num_threads is None:
            num_threads = 2 if num_matches >= _TWO_THREADS_FROM and (os.cpu_count() or 1) >= 2 else 1
        self._batch = VersusBatch(
            num_matches,
            mode="all_placements" if moves == "all" else mode,
            attack=attack,
            delay=delay,
            max_steps=max_steps,
            reward=reward,
            num_threads=num_threads,
        )
        self.num_matches = self.num_envs = num_matches
        self.num_threads = self._batch.num_threads
        self.mode, self.moves = mode, moves
        self.action_nb = action_nb
        self.copy = copy
        self.render_mode = None
        # One agent's spaces; a match's (the sub-environment's) hold both agents, and the
        # batched ones every match's, so that observation_space is
        # batch_space(single_observation_space, num_envs) as Gymnasium's tools expect.
        self.agent_observation_space = player_observation_space()
        self.agent_action_space = spaces.Discrete(action_nb)
        self.single_observation_space = batch_space(self.agent_observation_space, 2)
        self.single_action_space = batch_space(self.agent_action_space, 2)
        self.observation_space = batch_space(self.single_observation_space, num_matches)
        self.action_space = batch_space(self.single_action_space, num_matches)
        n = num_matches
        views = arena_views(self._batch)
        self._views = {
            k: (v.reshape((n, 2) + v.shape[1:]) if v.shape[0] == 2 * n else v)
            for k, v in views.items()
        }
        self._obs = {k: self._views[k] for k in PLAYER_KEYS}
        self._step_us = self._batch.step_us
        self._seeded = np.zeros(n, dtype=bool)
        self._everywhere = np.ones(n, dtype=bool)
        self._started = False

    def reset(
        self,
        *,
        seed: Optional[int] = None,
        options: Optional[Dict[str, Any]] = None,
    ) -> Tuple[Dict[str, np.ndarray], Dict[str, Any]]:
        """Starts a new match in every match; see the class docstring for `seed`. Returns
        (observations, infos)."""
        if self.closed:
            raise ClosedEnvironmentError("Cannot call envs.reset() after envs.close()")
        super().reset(seed=seed)
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
        return self._observations(), self._info(0)

    def step(
        self, actions: Any
    ) -> Tuple[Dict[str, np.ndarray], np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        """One lock-step turn of every match, actions of shape (N, 2). Returns (observations,
        rewards (N, 2), terminated (N,), truncated (N,), infos)."""
        if self.closed:
            raise ClosedEnvironmentError("Cannot call envs.step() after envs.close()")
        if not self._started:
            raise ResetNeeded("Cannot call step() before calling reset()")
        actions = np.ascontiguousarray(actions)
        if actions.shape != (self.num_matches, 2):
            raise ValueError(
                f"actions must have shape ({self.num_matches}, 2), not {actions.shape}"
            )
        ended = self._batch.step(actions)
        v = self._views
        reward, terminated, truncated = v["reward"], v["terminated"], v["truncated"]
        if self.copy:
            reward, terminated, truncated = reward.copy(), terminated.copy(), truncated.copy()
        return self._observations(), reward, terminated, truncated, self._info(ended)

    def action_masks(self) -> np.ndarray:
        """The action masks as bools, shape (N, 2, A), for maskable-policy libraries."""
        return self._views["mask"].astype(bool)

    def state(self, match: int, player: int) -> GameStatePy:
        """One player's current state."""
        return GameStatePy.state_from_bytes(self._batch.state_bytes(match, player))

    def match_metrics(self, match: int) -> Dict[str, Any]:
        """Match `match`'s figures so far (`corvelle.versus.match_metrics`)."""
        return match_metrics(self._batch.match_info(match))

    def _observations(self) -> Dict[str, np.ndarray]:
        return {k: a.copy() for k, a in self._obs.items()} if self.copy else self._obs

    def _info(self, ended: int) -> Dict[str, Any]:
        v = self._views
        info: Dict[str, Any] = {
            "action_mask": v["mask"],
            "invalid_action": v["invalid"],
            "winner": v["winner"],
        }
        if self.copy:
            info = {k: a.copy() for k, a in info.items()}
        everywhere = self._everywhere.copy() if self.copy else self._everywhere
        for k in list(info):
            info["_" + k] = everywhere
        if ended:
            # The matches that ended this step still hold their final states until the next.
            done = v["terminated"] | v["truncated"]
            info["metrics"] = self._metrics(done)
            info["_metrics"] = done
        return info

    def _metrics(self, done: np.ndarray) -> Dict[str, np.ndarray]:
        """The figures of every match from the arena (those of the matches `done` marks are
        the final ones), with `done` as every key's mask."""
        v = self._views
        stats = v["stats"].astype(np.int64)
        out: Dict[str, np.ndarray] = {k: stats[..., j] for j, k in enumerate(PLAYER_COUNTS)}
        steps = v["steps"].astype(np.int64)
        minutes = steps * (self._step_us / 60e6)
        out["app"], out["apm"], out["ppm"] = per_piece_and_minute(
            out["attack"], out["pieces"], minutes[:, None]
        )
        out["winner"], out["steps"], out["minutes"] = v["winner"].copy(), steps, minutes
        for k in METRIC_KEYS:
            out["_" + k] = done
        return out
