"""After-state features: each action's row against a plain numpy reading of the state that
action leads to, masked rows zero, and the option under every observation form."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import masked_choice, settled_rows
from gymnasium.utils.env_checker import check_env

from corvelle import _batch, placements
from corvelle.bytestate import ROWS, decode
from corvelle.envs import ALL_CHAINS, PlacementEnv


def plain_features(before: bytes, after: bytes) -> np.ndarray:
    s = decode(after)
    solid = settled_rows(after, ROWS)[::-1].astype(bool)  # row 0 first
    heights = np.array([np.flatnonzero(solid[:, x]).max() + 1 if solid[:, x].any() else 0
                        for x in range(10)])
    holes = sum(int((~solid[: h, x]).sum()) for x, h in enumerate(heights))
    walled = np.concatenate([[ROWS], heights, [ROWS]])
    wells = sum(max(0, min(walled[x], walled[x + 2]) - walled[x + 1]) for x in range(10))
    rows = np.pad(solid[: heights.max()], ((0, 0), (1, 1)), constant_values=True)
    transitions = int((rows[:, 1:] != rows[:, :-1]).sum())
    return np.array([
        s.total_lines - decode(before).total_lines, holes, heights.max(), heights.sum(),
        np.abs(np.diff(heights)).sum(), wells, transitions, s.game_over,
    ], dtype=np.float32)


@pytest.mark.parametrize("moves", ["chains", "all"])
def test_each_row_is_what_its_action_leaves(moves):
    env = PlacementEnv(moves=moves, afterstates=True)
    rng = np.random.default_rng(2)
    obs, info = env.reset(seed=2)
    checked = 0
    for _ in range(40 if moves == "all" else 120):
        state = env.state
        rows, mask = obs["afterstates"], info["action_mask"].astype(bool)
        assert not rows[~mask].any() and rows.flags.writeable
        if moves == "chains":
            origin = bytes(state)
            for c in np.flatnonzero(mask):
                after = bytes(_batch.play_keys(origin, ALL_CHAINS[c]))
                np.testing.assert_array_equal(rows[c], plain_features(origin, after), str(c))
                checked += 1
        else:
            for p in placements(state):
                np.testing.assert_array_equal(rows[p.action], plain_features(bytes(state), bytes(p.state)))
                checked += 1
        obs, _, terminated, _, info = env.step(masked_choice(rng, info["action_mask"]))
        if terminated:
            obs, info = env.reset()
    assert checked > 1000


def test_afterstates_under_every_form():
    for form in ("dict", "flat", "image"):
        env = PlacementEnv(afterstates=True, obs=form, mask_in_obs=form == "flat")
        check_env(env, skip_render_check=True)
        obs, _ = env.reset(seed=1)
        assert obs in env.observation_space
    flat = PlacementEnv(afterstates=True, obs="flat").reset(seed=1)[0]
    rows = PlacementEnv(afterstates=True).reset(seed=1)[0]["afterstates"]
    np.testing.assert_array_equal(flat[-rows.size:], rows.ravel())
    env = PlacementEnv()
    env.reset(seed=1)
    with pytest.raises(ValueError, match="moves must be 'chains' or 'all'"):
        _batch.afterstates(bytes(env.state), moves="x")
    with pytest.raises(ValueError, match="placement batch"):
        _batch.Batch(1, mode="keys").afterstates()

