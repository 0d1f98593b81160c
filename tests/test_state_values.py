"""GameStatePy and GameSeedPy as values: pickling and copying through the byte form, equality
and hashing by byte form, the short repr, bytes(state), and states crossing a process
boundary."""

from __future__ import annotations

import copy
import multiprocessing
import pickle

import pytest

from corvelle_vim import GameSeedPy, GameStatePy, generate_random_seed, generate_seed

import helpers


def long_game(seed: int, n: int = 1500) -> list:
    s = GameStatePy(generate_seed(seed, bytes(range(seed, seed + 32))))
    return [s] + [t for _, t in s.generate_bot_episode("wordpress", n)]


@pytest.mark.parametrize("seed", [0, 7])
def test_pickle_and_copies_round_trip_along_long_games(seed):
    states = long_game(seed)
    assert len(states) > 200
    for s in states:
        for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
            back = pickle.loads(pickle.dumps(s, protocol=protocol))
            assert type(back) is GameStatePy
            assert back == s and back.to_bytes() == s.to_bytes()
            assert hash(back) == hash(s)
        assert copy.deepcopy(s) == s and copy.copy(s) == s
    # A whole list pickles as one object graph too, and keeps its order.
    assert pickle.loads(pickle.dumps(states)) == states


def test_pickled_states_play_on_alike():
    s = long_game(3, 60)[-1]
    back = pickle.loads(pickle.dumps(s))
    assert back.get_valid_move_chains() == s.get_valid_move_chains()
    assert back.next_actions_and_states == s.next_actions_and_states
    assert _play_on(back, 20) == _play_on(s, 20)


def test_equality_and_hash_follow_the_byte_form():
    a = GameStatePy(generate_seed(1, bytes(32)))
    b = GameStatePy(generate_seed(1, bytes(32)))
    c = GameStatePy(generate_seed(2, bytes(32)))
    assert a is not b and a == b and not (a != b)
    assert hash(a) == hash(b) == hash(bytes(a))
    assert a != c and not (a == c)
    assert len({a, b, c}) == 2
    # A state one action apart differs; unrelated types compare unequal, never raise.
    moved = dict(a.next_actions_and_states)["MoveLeft"]
    assert moved != a
    assert a != bytes(a) and a != a.to_bytes() and a != None  # noqa: E711
    with pytest.raises(TypeError):
        a < b  # noqa: B015


def test_bytes_gives_the_byte_form_and_to_bytes_keeps_its_list():
    s = long_game(5, 80)[-1]
    assert isinstance(bytes(s), bytes)
    assert list(bytes(s)) == s.to_bytes()
    assert isinstance(s.to_bytes(), list)
    assert GameStatePy.state_from_bytes(bytes(s)) == s


def test_state_repr_is_short_and_names_the_facts():
    s = GameStatePy(generate_seed(0, bytes(32)))
    kind = s.current_pcs[0]
    assert repr(s) == f"GameStatePy(piece='{kind}', score=0, lines=0, moves=0, game_over=False)"
    last = long_game(11, 2000)[-1]
    text = repr(last)
    assert f"score={last.score}," in text and f"lines={last.total_lines}," in text
    assert f"moves={last.total_move_count}," in text
    assert text.endswith(f"game_over={last.game_over})")
    assert len(text) < 100
    no_piece = helpers.make_state(None)
    assert repr(no_piece).startswith("GameStatePy(piece=None, ")


def test_seeds_are_values_too():
    a = generate_seed(-5, list(range(32)))
    b = generate_seed(-5, bytes(range(32)))
    assert a == b and hash(a) == hash(b) and a is not b
    assert a != generate_seed(-4, bytes(range(32)))
    assert a != generate_seed(-5, bytes(32))
    for back in (pickle.loads(pickle.dumps(a)), copy.deepcopy(a), copy.copy(a)):
        assert type(back) is GameSeedPy and back == a
        assert back.ts == -5 and back.seed == list(range(32))
    assert repr(a) == "GameSeedPy(ts=-5, seed='" + bytes(range(32)).hex() + "')"
    r = generate_random_seed()
    assert pickle.loads(pickle.dumps(r)) == r


def _play_on(state: GameStatePy, n: int = 40) -> list:
    # A deterministic walk: always the last chain get_valid_move_chains keeps.
    out = []
    for _ in range(n):
        kept = state.get_valid_move_chains()
        if not kept:
            break
        state = kept[-1][1]
        out.append(state)
    return out


def _play_remote(state: GameStatePy) -> tuple:
    # Runs in another process: plays on and sends the states back.
    return state, _play_on(state)


def test_states_cross_a_process_boundary():
    start = long_game(9, 50)[-1]
    expected = _play_on(start)
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(1) as pool:
        echoed, played = pool.apply(_play_remote, (start,))
    assert echoed == start
    assert played == expected
