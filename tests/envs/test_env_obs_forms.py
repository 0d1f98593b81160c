"""Observation options obs="dict"|"flat" and mask_in_obs: Gymnasium's checker, what the flat
vector holds, and the vector envs against SyncVectorEnv of single envs under each option."""

from __future__ import annotations

import warnings

import pytest

pytest.importorskip("gymnasium")

import gymnasium as gym
import numpy as np
from envs_support import masked_choices, settled_rows
from gymnasium.utils.env_checker import check_env
from gymnasium.vector import AutoresetMode, SyncVectorEnv

from corvelle import _batch
from corvelle.bytestate import decode
from corvelle.envs import OBS_KEYS, KeyEnv, PlacementEnv, observations_from_bytes
from corvelle.envs.obs import FLAT_SIZE

FORMS = [("dict", False), ("dict", True), ("flat", False), ("flat", True)]
OPTIONS = [{"obs": o, "mask_in_obs": m} for o, m in FORMS] + [
    {"hidden_rows": 2},
    {"obs": "flat", "hidden_rows": 20, "mask_in_obs": True},
    {"obs": "image"},
    {"obs": "image", "hidden_rows": 20, "mask_in_obs": True},
]
SINGLE = {"corvelle/Placement-v0": PlacementEnv, "corvelle/Key-v0": KeyEnv}
# Each env's options, the placement env's own (what each action leaves) included.
VECTOR_CASES = [(env_id, kwargs) for env_id in SINGLE for kwargs in OPTIONS[1:]] + [
    ("corvelle/Placement-v0", {"afterstates": True}),
    ("corvelle/Placement-v0", {"obs": "flat", "mask_in_obs": True, "afterstates": True}),
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("cls", [PlacementEnv, KeyEnv])
def test_check_env_under_every_observation_option(cls, options):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(cls(**options), skip_render_check=True)


@pytest.mark.parametrize("cls", [PlacementEnv, KeyEnv])
def test_hidden_rows_show_the_rows_above_the_visible_board(cls):
    k = 20
    env, plain = cls(hidden_rows=k), cls()
    rng = np.random.default_rng(6)
    obs, info = env.reset(seed=6)
    plain.reset(seed=6)
    seen_hidden = 0
    for _ in range(2500 if cls is KeyEnv else 400):
        data = bytes(env.state)
        np.testing.assert_array_equal(obs["board"], settled_rows(data, 20 + k))
        np.testing.assert_array_equal(observations_from_bytes([data], hidden_rows=k)["board"][0], obs["board"])
        seen_hidden += bool(obs["board"][:k].any())
        action = masked_choices(rng, info["action_mask"][None])[0]
        obs, _, term, _, info = env.step(action)
        plain_obs = plain.step(action)[0]
        np.testing.assert_array_equal(obs["board"][k:], plain_obs["board"])
        if term:
            np.testing.assert_array_equal(obs["board"], settled_rows(bytes(env.state), 20 + k))
            seen_hidden += bool(obs["board"][:k].any())
            obs, info = env.reset()
            plain.reset()
    assert seen_hidden  # stacks reached the hidden rows
    with pytest.raises(ValueError, match="hidden_rows must be in 0..20, not 21"):
        cls(hidden_rows=21)
    with pytest.raises(ValueError, match="hidden_rows must be in 0..20, not -1"):
        _batch.Batch(1, hidden_rows=-1)


@pytest.mark.parametrize("cls", [PlacementEnv, KeyEnv])
def test_the_flat_vector_is_the_dict_in_order_then_the_mask(cls):
    plain, flat = cls(), cls(obs="flat", mask_in_obs=True)
    rng = np.random.default_rng(4)
    d, info = plain.reset(seed=4)
    f, _ = flat.reset(seed=4)
    for _ in range(150):
        mask = info["action_mask"]
        assert f.dtype == np.float32 and f.shape == (FLAT_SIZE + len(mask),)
        expected = np.concatenate([d[k].reshape(-1) for k in OBS_KEYS] + [mask])
        np.testing.assert_array_equal(f, expected)
        assert flat.observation_space.contains(f)
        action = masked_choices(rng, mask[None])[0]
        d, _, term, _, info = plain.step(action)
        f = flat.step(action)[0]
        if term:
            d, info = plain.reset()
            f, _ = flat.reset()


def test_bad_observation_option():
    with pytest.raises(ValueError, match="obs must be 'dict', 'flat' or 'image', not 'cube'"):
        PlacementEnv(obs="cube")


@pytest.mark.parametrize("cls", [PlacementEnv, KeyEnv])
def test_image_planes_are_the_board_and_the_falling_piece(cls):
    env, plain = cls(obs="image", hidden_rows=20), cls(hidden_rows=20)
    rng = np.random.default_rng(2)
    img, info = env.reset(seed=2)
    d, _ = plain.reset(seed=2)
    overs = 0
    for _ in range(1500 if cls is KeyEnv else 300):
        planes = img["image"]
        assert planes.dtype == np.uint8 and planes.shape == (2, 40, 10)
        np.testing.assert_array_equal(planes[0], d["board"])
        for k in ("next", "hold", "counters"):
            np.testing.assert_array_equal(img[k], d[k])
        s = env.state
        if s.game_over:
            assert not planes[1].any()
        else:
            # Four cells, none on a solid one, and the piece's own: the board drawn with the
            # piece is the board without it plus these cells.
            kind, rotation, (row, column) = s.current_pcs
            assert planes[1].sum() == 4 and not (planes[0] & planes[1]).any()
            drawn = (np.frombuffer(decode(bytes(s)).cells, np.uint8).reshape(40, 10) != 0)[::-1]
            np.testing.assert_array_equal(drawn & (planes[1] == 1), planes[1] == 1)
        action = masked_choices(rng, info["action_mask"][None])[0]
        img, _, term, _, info = env.step(action)
        d = plain.step(action)[0]
        if term:
            overs += 1
            assert not img["image"][1].any()
            img, info = env.reset()
            d, _ = plain.reset()
    assert overs


def same(a, b):
    if isinstance(b, dict):
        return set(a) == set(b) and all(same(a[k], b[k]) for k in b)
    return np.asarray(a).dtype == np.asarray(b).dtype and np.array_equal(a, b)


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
@pytest.mark.parametrize("env_id, kwargs", VECTOR_CASES)
def test_vector_env_against_sync_vector_env(env_id, kwargs, mode):
    n = 3
    vec = gym.make_vec(
        env_id, n, vectorization_mode="vector_entry_point", autoreset_mode=mode,
        max_episode_steps=30, **kwargs,
    )
    ref = SyncVectorEnv(
        [lambda: gym.wrappers.TimeLimit(SINGLE[env_id](**kwargs), 30) for _ in range(n)],
        autoreset_mode=mode,
    )
    assert vec.single_observation_space == ref.single_observation_space
    a, info = vec.reset(seed=9)
    b, _ = ref.reset(seed=9)
    assert same(a, b)
    rng = np.random.default_rng(9)
    ended = 0
    for _ in range(100):
        actions = masked_choices(rng, info["action_mask"])
        a, _, term, trunc, info = vec.step(actions)
        b, _, _, _, ref_info = ref.step(actions)
        assert same(a, b)
        assert vec.observation_space.contains(a)
        if mode == AutoresetMode.SAME_STEP:
            for i in np.flatnonzero(term | trunc):
                ended += 1
                assert same(info["final_obs"][i], ref_info["final_obs"][i])
    assert mode == AutoresetMode.NEXT_STEP or ended
