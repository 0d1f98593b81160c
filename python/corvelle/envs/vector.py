"""Vector envs of N games stepped together in native code: PlacementVectorEnv (one piece per
step) and KeyVectorEnv (one engine action per step), with next-step, same-step or no
autoreset and per-episode statistics."""

from __future__ import annotations

import copy

import os
from typing import Any, Dict, Literal, Optional, Sequence, Tuple, Union

import numpy as np
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError, ResetNeeded
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

import corvelle_vim
from corvelle_vim import GameStatePy

from ..bytestate import decode
from .arena import (
    SEED_RECORD_SIZE,
    Batch,
    RewardKind,
    arena_views,
    check_moves,
    check_native_reward,
)
from .keys import ACTION_NB as KEY_ACTION_NB
from .obs import OBS_KEYS, Observation, ObservationForm, game_seed_record, stream_words
from .placement import action_nb
from .render import ansi_frame, rgb_frame

__all__ = ["KeyVectorEnv", "NativeVectorEnv", "PlacementVectorEnv", "default_threads"]

# The per-episode statistics in info["episode"]: Gymnasium's return and length, and what the
# episode achieved.
EPISODE_STATS = ("r", "l", "lines", "pieces", "score")

# From this many games on, a step runs on two threads.
_TWO_THREADS_FROM = 32


def default_threads(num_envs: int) -> int:
    """Threads a step of `num_envs` games runs on by default: two for many games on a machine
    with two cores or more, else one."""
    return 2 if num_envs >= _TWO_THREADS_FROM and (os.cpu_count() or 1) >= 2 else 1


def check_autoreset_mode(mode: Union[AutoresetMode, str]) -> AutoresetMode:
    """`mode` as an AutoresetMode: the member itself, its value ("NextStep") or its name
    ("NEXT_STEP", any case); ValueError otherwise."""
    if isinstance(mode, AutoresetMode):
        return mode
    for member in AutoresetMode:
        if isinstance(mode, str) and mode in (member.value, member.name, member.name.lower()):
            return member
    raise ValueError(
        f"autoreset_mode must be an AutoresetMode (NEXT_STEP, SAME_STEP or DISABLED), not {mode!r}"
    )


