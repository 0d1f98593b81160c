"""Bot games played move by move, deterministically, and recorded as transition rows.

The bot's choices follow the seeded rule of `corvelle.seeded_bot` (the engine's list of the
chains tied for its bot's choice, drawn among with a `random.Random` seeded from the game's
seed; for 'beam', the search's seed drawn from that generator), the same rule `corvelle play`
uses, so a game here and `corvelle play` on the same seed and start time 0 play the same
moves.
"""

from __future__ import annotations

import hashlib
import random
from typing import Dict, List, Optional, Sequence, Tuple

import corvelle_vim
from corvelle_vim import GameStatePy

from ..bytestate import ACTIONS
from ..seeded_bot import BOTS, choose_chain, choose_placement, tie_break_rng

__all__ = [
    "ACTION_INDEX",
    "BOTS",
    "CHAIN_NB",
    "CHAINS",
    "COLUMNS",
    "GameRows",
    "canonical_chain",
    "chain_mask",
    "game_seed",
    "play_game",
]

CHAINS: List[Tuple[str, ...]] = [tuple(c) for c in GameStatePy.get_all_move_chains()]
CHAIN_NB = len(CHAINS)
ACTION_INDEX: Dict[str, int] = {name: i for i, name in enumerate(ACTIONS)}

# The first index of every chain: chains 0 and 6 of each group of twelve are the same plain
# hard drop, and a chosen duplicate is recorded under its first index.
_FIRST_INDEX: Dict[Tuple[str, ...], int] = {}
for _i, _chain in enumerate(CHAINS):
    _FIRST_INDEX.setdefault(_chain, _i)

# The row fields, in the order of the Parquet schema.
COLUMNS = (
    "game_id",
    "step",
    "placement",
    "state",
    "action",
    "action_index",
    "next_state",
    "reward",
    "lines",
    "total_lines",
    "game_over",
    "chain_index",
    "chain_start",
    "chain_state",
    "action_mask",
    "placement_action",
)


def game_seed(master_seed: bytes, game_id: int) -> bytes:
    """Returns the 32 seed bytes of game `game_id`: SHA-256 of the master seed followed by the
    game id as 8 bytes little-endian. Every game starts at time 0."""
    if len(master_seed) != 32:
        raise ValueError(f"master seed must be 32 bytes, got {len(master_seed)}")
    if not 0 <= game_id < 2**63:
        raise ValueError(f"game id must be in 0 to 2**63 - 1, got {game_id}")
    return hashlib.sha256(master_seed + game_id.to_bytes(8, "little")).digest()


def chain_mask(valid: Sequence[Tuple[Sequence[str], object]]) -> bytes:
    """Returns 96 bytes of 0 and 1: which chains of the move-chain list `valid` (the result of
    `get_valid_move_chains()`, in the list's order) contains."""
    mask = bytearray(CHAIN_NB)
    k = 0
    for i, chain in enumerate(CHAINS):
        if k < len(valid) and tuple(valid[k][0]) == chain:
            mask[i] = 1
            k += 1
    if k != len(valid):
        raise ValueError("valid chains are not a subsequence of the move-chain list")
    return bytes(mask)


def canonical_chain(index: int) -> int:
    """Returns the first index of the chain list holding the same chain as `index`."""
    return _FIRST_INDEX[CHAINS[index]]


def _choose(
    data: bytes,
    bot: str,
    valid: Sequence[Tuple[Sequence[str], GameStatePy]],
    mask: bytes,
    rng: random.Random,
) -> Optional[Tuple[int, GameStatePy]]:
    """Returns the chosen chain's index and final state, or None when no chain qualifies.

    `data` is the state's byte form, `valid` and `mask` its valid chains and their mask. The
    engine's list of tied chains, in chain order, is drawn from when it holds more than one."""
    chosen = choose_chain(data, bot, rng)
    if chosen is None:
        return None
    if not mask[chosen]:
        raise RuntimeError(f"the bot's chain {chosen} is not among the valid chains")
    # The valid chains are listed in chain order: the chosen one is preceded by as many as
    # the mask marks before it.
    return canonical_chain(chosen), valid[sum(mask[:chosen])][1]


class GameRows:
    """The rows of one or more games, column by column (see `COLUMNS`)."""

    def __init__(self) -> None:
        self.columns: Dict[str, List[object]] = {name: [] for name in COLUMNS}
        # Lines cleared in all games appended, also across `clear`.
        self.lines = 0

    def __len__(self) -> int:
        return len(self.columns["game_id"])

    def clear(self) -> None:
        """Drops the rows held (the count of lines cleared is kept)."""
        for values in self.columns.values():
            values.clear()


def _step_to(state: GameStatePy, action: str) -> Optional[GameStatePy]:
    for name, after in state.next_actions_and_states:
        if name == action:
            return after
    return None


def play_game(
    rows: GameRows,
    game_id: int,
    master_seed: bytes,
    bot: str,
    max_pieces: int,
) -> int:
    """Plays game `game_id` until `max_pieces` moves (chains, or the 'beam' bot's placements)
    are placed or the game is lost, appending one row per action to `rows`. Returns the number
    of rows appended."""
    seed = game_seed(master_seed, game_id)
    rng = tie_break_rng(seed)
    state = GameStatePy(corvelle_vim.generate_seed(0, seed))
    data = bytes(state.to_bytes())
    c = rows.columns
    step = 0
    placed = 0
    while placed < max_pieces and not state.game_over:
        valid = state.get_valid_move_chains()
        mask = chain_mask(valid)
        chain_index: Optional[int] = None
        placement_action: Optional[int] = None
        last: Optional[GameStatePy] = None
        actions: Tuple[str, ...] = ("SoftDrop",)
        if bot == "beam":
            placement = choose_placement(data, rng)
            if placement is not None:
                actions = placement.keys
                placement_action = placement.action
                chain_index = _FIRST_INDEX.get(actions)
        else:
            choice = _choose(data, bot, valid, mask, rng)
            if choice is not None:
                chain_index, last = choice
                actions = CHAINS[chain_index]
        # No move qualifies: like the bots, let the piece fall one row (or lock).
        moved = placement_action is not None or chain_index is not None
        chain_start = step
        chain_data = data
        refused = False
        for k, action in enumerate(actions):
            ends_move = moved and k == len(actions) - 1
            after = last if ends_move and last is not None else _step_to(state, action)
            if after is None:
                refused = True
                break
            after_data = bytes(after.to_bytes())
            lines = (after.total_lines - state.total_lines) & 0xFFFF
            c["game_id"].append(game_id)
            c["step"].append(step)
            c["placement"].append(placed)
            c["state"].append(data)
            c["action"].append(action)
            c["action_index"].append(ACTION_INDEX[action])
            c["next_state"].append(after_data)
            c["reward"].append(after.score - state.score)
            c["lines"].append(lines)
            c["total_lines"].append(after.total_lines)
            c["game_over"].append(after.game_over)
            c["chain_index"].append(chain_index if ends_move else None)
            c["chain_start"].append(chain_start if ends_move else None)
            c["chain_state"].append(chain_data if ends_move else None)
            c["action_mask"].append(mask if ends_move else None)
            c["placement_action"].append(placement_action if ends_move else None)
            rows.lines += lines
            state, data = after, after_data
            step += 1
        if refused:
            # The engine refused the fallback soft drop: nothing more can be played.
            break
        if moved:
            placed += 1
    return step
