"""Registration with gymnasium, the environment checker, and rendering."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import warnings

import gymnasium as gym
import numpy as np
from gymnasium.utils.env_checker import check_env
from gymnasium.vector import SyncVectorEnv

import corvelle.envs
from corvelle.bytestate import decode
from corvelle.envs import KeyEnv, PlacementEnv, PlacementVectorEnv
from corvelle.envs.render import IMAGE_SHAPE
from corvelle.viewer import CELL_SIZE, colour_rgb

IDS = ["corvelle/Placement-v0", "corvelle/Key-v0"]


class TestRegistration:
    def test_make_with_module_prefix(self):
        env = gym.make("corvelle.envs:corvelle/Placement-v0")
        assert isinstance(env.unwrapped, PlacementEnv)

    def test_register_envs(self):
        gym.register_envs(corvelle.envs)
        assert isinstance(gym.make("corvelle/Key-v0").unwrapped, KeyEnv)

    def test_make_passes_arguments(self):
        env = gym.make("corvelle/Placement-v0", reward="lines", max_episode_steps=3)
        assert env.unwrapped.reward_kind == "lines"
        env.reset(seed=0)
        assert [env.step(0)[3] for _ in range(3)] == [False, False, True]

    def test_make_vec_uses_the_native_env(self):
        vec = gym.make_vec("corvelle/Placement-v0", num_envs=5)
        assert isinstance(vec, PlacementVectorEnv) and vec.num_envs == 5
        assert vec.spec.id == "corvelle/Placement-v0"
        obs, info = vec.reset(seed=0)
        assert obs["board"].shape == (5, 20, 10) and info["action_mask"].shape == (5, 96)

    def test_make_vec_sync(self):
        vec = gym.make_vec("corvelle/Placement-v0", num_envs=2, vectorization_mode="sync")
        assert isinstance(vec, SyncVectorEnv)

    def test_make_vec_keys(self):
        vec = gym.make_vec("corvelle/Key-v0", num_envs=2)
        obs, info = vec.reset(seed=0)
        assert info["action_mask"].shape == (2, 8)


class TestChecker:
    @pytest.mark.parametrize("env_id", IDS)
    @pytest.mark.parametrize("render_mode", [None, "ansi", "rgb_array"])
    def test_check_env(self, env_id, render_mode):
        env = gym.make(env_id, render_mode=render_mode)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            check_env(env.unwrapped, skip_render_check=False)
        env.close()

    @pytest.mark.parametrize("cls", [PlacementEnv, KeyEnv])
    def test_bad_render_mode(self, cls):
        with pytest.raises(
            ValueError, match="render_mode must be 'ansi', 'rgb_array' or None, not 'human'"
        ):
            cls(render_mode="human")


class TestRendering:
    @pytest.mark.parametrize("cls", [PlacementEnv, KeyEnv])
    def test_ansi_is_the_text_report(self, cls):
        env = cls(render_mode="ansi")
        env.reset(seed=0)
        env.step(0)
        text = env.render()
        expected = env.state.matrix_txt
        assert isinstance(text, str)

        # The bots break ties at random, so their moves may differ between two reports.
        def steady(report):
            return [line for line in report.splitlines() if "bot_moves_raw(" not in line]

        assert steady(text) == steady(expected)

    @pytest.mark.parametrize("cls", [PlacementEnv, KeyEnv])
    def test_rgb_array(self, cls):
        env = cls(render_mode="rgb_array")
        env.reset(seed=0)
        for _ in range(5):
            env.step(0)
        image = env.render()
        assert image.shape == IMAGE_SHAPE == (20 * CELL_SIZE, 10 * CELL_SIZE, 3)
        assert image.dtype == np.uint8
        cells = decode(env.state.to_bytes()).cells
        for row in range(20):
            for col in range(10):
                centre = image[
                    (19 - row) * CELL_SIZE + CELL_SIZE // 2, col * CELL_SIZE + CELL_SIZE // 2
                ]
                assert tuple(centre) == colour_rgb(cells[10 * row + col])

    def test_no_render_mode(self):
        env = PlacementEnv()
        env.reset(seed=0)
        with pytest.warns(UserWarning):
            assert env.render() is None

    @pytest.mark.parametrize("mode", ["ansi", "rgb_array"])
    def test_vector_frames(self, mode):
        vec = PlacementVectorEnv(3, render_mode=mode)
        vec.reset(seed=0)
        frames = vec.render()
        assert len(frames) == 3
        if mode == "rgb_array":
            assert all(f.shape == IMAGE_SHAPE for f in frames)
        else:
            assert all(isinstance(f, str) for f in frames)
