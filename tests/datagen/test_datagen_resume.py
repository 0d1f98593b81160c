"""Jobs made in this process that end early (interrupted, killed, failing, a failed start)
and are resumed: the manifest lists the shards on disk, and the resumed dataset is byte for
byte the one made without interruption."""

from __future__ import annotations

import errno
import json
import random
import signal
import shutil
from pathlib import Path
from typing import Any, Dict

import pytest
from datagen_support import (
    GAMES,
    GAMES_PER_SHARD,
    MAX_PIECES,
    SEED,
    Dataset,
    files,
    finish,
    make_dataset,
    need,
    run_job,
    shards_on_disk,
)

from corvelle.datagen import FaultPlan, ShardsFailedError, generate, shard_name
from corvelle.datagen import _run

SHARDS = GAMES // GAMES_PER_SHARD
# Shards in whose middle the jobs are stopped, drawn once.
POINTS = random.Random(27).sample(range(1, SHARDS), 2)


def _manifest(out: Path) -> Dict[str, Any]:
    manifest: Dict[str, Any] = json.loads((out / "manifest.json").read_text())
    return manifest


def _lists_what_is_on_disk(out: Path) -> Dict[str, Any]:
    manifest = _manifest(out)
    assert manifest["complete"] is False
    assert [s["file"] for s in manifest["shards"]] == shards_on_disk(out)
    return manifest


