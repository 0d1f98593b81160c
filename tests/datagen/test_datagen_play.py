"""The datagen bot: seeds, masks, and its choice: the engine's tied chains checked against the
documented rule, and the draw among them replayed."""

from __future__ import annotations

import hashlib
import importlib
import itertools
import random
from typing import List

import corvelle_vim
import pytest
from corvelle_vim import GameStatePy

from corvelle import seeded_bot
from corvelle._batch import bot_choices
from corvelle.datagen import CHAINS, chain_mask, game_seed
from corvelle.seeded_bot import CHAIN_BOTS
from corvelle.datagen._play import GameRows, canonical_chain, play_game


def _states(bot: str, games: int, pieces: int) -> List[GameStatePy]:
    """The states at the start of every chain of a few games of the bot, played by the seeded
    rule so that the sample is the same on every run."""
    found = []
    for g in range(games):
        state = GameStatePy(corvelle_vim.generate_seed(0, game_seed(bytes(32), g)))
        found.append(state)
        rng = seeded_bot.tie_break_rng(game_seed(bytes(32), g))
        for _, move in itertools.islice(seeded_bot.moves(state, bot, rng), pieces):
            found.append(move[-1][1])
    return [s for s in found if not s.game_over]


class TestGameSeed:
    def test_is_sha256_of_master_seed_and_game_id(self) -> None:
        master = bytes(range(32))
        assert game_seed(master, 0) == hashlib.sha256(master + bytes(8)).digest()
        assert game_seed(master, 258) == hashlib.sha256(master + b"\x02\x01" + bytes(6)).digest()

    def test_games_and_masters_differ(self) -> None:
        seeds = {game_seed(bytes(32), g) for g in range(1000)}
        assert len(seeds) == 1000
        assert game_seed(bytes(32), 5) != game_seed(bytes(31) + b"\x01", 5)

    @pytest.mark.parametrize(
        "master, game, message",
        [
            (bytes(31), 0, "master seed must be 32 bytes, got 31"),
            (bytes(33), 0, "master seed must be 32 bytes, got 33"),
            (bytes(32), -1, "game id must be in 0 to 2**63 - 1, got -1"),
            (bytes(32), 2**63, f"game id must be in 0 to 2**63 - 1, got {2**63}"),
        ],
    )
    def test_rejects_bad_input(self, master: bytes, game: int, message: str) -> None:
        with pytest.raises(ValueError) as e:
            game_seed(master, game)
        assert str(e.value) == message


class TestChainMask:
    def test_marks_exactly_the_valid_chains(self) -> None:
        for state in _states("random", 3, 30):
            valid = state.get_valid_move_chains()
            mask = chain_mask(valid)
            assert len(mask) == 96 and set(mask) <= {0, 1}
            assert [list(CHAINS[i]) for i in range(96) if mask[i]] == [v[0] for v in valid]
            for group in range(0, 96, 12):
                assert mask[group] == mask[group + 6]

    def test_game_over_state_has_empty_mask(self) -> None:
        rows = GameRows()
        play_game(rows, 1, bytes(32), "random", 10_000)
        final = GameStatePy.state_from_bytes(rows.columns["next_state"][-1])
        assert final.game_over
        assert chain_mask(final.get_valid_move_chains()) == bytes(96)

    def test_agrees_with_native_mask(self) -> None:
        try:
            batch = importlib.import_module("corvelle._batch")
        except ImportError:
            pytest.skip("corvelle._batch is not built")
        for state in _states("wordpress", 2, 40):
            data = bytes(state.to_bytes())
            assert batch.placement_mask(data) == chain_mask(state.get_valid_move_chains())

    def test_rejects_chains_out_of_order(self) -> None:
        state = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
        valid = state.get_valid_move_chains()
        with pytest.raises(ValueError) as e:
            chain_mask(valid[::-1])
        assert str(e.value) == "valid chains are not a subsequence of the move-chain list"


def _documented_ties(state: GameStatePy, bot: str) -> List[int]:
    """The chains tied for the bot's choice by the rule the README states: every chain
    get_valid_move_chains() keeps that does not end the game, scored on the board it reaches
    (the falling piece that follows left out); the best score, then the fewest actions; in
    chain order, identical chains each listed."""
    valid = state.get_valid_move_chains()
    mask = chain_mask(valid)
    scored = []
    for i, (_, after) in zip([i for i in range(96) if mask[i]], valid):
        if after.game_over:
            continue
        lines = (after.total_lines - state.total_lines) & 0xFFFF
        height = after.height - 1
        if bot == "wordpress":
            score = ((lines * 0.76 - height * 0.51) + after.holes * -0.35) + after.bumpi * -0.18
        else:
            score = lines * 0.76 + height * -0.51
        scored.append((score, len(CHAINS[i]), i))
    if not scored:
        return []
    best = max(score for score, _, _ in scored)
    shortest = min(n for score, n, _ in scored if score == best)
    return [i for score, n, i in scored if score == best and n == shortest]


