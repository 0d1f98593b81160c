"""PlacementEnv, which runs its game natively, against a plain reading of the engine's Python
API step by step: the successor states of `get_valid_move_chains()` or
`corvelle.placements()`, observations read from each state's byte form, rewards from the
states before and after; its replay files against the actions the steps played; and a
pickled env, whose native game travels as its state's byte form."""

from __future__ import annotations

import pickle

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import ALL_CHAINS, masked_choice

import corvelle
import corvelle_vim
from corvelle import _batch, load
from corvelle.envs import PlacementEnv
from corvelle.envs.obs import ObservationForm, observations_from_bytes


def successors(state, moves):
    """{action: (key names, state it leads to)} for every action the state allows."""
    if moves == "chains":
        kept = {tuple(c): s for c, s in state.get_valid_move_chains()}
        return {i: (c, kept[c]) for i, c in enumerate(ALL_CHAINS) if c in kept}
    return {p.action: (p.keys, p.state) for p in corvelle.placements(state)}


def expected_step(state, moves, form):
    """(observation, mask, over) of a state, as the env should show it."""
    data = bytes(state.to_bytes())
    rows = observations_from_bytes([data], hidden_rows=form.hidden_rows)
    mask = np.zeros(form.action_nb, dtype=np.int8)
    mask[list(successors(state, moves))] = 1
    obs = {k: v[0] for k, v in rows.items()}
    return form(obs, mask, state.game_over), mask


def assert_same_obs(got, want, where):
    if isinstance(want, dict):
        assert got.keys() == want.keys(), where
        for k in want:
            np.testing.assert_array_equal(got[k], want[k], err_msg=f"{k} {where}")
            assert got[k].dtype == want[k].dtype, where
    else:
        np.testing.assert_array_equal(got, want, err_msg=where)
        assert got.dtype == want.dtype, where


# (moves, reward, obs, mask_in_obs, hidden_rows); "callable" is the shaped reward computed
# in Python from the states the callable is handed.
CASES = [
    ("chains", "score", "dict", False, 0),
    ("chains", "lines", "flat", True, 2),
    ("chains", "callable", "image", True, 0),
    ("all", "shaped", "dict", True, 3),
    ("all", "callable", "flat", False, 0),
]


@pytest.mark.parametrize("moves, reward, obs, mask_in_obs, hidden_rows", CASES)
def test_steps_match_the_engine_api(moves, reward, obs, mask_in_obs, hidden_rows):
    calls = []

    def shaped_in_python(before, after, info):
        calls.append((bytes(before.to_bytes()), bytes(after.to_bytes()), info))
        return 0.5 + _batch.step_reward("shaped", calls[-1][0], calls[-1][1])

    kind = shaped_in_python if reward == "callable" else reward
    env = PlacementEnv(
        reward=kind, moves=moves, obs=obs, mask_in_obs=mask_in_obs, hidden_rows=hidden_rows
    )
    form = ObservationForm(obs, mask_in_obs, env.action_space.n, hidden_rows)
    rng = np.random.default_rng(hidden_rows)
    steps = 0
    for episode in range(3 if moves == "chains" else 2):
        game_seed = corvelle_vim.generate_seed(episode, rng.bytes(32))
        state = corvelle_vim.GameStatePy(game_seed)
        got, info = env.reset(options={"game_seed": game_seed})
        want, mask = expected_step(state, moves, form)
        assert_same_obs(got, want, f"reset {episode}")
        terminated = False
        while not terminated and steps < 400:
            steps += 1
            np.testing.assert_array_equal(info["action_mask"], mask)
            if steps % 7 == 0 and not mask.all():
                a = int(np.flatnonzero(mask == 0)[steps % (mask == 0).sum()])
            else:
                a = masked_choice(rng, mask)
            calls.clear()
            got, r, terminated, truncated, info = env.step(a)
            where = f"episode {episode} step {steps}"
            if not mask[a]:
                invalid = (r, terminated, truncated, info["invalid_action"])
                assert invalid == (0.0, False, False, True), where
                assert calls == []
            else:
                after = successors(state, moves)[a][1]
                before_bytes, after_bytes = bytes(state.to_bytes()), bytes(after.to_bytes())
                want_kind = "shaped" if reward == "callable" else reward
                want_r = _batch.step_reward(want_kind, before_bytes, after_bytes)
                if reward == "callable":
                    want_r += 0.5
                    assert calls == [(before_bytes, after_bytes, info)], where
                assert (r, terminated, truncated, info["invalid_action"]) == (
                    want_r, after.game_over, False, False
                ), where
                state = after
            assert env.state.to_bytes() == state.to_bytes(), where
            want, mask = expected_step(state, moves, form)
            assert_same_obs(got, want, where)
            np.testing.assert_array_equal(env.action_masks(), mask == 1)
        # A finished game refuses every action and stays finished.
        if terminated:
            _, r, again, _, info = env.step(0)
            assert (r, again, info["invalid_action"]) == (0.0, True, True)


@pytest.mark.parametrize("moves", ["chains", "all"])
def test_replays_record_every_action_of_each_step(tmp_path, moves):
    env = PlacementEnv(moves=moves, replay_dir=tmp_path)
    rng = np.random.default_rng(4)
    _, info = env.reset(seed=4)
    start = env.state
    played, after_step = [], []
    terminated = False
    while not terminated:
        mask = info["action_mask"]
        a = masked_choice(rng, mask)
        keys = successors(env.state, moves)[a][0]
        _, _, terminated, _, info = env.step(a)
        played.append(keys)
        after_step.append(env.state.to_bytes())
    initial, steps = load(env.replays.paths[0])
    assert initial.to_bytes() == start.to_bytes()
    assert [name for name, _ in steps] == [k for keys in played for k in keys]
    ends = np.cumsum([len(keys) for keys in played]) - 1
    assert [steps[e][1].to_bytes() for e in ends] == after_step


@pytest.mark.parametrize("moves", ["chains", "all"])
def test_a_pickled_env_goes_on_alike(moves):
    env = PlacementEnv(moves=moves, obs="flat", hidden_rows=1)
    rng = np.random.default_rng(6)
    _, info = env.reset(seed=6)
    for _ in range(5):
        _, _, _, _, info = env.step(masked_choice(rng, info["action_mask"]))
    twin = pickle.loads(pickle.dumps(env))
    assert pickle.loads(pickle.dumps(PlacementEnv())).reward_kind == "score"
    for _ in range(30):
        a = masked_choice(rng, info["action_mask"])
        got, want = twin.step(a), env.step(a)
        np.testing.assert_array_equal(got[0], want[0])
        assert got[1:4] == want[1:4]
        np.testing.assert_array_equal(got[4]["action_mask"], want[4]["action_mask"])
        assert twin.state.to_bytes() == env.state.to_bytes()
        info = want[4]
        if want[2]:
            twin.reset(), env.reset()
