"""Datasets shared by the datagen tests, and the one local Ray of the session.

The extra's packages (pyarrow, ray) are optional: tests that need one are skipped when it is
missing, except in CI (CI=true), where a missing package is a failure.
"""

from __future__ import annotations

import importlib
import json
import os
import signal
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Any, Dict, Iterator, List, NamedTuple

import pytest

sys.path.insert(0, os.path.dirname(__file__))

SEED = bytes(range(32))
GAMES = 300
MAX_PIECES = 8
GAMES_PER_SHARD = 50


def need(name: str) -> ModuleType:
    """Imports `name`; skips the test when it is missing, unless running in CI."""
    if os.environ.get("CI") == "true":
        return importlib.import_module(name)
    module: ModuleType = pytest.importorskip(name)
    return module


class Dataset(NamedTuple):
    out: Path
    result: Any
    manifest: Dict[str, Any]

    def shard(self, name: str) -> Any:
        return need("pyarrow.parquet").read_table(self.out / name)

    def table(self) -> Any:
        pq = need("pyarrow.parquet")
        return pq.read_table([str(self.out / s["file"]) for s in self.manifest["shards"]])


def make_dataset(out: Path, **kwargs: Any) -> Dataset:
    from corvelle.datagen import generate

    settings: Dict[str, Any] = dict(
        seed=SEED, max_pieces=MAX_PIECES, games_per_shard=GAMES_PER_SHARD
    )
    settings.update(kwargs)
    result = generate(str(out), GAMES, **settings)
    manifest = json.loads((out / "manifest.json").read_text())
    return Dataset(out, result, manifest)


@pytest.fixture(scope="session")
def baseline(tmp_path_factory: pytest.TempPathFactory) -> Dataset:
    """The reference dataset, made in this process."""
    need("pyarrow")
    return make_dataset(tmp_path_factory.mktemp("baseline"), workers=1)


@pytest.fixture(scope="session")
def ray_session() -> Iterator[Any]:
    """A local Ray with two CPUs, started once and shut down after the last test."""
    ray = need("ray")
    need("pyarrow")
    started = not ray.is_initialized()
    if started:
        ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    if started:
        ray.shutdown()


def files(out: Path) -> Dict[str, bytes]:
    """Every file in `out`, by name, with its bytes."""
    return {p.name: p.read_bytes() for p in sorted(out.iterdir())}


def shards_on_disk(out: Path) -> List[str]:
    return sorted(p.name for p in out.glob("part-*.parquet"))


def run_job(script: str, **kwargs: Any) -> "subprocess.Popen[str]":
    """Starts `script` in a new Python process of its own session (so that what it starts
    can be found after it ends), with this test's datagen settings as globals."""
    prelude = (
        "import os, signal, sys\n"
        "from corvelle import datagen\n"
        "from corvelle.datagen import FaultPlan, generate\n"
        f"SEED = {SEED!r}\nGAMES = {GAMES}\nMAX_PIECES = {MAX_PIECES}\n"
        f"GAMES_PER_SHARD = {GAMES_PER_SHARD}\n"
    )
    return subprocess.Popen(
        [sys.executable, "-c", prelude + script],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
        **kwargs,
    )


def session_processes(sid: int) -> List[int]:
    """The live processes of session `sid` (zombies left out)."""
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
        except OSError:
            continue
        fields = text[text.rindex(")") + 2 :].split()
        # After the command name: state, ppid, pgrp, session.
        if fields[0] != "Z" and int(fields[3]) == sid:
            found.append(int(stat.parent.name))
    return found


def finish(job: "subprocess.Popen[str]", limit: float = 300) -> "tuple[str, str]":
    """The job's stdout and stderr once it has ended. A job still running after `limit`
    seconds (a hung Ray start) is killed with all it started, and the test fails."""
    try:
        out, err = job.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        for pid in session_processes(job.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        job.communicate()
        pytest.fail(f"the job did not end within {limit} s")
    return out, err
