"""VersusEnv: a two-player match against a bot ('wordpress', 'random' or 'beam'), and what
the two-player environments share: the observation of one player, its space, actions and rewards.

A player's observation is a dict:

    key             dtype  shape     content
    board .. counters                the player's own game, as in every corvelle environment
    opponent_board  int8   (20, 10)  1 where a visible cell of the opponent's board is solid
    garbage         int32  (2,)      garbage lines against the player and against the opponent
                                     not yet in their boards (queued or delivered)

Actions are move chains by index (`mode="placement"`, Discrete(96)), with `moves="all"` every
placement by its code (`mode="placement", moves="all"`, Discrete(corvelle.placement.ACTION_NB),
the single-player `PlacementEnv(moves="all")` space: the step plays the placement's key path
as the player's turn), or single engine actions (`mode="keys"`, Discrete(8)); each step both
players play one. Rewards: "win" gives +1 to the winner and -1 to the loser when the match
ends (0 otherwise, and for a draw); "attack" gives the garbage lines the step sent to the
opponent, after cancelling.
"""

from __future__ import annotations

import random
from typing import Any, Dict, List, Optional, Tuple

import gymnasium as gym
import numpy as np
from gymnasium import spaces
from gymnasium.error import ResetNeeded

import corvelle_vim
from corvelle_vim import GameStatePy

from ..bytestate import ACTIONS, VISIBLE_ROWS, decode
from ..versus import ATTACK_TABLES, BOTS, Match, Turn, bot_keys
from .arena import check_action, check_moves
from .obs import Observation, draw_game_seed, observation_from_state, observation_space
from .placement import action_nb, placement_actions

__all__ = ["VERSUS_REWARDS", "VersusEnv", "player_observation", "player_observation_space"]

VERSUS_REWARDS = ("win", "attack")
MODES = ("placement", "keys")
# Steps after which a match is a draw unless the caller chooses otherwise.
DEFAULT_MAX_STEPS = 10_000
# The most garbage lines an observation reports against one player.
_GARBAGE_HIGH = 1 << 20

_CHAINS: List[Tuple[str, ...]] = [tuple(c) for c in GameStatePy.get_all_move_chains()]
_ACTION_INDEX = {name: i for i, name in enumerate(ACTIONS)}


# A player's key path by action number, for the placements of its state (moves="all").
Paths = Dict[int, Tuple[str, ...]]


def action_count(mode: str, moves: str = "chains") -> int:
    """Actions of one player's space: 96 chains, every placement's code, or 8 engine actions.
    ValueError for an unknown mode or moves, and for moves="all" with mode="keys"."""
    if mode not in MODES:
        raise ValueError(f"mode must be 'placement' or 'keys', not {mode!r}")
    check_moves(moves)
    if mode == "keys":
        if moves != "chains":
            raise ValueError("moves='all' needs mode='placement'")
        return len(ACTIONS)
    return action_nb(moves)


def check_settings(attack: str, reward: str, max_steps: int) -> None:
    if attack not in ATTACK_TABLES:
        raise ValueError(f"attack must be 'engine' or 'guideline', not {attack!r}")
    if reward not in VERSUS_REWARDS:
        raise ValueError(f"reward must be 'win' or 'attack', not {reward!r}")
    if max_steps < 0:
        raise ValueError(f"max_steps must be 0 or more, not {max_steps}")


def player_observation_space() -> "spaces.Space[Observation]":
    own = observation_space()
    return spaces.Dict(  # type: ignore[return-value]
        {
            **own.spaces,  # type: ignore[attr-defined]
            "opponent_board": spaces.MultiBinary((VISIBLE_ROWS, 10)),
            "garbage": spaces.Box(low=0, high=_GARBAGE_HIGH, shape=(2,), dtype=np.int32),
        }
    )


def player_observation(match: Match, player: int) -> Observation:
    """Player `player`'s observation of the match."""
    own = observation_from_state(decode(match.state_bytes(player)))
    other = observation_from_state(decode(match.state_bytes(1 - player)))
    own["opponent_board"] = other["board"]
    own["garbage"] = np.array(
        [
            min(match.garbage(player)["incoming"], _GARBAGE_HIGH),
            min(match.garbage(1 - player)["incoming"], _GARBAGE_HIGH),
        ],
        dtype=np.int32,
    )
    return own


