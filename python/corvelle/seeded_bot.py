"""The bots with repeatable ties: the one rule `corvelle play`, `corvelle datagen` and
`corvelle versus` share for turning a seed into the same game every time.

The engine's bots (`GameStatePy.bot_moves_raw`, `generate_bot_episode`) break ties between
equally good chains with randomness from the operating system, so their games cannot be
repeated. Here the engine names the chains tied for its bot's choice
(`corvelle._batch.bot_choices`: of the chains `get_valid_move_chains()` keeps, those not ending
the game with the bot's best board score, and of those the ones with the fewest actions, in
chain order), and one of them is drawn with a `random.Random` seeded with

    SHA-256(b"corvelle.datagen tie-break" + the game's 32 seed bytes)

by `rng.randrange(len(ties))`, only when more than one chain is tied. Everything else (the
candidate chains, the states they lead to, every action) comes from the engine, at time 0 as
the bots play. When no chain qualifies the bots let the piece fall one row (a soft drop), and
so does this rule.

The bots:

    wordpress  scores each reachable board by its height, holes and bumpiness and plays the
               best: plays well
    random     scores each board by lines cleared and height alone: a weak player, but it
               still chooses by score (it does not pick any legal move)
    beam       searches every placement (tucks, spins, hold) through the five previews, the
               best positions kept at each level: attacks with T-spins and back-to-back clears
"""

from __future__ import annotations

import hashlib
import random
from typing import Any, Iterator, Literal, Optional, Tuple

from corvelle_vim import GameStatePy

from ._batch import bot_choices
from .bots import Beam
from .placement import Placement

__all__ = [
    "BOTS",
    "BOT_HELP",
    "BotName",
    "CHAIN_BOTS",
    "SOFT_DROP",
    "choose_chain",
    "choose_placement",
    "moves",
    "tie_break_rng",
]

BotName = Literal["wordpress", "random", "beam"]

# Every bot, by name.
BOTS: Tuple[BotName, ...] = ("wordpress", "random", "beam")
# The engine's own bots, which choose among the move chains.
CHAIN_BOTS: Tuple[BotName, ...] = ("wordpress", "random")

# What each bot does, in one line, for help texts.
BOT_HELP = {
    "wordpress": "scores each reachable board by height, holes and bumpiness and plays the "
    "best (plays well)",
    "random": "scores each reachable board by lines cleared and height only (a weak "
    "player; it does not pick any legal move)",
    "beam": "searches every placement (tucks, spins, hold) through the five previews and "
    "attacks with T-spins and back-to-back clears (the strongest)",
}

# The move played when no chain qualifies.
SOFT_DROP: Tuple[str, ...] = ("SoftDrop",)

_CHAINS: Tuple[Tuple[str, ...], ...] = tuple(tuple(c) for c in GameStatePy.get_all_move_chains())


def tie_break_rng(seed: bytes) -> random.Random:
    """The generator that breaks the bot's ties in the game of the 32 seed bytes `seed`."""
    if len(seed) != 32:
        raise ValueError(f"a game seed is 32 bytes, got {len(seed)}")
    return random.Random(hashlib.sha256(b"corvelle.datagen tie-break" + seed).digest())


def choose_chain(data: bytes, bot: str, rng: random.Random) -> Optional[int]:
    """The index (in `get_all_move_chains()`) of the chain the bot plays on the state of byte
    form `data`, drawing from `rng` when chains are tied; None when no chain qualifies.
    ValueError for a bot name the engine does not know."""
    ties = bot_choices(data, bot)
    if not ties:
        return None
    return ties[rng.randrange(len(ties))] if len(ties) > 1 else ties[0]


def choose_placement(
    data: bytes,
    rng: random.Random,
    *,
    incoming: int = 0,
    back_to_back: bool = False,
    max_keys: int = 0,
    **settings: Any,
) -> Optional[Placement]:
    """The placement the 'beam' bot plays on the state of byte form `data`, its seed drawn
    from `rng` (`rng.getrandbits(64)`, one draw per decision); None when the state has none.
    The match arguments are `corvelle.bots.Beam.move`'s; `settings` (width, depth, weights)
    are `corvelle.bots.Beam`'s, its defaults where left out."""
    bot = Beam(seed=rng.getrandbits(64), **settings)
    return bot.move(data, incoming=incoming, back_to_back=back_to_back, max_keys=max_keys)


def _step_to(state: GameStatePy, action: str) -> Optional[GameStatePy]:
    for name, after in state.next_actions_and_states:
        if name == action:
            return after
    return None


def moves(
    start: GameStatePy, bot: str, rng: random.Random
) -> Iterator[Tuple[Optional[int], Tuple[Tuple[str, GameStatePy], ...]]]:
    """The bot's moves from `start`, one per piece, until the game is over: each as the chosen
    chain's index (for 'beam', the placement's action number of `corvelle.placement.encode`;
    None for the soft drop played when no move qualifies) and its steps, every (action name,
    state after it) in order. Ends early when the engine refuses even that soft drop."""
    state = start
    while not state.game_over:
        if bot == "beam":
            placement = choose_placement(bytes(state), rng)
            chain = None if placement is None else placement.action
            actions = SOFT_DROP if placement is None else placement.keys
        else:
            chain = choose_chain(bytes(state), bot, rng)
            actions = SOFT_DROP if chain is None else _CHAINS[chain]
        steps = []
        for action in actions:
            after = _step_to(state, action)
            if after is None:
                if chain is not None:
                    raise RuntimeError(f"the engine refused {action} of the bot's move {chain}")
                return
            steps.append((action, after))
            state = after
        yield chain, tuple(steps)