class TestChoice:
    @pytest.mark.parametrize("bot", CHAIN_BOTS)
    def test_engine_ties_follow_the_documented_rule(self, bot: str) -> None:
        found = []
        for state in _states("wordpress", 2, 40) + _states("random", 2, 40):
            ties = bot_choices(bytes(state.to_bytes()), bot)
            assert ties == _documented_ties(state, bot)
            # The engine's own bot answers one of them (SoftDrop when there is none).
            move = tuple(state.bot_moves_raw(bot))
            assert move in {CHAINS[i] for i in ties} if ties else move == ("SoftDrop",)
            found.append(ties)
        # Ties of several chains were among them, and ties holding both of a pair of
        # identical chains (chains 0 and 6 of a group of twelve).
        assert max(len(t) for t in found) > 2
        assert any(g in t and g + 6 in t for t in found for g in range(0, 96, 12))

    @pytest.mark.parametrize("bot", CHAIN_BOTS)
    def test_rows_replay_the_documented_draw(self, bot: str) -> None:
        master, game = bytes(range(32)), 5
        rows = GameRows()
        play_game(rows, game, master, bot, 80)
        c = rows.columns
        seed = game_seed(master, game)
        rng = random.Random(hashlib.sha256(b"corvelle.datagen tie-break" + seed).digest())
        draws = 0
        for k, index in enumerate(c["chain_index"]):
            if index is None:
                continue
            state = GameStatePy.state_from_bytes(c["chain_state"][k])
            ties = _documented_ties(state, bot)
            chosen = ties[rng.randrange(len(ties))] if len(ties) > 1 else ties[0]
            draws += len(ties) > 1
            assert index == canonical_chain(chosen)
        assert draws > 0

    def test_errors(self) -> None:
        data = bytes(GameStatePy(corvelle_vim.generate_seed(0, bytes(32))).to_bytes())
        with pytest.raises(ValueError, match=r"^bot name not found\.$"):
            bot_choices(data, "chess")
        with pytest.raises(ValueError, match="io error: unexpected end of file"):
            bot_choices(data[:10], "random")
        with pytest.raises(TypeError):
            bot_choices("state", "random")  # type: ignore[arg-type]

    def test_every_chain_ending_the_game_gives_soft_drop(self) -> None:
        rows = GameRows()
        play_game(rows, 0, bytes(32), "random", 10_000)
        c = rows.columns
        last = len(c["action"]) - 1
        assert c["game_over"][last] and c["game_over"].count(True) == 1
        soft = [i for i, a in enumerate(c["action"]) if a == "SoftDrop"]
        assert soft and soft[-1] == last
        state = GameStatePy.state_from_bytes(c["state"][last])
        assert all(after.game_over for _, after in state.get_valid_move_chains())
        assert bot_choices(c["state"][last], "random") == []
        assert state.bot_moves_raw("random") == ["SoftDrop"]
        assert all(c[k][i] is None for i in soft for k in ("chain_index", "action_mask"))

    @pytest.mark.parametrize("index, first", [(0, 0), (6, 0), (18, 12), (95, 95), (90, 84)])
    def test_duplicate_chains_recorded_under_first_index(self, index: int, first: int) -> None:
        assert canonical_chain(index) == first


class TestPlayGame:
    def test_same_game_twice_gives_same_rows(self) -> None:
        a, b = GameRows(), GameRows()
        play_game(a, 7, bytes(32), "wordpress", 60)
        play_game(b, 7, bytes(32), "wordpress", 60)
        assert a.columns == b.columns and a.lines == b.lines

    @pytest.mark.parametrize("pieces", [1, 2, 25])
    def test_stops_after_max_pieces(self, pieces: int) -> None:
        rows = GameRows()
        play_game(rows, 3, bytes(32), "wordpress", pieces)
        c = rows.columns
        assert sum(1 for i in c["chain_index"] if i is not None) == pieces
        assert c["action"][-1] == "HardDrop" and c["chain_index"][-1] is not None
        assert c["step"] == list(range(len(rows)))

    def test_game_starts_from_its_seed_at_time_zero(self) -> None:
        rows = GameRows()
        play_game(rows, 11, bytes(range(32)), "wordpress", 1)
        start = GameStatePy(corvelle_vim.generate_seed(0, game_seed(bytes(range(32)), 11)))
        assert rows.columns["state"][0] == bytes(start.to_bytes())
