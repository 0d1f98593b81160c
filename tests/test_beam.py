"""The beam search bot: the same state, settings and seed give the same placement; every
placement it chooses is one the engine accepts, on states of play and on decoded states the
engine never built; its settings are checked; and every place that takes a bot by name
(`corvelle play`, `corvelle versus`, `corvelle datagen`, the Versus env's opponent) plays it.
"""

from __future__ import annotations

import random
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvelle import _batch, cli, placement, seeded_bot, versus
from corvelle.bots import Beam, weight_set
from corvelle_vim import GameStatePy
from helpers import KINDS, build_state, new_game, pack_board, random_walk, to_py

# Small searches: the tests look at what is chosen, not at how well.
SMALL = dict(width=4, depth=3)


def check_move(state: GameStatePy, p: placement.Placement) -> None:
    """`p` is one of the state's placements and its keys lock one piece."""
    listed = {q.keys: q for q in placement.placements(state)}
    assert p.keys in listed and listed[p.keys] == p
    after = GameStatePy.state_from_bytes(_batch.play_keys(bytes(state.to_bytes()), p.keys))
    assert after.game_over or after.current_pcs != state.current_pcs or p.hold


class TestChoices:
    def test_moves_along_random_play_are_listed_placements(self) -> None:
        rng = random.Random(4)
        bot = Beam(**SMALL)
        states = [s for _, s in random_walk(rng, 300)][::7]
        for state in states:
            p = bot.move(state)
            if state.game_over:
                assert p is None
                continue
            assert p is not None
            check_move(state, p)

    def test_same_state_settings_and_seed_give_the_same_move(self) -> None:
        rng = random.Random(9)
        states = [s for _, s in random_walk(rng, 200) if not s.game_over][::10]
        for seed in (0, 1, 2**64 - 1):
            a, b = Beam(seed=seed, **SMALL), Beam(seed=seed, **SMALL)
            first = [a.move(s) for s in states]
            assert [b.move(s) for s in reversed(states)] == first[::-1]
            assert [a.move(bytes(s.to_bytes())) for s in states] == first

    def test_play_repeats_and_matches_the_native_games(self) -> None:
        start = new_game(bytes(range(32)))
        bot = Beam(**SMALL)
        played = bot.play(start, 40)
        assert len(played) == 40
        assert [p.keys for p in bot.play(start, 40)] == [p.keys for p in played]
        for before, p in zip([start] + [q.state for q in played], played):
            assert p.state.to_bytes() == GameStatePy.state_from_bytes(
                _batch.play_keys(bytes(before.to_bytes()), p.keys)).to_bytes()
        final, figures = _batch.beam_play(bytes(start.to_bytes()), 40, **SMALL)
        assert final == bytes(played[-1].state.to_bytes())
        assert figures["pieces"] == 40
        assert figures["lines"] == played[-1].state.total_lines
        assert figures["attack"] >= figures["back_to_back"] >= 0
        assert bot.play(start, 0) == []

    def test_a_prepared_t_spin_double_is_taken(self) -> None:
        board = ["...G......", "GGG...GGGG", "GGGG.GGGGG"]
        state = to_py(build_state(board, ("T", 0, (18, 3)), queue="IOLJSZTIOLJSZT"))
        p = Beam(width=8, depth=2).move(state)
        assert p is not None and (p.kind, p.lines, p.spin) == ("T", 2, "full")

    def test_a_match_limit_on_keys_is_kept(self) -> None:
        rng = random.Random(2)
        states = [s for _, s in random_walk(rng, 300) if not s.game_over][::15]
        bot = Beam(**SMALL)
        for state in states:
            p = bot.move(state, max_keys=3, incoming=30, back_to_back=True)
            assert p is not None and len(p.keys) <= 3
            check_move(state, p)


kinds = st.integers(0, 6)
# Cell codes: empty, pieces, garbage, ghost, and codes 10 to 15 that read as empty.
codes = st.sampled_from([0, 0, 0, 0, 1, 4, 8, 8, 9, 12])


@st.composite
def decoded_states(draw):
    """States the engine never built: scattered cells of every code, a falling piece anywhere
    (drawn or not, maybe off the board, maybe none), any hold, queue place, waiting garbage,
    spin flag and combo."""
    rows = draw(st.integers(0, 24))
    board = [[draw(codes) if y < rows else 0 for _ in range(10)] for y in range(40)]
    current = None
    if draw(st.integers(0, 9)):
        current = (KINDS[draw(kinds)], draw(st.integers(0, 3)),
                   (draw(st.integers(-3, 39)), draw(st.integers(-3, 9))))
    return build_state(
        pack_board(board),
        current,
        draw=draw(st.booleans()),
        hold=draw(st.none() | st.tuples(st.sampled_from(KINDS), st.booleans())),
        queue=tuple(draw(kinds) for _ in range(14)),
        next_pcs_idx=draw(st.integers(0, 255)),
        garbage_recv=draw(st.integers(0, 60)),
        is_t_spin=draw(st.booleans()),
        combo_counter=draw(st.integers(-128, 127)),
    )


