"""`corvelle datagen`: arguments, the report it prints, and its one-line errors."""

from __future__ import annotations

import argparse
import json
import re
import signal
import sys
from pathlib import Path
from typing import List

import pytest
from datagen_support import (
    GAMES_PER_SHARD,
    MAX_PIECES,
    SEED,
    Dataset,
    files,
    finish,
    need,
    run_job,
)

from corvelle.cli import build_parser, main

HEX = SEED.hex()


def _run(capsys: pytest.CaptureFixture[str], args: List[str]) -> "tuple[int, str, str]":
    try:
        code = main(["datagen"] + args)
    except SystemExit as e:
        code = int(e.code or 0)
    out, err = capsys.readouterr()
    return code, out, err


class TestReport:
    def test_prints_totals(self, capsys: pytest.CaptureFixture[str], tmp_path: Path) -> None:
        need("pyarrow")
        out = tmp_path / "data"
        code, text, err = _run(
            capsys,
            ["--games", "12", "--out", str(out), "--seed", HEX, "--max-pieces", "4",
             "--games-per-shard", "5", "--workers", "1", "--no-progress"],
        )
        assert (code, err) == (0, "")
        manifest = json.loads((out / "manifest.json").read_text())
        written = manifest["written"]
        lines = text.splitlines()
        assert lines[0] == f"seed        {HEX}"
        assert lines[1] == "bot         wordpress"
        assert lines[2] == "games       12"
        assert lines[3] == f"transitions {written['transitions']}"
        assert lines[4] == f"mean lines  {written['lines'] / 12:.2f} per game"
        assert re.fullmatch(r"speed       [\d,]+ transitions/s \([\d.]+ s, in this process\)",
                            lines[5])
        assert lines[6] == f"shards      3 in {out}"
        assert lines[7] == f"manifest    {out / 'manifest.json'}"
        assert [s["games"] for s in manifest["shards"]] == [5, 5, 2]
        assert manifest["max_pieces"] == 4

    def test_same_rows_as_the_library(
        self, capsys: pytest.CaptureFixture[str], tmp_path: Path, baseline: Dataset
    ) -> None:
        out = tmp_path / "data"
        code, _, err = _run(
            capsys,
            ["--games", "300", "--out", str(out), "--seed", HEX, "--max-pieces", "8",
             "--games-per-shard", "50", "--workers", "1", "--no-progress"],
        )
        assert (code, err) == (0, "")
        assert json.loads((out / "manifest.json").read_text()) == baseline.manifest

    def test_fresh_seed_is_printed_and_recorded(
        self, capsys: pytest.CaptureFixture[str], tmp_path: Path
    ) -> None:
        need("pyarrow")
        out = tmp_path / "data"
        code, text, _ = _run(
            capsys, ["--games", "1", "--out", str(out), "--max-pieces", "1", "--workers", "1"]
        )
        seed = text.splitlines()[0].split()[1]
        assert code == 0 and re.fullmatch(r"[0-9a-f]{64}", seed)
        assert json.loads((out / "manifest.json").read_text())["master_seed"] == seed


