"""Datasets made as Ray tasks on a local Ray of two CPUs: the same shards as in this process,
whatever the number of workers, and a killed worker's shard made again."""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any, List

import pytest
from datagen_support import GAMES, Dataset, make_dataset

from corvelle.datagen import FaultPlan, ShardsFailedError


def _same_shards(a: Dataset, b: Dataset) -> None:
    assert a.manifest == b.manifest
    for s in a.manifest["shards"]:
        assert b.shard(s["file"]).equals(a.shard(s["file"])), s["file"]


@pytest.mark.parametrize("workers", [1, 2])
def test_ray_gives_the_shards_made_in_process(
    ray_session: Any, baseline: Dataset, tmp_path: Path, workers: int
) -> None:
    seen: List[int] = []
    data = make_dataset(tmp_path / "ray", workers=workers, use_ray=True, progress=seen.append)
    assert (data.result.used_ray, data.result.workers) == (True, workers)
    _same_shards(baseline, data)
    assert seen[-1] == GAMES
    assert sorted(os.listdir(data.out)) == sorted(
        ["manifest.json"] + [s["file"] for s in baseline.manifest["shards"]]
    )


def test_killed_worker_is_replaced_and_its_shard_made_again(
    ray_session: Any, baseline: Dataset, tmp_path: Path
) -> None:
    marker = tmp_path / "killed"
    data = make_dataset(
        tmp_path / "ray", workers=2, use_ray=True, fault=FaultPlan(3, str(marker), exit=True)
    )
    assert marker.exists(), "the worker was not killed"
    _same_shards(baseline, data)


def test_task_failing_twice_is_reported(
    ray_session: Any, baseline: Dataset, tmp_path: Path
) -> None:
    marker = tmp_path / "failing"
    out = tmp_path / "ray"
    with pytest.raises(ShardsFailedError) as e:
        make_dataset(out, workers=2, use_ray=True, fault=FaultPlan(4, str(marker), always=True))
    assert len(marker.read_text().splitlines()) == 2, "one attempt and one retry"
    assert str(e.value).startswith("1 of 6 shards failed twice (the first holds games 200 to 249)")
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["complete"] is False
    assert [f["shard"] for f in manifest["failed"]] == [4]
    assert "injected fault in shard 4" in manifest["failed"][0]["error"]
    assert manifest["shards"] == [s for s in baseline.manifest["shards"] if s["shard"] != 4]
    assert not (out / "part-00004.parquet").exists()
