"""The datagen bot: seeds, masks, and the choice it makes against the engine's own bots."""

from __future__ import annotations

import hashlib
import importlib
from typing import List, Optional, Tuple

import corvelle_vim
import pytest
from corvelle_vim import GameStatePy

from corvelle.datagen import BOTS, CHAINS, chain_mask, game_seed, random_score, wordpress_score
from corvelle.datagen._play import GameRows, _choose, _tie_break_rng, canonical_chain, play_game


def _states(bot: str, games: int, pieces: int) -> List[GameStatePy]:
    """The states at the start of every chain of a few games of the engine's bot."""
    found = []
    for g in range(games):
        state = GameStatePy(corvelle_vim.generate_seed(0, game_seed(bytes(32), g)))
        found.append(state)
        for action, after in state.generate_bot_episode(bot, pieces * 10):
            if action == "HardDrop":
                found.append(after)
        if len(found) > games * pieces:
            break
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


class TestScores:
    @pytest.mark.parametrize(
        "args, wordpress, random",
        [
            ((0, 0, 0, 0), 0.0, 0.0),
            ((1, 0, 0, 0), 0.76, 0.76),
            ((0, 3, 3, 3), ((0 * 0.76 - 3 * 0.51) + 3 * -0.35) + 3 * -0.18, 3 * -0.51),
            ((4, 7, 2, 5), ((4 * 0.76 - 7 * 0.51) + 2 * -0.35) + 5 * -0.18, 4 * 0.76 + 7 * -0.51),
        ],
    )
    def test_board_scores(
        self, args: Tuple[int, int, int, int], wordpress: float, random: float
    ) -> None:
        assert wordpress_score(*args) == wordpress
        assert random_score(*args) == random

    def test_registry(self) -> None:
        assert BOTS == {"wordpress": wordpress_score, "random": random_score}


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


def _engine_outcome(state: GameStatePy, bot: str) -> Optional[Tuple[float, int]]:
    """The score and length of the chain the engine's bot picks, None for its SoftDrop."""
    move = state.bot_moves_raw(bot)
    if move == ["SoftDrop"]:
        return None
    for names, after in state.get_valid_move_chains():
        if names == move:
            lines = (after.total_lines - state.total_lines) & 0xFFFF
            return BOTS[bot](lines, after.height - 1, after.holes, after.bumpi), len(move)
    raise AssertionError(f"the bot's move {move} is not a valid chain")


class TestChoice:
    @pytest.mark.parametrize("bot", ["wordpress", "random"])
    def test_scores_as_well_as_the_engine_bot(self, bot: str) -> None:
        """The engine's bot breaks ties at random, so only the score and the length of its
        choice are fixed: the choice here must match both."""
        rng = _tie_break_rng(bytes(32))
        for state in _states(bot, 4, 40):
            valid = state.get_valid_move_chains()
            choice = _choose(state, valid, chain_mask(valid), BOTS[bot], rng)
            expected = _engine_outcome(state, bot)
            if choice is None:
                assert expected is None
                continue
            index, after = choice
            lines = (after.total_lines - state.total_lines) & 0xFFFF
            score = BOTS[bot](lines, after.height - 1, after.holes, after.bumpi)
            assert (score, len(CHAINS[index])) == expected
            assert index == canonical_chain(index)

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
        assert _engine_outcome(state, "random") is None
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
