"""Misuses the stub must reject: each line below is a type error."""

import corvelle_vim
from corvelle_vim import GameStatePy

as_int: int = corvelle_vim.sum_as_string(1, 2)
state = GameStatePy(corvelle_vim.generate_seed("0", bytes(32)))
score: str = state.score
state.score = 5
GameStatePy.to_bytes(5)
state.bot_moves_raw("best")
copied: str = bytes(state)