class TestErrors:
    @pytest.mark.parametrize(
        "args, message",
        [
            (["--out", "x"], "the following arguments are required: --games"),
            (["--games", "1"], "the following arguments are required: --out"),
            (["--games", "0", "--out", "x"], "argument --games: must be at least 1, got 0"),
            (["--games", "1", "--out", "x", "--workers", "0"],
             "argument --workers: must be at least 1, got 0"),
            (["--games", "1", "--out", "x", "--max-pieces", "two"],
             "argument --max-pieces: expected a whole number, got 'two'"),
            (["--games", "1", "--out", "x", "--seed", "ab"],
             "argument --seed: expected 64 hexadecimal digits (32 bytes), got 2 characters: 'ab'"),
            (["--games", "1", "--out", "x", "--ray-timeout", "0"],
             "argument --ray-timeout: must be a positive number of seconds, got 0"),
            (["--games", "1", "--out", "x", "--ray-timeout", "soon"],
             "argument --ray-timeout: expected a number of seconds, got 'soon'"),
        ],
    )
    def test_bad_arguments(
        self, capsys: pytest.CaptureFixture[str], args: List[str], message: str
    ) -> None:
        code, out, err = _run(capsys, args)
        assert (code, out) == (2, "")
        assert err == f"corvelle datagen: error: {message} (see --help)\n"

    def test_two_workers_without_ray(
        self, capsys: pytest.CaptureFixture[str], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setitem(sys.modules, "ray", None)
        code, _, err = _run(
            capsys, ["--games", "1", "--out", str(tmp_path / "d"), "--workers", "2"]
        )
        assert code == 2
        assert err == "corvelle: error: --workers 2 needs Ray: pip install corvelle-vim[data]\n"

    def test_default_without_ray_is_one_worker(
        self, capsys: pytest.CaptureFixture[str], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        need("pyarrow")
        monkeypatch.setitem(sys.modules, "ray", None)
        code, out, err = _run(
            capsys, ["--games", "2", "--out", str(tmp_path / "d"), "--max-pieces", "2",
                     "--no-progress"]
        )
        assert (code, err) == (0, "")
        assert "in this process" in out

    def test_without_pyarrow(
        self, capsys: pytest.CaptureFixture[str], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        code, _, err = _run(
            capsys, ["--games", "1", "--out", str(tmp_path / "d"), "--workers", "1"]
        )
        assert code == 2
        assert err == (
            "corvelle: error: writing Parquet needs pyarrow: pip install corvelle-vim[data]\n"
        )

    def test_directory_holding_a_dataset(
        self, capsys: pytest.CaptureFixture[str], baseline: Dataset
    ) -> None:
        code, _, err = _run(
            capsys, ["--games", "1", "--out", str(baseline.out), "--workers", "1"]
        )
        assert code == 1
        assert err == (
            f"corvelle: error: {baseline.out}: already holds a dataset (manifest.json); "
            "choose a new directory or resume it\n"
        )

    def test_output_path_is_a_file(
        self, capsys: pytest.CaptureFixture[str], tmp_path: Path
    ) -> None:
        need("pyarrow")
        target = tmp_path / "file"
        target.write_text("")
        code, _, err = _run(capsys, ["--games", "1", "--out", str(target), "--workers", "1"])
        assert code == 1
        assert err == f"corvelle: error: {target}: File exists\n"


def _baseline_args(out: Path) -> List[str]:
    return ["--games", "300", "--out", str(out), "--max-pieces", str(MAX_PIECES),
            "--games-per-shard", str(GAMES_PER_SHARD), "--workers", "1", "--no-progress"]


class TestStopped:
    @pytest.mark.parametrize(
        "sig, status, how",
        [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")],
    )
    def test_one_line_then_resume(
        self, capsys: pytest.CaptureFixture[str], tmp_path: Path, baseline: Dataset,
        sig: int, status: int, how: str,
    ) -> None:
        out = tmp_path / "data"
        fault = f"FaultPlan(3, {str(tmp_path / 'm')!r}, signal={int(sig)})"
        job = run_job(
            f"import functools\nfrom corvelle.cli import main\n"
            f"datagen.generate = functools.partial(datagen.generate, fault={fault})\n"
            f"sys.exit(main(['datagen', '--seed', {HEX!r}] + {_baseline_args(out)!r}))"
        )
        _, err = finish(job)
        assert job.returncode == status
        assert err == (
            f"corvelle: {how}: 3 of 6 shards are in {out}; add --resume to the same command "
            "to make the rest\n"
        )
        # The seed comes from the dataset when --seed is left out.
        code, text, err = _run(capsys, _baseline_args(out) + ["--resume"])
        assert (code, err) == (0, "")
        assert text.splitlines()[0] == f"seed        {HEX}"
        assert f"shards      6 in {out} (3 kept from before)" in text.splitlines()
        assert files(out) == files(baseline.out)


class TestHelp:
    def test_every_option_is_explained(self) -> None:
        parser = build_parser()
        sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
        datagen = sub.choices["datagen"]
        text = datagen.format_help()
        for option in ["--bot", "--games", "--out", "--workers", "--ray-address", "--seed",
                       "--max-pieces", "--games-per-shard", "--no-progress", "--resume",
                       "--ray-timeout", "130", "143",
                       "pip install corvelle-vim[data]", "Exit status", "default: 500"]:
            assert option in text, option
        for action in datagen._actions:
            assert action.help, action.dest
