"""Helpers shared by the environment tests: the reference mask from get_valid_move_chains,
a seeded random masked policy, games played with it, and a state's settled board read in
plain numpy."""

from __future__ import annotations

from typing import List

import pytest

try:
    import gymnasium  # noqa: F401
    import numpy as np
except ImportError:  # without the gym extra every test module here skips itself
    np = None

import corvelle_vim
from corvelle_vim import GameStatePy

ALL_CHAINS = [tuple(c) for c in GameStatePy.get_all_move_chains()]


def new_game(ts: int = 0, seed: bytes = bytes(32)) -> GameStatePy:
    return GameStatePy(corvelle_vim.generate_seed(ts, seed))


def reference_mask(state: GameStatePy) -> np.ndarray:
    """1 for each chain index whose chain get_valid_move_chains keeps (chain by chain: a
    chain is kept as often as it occurs in the list)."""
    kept = [tuple(chain) for chain, _ in state.get_valid_move_chains()]
    mask = np.zeros(len(ALL_CHAINS), dtype=np.int8)
    for i, chain in enumerate(ALL_CHAINS):
        mask[i] = chain in kept
    return mask


def masked_choice(rng: np.random.Generator, mask: np.ndarray) -> int:
    """A uniform choice among the indices where `mask` is set (0 when none is)."""
    playable = np.flatnonzero(mask)
    return int(rng.choice(playable)) if len(playable) else 0


def masked_choices(rng: np.random.Generator, masks: np.ndarray) -> np.ndarray:
    """One masked_choice per row of `masks`."""
    return np.array([masked_choice(rng, m) for m in masks], dtype=np.int64)


def random_states(seed: int, games: int) -> List[GameStatePy]:
    """Every state of `games` games played to knockout by a seeded random masked policy."""
    rng = np.random.default_rng(seed)
    states = []
    for g in range(games):
        state = new_game(ts=g, seed=rng.bytes(32))
        while True:
            states.append(state)
            kept = state.get_valid_move_chains()
            if not kept:
                break
            state = kept[int(rng.integers(len(kept)))][1]
    return states


@pytest.fixture(scope="session")
def played_states() -> List[GameStatePy]:
    """A few hundred states from random play, finished games included."""
    return random_states(7, 12)


def settled_rows(data: bytes, rows: int) -> np.ndarray:
    """Solid cells of board rows rows-1..0, top first, the falling piece left out while the game
    runs, read in plain numpy from the byte form."""
    from corvelle.bytestate import KINDS, ROWS, decode
    from corvelle.envs.obs import SHAPE_CELLS

    s = decode(data)
    solid = (np.frombuffer(s.cells, dtype=np.uint8).reshape(ROWS, 10) >= 1)
    solid &= np.frombuffer(s.cells, dtype=np.uint8).reshape(ROWS, 10) <= 8
    piece = s.current_pcs
    if piece is not None and not s.game_over:
        for i, j in SHAPE_CELLS[KINDS.index(piece.kind)][piece.rotation]:
            solid[piece.row + i, piece.column + j] = False
    return solid[rows - 1 :: -1].astype(np.int8)
