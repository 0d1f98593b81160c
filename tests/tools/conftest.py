"""Games shared by the tests of the corvelle package: played once per session."""

from __future__ import annotations

import pytest
from tool_games import Game, play, play_seeded

from corvelle.replay import FORFEIT


@pytest.fixture(scope="session")
def long_game() -> Game:
    """Three thousand actions of the wordpress bot, its ties broken by the seeded rule (the
    engine's own tie-breaks draw from the system and once lost a game before 3000), recorded
    97 actions at a time so that recorded runs end in the middle of a move."""
    game = play_seeded(bytes(range(32)), 1_700_000_000_000_000, "wordpress", 3000, 97)
    assert len(game.steps) == 3000 and not game.steps[-1][1].game_over
    game.recorder.finish(FORFEIT)
    return game


@pytest.fixture(scope="session")
def knockout_game() -> Game:
    """A game of the random bot played until it is lost."""
    game = play(bytes(32), 0, "random", 100_000, 500)
    assert game.steps[-1][1].game_over
    game.recorder.finish()
    return game