class TestStoppedAndResumed:
    @pytest.mark.parametrize("shard", POINTS)
    def test_interrupt(self, baseline: Dataset, tmp_path: Path, shard: int) -> None:
        out = tmp_path / "out"
        fault = FaultPlan(shard, str(tmp_path / "m"), signal=signal.SIGINT)
        with pytest.raises(KeyboardInterrupt):
            make_dataset(out, workers=1, fault=fault)
        manifest = _lists_what_is_on_disk(out)
        assert manifest["written"]["shards"] == shard
        data = make_dataset(out, workers=1, resume=True)
        assert (data.result.kept, data.result.games) == (shard, GAMES)
        assert files(out) == files(baseline.out)

    def test_kill_between_a_shard_and_its_manifest(
        self, baseline: Dataset, tmp_path: Path
    ) -> None:
        out = tmp_path / "out"
        shard = POINTS[0]
        job = run_job(
            f"generate({str(out)!r}, GAMES, seed=SEED, max_pieces=MAX_PIECES, "
            "games_per_shard=GAMES_PER_SHARD, workers=1, "
            f"fault=FaultPlan({shard}, {str(tmp_path / 'm')!r}, signal=signal.SIGKILL))"
        )
        finish(job)
        assert job.returncode == -signal.SIGKILL
        assert _lists_what_is_on_disk(out)["written"]["shards"] == shard
        # A kill an instant earlier: the last shard renamed into place, the manifest not yet
        # rewritten, and the temporary files of a manifest and a shard left behind.
        manifest = _manifest(out)
        manifest["shards"].pop()
        (out / "manifest.json").write_text(json.dumps(manifest))
        (out / f".manifest.json.tmp-{job.pid}").write_text("{")
        (out / f".{shard_name(shard)}.tmp-{job.pid}").write_bytes(b"PAR1")
        make_dataset(out, workers=1, resume=True)
        assert files(out) == files(baseline.out)

    def test_damaged_or_foreign_shards_are_made_again(
        self, baseline: Dataset, tmp_path: Path
    ) -> None:
        out = tmp_path / "out"
        shutil.copytree(baseline.out, out)
        first = (out / shard_name(0)).read_bytes()
        (out / shard_name(1)).write_bytes(first[: len(first) // 2])
        (out / shard_name(3)).write_bytes(first)
        manifest = _manifest(out)
        manifest["shards"] = [s for s in manifest["shards"] if s["shard"] != 3]
        (out / "manifest.json").write_text(json.dumps(manifest))
        data = make_dataset(out, workers=1, resume=True)
        assert data.result.kept == SHARDS - 2
        assert files(out) == files(baseline.out)

    def test_failed_shard_is_made_on_resume(self, baseline: Dataset, tmp_path: Path) -> None:
        out = tmp_path / "out"
        with pytest.raises(ShardsFailedError):
            make_dataset(out, workers=1, fault=FaultPlan(2, str(tmp_path / "m"), always=True))
        assert [f["shard"] for f in _lists_what_is_on_disk(out)["failed"]] == [2]
        make_dataset(out, workers=1, resume=True)
        assert files(out) == files(baseline.out)


def _partial(tmp_path: Path) -> Path:
    out = tmp_path / "out"
    with pytest.raises(KeyboardInterrupt):
        make_dataset(out, workers=1, fault=FaultPlan(2, str(tmp_path / "m"), signal=signal.SIGINT))
    return out


class TestWhatResumes:
    @pytest.mark.parametrize(
        "change, shown",
        [
            (dict(max_pieces=MAX_PIECES + 1), f"max_pieces {MAX_PIECES}, not {MAX_PIECES + 1}"),
            (dict(bot="random"), 'bot "wordpress", not "random"; bot_rule differs'),
            (dict(seed=bytes(32)), f'master_seed "{SEED.hex()}", not "{"0" * 64}"'),
        ],
    )
    def test_other_settings_are_refused(
        self, tmp_path: Path, change: Dict[str, Any], shown: str
    ) -> None:
        need("pyarrow")
        out = _partial(tmp_path)
        before = files(out)
        with pytest.raises(FileExistsError) as e:
            make_dataset(out, workers=1, resume=True, **change)
        assert e.value.strerror == (
            f"holds a dataset made with other settings ({shown}); resume with the same "
            "settings or choose a new directory"
        )
        assert files(out) == before

    def test_without_resume_a_partial_dataset_is_refused(self, tmp_path: Path) -> None:
        need("pyarrow")
        out = _partial(tmp_path)
        with pytest.raises(FileExistsError) as e:
            make_dataset(out, workers=1)
        assert str(e.value.strerror).startswith("already holds a dataset (manifest.json)")

    def test_shards_without_a_manifest_are_refused(self, tmp_path: Path) -> None:
        need("pyarrow")
        out = _partial(tmp_path)
        (out / "manifest.json").unlink()
        with pytest.raises(FileExistsError) as e:
            make_dataset(out, workers=1, resume=True)
        assert e.value.strerror == "holds shards (part-00000.parquet) but no manifest.json; " \
            "cannot resume"

    def test_resume_with_no_dataset_starts_one(self, baseline: Dataset, tmp_path: Path) -> None:
        make_dataset(tmp_path / "out", workers=1, resume=True)
        assert files(tmp_path / "out") == files(baseline.out)


class TestFailedStart:
    def test_job_stopped_before_its_first_shard_blocks_nothing(self, tmp_path: Path) -> None:
        need("pyarrow")
        out = tmp_path / "out"
        with pytest.raises(KeyboardInterrupt):
            make_dataset(out, workers=1, fault=FaultPlan(0, str(tmp_path / "m"),
                                                         signal=signal.SIGINT))
        assert _manifest(out)["shards"] == []
        result = generate(str(out), 2, seed=bytes(32), max_pieces=2)
        assert result.games == 2 and _manifest(out)["master_seed"] == "0" * 64

    def test_full_disk_at_the_start_leaves_nothing(
        self, baseline: Dataset, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        def full(path: str, data: bytes) -> None:
            raise OSError(errno.ENOSPC, "No space left on device")

        out = tmp_path / "out"
        with monkeypatch.context() as m:
            m.setattr(_run, "_write_atomic", full)
            with pytest.raises(OSError):
                make_dataset(out, workers=1)
        assert list(out.iterdir()) == []
        make_dataset(out, workers=1)
        assert files(out) == files(baseline.out)