def player_moves(
    match: Match, player: int, mode: str, moves: str = "chains"
) -> Tuple[np.ndarray, Optional[Paths]]:
    """The player's action mask (int8) and, with moves="all", the key path of every placement
    it marks (None otherwise)."""
    if moves == "all":
        mask, by_action = placement_actions(match.state(player))
        return mask, {a: p.keys for a, p in by_action.items()}
    raw = match.placement_mask(player) if mode == "placement" else match.key_mask(player)
    return np.frombuffer(raw, dtype=np.int8).copy(), None


def action_turn(action: int, mode: str, paths: Optional[Paths]) -> Turn:
    """The turn an allowed action plays: a placement's key path, a chain's actions or one
    engine action."""
    if paths is not None:
        return paths[action]
    return _CHAINS[action] if mode == "placement" else action


def play_turns(match: Match, turn_a: Turn, turn_b: Turn) -> None:
    match.step(turn_a, turn_b)


def step_rewards(match: Match, reward: str, sent_before: Tuple[int, int]) -> Tuple[float, float]:
    """Both players' rewards for the step just played."""
    if reward == "attack":
        players = match.metrics()["players"]
        return (
            float(players[0]["lines_sent"] - sent_before[0]),
            float(players[1]["lines_sent"] - sent_before[1]),
        )
    winner = match.winner
    if winner in (0, 1):
        return (1.0, -1.0) if winner == 0 else (-1.0, 1.0)
    return (0.0, 0.0)


def lines_sent(match: Match) -> Tuple[int, int]:
    players = match.metrics()["players"]
    return (players[0]["lines_sent"], players[1]["lines_sent"])


def ended_by_knockout(match: Match) -> bool:
    """Whether the match ended because a player topped out (not at the step limit)."""
    return match.winner is not None and any(s.game_over for s in match.states)


def check_opponent(bot: str) -> None:
    if bot not in BOTS:
        raise ValueError(f"opponent must be one of {', '.join(map(repr, BOTS))}, not {bot!r}")


class BotPlayer:
    """A bot as a player: its whole move per step in placement mode (an engine bot's chain,
    or the 'beam' bot's key path); in key mode the move's actions one per step, planned again
    when the next one is refused."""

    def __init__(self, bot: str, mode: str, rng: random.Random) -> None:
        check_opponent(bot)
        self.bot, self.mode, self.rng = bot, mode, rng
        self._pending: List[int] = []

    def action(self, match: Match, player: int) -> Turn:
        """The bot's turn: its move's actions, or one engine action in key mode."""
        if self.mode == "placement":
            return bot_keys(match, player, self.bot, self.rng)
        mask = match.key_mask(player)
        if not self._pending or not mask[self._pending[0]]:
            self._pending = bot_keys(match, player, self.bot, self.rng)
        if not mask[self._pending[0]]:
            self._pending = [_ACTION_INDEX["HardDrop"]]
        return self._pending.pop(0)


