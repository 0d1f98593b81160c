"""Games for the tests of the corvelle package: bots play, a Recorder records."""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Tuple

import corvelle_vim
from corvelle_vim import GameStatePy

from corvelle import Recorder
from corvelle.seeded_bot import moves, tie_break_rng

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


def play_seeded(seed: bytes, ts: int, bot: str, actions: int, chunk: int) -> Game:
    """Like `play`, but the bot's ties are broken by the game's own tie-break generator, so
    the same arguments always give the same game; recorded `chunk` actions at a time."""
    initial = GameStatePy(corvelle_vim.generate_seed(ts, seed))
    recorder = Recorder(initial)
    steps: List[Tuple[str, GameStatePy]] = []
    for _, move in moves(initial, bot, tie_break_rng(seed)):
        steps.extend(move)
        if len(steps) >= actions:
            break
    del steps[actions:]
    for i in range(0, len(steps), chunk):
        recorder.record_steps(steps[i : i + chunk])
    return Game(initial, steps, recorder)
