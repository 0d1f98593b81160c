"""Datasets made as Ray tasks on a local Ray of two CPUs: the same shards as in this process,
whatever the number of workers; a killed worker or progress board, an interrupt, SIGTERM,
and an address where no cluster answers."""

from __future__ import annotations

import json
import os
import signal
import socket
import threading
import time
from pathlib import Path
from typing import Any, List

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
    run_job,
    session_processes,
    shards_on_disk,
)

from corvelle.cli import main
from corvelle.datagen import FaultPlan, ShardsFailedError, _run


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


def test_dead_worker_and_board_then_interrupt_then_resume(
    ray_session: Any, baseline: Dataset, tmp_path: Path
) -> None:
    out = tmp_path / "ray"
    faults = [
        FaultPlan(0, str(tmp_path / "board"), board=True),
        FaultPlan(1, str(tmp_path / "worker"), exit=True),
        FaultPlan(4, str(tmp_path / "interrupt"), signal=signal.SIGINT, pid=os.getpid()),
    ]
    # The job outlives its dead helpers: it ends by the interrupt, with no shard failed.
    seen: List[int] = []
    with pytest.raises(KeyboardInterrupt):
        make_dataset(out, workers=2, use_ray=True, fault=faults, progress=seen.append)
    assert all(os.path.exists(f.marker) for f in faults)
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["complete"] is False and manifest["failed"] == []
    assert [s["file"] for s in manifest["shards"]] == shards_on_disk(out)
    assert seen == sorted(seen)
    make_dataset(out, workers=2, use_ray=True, resume=True)
    assert files(out) == files(baseline.out)


def test_cli_sigterm_stops_ray_and_the_job_resumes(
    ray_session: Any, baseline: Dataset, tmp_path: Path
) -> None:
    out = tmp_path / "ray"
    args = ["datagen", "--games", str(GAMES), "--out", str(out), "--seed", SEED.hex(),
            "--max-pieces", str(MAX_PIECES), "--games-per-shard", str(GAMES_PER_SHARD),
            "--workers", "2", "--no-progress"]
    # The job starts a Ray of its own, and a task sends the job SIGTERM halfway through
    # shard 2.
    fault = f"FaultPlan(2, {str(tmp_path / 'm')!r}, signal=signal.SIGTERM, pid=os.getpid())"
    job = run_job(
        "import functools\nfrom corvelle.cli import main\n"
        f"datagen.generate = functools.partial(datagen.generate, fault={fault})\n"
        f"sys.exit(main({args!r}))"
    )
    _, err = finish(job)
    assert job.returncode == 143
    written = json.loads((out / "manifest.json").read_text())["written"]["shards"]
    assert err == (
        f"corvelle: terminated: {written} of 6 shards are in {out}; add --resume to the same "
        "command to make the rest\n"
    )
    assert _gone(job.pid) == [], "Ray processes outlived the job"
    assert main(args[:-3] + ["--resume", "--no-progress"]) == 0
    assert files(out) == files(baseline.out)


def _gone(sid: int) -> List[int]:
    """The processes of session `sid` still running after up to 20 s of waiting."""
    left = session_processes(sid)
    for _ in range(100):
        if not left:
            break
        time.sleep(0.2)
        left = session_processes(sid)
    return left


def test_cli_interrupted_while_ray_starts(tmp_path: Path) -> None:
    out = tmp_path / "data"
    args = ["datagen", "--games", "4", "--out", str(out), "--max-pieces", "2", "--workers", "2",
            "--no-progress"]
    # SIGINT as soon as Ray's raylet runs: while Ray is being started, or just after.
    job = run_job(
        "import threading, time\nfrom corvelle.cli import main\nfrom corvelle.datagen import _run\n"
        "def interrupt():\n"
        "    while not any(_run._stat(p) and open(f'/proc/{p}/comm').read().strip() == 'raylet'\n"
        "                  for p in _run._descendants()):\n"
        "        time.sleep(0.05)\n"
        "    os.kill(os.getpid(), signal.SIGINT)\n"
        "threading.Thread(target=interrupt, daemon=True).start()\n"
        f"sys.exit(main({args!r}))"
    )
    _, err = finish(job)
    assert (job.returncode, err) == (130, (
        f"corvelle: interrupted: 0 of 1 shards are in {out}; add --resume to the same command "
        "to make the rest\n"
    ))
    assert _gone(job.pid) == [], "Ray processes outlived the job"


def test_unreachable_address_fails_with_one_line_and_blocks_nothing(
    baseline: Dataset, tmp_path: Path
) -> None:
    out = tmp_path / "data"
    args = ["datagen", "--games", str(GAMES), "--out", str(out), "--seed", SEED.hex(),
            "--max-pieces", str(MAX_PIECES), "--games-per-shard", str(GAMES_PER_SHARD),
            "--no-progress"]
    # In a process of its own: Ray running here (the tests' own) would be used instead.
    job = run_job(
        "from corvelle.cli import main\n"
        f"sys.exit(main({args + ['--ray-address', '127.0.0.1:1', '--ray-timeout', '1']!r}))"
    )
    _, err = finish(job)
    assert job.returncode == 1
    assert err == (
        "corvelle: error: cannot join the Ray cluster at 127.0.0.1:1: no answer from "
        "127.0.0.1:1 within 1 s (Connection refused)\n"
    )
    assert list(out.iterdir()) == []
    assert main(args + ["--workers", "1"]) == 0
    assert files(out) == files(baseline.out)


def test_joins_a_cluster_at_its_address(
    ray_session: Any, baseline: Dataset, tmp_path: Path
) -> None:
    # The address check must let a real cluster through: the job joins the tests' Ray.
    out = tmp_path / "data"
    address = ray_session.get_runtime_context().gcs_address
    args = ["datagen", "--games", str(GAMES), "--out", str(out), "--seed", SEED.hex(),
            "--max-pieces", str(MAX_PIECES), "--games-per-shard", str(GAMES_PER_SHARD),
            "--ray-address", address, "--ray-timeout", "5", "--no-progress"]
    job = run_job(f"from corvelle.cli import main\nsys.exit(main({args!r}))")
    text, err = finish(job)
    assert (job.returncode, err) == (0, "")
    assert "2 Ray workers" in text
    assert files(out) == files(baseline.out)


def test_address_answered_by_another_server() -> None:
    # The check that comes before Ray is asked to join (here, Ray already runs: generate
    # would use it).
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def answer() -> None:
        with listener:
            conn, _ = listener.accept()
            with conn:
                conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")

    server = threading.Thread(target=answer, daemon=True)
    server.start()
    with pytest.raises(ConnectionError) as e:
        _run._wait_for_cluster(None, f"127.0.0.1:{port}", 1)
    server.join()
    assert str(e.value) == (
        f"cannot join the Ray cluster at 127.0.0.1:{port}: no answer from 127.0.0.1:{port} "
        "within 1 s (the server there does not speak gRPC)"
    )