class VersusEnv(gym.Env[Observation, np.int64]):
    """A match against a bot ('wordpress', 'random' or 'beam', the search bot of
    `corvelle.bots`), the agent being player 0, with the actions of `mode` and `moves` (see
    the module docstring; the bot plays its own move whatever the agent's space). `info["action_mask"]` marks the playable actions;
    a masked-out action changes nothing (neither player moves) and gives
    `info["invalid_action"]` True. The episode
    terminates when a player tops out and is truncated at `max_steps` steps (a draw).
    `info["metrics"]` holds the match's figures (see `corvelle.versus.Match.metrics`).
    """

    metadata = {"render_modes": ["ansi"], "render_fps": 30}

    def __init__(
        self,
        opponent: str = "wordpress",
        mode: str = "placement",
        attack: str = "engine",
        delay: int = 0,
        max_steps: int = DEFAULT_MAX_STEPS,
        reward: str = "win",
        render_mode: Optional[str] = None,
        moves: str = "chains",
    ) -> None:
        check_settings(attack, reward, max_steps)
        self._action_nb = action_count(mode, moves)
        check_opponent(opponent)
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be 'ansi' or None, not {render_mode!r}")
        self.opponent, self.mode, self.attack, self.delay = opponent, mode, attack, delay
        self.max_steps, self.reward_kind, self.render_mode = max_steps, reward, render_mode
        self.moves = moves
        self.action_space = spaces.Discrete(self._action_nb)
        self.observation_space = player_observation_space()
        self._match: Optional[Match] = None
        self._bot: Optional[BotPlayer] = None
        self._mask = np.zeros(self._action_nb, dtype=np.int8)
        self._paths: Optional[Paths] = None

    @property
    def match(self) -> Match:
        """The running match (both players' states, garbage and metrics)."""
        if self._match is None:
            raise ResetNeeded("Cannot read the match before calling env.reset()")
        return self._match

    def reset(
        self, *, seed: Optional[int] = None, options: Optional[Dict[str, Any]] = None
    ) -> Tuple[Observation, Dict[str, Any]]:
        """Starts a match: both games drawn from `self.np_random` (seeded by `seed`), or the
        pair of GameSeedPy `options["game_seeds"]`. Returns (observation, info)."""
        super().reset(seed=seed)
        seeds = (options or {}).get("game_seeds")
        if seeds is None:
            seeds = (draw_game_seed(self.np_random), draw_game_seed(self.np_random))
        elif len(seeds) != 2 or not all(isinstance(s, corvelle_vim.GameSeedPy) for s in seeds):
            raise TypeError("options['game_seeds'] must be a pair of GameSeedPy")
        self._match = Match(
            seeds[0], seeds[1], attack=self.attack, delay=self.delay, max_steps=self.max_steps
        )
        tie_seed = int(self.np_random.integers(0, 2**63))
        self._bot = BotPlayer(self.opponent, self.mode, random.Random(tie_seed))
        self._mask, self._paths = player_moves(self._match, 0, self.mode, self.moves)
        return player_observation(self._match, 0), self._info(False)

    def step(self, action: Any) -> Tuple[Observation, float, bool, bool, Dict[str, Any]]:
        """Plays the agent's action and the bot's reply as one match step. Returns
        (observation, reward, terminated, truncated, info)."""
        match = self.match
        if match.winner is not None:
            raise ResetNeeded("The match is over; call env.reset()")
        a = check_action(action, self._action_nb)
        if not self._mask[a]:
            return player_observation(match, 0), 0.0, False, False, self._info(True)
        assert self._bot is not None
        before = lines_sent(match)
        play_turns(match, action_turn(a, self.mode, self._paths), self._bot.action(match, 1))
        self._mask, self._paths = player_moves(match, 0, self.mode, self.moves)
        reward = step_rewards(match, self.reward_kind, before)[0]
        over = match.winner is not None
        terminated = over and ended_by_knockout(match)
        truncated = over and not terminated
        return player_observation(match, 0), reward, terminated, truncated, self._info(False)

    def action_masks(self) -> np.ndarray:
        """The action mask as bools, for maskable-policy libraries."""
        _ = self.match  # ResetNeeded before the first reset
        return self._mask.astype(bool)

    def render(self) -> Any:
        """Both boards side by side as text (render_mode "ansi")."""
        if self.render_mode is None:
            gym.logger.warn("render() called on an environment created without a render_mode")
            return None
        return side_by_side(self.match)

    def _info(self, invalid: bool) -> Dict[str, Any]:
        match = self.match
        return {
            "action_mask": self._mask.copy(),
            "invalid_action": invalid,
            "metrics": match.metrics(),
        }


def side_by_side(match: Match) -> str:
    """Both players' text reports next to each other, with the garbage against each."""
    columns = [s.matrix_txt.splitlines() for s in match.states]
    width = max(len(line) for line in columns[0]) if columns[0] else 0
    height = max(len(c) for c in columns)
    rows = [
        f"{(columns[0][i] if i < len(columns[0]) else ''):<{width}}   "
        f"{columns[1][i] if i < len(columns[1]) else ''}"
        for i in range(height)
    ]
    g = (match.garbage(0)["incoming"], match.garbage(1)["incoming"])
    rows.append(f"{'incoming ' + str(g[0]):<{width}}   incoming {g[1]}")
    return "\n".join(rows)
