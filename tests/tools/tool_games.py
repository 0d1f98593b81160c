"""Games for the tests of the corvelle package: bots play, a Recorder records."""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Tuple

import corvelle_vim
from corvelle_vim import GameStatePy

from corvelle import Recorder

ZERO_SEED_HEX = "00" * 32


@dataclass
class Game:
    initial: GameStatePy
    steps: List[Tuple[str, GameStatePy]]
    recorder: Recorder


def play(seed: bytes, ts: int, bot: str, actions: int, chunk: int) -> Game:
    """Lets a bot play `actions` actions (or until the game ends) in episodes of `chunk`
    actions, recording every state."""
    initial = GameStatePy(corvelle_vim.generate_seed(ts, seed))
    recorder = Recorder(initial)
    steps: List[Tuple[str, GameStatePy]] = []
    state = initial
    while len(steps) < actions and not state.game_over:
        episode = state.generate_bot_episode(bot, min(chunk, actions - len(steps)))
        assert episode, "the bot stopped playing"
        recorder.record_steps(episode)
        steps.extend(episode)
        state = episode[-1][1]
    return Game(initial, steps, recorder)