class NativeVectorEnv(VectorEnv):
    """`num_envs` games held and stepped by the native module `corvelle._batch`: one call steps
    every game outside the interpreter lock (on `num_threads` threads) and writes observations,
    rewards, flags and masks into arrays that numpy reads without copying. `PlacementVectorEnv`
    and `KeyVectorEnv` say what a step plays.

    Masks and invalid actions are those of the single env (`info["action_mask"]` has shape
    (num_envs, A), `info["invalid_action"]` shape (num_envs,)). Game i's episodes draw their
    games from its own generator, seeded as `SyncVectorEnv` seeds its i-th environment:
    `reset(seed=s)` gives game i the seed s + i, so game i plays exactly what the single env
    plays after `reset(seed=s + i)`, episode after episode.

    `autoreset_mode` (an `AutoresetMode` or its name; `gymnasium.make_vec(...,
    autoreset_mode=...)` passes it on) says what follows the end of an episode, as for
    `SyncVectorEnv`: NEXT_STEP (the default) starts the next game on the following step, which
    ignores the game's action and returns the new game's first observation with reward 0;
    SAME_STEP starts it at once and returns its first observation, the last one in
    `info["final_obs"]` (an object array, None for the games that did not end) and the last
    info in `info["final_info"]` (each key batched, with its `_key` mask); DISABLED leaves a
    finished game finished (every action masked out) until `reset(options={"reset_mask":
    ...})` starts it again.

    On a step where episodes end, `info["episode"]` holds their statistics as Gymnasium's
    `RecordEpisodeStatistics` writes them, with `info["_episode"]` the mask of the games whose
    episode ended: arrays of shape (num_envs,), 0 where no episode ended, of the return `r`
    (the rewards summed in step order), length `l` (steps, masked-out ones included), and the
    episode's `lines` cleared, `pieces` locked and final `score`. (No wall time `t`: the
    statistics, like everything else a step returns, depend on the actions alone.)

    `obs`, `mask_in_obs` and `hidden_rows` are the single env's observation options (a batch of flat
    vectors, or of dicts with the mask). `reward` is "score", "lines" or "shaped", as for the
    single env, computed natively; a
    callable reward needs the single env (`gymnasium.make_vec(...,
    vectorization_mode="sync")`). `max_episode_steps` truncates episodes after that many
    steps, as `TimeLimit` does for a single environment. With `copy=False` the observation,
    mask and (under NEXT_STEP) reward and flag arrays returned are the native buffers
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
        num_envs: int,
        *,
        mode: Literal["placement", "keys", "all_placements"],
        action_nb: int,
        reward: RewardKind = "score",
        max_episode_steps: Optional[int] = None,
        render_mode: Optional[str] = None,
        num_threads: Optional[int] = None,
        copy: bool = True,
        render_panel: bool = False,
        autoreset_mode: Union[AutoresetMode, str] = AutoresetMode.NEXT_STEP,
        obs: str = "dict",
        mask_in_obs: bool = False,
        hidden_rows: int = 0,
        afterstates: bool = False,
    ) -> None:
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(
                f"render_mode must be 'ansi', 'rgb_array' or None, not {render_mode!r}"
            )
        self.autoreset_mode = check_autoreset_mode(autoreset_mode)
        self.metadata = {**self.metadata, "autoreset_mode": self.autoreset_mode}
        self.num_envs = num_envs
        self.render_mode = render_mode
        self.render_panel = render_panel
        self.reward_kind = check_native_reward(reward)
        self.copy = copy
        self._batch = Batch(
            num_envs,
            mode=mode,
            reward=self.reward_kind,
            max_episode_steps=max_episode_steps or 0,
            autoreset=self.autoreset_mode == AutoresetMode.NEXT_STEP,
            num_threads=num_threads if num_threads is not None else default_threads(num_envs),
            hidden_rows=hidden_rows,
        )
        self.num_threads = self._batch.num_threads
        self._form = ObservationForm(obs, mask_in_obs, action_nb, hidden_rows, afterstates)
        self.single_observation_space = self._form.space()
        self.single_action_space = spaces.Discrete(action_nb)
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
        dones = v["terminated"] | v["truncated"]
        if not dones.any():
            if self.copy:
                return (
                    self._observations(),
                    v["reward"].copy(),
                    v["terminated"].copy(),
                    v["truncated"].copy(),
                    self._info(),
                )
            return self._observations(), v["reward"], v["terminated"], v["truncated"], self._info()

        episode = self._episode_stats(dones)
        if self.autoreset_mode != AutoresetMode.SAME_STEP:
            info = self._info()
            info["episode"], info["_episode"] = episode, dones
            if self.copy:
                return (
                    self._observations(),
                    v["reward"].copy(),
                    v["terminated"].copy(),
                    v["truncated"].copy(),
                    info,
                )
            return self._observations(), v["reward"], v["terminated"], v["truncated"], info

        # Same-step autoreset: the finished games' last observations and infos are kept, then
        # those games start their next game (which clears their rewards and flags).
        rewards, terminated, truncated = (
            v["reward"].copy(),
            v["terminated"].copy(),
            v["truncated"].copy(),
        )
        final_obs = np.full(self.num_envs, None, dtype=object)
        masks = self._views["mask"]
        after = self._afterstates()
        for i in np.flatnonzero(dones):
            last = {k: self._obs[k][i].copy() for k in OBS_KEYS}
            final_obs[i] = self._form(
                last, masks[i].copy(), bool(v["terminated"][i]), None if after is None else after[i]
            )
        final_info: Dict[str, Any] = {}
        for key, value in self._info().items():
            if key.startswith("_"):
                continue
            kept = np.zeros_like(value)
            kept[dones] = value[dones]
            final_info[key], final_info["_" + key] = kept, dones.copy()
        self._batch.reset(dones)
        info = self._info()
        info["final_obs"], info["_final_obs"] = final_obs, dones.copy()
        info["final_info"], info["_final_info"] = final_info, dones.copy()
        info["episode"], info["_episode"] = episode, dones
        return self._observations(), rewards, terminated, truncated, info

    # The statistics of the episodes that ended on this step, as info["episode"] holds them.
    def _episode_stats(self, dones: np.ndarray) -> Dict[str, np.ndarray]:
        v = self._views
        return {
            "r": np.where(dones, v["ep_return"], 0.0),
            "l": np.where(dones, v["ep_length"], 0).astype(np.int64),
            "lines": np.where(dones, v["counters"][:, 2], 0).astype(np.int64),
            "pieces": np.where(dones, v["ep_pieces"], 0).astype(np.int64),
            "score": np.where(dones, v["score"], 0).astype(np.int64),
        }

    def __deepcopy__(self, memo: Dict[int, Any]) -> "NativeVectorEnv":
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

    def clone(self) -> "NativeVectorEnv":
        """A copy to plan with (see `__deepcopy__`)."""
        return copy.deepcopy(self)

    def action_masks(self) -> np.ndarray:
        """The action masks as bools, shape (num_envs, A), for maskable-policy libraries."""
        return self._views["mask"].astype(bool)

    def state(self, index: int) -> GameStatePy:
        """Game `index`'s current state."""
        return GameStatePy.state_from_bytes(self._batch.state_bytes(index))

    def render(self) -> Optional[Tuple[Any, ...]]:
        """One frame per game, as the single env's `render` draws it, or None without a render
        mode."""
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

    def _observations(self) -> Any:
        obs = {k: v.copy() for k, v in self._obs.items()} if self.copy else self._obs
        if self._form.plain:
            return obs
        mask = self._views["mask"]
        return self._form(
            obs, mask.copy() if self.copy else mask, self._views["terminated"], self._afterstates()
        )

    # Every game's after-state features, (num_envs, A, 8), when the observation shows them.
    def _afterstates(self) -> Optional[np.ndarray]:
        if not self._form.afterstates:
            return None
        rows = np.frombuffer(self._batch.afterstates(), dtype=np.float32)
        return rows.reshape(self.num_envs, self._form.action_nb, -1)

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