class TestDecodedStates:
    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(decoded_states())
    def test_any_decoded_state_gives_an_accepted_move_or_none(self, s) -> None:
        state = to_py(s)
        p = Beam(**SMALL).move(state)
        if p is None:
            assert placement.placements(state) == []
        else:
            check_move(state, p)

    def test_bytes_that_are_no_state_are_refused(self) -> None:
        data = bytes(new_game().to_bytes())
        with pytest.raises(ValueError):
            _batch.beam_move(data[:20])
        with pytest.raises(TypeError):
            Beam().move("state")  # type: ignore[arg-type]


class TestSettings:
    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            (dict(width=0), ValueError, "width must lie in 1..4096, not 0"),
            (dict(width=4097), ValueError, "width must lie in 1..4096, not 4097"),
            (dict(depth=0), ValueError, "depth must lie in 1..7, not 0"),
            (dict(depth=8), ValueError, "depth must lie in 1..7, not 8"),
            (dict(weights="bold"), ValueError, "weights must be one of default, safe"),
            (dict(seed=-1), ValueError, "seed must lie in 0..18446744073709551615, not -1"),
            (dict(seed=2**64), ValueError, "seed must lie in"),
            (dict(width=2.5), TypeError, "width must be an int, not float"),
        ],
    )
    def test_bad_settings(self, kwargs, error, message) -> None:
        with pytest.raises(error, match=message.replace(".", r"\.").replace("(", r"\(")):
            Beam(**kwargs)

    @pytest.mark.parametrize(
        "kwargs, error",
        [
            (dict(width=0), ValueError),
            (dict(depth=99), ValueError),
            (dict(weights="bold"), ValueError),
            (dict(seed=-1), OverflowError),
            (dict(seed="1"), TypeError),
            (dict(incoming=-1), ValueError),
            (dict(max_keys=-1), ValueError),
        ],
    )
    def test_the_native_search_checks_its_arguments(self, kwargs, error) -> None:
        with pytest.raises(error):
            _batch.beam_move(bytes(new_game().to_bytes()), **kwargs)
        with pytest.raises(ValueError, match="pieces must be 0 or more"):
            _batch.beam_play(bytes(new_game().to_bytes()), -1)

    def test_weight_sets_and_repr(self) -> None:
        state = new_game()
        for name in ("default", "safe"):
            assert Beam(weights=name, **SMALL).move(state) is not None
        assert repr(Beam()) == "Beam(width=16, depth=6, weights='default', seed=0)"

    def test_weights_of_ones_own(self) -> None:
        default = weight_set()
        assert len(default) == 21 and weight_set("safe") != default
        states = [s for _, s in random_walk(random.Random(5), 120) if not s.game_over][::12]
        # The default set spelled out plays as its name does; one changed weight is used.
        named, spelled = Beam(**SMALL), Beam(weights=dict(default), **SMALL)
        assert [named.move(s) for s in states] == [spelled.move(s) for s in states]
        greedy = Beam(weights={"attack": 0.0, "holes": -1000.0}, **SMALL)
        assert greedy.weights == {"attack": 0.0, "holes": -1000.0}
        assert all(greedy.move(s) is not None for s in states)
        with pytest.raises(ValueError, match="unknown weight 'speed'"):
            Beam(weights={"speed": 1.0})
        with pytest.raises(TypeError, match="weight 'holes' must be a number"):
            Beam(weights={"holes": "many"})
        with pytest.raises(ValueError, match="unknown weight 'speed'"):
            _batch.beam_move(bytes(new_game().to_bytes()), weights={"speed": 1.0})
        with pytest.raises(TypeError, match="weights must be a name or a dict"):
            _batch.beam_move(bytes(new_game().to_bytes()), weights=3)


