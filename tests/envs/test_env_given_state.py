"""reset(options={"state": ...}): every environment continues from a given GameStatePy exactly as
if it had reached that state by playing."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import random_states

import corvelle_vim
from corvelle.envs import KeyEnv, PlacementEnv, PlacementVectorEnv


def mid_game(n: int = 40) -> corvelle_vim.GameStatePy:
    s = corvelle_vim.GameStatePy(corvelle_vim.generate_seed(5, bytes(range(32))))
    return s.generate_bot_episode("wordpress", n)[-1][1]


def assert_obs_equal(a, b):
    assert a.keys() == b.keys()
    for k in a:
        np.testing.assert_array_equal(a[k], b[k], err_msg=k)


def test_placement_and_key_envs_continue_from_the_given_state():
    start = mid_game()
    place, keys = PlacementEnv(), KeyEnv()
    obs_p, info_p = place.reset(seed=1, options={"state": start})
    obs_k, info_k = keys.reset(seed=1, options={"state": start})
    assert place.state == start and keys.state == start
    assert_obs_equal(obs_p, obs_k)
    # The next step plays on from the given state: chain 0 (HardDrop) in one, the same
    # hard drop in the other.
    after_p = place.step(0)
    after_k = keys.step(0)
    expected = dict(start.next_actions_and_states)["HardDrop"]
    assert place.state == expected and keys.state == expected
    assert_obs_equal(after_p[0], after_k[0])
    assert after_p[1] == after_k[1] == float(expected.score - start.score)


def test_a_finished_game_given_as_state_is_terminated_at_once():
    over = next(s for s in random_states(3, 2) if s.game_over)
    env = KeyEnv()
    _, info = env.reset(options={"state": over})
    assert not info["action_mask"].any()
    _, _, terminated, _, _ = env.step(0)
    assert terminated and env.state == over


def test_vector_env_takes_one_state_per_game():
    start = mid_game(25)
    vec = PlacementVectorEnv(3)
    obs, _ = vec.reset(seed=2, options={"state": [None, start, None]})
    assert vec.state(1) == start
    single = PlacementEnv()
    expected, _ = single.reset(options={"state": start})
    for k in expected:
        np.testing.assert_array_equal(obs[k][1], expected[k])
    # A reset mask leaves the games it skips as they were, given state or not.
    before = vec.state(1)
    vec.reset(options={"reset_mask": np.array([True, False, True]),
                       "state": [start, mid_game(5), None]})
    assert vec.state(0) == start and vec.state(1) == before


@pytest.mark.parametrize("env_cls", [PlacementEnv, KeyEnv])
def test_bad_given_state(env_cls):
    with pytest.raises(TypeError, match=r"options\['state'\] must be a GameStatePy, not bytes"):
        env_cls().reset(options={"state": bytes(mid_game(2))})
    seed = corvelle_vim.generate_seed(0, bytes(32))
    with pytest.raises(ValueError, match="not both"):
        env_cls().reset(options={"state": mid_game(2), "game_seed": seed})
    with pytest.raises(ValueError, match="must list 2 states"):
        PlacementVectorEnv(2).reset(options={"state": [None]})
