"""PlacementVectorEnv: N placement games stepped together in native code."""

from __future__ import annotations

import copy

import os
from typing import Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError, ResetNeeded
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

import corvelle_vim
from corvelle_vim import GameStatePy

from ..bytestate import decode
from .arena import SEED_RECORD_SIZE, Batch, RewardKind, arena_views, check_moves, check_reward
from .obs import OBS_KEYS, Observation, game_seed_record, observation_space, stream_words
from .placement import action_nb
from .render import ansi_frame, rgb_frame

__all__ = ["PlacementVectorEnv", "default_threads"]

# From this many games on, a step runs on two threads.
_TWO_THREADS_FROM = 32


def default_threads(num_envs: int) -> int:
    """Threads a step of `num_envs` games runs on by default: two for many games on a machine
    with two cores or more, else one."""
    return 2 if num_envs >= _TWO_THREADS_FROM and (os.cpu_count() or 1) >= 2 else 1


class PlacementVectorEnv(VectorEnv):
    """`num_envs` games of `PlacementEnv`, held and stepped by the native module
    `corvelle._batch`: one call steps every game outside the interpreter lock (on
    `num_threads` threads) and writes observations, rewards, flags and masks into arrays that
    numpy reads without copying.

    Each game behaves as a `PlacementEnv`: same actions, observations, rewards, masks and
    invalid-action treatment (`info["action_mask"]` has shape (num_envs, A), A = 96 or, with
    `moves="all"`, `corvelle.placement.ACTION_NB`,
    `info["invalid_action"]` shape (num_envs,)). Games that end start again on the following
    step (next-step autoreset: that step ignores the game's action and returns the new game's
    first observation with reward 0). Game i's episodes draw their games from its own
    generator, seeded as `SyncVectorEnv` seeds its i-th environment: `reset(seed=s)` gives
    game i the seed s + i, so game i plays exactly what `PlacementEnv` plays after
    `reset(seed=s + i)`, episode after episode.

    `max_episode_steps` truncates episodes after that many steps, as `TimeLimit` does for a
    single environment. With `copy=False` the arrays returned are the native buffers
    themselves, overwritten by the next step; the default returns copies.
    `reset(options=...)` takes `"reset_mask"` (bools, which games to reset) and `"game_seed"`
    (a sequence of `GameSeedPy` or None per game) and `"state"` (a sequence of `GameStatePy`
    or None per game: those games continue from the given state).
    """

    metadata = {
        "autoreset_mode": AutoresetMode.NEXT_STEP,
        "render_modes": ["ansi", "rgb_array"],
        "render_fps": 4,
    }

    def __init__(
        self,
        num_envs: int = 1,
        *,
        reward: RewardKind = "score",
        max_episode_steps: Optional[int] = None,
        render_mode: Optional[str] = None,
        num_threads: Optional[int] = None,
        copy: bool = True,
        render_panel: bool = False,
        moves: str = "chains",
    ) -> None:
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(
                f"render_mode must be 'ansi', 'rgb_array' or None, not {render_mode!r}"
            )
        self.num_envs = num_envs
        self.render_mode = render_mode
        self.render_panel = render_panel
        self.reward_kind = check_reward(reward)
        self.moves = check_moves(moves)
        self.copy = copy
        self._batch = Batch(
            num_envs,
            mode="placement" if moves == "chains" else "all_placements",
            reward=reward,
            max_episode_steps=max_episode_steps or 0,
            autoreset=True,
            num_threads=num_threads if num_threads is not None else default_threads(num_envs),
        )
        self.num_threads = self._batch.num_threads
        self.single_observation_space = observation_space()
        self.single_action_space = spaces.Discrete(action_nb(moves))
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)

        self._views = arena_views(self._batch)
        self._seed_records = self._views["seeds"].reshape(-1).data
        self._obs = {k: self._views[k] for k in OBS_KEYS}
        # Whether game i's stream has been seeded.
        self._seeded = np.zeros(num_envs, dtype=bool)
        self._everywhere = np.ones(num_envs, dtype=bool)
        self._started = False

    def reset(
        self,
        *,
        seed: Union[int, Sequence[Optional[int]], None] = None,
        options: Optional[Dict[str, Any]] = None,
    ) -> Tuple[Observation, Dict[str, Any]]:
        """Starts the next game of every game (or of those `options["reset_mask"]` selects); see
        the class docstring for `seed` and the options. Returns (observations, infos)."""
        if self.closed:
            raise ClosedEnvironmentError("Cannot call envs.reset() after envs.close()")
        super().reset(seed=seed if isinstance(seed, int) else None)
        n = self.num_envs
        if seed is None:
            seeds: Sequence[Optional[int]] = [None] * n
        elif isinstance(seed, int):
            seeds = [seed + i for i in range(n)]
        else:
            seeds = list(seed)
            if len(seeds) != n:
                raise ValueError(f"seed must list {n} seeds, one per game, not {len(seeds)}")
        options = options or {}
        which = options.get("reset_mask")
        if which is not None:
            which = np.asarray(which)
            if which.shape != (n,) or which.dtype != np.bool_:
                raise ValueError(f"options['reset_mask'] must be a bool array of shape ({n},)")
            if not self._started and not which.all():
                raise ResetNeeded("the first reset must reset every game")
        game_seeds = options.get("game_seed")
        if game_seeds is not None:
            if len(game_seeds) != n:
                raise ValueError(f"options['game_seed'] must list {n} seeds, one per game")
            for i, given in enumerate(game_seeds):
                if given is not None and not isinstance(given, corvelle_vim.GameSeedPy):
                    raise TypeError(
                        f"options['game_seed'][{i}] must be a GameSeedPy or None, "
                        f"not {type(given).__name__}"
                    )

        streams, use_seed = self._views["streams"], self._views["use_seed"]
        for i in range(n):
            if which is not None and not which[i]:
                continue
            # A game's stream is its own numpy generator, as SyncVectorEnv's i-th environment
            # would hold it, run on natively from then on.
            if seeds[i] is not None or not self._seeded[i]:
                streams[i] = stream_words(seeding.np_random(seeds[i])[0])
                self._seeded[i] = True
            given = game_seeds[i] if game_seeds is not None else None
            if given is not None:
                record = game_seed_record(given)
                self._seed_records[i * SEED_RECORD_SIZE : (i + 1) * SEED_RECORD_SIZE] = record
            use_seed[i] = given is not None
        self._batch.reset(None if which is None else which)
        given_states = options.get("state")
        if given_states is not None:
            if len(given_states) != n:
                raise ValueError(f"options['state'] must list {n} states, one per game")
            for i, state in enumerate(given_states):
                if state is None or (which is not None and not which[i]):
                    continue
                if not isinstance(state, corvelle_vim.GameStatePy):
                    raise TypeError(
                        f"options['state'][{i}] must be a GameStatePy or None, "
                        f"not {type(state).__name__}"
                    )
                self._batch.set_state(i, bytes(state))
        self._started = True
        obs = self._observations()
        return obs, self._info()

    def step(
        self, actions: Any
    ) -> Tuple[Observation, np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        """Plays one action of every game. Returns (observations, rewards, terminated,
        truncated, infos), each batched over the games."""
        if self.closed:
            raise ClosedEnvironmentError("Cannot call envs.step() after envs.close()")
        if not self._started:
            raise ResetNeeded("Cannot call env.step() before calling env.reset()")
        actions = np.asarray(actions)
        if actions.shape != (self.num_envs,):
            raise ValueError(f"actions must have shape ({self.num_envs},), not {actions.shape}")
        self._batch.step(np.ascontiguousarray(actions))
        v = self._views
        if self.copy:
            return (
                self._observations(),
                v["reward"].copy(),
                v["terminated"].copy(),
                v["truncated"].copy(),
                self._info(),
            )
        return self._obs, v["reward"], v["terminated"], v["truncated"], self._info()

    def __deepcopy__(self, memo: Dict[int, Any]) -> "PlacementVectorEnv":
        """An independent vector env in the same games at the same point (the native games
        copied, with threads of their own), so both go on alike under the same actions."""
        twin = type(self).__new__(type(self))
        memo[id(self)] = twin
        native = ("_batch", "_views", "_seed_records", "_obs")
        for name, value in self.__dict__.items():
            if name not in native:
                setattr(twin, name, copy.deepcopy(value, memo))
        twin._batch = self._batch.copy()
        twin._views = arena_views(twin._batch)
        twin._seed_records = twin._views["seeds"].reshape(-1).data
        twin._obs = {k: twin._views[k] for k in OBS_KEYS}
        return twin

    def clone(self) -> "PlacementVectorEnv":
        """A copy to plan with (see `__deepcopy__`)."""
        return copy.deepcopy(self)

    def action_masks(self) -> np.ndarray:
        """The action masks as bools, shape (num_envs, A), for maskable-policy libraries."""
        return self._views["mask"].astype(bool)

    def state(self, index: int) -> GameStatePy:
        """Game `index`'s current state."""
        return GameStatePy.state_from_bytes(self._batch.state_bytes(index))

    def render(self) -> Optional[Tuple[Any, ...]]:
        """One frame per game, as `PlacementEnv.render` draws it, or None without a render mode."""
        if self.render_mode is None:
            return None
        if not self._started:
            raise ResetNeeded("Cannot call env.render() before calling env.reset()")
        if self.render_mode == "ansi":
            return tuple(ansi_frame(self.state(i)) for i in range(self.num_envs))
        return tuple(
            rgb_frame(decode(self._batch.state_bytes(i)), panel=self.render_panel)
            for i in range(self.num_envs)
        )

    def _observations(self) -> Observation:
        if self.copy:
            return {k: v.copy() for k, v in self._obs.items()}
        return self._obs

    def _info(self) -> Dict[str, Any]:
        mask, invalid = self._views["mask"], self._views["invalid"]
        if self.copy:
            mask, invalid = mask.copy(), invalid.copy()
        return {
            "action_mask": mask,
            "_action_mask": self._everywhere.copy() if self.copy else self._everywhere,
            "invalid_action": invalid,
            "_invalid_action": self._everywhere.copy() if self.copy else self._everywhere,
        }
