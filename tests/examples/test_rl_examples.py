"""The training examples, each run in a short mode with the real libraries, and the RLlib form
of the env under Gymnasium's checker."""

import csv
import importlib.util
import pathlib

import pytest
from gymnasium.utils.env_checker import check_env

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def _load(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_masked_ppo_learns_and_logs(tmp_path):
    pytest.importorskip("torch", reason="the PyTorch example needs torch (pip install torch==2.13.0)")
    ppo = _load("ppo_masked")
    out = tmp_path / "run.csv"
    ppo.main(["--total-steps", "6000", "--num-envs", "16", "--num-steps", "64",
              "--log-every", "2000", "--csv", str(out)])
    ppo.main(["--afterstates", "--reward", "shaped", "--total-steps", "4000", "--num-envs", "16",
              "--num-steps", "64", "--log-every", "2000", "--csv", str(out)])
    ppo.main(["--random", "--total-steps", "2000", "--num-envs", "16", "--log-every", "2000",
              "--csv", str(out)])
    rows = list(csv.DictReader(out.open()))
    assert rows and float(rows[-1]["pieces_per_episode"]) > 0
    assert all(0 <= float(r["lines_per_piece"]) <= 4 for r in rows)
    assert [int(r["steps"]) for r in rows[:3]] == sorted(int(r["steps"]) for r in rows[:3])


def test_rllib_env_and_ppo():
    pytest.importorskip("torch", reason="RLlib's PPO needs torch (pip install torch==2.13.0)")
    pytest.importorskip("ray.rllib", reason="needs ray[rllib]")
    from corvelle.envs import rllib

    env = rllib.masked_env(reward="lines")
    check_env(env, skip_render_check=True)
    obs, _ = env.reset(seed=3)
    assert obs["action_mask"].sum() > 0 and obs["observations"].dtype.name == "float32"
    results = _load("rllib_ppo").main(["--iterations", "1", "--batch", "256"])
    assert results[0]["env_runners"]["num_env_steps_sampled_lifetime"] >= 256
