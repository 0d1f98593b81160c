"""PlacementEnv: one step places one piece, by playing one chain of the 96-chain list or, with
`moves="all"`, any placement the piece can reach (`corvelle.placements`)."""

from __future__ import annotations

import copy
from typing import Any, Dict, List, Optional, Tuple

import gymnasium as gym
import numpy as np
from gymnasium import spaces
from gymnasium.error import ClosedEnvironmentError, ResetNeeded

from corvelle_vim import GameStatePy

from .. import placement as _placement
from .._batch import step_reward
from ..bytestate import DecodedState, decode
from .arena import Reward, check_action, check_moves, check_render_mode, check_reward, given_state
from .obs import Observation, ObservationForm, episode_game_seed, observations_from_bytes
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
    shows the k board rows above the visible 20, where pieces enter, on top of the board (see
    `corvelle.envs.obs.ObservationForm`).
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
    ) -> None:
        self.render_mode = check_render_mode(render_mode, self.metadata["render_modes"])
        self.render_panel = render_panel
        self.reward_kind = check_reward(reward)
        self.moves = check_moves(moves)
        self._action_nb = action_nb(moves)
        self.action_space = spaces.Discrete(self._action_nb)
        self._form = ObservationForm(obs, mask_in_obs, self._action_nb, hidden_rows)
        self.observation_space = self._form.space()
        self.replays = EpisodeWriter(replay_dir, replay_prefix) if replay_dir is not None else None
        self._state: Optional[GameStatePy] = None
        self._bytes = b""
        self._decoded: Optional[DecodedState] = None
        self._obs: Observation = {}
        self._mask = np.zeros(self._action_nb, dtype=np.int8)
        self._successors: Dict[int, GameStatePy] = {}
        self._closed = False
        self._placements: Dict[int, _placement.Placement] = {}

    @property
    def state(self) -> GameStatePy:
        """The current game state."""
        if self._state is None:
            raise ResetNeeded("Cannot read the state before calling env.reset()")
        return self._state

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
        if state is None:
            state = GameStatePy(episode_game_seed(options, self.np_random))
        self._enter(state)
        written = self.replays.start(state) if self.replays is not None else True
        return self._observation(), self._info(False, written)

    def step(self, action: Any) -> Tuple[Observation, float, bool, bool, Dict[str, Any]]:
        """Plays one action. Returns (observation, reward, terminated, truncated, info)."""
        if self._closed:
            raise ClosedEnvironmentError("Cannot call env.step() after env.close()")
        if self._state is None:
            raise ResetNeeded("Cannot call env.step() before calling env.reset()")
        a = check_action(action, self._action_nb)
        assert self._decoded is not None
        if not self._mask[a]:
            return self._observation(), 0.0, self._decoded.game_over, False, self._info(True)

        before, before_bytes = self._state, self._bytes
        if self.moves == "chains":
            after, keys = self._successors[a], ALL_CHAINS[a]
        else:
            after, keys = self._placements[a].state, self._placements[a].keys
        if self.replays is not None:
            self._record_chain(keys)
        self._enter(after)
        assert self._decoded is not None
        terminated = self._decoded.game_over
        written = True
        if terminated and self.replays is not None:
            written = self.replays.game_over()
        info = self._info(False, written)
        if callable(self.reward_kind):
            reward = float(self.reward_kind(before, after, info))
        else:
            reward = step_reward(self.reward_kind, before_bytes, self._bytes)
        return self._observation(), reward, terminated, False, info

    def action_masks(self) -> np.ndarray:
        """The action mask as bools, for maskable-policy libraries."""
        return self._mask.astype(bool)

    def render(self) -> Any:
        """The current state as text (render_mode "ansi") or an RGB array ("rgb_array")."""
        if self.render_mode is None:
            gym.logger.warn("render() called on an environment created without a render_mode")
            return None
        if self._state is None:
            raise ResetNeeded("Cannot call env.render() before calling env.reset()")
        if self.render_mode == "ansi":
            return ansi_frame(self._state)
        assert self._decoded is not None
        return rgb_frame(self._decoded, panel=self.render_panel)

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
        """An independent env in the same game at the same point, with a copy of the random
        generator, so both go on alike under the same actions. The copy writes no replay
        files (two envs numbering files in one directory would overwrite each other)."""
        # States and placement records are immutable: the copy shares them.
        for shared in (self._state, *self._successors.values(), *self._placements.values()):
            if shared is not None:
                memo[id(shared)] = shared
        twin = type(self).__new__(type(self))
        memo[id(self)] = twin
        for name, value in self.__dict__.items():
            setattr(twin, name, None if name == "replays" else copy.deepcopy(value, memo))
        return twin

    def clone(self) -> PlacementEnv:
        """A copy to plan with (see `__deepcopy__`); costs a few small arrays, the game's
        states are shared."""
        return copy.deepcopy(self)

    # Makes `state` the current state: its byte form, observation, mask and successors.
    def _enter(self, state: GameStatePy) -> None:
        self._state = state
        self._bytes = data = bytes(state)
        self._decoded = decode(data)
        # The observation comes from the native code the batched games use.
        rows = self._form.hidden_rows
        self._obs = {k: v[0] for k, v in observations_from_bytes([data], hidden_rows=rows).items()}
        if self.moves == "chains":
            self._mask, self._successors = chain_successors(state)
        else:
            self._mask, self._placements = placement_actions(state)

    def _observation(self) -> Any:
        assert self._decoded is not None
        obs = {k: v.copy() for k, v in self._obs.items()}
        return self._form(obs, self._mask.copy(), self._decoded.game_over)

    def _info(self, invalid: bool, written: bool = True) -> Dict[str, Any]:
        info: Dict[str, Any] = {"action_mask": self._mask.copy(), "invalid_action": invalid}
        if self.replays is not None:
            info["replay_write_failed"] = not written
        return info

    # Records every intermediate state of a chain, each action played as the engine plays it.
    def _record_chain(self, chain: Tuple[str, ...]) -> None:
        assert self._state is not None and self.replays is not None
        state = self._state
        for name in chain:
            state = dict(state.next_actions_and_states)[name]
            self.replays.record(state)


def placement_actions(
    state: GameStatePy,
) -> Tuple[np.ndarray, Dict[int, "_placement.Placement"]]:
    """The mask of every placement of `state` in the all-placements space and each placement
    by its action number (its state computed when first read)."""
    mask = np.zeros(_placement.ACTION_NB, dtype=np.int8)
    by_action = {p.action: p for p in _placement.placements(state)}
    mask[list(by_action)] = 1
    return mask, by_action


def chain_successors(state: GameStatePy) -> Tuple[np.ndarray, Dict[int, GameStatePy]]:
    """The mask of the chains `get_valid_move_chains()` keeps and the state each reaches, by
    chain index.

    That list keeps the playable chains in list order, and whether a chain is playable
    depends on its actions alone (equal chains are both kept or both left out), so walking
    both lists together finds each kept chain's index.
    """
    mask = np.zeros(CHAIN_NB, dtype=np.int8)
    successors: Dict[int, GameStatePy] = {}
    valid: List[Tuple[List[str], GameStatePy]] = state.get_valid_move_chains()
    j = 0
    for i, chain in enumerate(ALL_CHAINS):
        if j < len(valid) and tuple(valid[j][0]) == chain:
            mask[i] = 1
            successors[i] = valid[j][1]
            j += 1
    if j != len(valid):
        raise RuntimeError("get_valid_move_chains() returned chains out of list order")
    return mask, successors