class PlacementVectorEnv(NativeVectorEnv):
    """`num_envs` games of `PlacementEnv` stepped natively (see `NativeVectorEnv`): same actions,
    observations, rewards, masks and invalid-action treatment; `moves="all"` gives every game
    the all-placements space of `corvelle.placement.ACTION_NB` actions, and `afterstates=True`
    adds what each action leaves, as the single env's option does."""

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
        autoreset_mode: Union[AutoresetMode, str] = AutoresetMode.NEXT_STEP,
        obs: str = "dict",
        mask_in_obs: bool = False,
        hidden_rows: int = 0,
        afterstates: bool = False,
    ) -> None:
        self.moves = check_moves(moves)
        super().__init__(
            num_envs,
            mode="placement" if moves == "chains" else "all_placements",
            action_nb=action_nb(moves),
            reward=reward,
            max_episode_steps=max_episode_steps,
            render_mode=render_mode,
            num_threads=num_threads,
            copy=copy,
            render_panel=render_panel,
            autoreset_mode=autoreset_mode,
            obs=obs,
            mask_in_obs=mask_in_obs,
            hidden_rows=hidden_rows,
            afterstates=afterstates,
        )


class KeyVectorEnv(NativeVectorEnv):
    """`num_envs` games of `KeyEnv` stepped natively (see `NativeVectorEnv`): one engine action
    per game and step, same observations, rewards, masks and invalid-action treatment."""

    metadata = {**NativeVectorEnv.metadata, "render_fps": 30}

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
        autoreset_mode: Union[AutoresetMode, str] = AutoresetMode.NEXT_STEP,
        obs: str = "dict",
        mask_in_obs: bool = False,
        hidden_rows: int = 0,
    ) -> None:
        super().__init__(
            num_envs,
            mode="keys",
            action_nb=KEY_ACTION_NB,
            reward=reward,
            max_episode_steps=max_episode_steps,
            render_mode=render_mode,
            num_threads=num_threads,
            copy=copy,
            render_panel=render_panel,
            autoreset_mode=autoreset_mode,
            obs=obs,
            mask_in_obs=mask_in_obs,
            hidden_rows=hidden_rows,
        )
