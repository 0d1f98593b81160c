"""observations_from_bytes: stored states turned into exactly the observations the
environments give, natively and in one batch."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import masked_choices, random_states

import corvelle_vim
from corvelle.bytestate import decode
from corvelle.envs import KeyEnv, PlacementVectorEnv, observations_from_bytes
from corvelle.envs.obs import OBS_KEYS, OBS_SHAPES, observation_from_state


@pytest.fixture(scope="module")
def states():
    # Random play to knockout (finished games, held pieces, combos, garbage-free boards) and
    # the odd states the engine can hold: no falling piece, a game over with a piece.
    import helpers

    made = random_states(11, 4)
    made.append(helpers.make_state(None))
    made.append(helpers.make_state("GGGGGGGGG.", ("T", 1, (20, 4), 7), game_over_reason=0))
    return made


def test_equals_the_python_path_on_every_state(states):
    got = observations_from_bytes([bytes(s) for s in states])
    assert set(got) == set(OBS_KEYS)
    for k, (dtype, shape) in OBS_SHAPES.items():
        assert got[k].dtype == dtype and got[k].shape == (len(states),) + shape
    for i, s in enumerate(states):
        expected = observation_from_state(decode(bytes(s)))
        for k in OBS_KEYS:
            np.testing.assert_array_equal(got[k][i], expected[k], err_msg=f"{k} of state {i}")


def test_equals_what_the_vector_env_observes():
    vec = PlacementVectorEnv(4)
    obs, info = vec.reset(seed=3)
    rng = np.random.default_rng(0)
    for _ in range(200):
        obs, _, _, _, info = vec.step(masked_choices(rng, info["action_mask"]))
        got = observations_from_bytes([bytes(vec.state(i)) for i in range(4)])
        for k in OBS_KEYS:
            np.testing.assert_array_equal(got[k], obs[k], err_msg=k)


def test_key_env_observation_of_a_stored_state(states):
    env = KeyEnv()
    for s in states[::37]:
        obs, _ = env.reset(options={"state": s})
        got = observations_from_bytes([bytes(s)])
        for k in OBS_KEYS:
            np.testing.assert_array_equal(got[k][0], obs[k], err_msg=k)


def test_accepts_any_bytes_like_and_iterables(states):
    data = [bytes(s) for s in states[:20]]
    expected = observations_from_bytes(data)
    for form in (tuple(data), [bytearray(d) for d in data], [memoryview(d) for d in data],
                 iter(data), (d + b"\x00" * 9 for d in data)):
        got = observations_from_bytes(form)
        for k in OBS_KEYS:
            np.testing.assert_array_equal(got[k], expected[k])
    empty = observations_from_bytes([])
    assert all(empty[k].shape[0] == 0 for k in OBS_KEYS)


def test_a_pandas_column():
    pd = pytest.importorskip("pandas")
    s = corvelle_vim.GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
    column = pd.Series([bytes(t) for _, t in s.generate_bot_episode("wordpress", 50)])
    got = observations_from_bytes(column)
    assert got["board"].shape == (50, 20, 10)


def test_writes_into_given_arrays(states):
    n = 12
    data = [bytes(s) for s in states[:n]]
    buffers = {k: np.full((n,) + shape, 99, dtype=dtype) for k, (dtype, shape) in OBS_SHAPES.items()}
    out = observations_from_bytes(data, obs=buffers)
    assert out is buffers
    expected = observations_from_bytes(data)
    for k in OBS_KEYS:
        np.testing.assert_array_equal(buffers[k], expected[k])


def test_bad_input(states):
    good = bytes(states[0])
    with pytest.raises(ValueError, match=r"^states\[1\]: io error: unexpected end of file$"):
        observations_from_bytes([good, good[:100]])
    with pytest.raises(TypeError, match=r"states\[0\] must be a bytes-like byte form, not int"):
        observations_from_bytes([5])
    wrong = {k: np.zeros((2,) + shape, dtype=dtype) for k, (dtype, shape) in OBS_SHAPES.items()}
    wrong["counters"] = np.zeros((2, 4), dtype=np.int64)
    with pytest.raises(ValueError, match=r"obs\['counters'\] must be a C-contiguous int32"):
        observations_from_bytes([good, good], obs=wrong)
    wrong["counters"] = np.zeros((4, 2), dtype=np.int32).T
    with pytest.raises(ValueError, match=r"obs\['counters'\]"):
        observations_from_bytes([good, good], obs=wrong)


def test_states_the_engine_did_not_build_never_crash_it():
    # Decodable states with any field values (a piece off the board, a queue index past the
    # queue, odd cell codes): each gives an observation, the same as the Python path's
    # wherever the falling piece lies on the board.
    from hypothesis import given, settings
    from test_hostile_states import off_board, states, to_py

    @settings(max_examples=60, deadline=None)
    @given(states)
    def check(s):
        data = bytes(to_py(s))
        got = observations_from_bytes([data, data])
        for k in OBS_KEYS:
            np.testing.assert_array_equal(got[k][0], got[k][1])
        assert set(np.unique(got["board"])) <= {0, 1}
        if not off_board(s):
            expected = observation_from_state(decode(data))
            for k in OBS_KEYS:
                np.testing.assert_array_equal(got[k][0], expected[k], err_msg=k)

    check()
