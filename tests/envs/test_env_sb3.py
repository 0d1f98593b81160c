"""Stable-Baselines3 and sb3-contrib on the envs as users call them: MaskablePPO on the single
envs unchanged, the native SB3 VecEnv against SB3's DummyVecEnv, training through it, and the
example script."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("gymnasium")
pytest.importorskip("torch", reason="torch is not installed (pip install torch, or the rl extra)")
pytest.importorskip("sb3_contrib", reason="sb3-contrib is not installed (the rl extra)")

import gymnasium as gym
import numpy as np
from envs_support import masked_choices
from sb3_contrib import MaskablePPO
from stable_baselines3.common.env_checker import check_env as sb3_check_env
from stable_baselines3.common.vec_env import DummyVecEnv

from corvelle.envs import OBS_KEYS, KeyEnv, PlacementEnv
from corvelle.envs.sb3 import make_vec_env

ROOT = Path(__file__).resolve().parents[2]
IDS = ["corvelle/Placement-v0", "corvelle/Key-v0"]
SINGLE = {"corvelle/Placement-v0": PlacementEnv, "corvelle/Key-v0": KeyEnv}


@pytest.mark.parametrize(
    "policy, kwargs", [("MultiInputPolicy", {}), ("MlpPolicy", {"obs": "flat", "mask_in_obs": True})]
)
@pytest.mark.parametrize("env_id", IDS)
def test_maskable_ppo_trains_on_the_single_env_as_made(env_id, policy, kwargs):
    env = gym.make(env_id, **kwargs)
    sb3_check_env(env.unwrapped, warn=False)
    model = MaskablePPO(policy, env, n_steps=128, batch_size=64, n_epochs=1, seed=0)
    model.learn(300)
    assert model.num_timesteps >= 300


@pytest.mark.parametrize("env_id", IDS)
def test_the_native_vec_env_steps_as_dummy_vec_env_of_single_envs(env_id):
    n, limit = 4, 40
    native = make_vec_env(env_id, n, seed=7, reward="shaped", max_episode_steps=limit)
    dummy = DummyVecEnv(
        [lambda: gym.wrappers.TimeLimit(SINGLE[env_id](reward="shaped"), limit) for _ in range(n)]
    )
    dummy.seed(7)
    obs_a, obs_b = native.reset(), dummy.reset()
    rng = np.random.default_rng(0)
    ended = 0
    for step in range(200):
        masks = np.stack(native.env_method("action_masks"))
        np.testing.assert_array_equal(masks, np.stack(dummy.env_method("action_masks")))
        actions = masked_choices(rng, masks)
        obs_a, rew_a, done_a, infos_a = native.step(actions)
        obs_b, rew_b, done_b, infos_b = dummy.step(actions)
        for k in OBS_KEYS:
            np.testing.assert_array_equal(obs_a[k], obs_b[k], err_msg=f"{k} at step {step}")
        np.testing.assert_array_equal(rew_a, rew_b)
        np.testing.assert_array_equal(done_a, done_b)
        for i in np.flatnonzero(done_a):
            ended += 1
            for k in OBS_KEYS:
                np.testing.assert_array_equal(
                    infos_a[i]["terminal_observation"][k], infos_b[i]["terminal_observation"][k]
                )
            assert infos_a[i]["TimeLimit.truncated"] == infos_b[i]["TimeLimit.truncated"]
            assert infos_a[i]["episode"]["l"] <= limit
    assert ended >= n


def test_maskable_ppo_trains_over_the_native_vec_env():
    env = make_vec_env("corvelle/Placement-v0", 8, seed=0, reward="shaped")
    model = MaskablePPO(
        "MultiInputPolicy", env, n_steps=128, batch_size=256, n_epochs=2, seed=0, verbose=0
    )
    model.learn(4096)
    assert model.num_timesteps >= 4096
    # Episodes ended and SB3's logger read their statistics.
    episodes = list(model.ep_info_buffer)
    assert episodes and all(e["pieces"] <= e["l"] for e in episodes)
    with pytest.raises(ValueError, match="autoreset_mode"):
        make_vec_env("corvelle/Placement-v0", 2, autoreset_mode="NextStep")


def test_the_example_trains_in_its_short_mode(tmp_path):
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "sb3_maskable_ppo.py"), "--smoke"],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    assert "lines per episode" in out.stdout
