"""moves="all": every placement as one action, in PlacementEnv and PlacementVectorEnv: the
space, the mask against corvelle.placements, the state a step leads to, and the vector env
against the single one game by game."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import masked_choices
from gymnasium.utils.env_checker import check_env
from gymnasium.vector import SyncVectorEnv

import corvelle
from corvelle import placement as pl
from corvelle.envs import PlacementEnv, PlacementVectorEnv


def placement_mask(state):
    mask = np.zeros(pl.ACTION_NB, dtype=np.int8)
    for p in corvelle.placements(state):
        mask[p.action] = 1
    return mask


def test_passes_check_env():
    check_env(PlacementEnv(moves="all"), skip_render_check=True)


def test_spaces():
    assert PlacementEnv(moves="all").action_space.n == pl.ACTION_NB
    assert PlacementEnv().action_space.n == 96
    vec = PlacementVectorEnv(3, moves="all")
    assert vec.single_action_space.n == pl.ACTION_NB
    assert vec.action_space.shape == (3,)
    with pytest.raises(ValueError, match="moves must be 'chains' or 'all'"):
        PlacementEnv(moves="some")
    with pytest.raises(ValueError, match="moves must be 'chains' or 'all'"):
        PlacementVectorEnv(2, moves="some")


def test_a_step_plays_the_placement_its_action_names():
    env = PlacementEnv(moves="all")
    _, info = env.reset(seed=5)
    rng = np.random.default_rng(5)
    for step in range(60):
        state = env.state
        np.testing.assert_array_equal(info["action_mask"], placement_mask(state))
        by_action = {p.action: p for p in corvelle.placements(state)}
        a = int(rng.choice(np.flatnonzero(info["action_mask"])))
        _, reward, terminated, _, info = env.step(a)
        assert env.state.to_bytes() == by_action[a].state.to_bytes()
        assert reward == (env.state.score - state.score)
        assert not info["invalid_action"]
        if terminated:
            break


def test_masked_out_action_changes_nothing():
    env = PlacementEnv(moves="all")
    _, info = env.reset(seed=1)
    before = env.state.to_bytes()
    a = int(np.flatnonzero(info["action_mask"] == 0)[0])
    _, reward, _, _, info = env.step(a)
    assert info["invalid_action"] and reward == 0.0
    assert env.state.to_bytes() == before


@pytest.mark.parametrize("threads", [1, 2])
def test_vector_env_plays_the_games_of_placement_env(threads):
    n = 4
    vec = PlacementVectorEnv(n, moves="all", num_threads=threads)
    ref = SyncVectorEnv([lambda: PlacementEnv(moves="all") for _ in range(n)])
    rng = np.random.default_rng(9)
    obs_v, info_v = vec.reset(seed=30)
    obs_r, info_r = ref.reset(seed=30)
    for step in range(120):
        np.testing.assert_array_equal(info_v["action_mask"], info_r["action_mask"])
        for k in obs_r:
            np.testing.assert_array_equal(obs_v[k], obs_r[k], err_msg=f"{k} at step {step}")
        actions = masked_choices(rng, info_v["action_mask"])
        if step % 9 == 0:
            actions[step % n] = int(np.flatnonzero(info_v["action_mask"][step % n] == 0)[0])
        obs_v, rew_v, term_v, trunc_v, info_v = vec.step(actions)
        obs_r, rew_r, term_r, trunc_r, info_r = ref.step(actions)
        np.testing.assert_array_equal(rew_v, rew_r)
        np.testing.assert_array_equal(term_v, term_r)
        np.testing.assert_array_equal(info_v["invalid_action"], info_r["invalid_action"])
        for i in range(n):
            assert vec.state(i).to_bytes() == ref.envs[i].unwrapped.state.to_bytes()
