"""VersusParallelEnv: a two-player match as a PettingZoo ParallelEnv, agents "player_0" and
"player_1". Needs pettingzoo.

Each agent observes {"observation": its player observation (see corvelle.envs.versus),
"action_mask": int8 flags of its playable actions}, as PettingZoo's classic environments do.
Actions are chains (`mode="placement"`), every placement by its code (`mode="placement",
moves="all"`: the single-player `PlacementEnv(moves="all")` space) or engine actions
(`mode="keys"`).
Both agents act every step; the match ends for both at once: terminated when a player tops
out, truncated at `max_steps` steps (a draw), after which `agents` is empty. An action that
is out of range or masked out, a missing action for a live agent, or an action for an agent
that is not live raises ValueError naming the agent, and nothing changes; a step after the
end raises RuntimeError.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy as np
from gymnasium import spaces
from pettingzoo import ParallelEnv  # type: ignore[import-untyped, import-not-found, unused-ignore]

import corvelle_vim

from ..versus import Match
from .arena import check_action
from .obs import draw_game_seed
from .versus import (
    DEFAULT_MAX_STEPS,
    Paths,
    action_count,
    action_turn,
    check_settings,
    ended_by_knockout,
    lines_sent,
    play_turns,
    player_moves,
    player_observation,
    player_observation_space,
    side_by_side,
    step_rewards,
)

__all__ = ["AGENTS", "VersusParallelEnv"]

AGENTS = ("player_0", "player_1")


class VersusParallelEnv(ParallelEnv):  # type: ignore[misc]
    metadata: Dict[str, Any] = {
        "name": "corvelle_versus_v0",
        "render_modes": ["ansi"],
        "is_parallelizable": True,
    }

    def __init__(
        self,
        mode: str = "placement",
        attack: str = "engine",
        delay: int = 0,
        max_steps: int = DEFAULT_MAX_STEPS,
        reward: str = "win",
        render_mode: Optional[str] = None,
        moves: str = "chains",
    ) -> None:
        check_settings(attack, reward, max_steps)
        n = action_count(mode, moves)
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be 'ansi' or None, not {render_mode!r}")
        self.mode, self.moves = mode, moves
        self.attack, self.delay, self.max_steps = attack, delay, max_steps
        self.reward_kind, self.render_mode = reward, render_mode
        self.possible_agents = list(AGENTS)
        self.agents: List[str] = []
        self._action_nb = n
        self._action_space = spaces.Discrete(n)
        self._observation_space = spaces.Dict(
            {
                "observation": player_observation_space(),
                "action_mask": spaces.Box(low=0, high=1, shape=(n,), dtype=np.int8),
            }
        )
        self._match: Optional[Match] = None
        self._rng = np.random.default_rng()
        # Each player's mask and, with moves="all", its placements' key paths.
        self._moves: List[Tuple[np.ndarray, Optional[Paths]]] = []

    def observation_space(self, agent: str) -> "spaces.Space[Any]":
        self._index(agent)
        return self._observation_space

    def action_space(self, agent: str) -> "spaces.Space[Any]":
        self._index(agent)
        return self._action_space

    @property
    def match(self) -> Match:
        if self._match is None:
            raise RuntimeError("Cannot read the match before calling reset()")
        return self._match

    def reset(
        self, seed: Optional[int] = None, options: Optional[Dict[str, Any]] = None
    ) -> Tuple[Dict[str, Any], Dict[str, Any]]:
        if seed is not None:
            self._rng = np.random.default_rng(seed)
        seeds = (options or {}).get("game_seeds")
        if seeds is None:
            seeds = (draw_game_seed(self._rng), draw_game_seed(self._rng))
        elif len(seeds) != 2 or not all(isinstance(s, corvelle_vim.GameSeedPy) for s in seeds):
            raise TypeError("options['game_seeds'] must be a pair of GameSeedPy")
        self._match = Match(
            seeds[0], seeds[1], attack=self.attack, delay=self.delay, max_steps=self.max_steps
        )
        self.agents = list(AGENTS)
        return self._observations(), {a: {} for a in AGENTS}

    def step(self, actions: Dict[str, Any]) -> Tuple[Dict[str, Any], ...]:
        match = self.match
        if not self.agents:
            raise RuntimeError("the match is over; call reset()")
        for agent in actions:
            if agent not in self.agents:
                raise ValueError(f"{agent!r} is not a live agent of this match")
        chosen = []
        for p, agent in enumerate(AGENTS):
            if agent not in actions:
                raise ValueError(f"{agent}: no action given")
            try:
                a = check_action(actions[agent], self._action_nb)
            except (TypeError, ValueError) as e:
                raise ValueError(f"{agent}: {e}") from None
            mask, paths = self._moves[p]
            if not mask[a]:
                raise ValueError(f"{agent}: action {a} is masked out (not playable now)")
            chosen.append(action_turn(a, self.mode, paths))
        before = lines_sent(match)
        play_turns(match, chosen[0], chosen[1])
        rewards = step_rewards(match, self.reward_kind, before)
        over = match.winner is not None
        terminated = over and ended_by_knockout(match)
        truncated = over and not terminated
        observations = self._observations()
        metrics = match.metrics()
        infos = {a: {"metrics": metrics} for a in AGENTS}
        if over:
            self.agents = []
        return (
            observations,
            {a: rewards[p] for p, a in enumerate(AGENTS)},
            {a: terminated for a in AGENTS},
            {a: truncated for a in AGENTS},
            infos,
        )

    def render(self) -> Optional[str]:
        if self.render_mode is None:
            return None
        return side_by_side(self.match)

    def close(self) -> None:
        pass

    def _observations(self) -> Dict[str, Any]:
        match = self.match
        self._moves = [player_moves(match, p, self.mode, self.moves) for p in (0, 1)]
        return {
            agent: {
                "observation": player_observation(match, p),
                "action_mask": self._moves[p][0].copy(),
            }
            for p, agent in enumerate(AGENTS)
        }

    @staticmethod
    def _index(agent: str) -> int:
        if agent not in AGENTS:
            raise ValueError(f"unknown agent {agent!r}; agents are 'player_0' and 'player_1'")
        return AGENTS.index(agent)
