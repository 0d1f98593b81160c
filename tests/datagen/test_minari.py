"""Minari datasets converted from Parquet ones: loaded and iterated with minari's own API,
and every episode played again in the recovered environment gives the recorded
observations, rewards, masks and ends."""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pytest

from datagen_support import Dataset, need

import corvelle_vim
from corvelle.datagen import game_seed

pytestmark = pytest.mark.skipif(
    sys.version_info < (3, 11), reason="minari needs Python 3.11 or later"
)

SEED = bytes(range(32))


@pytest.fixture
def minari_root(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """An empty MINARI_DATASETS_PATH of this test alone."""
    root = tmp_path / "minari"
    monkeypatch.setenv("MINARI_DATASETS_PATH", str(root))
    return root


@pytest.fixture(scope="module")
def hundred_games(tmp_path_factory: pytest.TempPathFactory) -> Any:
    """100 games of up to 12 pieces in three shards."""
    need("pyarrow")
    from corvelle.datagen import generate

    out = tmp_path_factory.mktemp("parquet")
    result = generate(str(out), 100, seed=SEED, max_pieces=12, games_per_shard=40, workers=1)
    return Dataset(out, result, json.loads((out / "manifest.json").read_text()))


def replay_in_env(dataset: Any, episodes: int) -> None:
    env = dataset.recover_environment()
    meta = list(dataset.storage.get_episode_metadata(range(episodes)))
    for episode, info in zip(dataset.iterate_episodes(range(episodes)), meta):
        seed = corvelle_vim.generate_seed(0, game_seed(SEED, int(info["game_id"])))
        obs, env_info = env.reset(options={"game_seed": seed})
        for t, action in enumerate(episode.actions):
            for k, v in obs.items():
                assert np.array_equal(v, episode.observations[k][t]), (k, t)
            assert np.array_equal(env_info["action_mask"], episode.infos["action_mask"][t])
            obs, reward, terminated, _, env_info = env.step(action)
            assert reward == episode.rewards[t]
            assert terminated == episode.terminations[t]
        for k, v in obs.items():
            assert np.array_equal(v, episode.observations[k][-1])
        assert episode.terminations[-1] != episode.truncations[-1]
    env.close()


@pytest.mark.parametrize("level", ["placement", "keys"])
def test_hundred_games_load_iterate_and_replay_in_the_recovered_env(
    hundred_games: Any, minari_root: Path, level: str
) -> None:
    minari = need("minari")
    from corvelle.datagen import to_minari

    dataset_id = f"corvelle/{level}/wordpress-v0"
    made = to_minari(hundred_games.out, dataset_id, level=level)
    dataset = minari.load_dataset(dataset_id)
    assert dataset.total_episodes == made.total_episodes == 100
    chains = hundred_games.table().column("chain_index")
    # Every key is a step; the placement level has one step per placed piece.
    steps = sum(len(e.actions) for e in dataset.iterate_episodes())
    expected = len(chains) if level == "keys" else len(chains) - chains.null_count
    assert steps == dataset.total_steps == expected
    assert dataset.recover_environment().spec.id == (
        "corvelle/Placement-v0" if level == "placement" else "corvelle/Key-v0"
    )
    replay_in_env(dataset, 20 if level == "placement" else 5)
    # Minari's own sampling reads the episodes back.
    assert len(dataset.sample_episodes(3)) == 3
    # The id is taken now: refused, the dataset kept.
    with pytest.raises(ValueError, match="already exists"):
        to_minari(hundred_games.out, dataset_id, level=level)
    assert minari.load_dataset(dataset_id).total_episodes == 100


def test_a_failed_conversion_leaves_nothing(
    hundred_games: Any, minari_root: Path, tmp_path: Path
) -> None:
    need("minari")
    from corvelle.datagen import to_minari

    broken = tmp_path / "broken"
    broken.mkdir()
    for s in hundred_games.manifest["shards"]:
        data = (hundred_games.out / s["file"]).read_bytes()
        # The last shard is cut short: reading it fails halfway through the conversion.
        last = s is hundred_games.manifest["shards"][-1]
        (broken / s["file"]).write_bytes(data[: len(data) // 2] if last else data)
    (broken / "manifest.json").write_bytes((hundred_games.out / "manifest.json").read_bytes())
    with pytest.raises(Exception):
        to_minari(broken, "corvelle/placement/broken-v0")
    assert os.listdir(minari_root) == []


def test_the_datagen_command_writes_a_minari_dataset(
    tmp_path: Path, minari_root: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    minari = need("minari")
    need("pyarrow")
    from corvelle.cli import main

    args = ["datagen", "--games", "3", "--out", str(tmp_path / "d"), "--seed", SEED.hex()]
    args += ["--max-pieces", "5", "--workers", "1", "--no-progress", "--format", "minari"]
    assert main(args) == 0
    out = capsys.readouterr().out
    assert "minari      corvelle/placement/wordpress-v0: 3 episodes, 15 steps" in out
    assert minari.load_dataset("corvelle/placement/wordpress-v0").total_steps == 15
    # The same id again: one line, status 1.
    assert main(args + ["--resume"]) == 1
    assert "already exists" in capsys.readouterr().err
