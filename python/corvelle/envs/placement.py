"""PlacementEnv: one step places one piece, by playing one chain of the 96-chain list or, with
`moves="all"`, any placement the piece can reach (`corvelle.placements`)."""

from __future__ import annotations

import copy
from typing import Any, Dict, Optional, Tuple

import gymnasium as gym
import numpy as np
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError, ResetNeeded

from corvelle_vim import GameStatePy

from .. import placement as _placement
from ..bytestate import decode
from .arena import (
    Batch,
    Reward,
    arena_views,
    check_action,
    check_moves,
    check_render_mode,
    check_reward,
    given_state,
)
from .obs import OBS_KEYS, Observation, ObservationForm, episode_game_seed, game_seed_record
from .recording import EpisodeWriter, StrPath
from .render import ansi_frame, rgb_frame

__all__ = ["ALL_CHAINS", "PlacementEnv", "action_nb", "wrap_int32"]

# The move chains by action index, as GameStatePy.get_all_move_chains() lists them.
ALL_CHAINS: Tuple[Tuple[str, ...], ...] = tuple(
    tuple(chain) for chain in GameStatePy.get_all_move_chains()
)
CHAIN_NB = len(ALL_CHAINS)


def action_nb(moves: str) -> int:
    """Actions of the space of `moves`: 96 chains, or every placement's code."""
    return CHAIN_NB if check_moves(moves) == "chains" else _placement.ACTION_NB


def wrap_int32(v: int) -> int:
    """`v` in signed 32-bit two's complement, as the engine's score counts."""
    return (v + 2**31) % 2**32 - 2**31