class TestEverywhere:
    def test_seeded_rule_repeats(self) -> None:
        start = new_game(bytes(32))
        moves = []
        for _ in range(2):
            rng = seeded_bot.tie_break_rng(bytes(32))
            out = []
            for code, steps in seeded_bot.moves(start, "beam", rng):
                assert code is not None and steps[-1][0] == "HardDrop"
                out.append((code, tuple(a for a, _ in steps)))
                if len(out) == 8:
                    break
            moves.append(out)
        assert moves[0] == moves[1]

    def test_play_cli(self, capsys) -> None:
        assert cli.main(["play", "--bot", "beam", "--pieces", "6", "--seed", "00" * 32,
                         "--no-progress"]) == 0
        out = capsys.readouterr().out
        assert "pieces      6" in out

    def test_versus_cli_and_matches_repeat(self, capsys) -> None:
        assert cli.main(["versus", "--a", "beam", "--b", "random", "--matches", "1",
                         "--attack", "guideline", "--max-steps", "40", "--seed", "11" * 32,
                         "--no-progress"]) == 0
        assert "a metrics" in capsys.readouterr().out
        seeds = versus.match_seeds(bytes(32), 0)
        a = versus.play_bot_match("beam", "wordpress", *seeds, attack="guideline", max_steps=30)
        b = versus.play_bot_match("beam", "wordpress", *seeds, attack="guideline", max_steps=30)
        assert a.to_bytes() == b.to_bytes()
        assert versus.load_match(a.to_bytes()).match.winner == a.winner
        with pytest.raises(ValueError, match="bot must be one of wordpress, random, beam"):
            versus.play_bot_match("chess", "beam", *seeds)

    def test_datagen_rows_name_each_placement(self, tmp_path: Path) -> None:
        from corvelle.datagen import CHAINS
        from corvelle.datagen._play import GameRows, play_game

        rows = GameRows()
        play_game(rows, 0, bytes(32), "beam", 12)
        c = rows.columns
        ends = [k for k, a in enumerate(c["placement_action"]) if a is not None]
        assert len(ends) == 12
        for k in range(len(rows) - 1):
            assert c["next_state"][k] == c["state"][k + 1]
        start = 0
        for k in ends:
            keys = tuple(c["action"][start:k + 1])
            state = GameStatePy.state_from_bytes(c["chain_state"][k])
            listed = {p.keys: p for p in placement.placements(state)}
            assert listed[keys].action == c["placement_action"][k]
            assert c["chain_start"][k] == start
            assert c["chain_index"][k] is None or CHAINS[c["chain_index"][k]] == keys
            start = k + 1
        pytest.importorskip("pyarrow", reason="writing the dataset needs pyarrow (the data extra)")
        rc = cli.main(["datagen", "--bot", "beam", "--games", "1", "--max-pieces", "3",
                       "--workers", "1", "--out", str(tmp_path / "d"), "--seed", "00" * 32,
                       "--no-progress"])
        assert rc == 0

    def test_minari_takes_beam_datasets_at_the_key_level(self, tmp_path: Path,
                                                         monkeypatch: pytest.MonkeyPatch) -> None:
        pytest.importorskip("minari")
        from corvelle.datagen import generate, to_minari

        monkeypatch.setenv("MINARI_DATASETS_PATH", str(tmp_path / "minari"))
        out = tmp_path / "d"
        generate(str(out), 2, bot="beam", seed=bytes(32), max_pieces=6, workers=1)
        with pytest.raises(ValueError, match="played by the 'beam' bot"):
            to_minari(str(out), "corvelle/placement/beam-v0")
        dataset = to_minari(str(out), "corvelle/keys/beam-v0", level="keys")
        assert dataset.total_episodes == 2

    def test_the_bot_protocol_serves_it(self) -> None:
        import sys

        from corvelle import tbp
        from corvelle_vim import generate_seed

        seed = bytes(range(32))
        start = GameStatePy(generate_seed(0, seed))
        command = [sys.executable, "-m", "corvelle", "tbp", "--bot", "beam", "--seed", seed.hex()]
        with tbp.Frontend(command) as frontend:
            result = frontend.play_game(start, 15)
        assert not result.forfeit and len(result.played) == 15
        choose = tbp.engine_chooser("beam", seeded_bot.tie_break_rng(seed))
        state = start
        for played in result.played:
            (own,) = choose(state)
            assert own.keys == played.keys
            state = own.state

    @pytest.mark.parametrize("mode, moves", [("placement", "chains"), ("placement", "all"),
                                             ("keys", "chains")])
    def test_versus_env_opponent(self, mode: str, moves: str) -> None:
        gymnasium = pytest.importorskip("gymnasium")
        import corvelle.envs  # noqa: F401

        env = gymnasium.make("corvelle/Versus-v0", opponent="beam", mode=mode, moves=moves,
                             attack="guideline", max_steps=25)
        _, info = env.reset(seed=3)
        done = False
        while not done:
            action = int(info["action_mask"].nonzero()[0][0])
            _, _, terminated, truncated, info = env.step(action)
            assert not info["invalid_action"]
            done = terminated or truncated
        assert info["metrics"]["players"][1]["pieces"] > 0
