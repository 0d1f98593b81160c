"""KeyEnv: one step is one engine action."""

from __future__ import annotations

import copy
from typing import Any, Dict, Optional, Tuple

import gymnasium as gym
import numpy as np
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError, ResetNeeded

from corvelle_vim import GameStatePy

from ..bytestate import ACTIONS, decode
from .arena import (
    Batch,
    Reward,
    arena_views,
    check_action,
    check_render_mode,
    check_reward,
    given_state,
)
from .obs import OBS_KEYS, Observation, ObservationForm, episode_game_seed, game_seed_record
from .recording import EpisodeWriter, StrPath
from .render import ansi_frame, rgb_frame

__all__ = ["KeyEnv"]

ACTION_NB = len(ACTIONS)


class KeyEnv(gym.Env[Observation, np.int64]):
    """A game where one step is one engine action: `Discrete(8)`, by action index (HardDrop,
    SoftDrop, MoveLeft, MoveRight, Hold, RotateLeft, RotateRight, Nothing), played at time 0.

    `info["action_mask"]` (int8, shape (8,)) is 1 for the actions the engine accepts now. A
    refused action leaves the game unchanged and returns the same observation, reward 0.0,
    `terminated` telling whether the game is over, `truncated` False and
    `info["invalid_action"]` True. Observations, rewards, seeding, rendering and replay files
    are those of `PlacementEnv`, `info["replay_write_failed"]` included, and so are
    `reset(options={"game_seed": ...})` and `reset(options={"state": ...})`. The rewards are
    too: "score", "lines", "shaped" (computed natively) or a callable
    `(state_before, state_after, info) -> float`, called after every accepted action, and
    so are the observation options `obs=`, `mask_in_obs=` and `hidden_rows=`.

    The game runs in the native batch module, which plays every action, `Nothing` included,
    exactly as the engine does.
    """

    metadata = {"render_modes": ["ansi", "rgb_array"], "render_fps": 30}

    def __init__(
        self,
        render_mode: Optional[str] = None,
        reward: Reward = "score",
        replay_dir: Optional[StrPath] = None,
        replay_prefix: str = "episode",
        render_panel: bool = False,
        obs: str = "dict",
        mask_in_obs: bool = False,
        hidden_rows: int = 0,
    ) -> None:
        self.render_mode = check_render_mode(render_mode, self.metadata["render_modes"])
        self.render_panel = render_panel
        self.reward_kind = check_reward(reward)
        self.action_space = spaces.Discrete(ACTION_NB)
        self._form = ObservationForm(obs, mask_in_obs, ACTION_NB, hidden_rows)
        self.observation_space = self._form.space()
        self.replays = EpisodeWriter(replay_dir, replay_prefix) if replay_dir is not None else None
        native_reward = "score" if callable(self.reward_kind) else self.reward_kind
        self._batch = Batch(
            1, mode="keys", reward=native_reward, autoreset=False, hidden_rows=hidden_rows
        )
        self._views = arena_views(self._batch)
        self._action = np.zeros(1, dtype=np.int64)
        self._started = False
        self._closed = False

    @property
    def state(self) -> GameStatePy:
        """The current game state (a new object on every access)."""
        if not self._started:
            raise ResetNeeded("Cannot read the state before calling env.reset()")
        return GameStatePy.state_from_bytes(self._batch.state_bytes(0))

    def reset(
        self, *, seed: Optional[int] = None, options: Optional[Dict[str, Any]] = None
    ) -> Tuple[Observation, Dict[str, Any]]:
        """Starts an episode: a game drawn from `self.np_random` (seeded by `seed`), the GameSeedPy
        `options["game_seed"]`, or the GameStatePy `options["state"]` to continue from. Returns
        (observation, info)."""
        if self._closed:
            raise ClosedEnvironmentError("Cannot call env.reset() after env.close()")
        super().reset(seed=seed)
        state = given_state(options)
        if state is not None:
            self._batch.set_state(0, bytes(state))
        else:
            game_seed = episode_game_seed(options, self.np_random)
            self._views["seeds"][0] = np.frombuffer(game_seed_record(game_seed), dtype=np.uint8)
            self._views["use_seed"][0] = True
            self._batch.reset()
        self._started = True
        written = self.replays.start(self.state) if self.replays is not None else True
        return self._observation(), self._info(written)

    def step(self, action: Any) -> Tuple[Observation, float, bool, bool, Dict[str, Any]]:
        """Plays one action. Returns (observation, reward, terminated, truncated, info)."""
        if self._closed:
            raise ClosedEnvironmentError("Cannot call env.step() after env.close()")
        if not self._started:
            raise ResetNeeded("Cannot call env.step() before calling env.reset()")
        self._action[0] = check_action(action, ACTION_NB)
        before = self.state if callable(self.reward_kind) else None
        self._batch.step(self._action)
        v = self._views
        terminated = bool(v["terminated"][0])
        written = True
        if self.replays is not None and not v["invalid"][0]:
            self.replays.record(self.state)
            if terminated:
                written = self.replays.game_over()
        info = self._info(written)
        reward = float(v["reward"][0])
        if before is not None and not v["invalid"][0]:
            reward = float(self.reward_kind(before, self.state, info))  # type: ignore[operator]
        return self._observation(), reward, terminated, False, info

    def action_masks(self) -> np.ndarray:
        """The action mask as bools, for maskable-policy libraries."""
        mask: np.ndarray = self._views["mask"][0]
        return mask.astype(bool)

    def render(self) -> Any:
        """The current state as text (render_mode "ansi") or an RGB array ("rgb_array")."""
        if self.render_mode is None:
            gym.logger.warn("render() called on an environment created without a render_mode")
            return None
        if not self._started:
            raise ResetNeeded("Cannot call env.render() before calling env.reset()")
        if self.render_mode == "ansi":
            return ansi_frame(self.state)
        return rgb_frame(decode(self._batch.state_bytes(0)), panel=self.render_panel)

    def close(self) -> None:
        """Writes the running episode's replay file, if any; later steps and resets raise
        ClosedEnvironmentError. Closing again does nothing."""
        if self._closed:
            return
        self._closed = True
        if self.replays is not None:
            self.replays.leave()
        super().close()

    def __deepcopy__(self, memo: Dict[int, Any]) -> KeyEnv:
        """An independent env in the same game at the same point (the native game copied), with
        a copy of the random generator, so both go on alike under the same actions. The copy
        writes no replay files (two envs numbering files in one directory would overwrite each
        other)."""
        twin = type(self).__new__(type(self))
        memo[id(self)] = twin
        native = ("_batch", "_views", "replays")
        for name, value in self.__dict__.items():
            if name not in native:
                setattr(twin, name, copy.deepcopy(value, memo))
        twin.replays = None
        twin._batch = self._batch.copy()
        twin._views = arena_views(twin._batch)
        return twin

    def clone(self) -> KeyEnv:
        """A copy to plan with (see `__deepcopy__`)."""
        return copy.deepcopy(self)

    def _observation(self) -> Any:
        v = self._views
        obs = {k: v[k][0].copy() for k in OBS_KEYS}
        return self._form(obs, v["mask"][0].copy(), bool(v["terminated"][0]))

    def _info(self, written: bool = True) -> Dict[str, Any]:
        info: Dict[str, Any] = {
            "action_mask": self._views["mask"][0].copy(),
            "invalid_action": bool(self._views["invalid"][0]),
        }
        if self.replays is not None:
            info["replay_write_failed"] = not written
        return info