class PlacementEnv(gym.Env[Observation, np.int64]):
    """A game where one step places one piece.

    Action `i` (`Discrete(96)`) plays move chain `i` of `GameStatePy.get_all_move_chains()`
    (the list's order, duplicates included), each action at time 0. `info["action_mask"]`
    (int8, shape (96,), the form `Discrete.sample(mask=...)` takes) is 1 for exactly the chains
    `get_valid_move_chains()` keeps; `action_masks()` gives the same as bools.

    With `moves="all"` the space is `Discrete(corvelle.placement.ACTION_NB)` instead: action
    `corvelle.placement.encode(hold, rotation, row, column, spin)` plays the placement of
    `corvelle.placements(state)` with those fields (its key path, each key at time 0), and the
    mask marks exactly the placements of the state.

    A masked-out action leaves the game unchanged and returns the same observation, reward
    0.0, `terminated` telling whether the game is over, `truncated` False and
    `info["invalid_action"]` True (False after every played action).

    Reward (`reward=`): "score", the change in the engine's score; "lines", the lines cleared;
    "shaped", the lines cleared plus the change of a board potential (holes and aggregate
    height) less a game-over penalty (`corvelle._batch.step_reward`, the README gives the
    formula); or any callable `(state_before, state_after, info) -> float`, called with the
    GameStatePy before and after each played action and the step's info (a masked-out action
    earns 0.0 without a call). `terminated` comes with a knockout; nothing truncates an episode but a
    `TimeLimit` (`gymnasium.make(..., max_episode_steps=n)`).

    `reset(seed=...)` seeds `self.np_random`, from which each episode draws its 32 seed bytes
    and start time; `reset(options={"game_seed": seed})` plays the given `GameSeedPy` instead,
    and `reset(options={"state": state})` continues from the given `GameStatePy` (a stored
    state, a search node, a curriculum's start).
    With `replay_dir`, every episode is written there as a replay file (see `EpisodeWriter`),
    and `info["replay_write_failed"]` tells whether the episode file this call should have
    written (on a knockout, or on reset for the episode left) could not be written.
    `render_panel=True` adds a side panel (held piece, next five, score, lines) to the
    "rgb_array" frames. `obs="flat"` gives each observation as one float32 vector,
    `obs="image"` board planes for convolutional layers beside the preview, hold and counters,
    `mask_in_obs=True` puts the action mask in the observation as well, and `hidden_rows=k`
    shows the k board rows above the visible 20, where pieces enter, on top of the board, and
    `afterstates=True` adds what each action leaves: an (actions x 8) float32 array of the
    lines it clears and the holes, height, aggregate height, bumpiness, well depth and row
    transitions of the board it leaves, and whether it tops out, rows of masked-out actions
    zero (`corvelle._batch.afterstates`; see `corvelle.envs.obs.ObservationForm`).

    The game runs in the native batch module as a batch of one (`PlacementVectorEnv`'s games):
    a step is one native call that plays the action, computes the reward and writes the
    observation and the mask. Only a callable reward (the states before and after) and
    `replay_dir` (every engine action of the step's key path, played one by one to record its
    state) read states into Python.
    """

    metadata = {"render_modes": ["ansi", "rgb_array"], "render_fps": 4}

    def __init__(
        self,
        render_mode: Optional[str] = None,
        reward: Reward = "score",
        replay_dir: Optional[StrPath] = None,
        replay_prefix: str = "episode",
        render_panel: bool = False,
        moves: str = "chains",
        obs: str = "dict",
        mask_in_obs: bool = False,
        hidden_rows: int = 0,
        afterstates: bool = False,
    ) -> None:
        self.render_mode = check_render_mode(render_mode, self.metadata["render_modes"])
        self.render_panel = render_panel
        self.reward_kind = check_reward(reward)
        self.moves = check_moves(moves)
        self._action_nb = action_nb(moves)
        self.action_space = spaces.Discrete(self._action_nb)
        self._form = ObservationForm(obs, mask_in_obs, self._action_nb, hidden_rows, afterstates)
        self.observation_space = self._form.space()
        self.replays = EpisodeWriter(replay_dir, replay_prefix) if replay_dir is not None else None
        self._batch = self._new_batch()
        self._bind()
        self._action = np.zeros(1, dtype=np.int64)
        # Whether the game is over (the batch's `terminated` flag is cleared by a reset, even
        # into a finished game given as `options["state"]`).
        self._over = False
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
            self._over = bool(state.game_over)
        else:
            game_seed = episode_game_seed(options, self.np_random)
            self._views["seeds"][0] = np.frombuffer(game_seed_record(game_seed), dtype=np.uint8)
            self._views["use_seed"][0] = True
            self._batch.reset()
            self._over = False
        self._started = True
        written = self.replays.start(self.state) if self.replays is not None else True
        return self._observation(), self._info(False, written)

    def step(self, action: Any) -> Tuple[Observation, float, bool, bool, Dict[str, Any]]:
        """Plays one action. Returns (observation, reward, terminated, truncated, info)."""
        if self._closed:
            raise ClosedEnvironmentError("Cannot call env.step() after env.close()")
        if not self._started:
            raise ResetNeeded("Cannot call env.step() before calling env.reset()")
        a = check_action(action, self._action_nb)
        if not self._mask[a]:
            return self._observation(), 0.0, self._over, False, self._info(True)

        # The states a callable reward reads and a replay records come from Python; the
        # step itself is one native call.
        before = self.state if callable(self.reward_kind) or self.replays is not None else None
        self._action[0] = a
        self._batch.step(self._action)
        self._over = terminated = bool(self._terminated[0])
        written = True
        if self.replays is not None:
            assert before is not None
            self._record_path(before, a)
            if terminated:
                written = self.replays.game_over()
        info = self._info(False, written)
        if before is not None and callable(self.reward_kind):
            reward = float(self.reward_kind(before, self.state, info))
        else:
            reward = float(self._reward[0])
        return self._observation(), reward, terminated, False, info

    def action_masks(self) -> np.ndarray:
        """The action mask as bools, for maskable-policy libraries."""
        mask: np.ndarray = self._mask.astype(bool)
        return mask

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

    def __deepcopy__(self, memo: Dict[int, Any]) -> PlacementEnv:
        """An independent env in the same game at the same point (the native game copied), with
        a copy of the random generator, so both go on alike under the same actions. The copy
        writes no replay files (two envs numbering files in one directory would overwrite each
        other)."""
        twin = type(self).__new__(type(self))
        memo[id(self)] = twin
        for name, value in self.__dict__.items():
            if name not in _NATIVE:
                setattr(twin, name, copy.deepcopy(value, memo))
        twin.replays = None
        twin._batch = self._batch.copy()
        twin._bind()
        return twin

    def clone(self) -> PlacementEnv:
        """A copy to plan with (see `__deepcopy__`)."""
        return copy.deepcopy(self)

    def __getstate__(self) -> Dict[str, Any]:
        """The env as pickle stores it: the native game as its state's byte form."""
        fields = {k: v for k, v in self.__dict__.items() if k not in _NATIVE or k == "replays"}
        fields["_game"] = self._batch.state_bytes(0) if self._started else None
        return fields

    def __setstate__(self, fields: Dict[str, Any]) -> None:
        game = fields.pop("_game")
        self.__dict__.update(fields)
        self._batch = self._new_batch()
        self._bind()
        if game is not None:
            self._batch.set_state(0, game)

    # The native batch of one game that holds the episode (a callable reward is computed in
    # Python; the batch then counts the score, which nothing reads).
    def _new_batch(self) -> Batch:
        return Batch(
            1,
            mode="placement" if self.moves == "chains" else "all_placements",
            reward="score" if callable(self.reward_kind) else self.reward_kind,
            autoreset=False,
            hidden_rows=self._form.hidden_rows,
        )

    # Binds the numpy views of the batch's arena that steps read.
    def _bind(self) -> None:
        self._views = v = arena_views(self._batch)
        self._obs_rows = [(k, v[k][0]) for k in OBS_KEYS]
        self._mask = v["mask"][0]
        self._reward, self._terminated = v["reward"], v["terminated"]

    def _observation(self) -> Any:
        obs = {k: row.copy() for k, row in self._obs_rows}
        if self._form.plain:
            return obs
        after = None
        if self._form.afterstates:
            rows = self._batch.afterstates()  # a new bytearray: the array keeps it
            after = np.frombuffer(rows, dtype=np.float32).reshape(self._action_nb, -1)
        return self._form(obs, self._mask.copy(), self._over, after)

    def _info(self, invalid: bool, written: bool = True) -> Dict[str, Any]:
        info: Dict[str, Any] = {"action_mask": self._mask.copy(), "invalid_action": invalid}
        if self.replays is not None:
            info["replay_write_failed"] = not written
        return info

    # Records every state of action `a`'s key path from `before`, each engine action played
    # as the engine plays it (the native step gives only the last).
    def _record_path(self, before: GameStatePy, a: int) -> None:
        assert self.replays is not None
        if self.moves == "chains":
            keys: Tuple[str, ...] = ALL_CHAINS[a]
        else:
            keys = next(p.keys for p in _placement.placements(before) if p.action == a)
        state = before
        for name in keys:
            state = dict(state.next_actions_and_states)[name]
            self.replays.record(state)


# The attributes a copy does not deep-copy: the native game and the views of its arena.
_NATIVE = ("_batch", "_views", "_obs_rows", "_mask", "_reward", "_terminated", "replays")


def placement_actions(
    state: GameStatePy,
) -> Tuple[np.ndarray, Dict[int, "_placement.Placement"]]:
    """The mask of every placement of `state` in the all-placements space and each placement
    by its action number (its state computed when first read)."""
    mask = np.zeros(_placement.ACTION_NB, dtype=np.int8)
    by_action = {p.action: p for p in _placement.placements(state)}
    mask[list(by_action)] = 1
    return mask, by_action
