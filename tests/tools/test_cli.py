"""The `corvelle` command line, run as a subprocess: `python -m corvelle` and the installed
console script."""

from __future__ import annotations

import argparse
import json
import os
import re
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Dict, List

import corvelle_vim
import pytest
from corvelle_vim import GameStatePy
from tool_games import ZERO_SEED_HEX

from corvelle import Recorder, load, load_bytes
from corvelle.cli import build_parser, play_game
from corvelle.replay import read_segments

SEED_HEX = "5a" * 16 + "0123456789abcdef" * 2


def run(args: List[str], script: bool = False, **kwargs: object) -> subprocess.CompletedProcess:
    """Runs the command line with `args`: as `python -m corvelle`, or as the console script."""
    if script:
        exe = Path(sysconfig.get_path("scripts")) / "corvelle"
        assert exe.exists(), f"console script not installed at {exe}"
        command = [str(exe)] + args
    else:
        command = [sys.executable, "-m", "corvelle"] + args
    return subprocess.run(
        command, capture_output=True, text=True, timeout=300, **kwargs  # type: ignore[call-overload]
    )


def facts(stdout: str) -> Dict[str, str]:
    """The 'name   value' lines printed after the board report."""
    found = {}
    for line in stdout.splitlines():
        m = re.fullmatch(r"([a-z]+(?: [a-z]+)?)\s{2,}(\S.*)", line)
        if m and not line.startswith(" "):
            found[m.group(1)] = m.group(2)
    return found


def board_lines(text: str) -> List[str]:
    """The drawn board of a text report, without the facts beside it."""
    return [line[:16] for line in text.splitlines() if line.startswith(" | ")]


def viewer_frames(path: Path) -> list:
    text = path.read_text(encoding="utf-8")
    m = re.search(r'<script type="application/json" id="frames">(.*?)</script>', text, re.S)
    assert m
    return json.loads(m.group(1))["frames"]


def assert_one_error_line(result: subprocess.CompletedProcess, status: int, pattern: str) -> None:
    assert result.returncode == status, result.stderr
    assert result.stdout == ""
    assert result.stderr.endswith("\n") and result.stderr.count("\n") == 1, result.stderr
    assert re.fullmatch(pattern, result.stderr[:-1]), result.stderr


class TestPlayAndReplay:
    def test_play_writes_a_replay_that_plays_back(self, tmp_path: Path) -> None:
        replay, html = tmp_path / "game.cvr", tmp_path / "game.html"
        played = run(
            ["play", "--pieces", "20", "--seed", SEED_HEX, "--replay", str(replay),
             "--html", str(html)]
        )
        assert played.returncode == 0, played.stderr
        assert played.stderr == ""  # no progress bar when stderr is not a terminal
        got = facts(played.stdout)
        assert got["seed"] == SEED_HEX and got["start time"] == "0"
        assert got["bot"] == "wordpress"
        assert got["pieces"] == "20" and got["game over"] == "no"
        assert re.fullmatch(r"[\d,]+ actions/s, [\d,]+ pieces/s \([\d.]+ s\)", got["speed"])

        initial, steps = load(replay)
        final = steps[-1][1]
        assert got["actions"] == str(len(steps))
        assert sum(a == "HardDrop" for a, _ in steps) == 20 and steps[-1][0] == "HardDrop"
        assert got["score"] == str(final.score) and got["lines"] == str(final.total_lines)
        assert board_lines(played.stdout) == board_lines(final.matrix_txt)
        assert read_segments(replay.read_bytes())[0].data[4:36] == bytes.fromhex(SEED_HEX)

        html2 = tmp_path / "again.html"
        replayed = run(["replay", str(replay), "--html", str(html2)], script=True)
        assert replayed.returncode == 0, replayed.stderr
        assert replayed.stderr == ""
        summary = facts(replayed.stdout)
        for key in ("seed", "start time", "actions", "pieces", "score", "lines"):
            assert summary[key] == got[key], key
        assert summary["knockout"] == "no"
        assert summary["recorded"] == "game over: Forfeit"
        assert viewer_frames(html) == viewer_frames(html2)
        assert len(viewer_frames(html)) == len(steps) + 1

    def test_start_time(self, tmp_path: Path) -> None:
        replay = tmp_path / "game.cvr"
        played = run(
            ["play", "--pieces", "3", "--seed", SEED_HEX, "--start-time", "-42",
             "--replay", str(replay)]
        )
        assert played.returncode == 0, played.stderr
        assert facts(played.stdout)["start time"] == "-42"
        init = read_segments(replay.read_bytes())[0].data
        assert struct.unpack_from("<q", init, 36)[0] == -42
        assert facts(run(["replay", str(replay)]).stdout)["start time"] == "-42"

    def test_fresh_seed_is_printed(self, tmp_path: Path) -> None:
        replay = tmp_path / "game.cvr"
        played = run(["play", "--pieces", "2", "--replay", str(replay)])
        assert played.returncode == 0, played.stderr
        got = facts(played.stdout)
        assert re.fullmatch(r"[0-9a-f]{64}", got["seed"])
        assert int(got["start time"]) > 1_600_000_000_000_000  # microseconds since 1970
        assert got["repeat"] == (
            f"corvelle play --seed {got['seed']} --start-time {got['start time']} "
            "--bot wordpress --pieces 2"
        )
        init = read_segments(replay.read_bytes())[0].data
        assert init[4:36].hex() == got["seed"]
        assert struct.unpack_from("<q", init, 36)[0] == int(got["start time"])

    def test_the_printed_command_repeats_the_game(self, tmp_path: Path) -> None:
        # A fresh seed, then the printed command run twice: the same replay bytes each time.
        first = tmp_path / "first.cvr"
        played = run(["play", "--bot", "random", "--pieces", "60", "--replay", str(first)])
        assert played.returncode == 0, played.stderr
        repeat = facts(played.stdout)["repeat"].split()
        assert repeat[0] == "corvelle"
        for k in range(2):
            again = tmp_path / f"again{k}.cvr"
            replayed = run(repeat[1:] + ["--replay", str(again)])
            assert replayed.returncode == 0, replayed.stderr
            for key in ("score", "lines", "pieces", "actions"):
                assert facts(replayed.stdout)[key] == facts(played.stdout)[key], key
            assert again.read_bytes() == first.read_bytes()

    def test_game_ended_by_knockout(self, tmp_path: Path) -> None:
        replay = tmp_path / "lost.cvr"
        played = run(
            ["play", "--bot", "random", "--pieces", "100000", "--seed", ZERO_SEED_HEX,
             "--replay", str(replay)]
        )
        assert played.returncode == 0, played.stderr
        got = facts(played.stdout)
        assert got["game over"] == "yes, knockout" and int(got["pieces"]) < 100000
        summary = facts(run(["replay", str(replay)]).stdout)
        assert summary["knockout"] == "yes"
        assert summary["recorded"] == "game over: Knockout"
        assert summary["actions"] == got["actions"]

    def test_plays_without_tqdm(self) -> None:
        code = (
            "import sys; sys.modules['tqdm'] = None; from corvelle.cli import main; "
            "sys.exit(main(['play', '--pieces', '5', '--seed', '" + SEED_HEX + "']))"
        )
        result = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=300
        )
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""
        assert facts(result.stdout)["pieces"] == "5"


def write(tmp_path: Path, name: str, data: bytes) -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def stream(*segments: bytes) -> bytes:
    return struct.pack("<Q", len(segments)) + b"".join(segments)


INIT = struct.pack("<I", 0) + bytes(40)


def update(idx: int, action: int = 0) -> bytes:
    return struct.pack("<Iq", 1, 0) + bytes(32) + struct.pack("<HHHI", 0, 0, idx, action)


class TestBadInput:
    @pytest.mark.parametrize(
        "args, pattern",
        [
            ([], r"corvelle: error: choose a command: play, replay, datagen, versus or tbp \(see --help\)"),
            (["frob"], r"corvelle: error: argument COMMAND: invalid choice: .*"),
            (["play", "--seed", "xyz"],
             r"corvelle play: error: argument --seed: expected 64 hexadecimal digits "
             r"\(32 bytes\), got 3 characters: 'xyz' \(see --help\)"),
            (["play", "--seed", "0" * 63], r".*--seed: expected 64 hexadecimal digits.*"),
            (["play", "--seed", "0" * 65], r".*--seed: expected 64 hexadecimal digits.*"),
            (["play", "--seed", "g" * 64], r".*--seed: expected 64 hexadecimal digits.*"),
            (["play", "--seed"], r"corvelle play: error: argument --seed: expected one argument.*"),
            (["play", "--bot", "nobot"],
             r"corvelle play: error: argument --bot: invalid choice: 'nobot' .*"),
            (["play", "--pieces", "-1"],
             r"corvelle play: error: argument --pieces: must be at least 1, got -1 \(see --help\)"),
            (["play", "--pieces=-7"], r".*argument --pieces: must be at least 1, got -7.*"),
            (["play", "--pieces", "0"], r".*argument --pieces: must be at least 1, got 0.*"),
            (["play", "--pieces", "ten"],
             r".*argument --pieces: expected a whole number, got 'ten'.*"),
            (["play", "--pieces", "1.5"], r".*argument --pieces: expected a whole number.*"),
            (["play", "--start-time", "soon"],
             r".*argument --start-time: expected a whole number, got 'soon'.*"),
            (["play", "--start-time", str(2**63)],
             r".*argument --start-time: must fit in a signed 64-bit number.*"),
            (["play", "--frobnicate"], r"corvelle: error: unrecognized arguments: --frobnicate.*"),
            (["replay"],
             r"corvelle replay: error: the following arguments are required: FILE.*"),
        ],
    )
    def test_arguments(self, args: List[str], pattern: str) -> None:
        assert_one_error_line(run(args), 2, pattern)

    @pytest.mark.parametrize(
        "data, message",
        [
            (b"", "bad data: io error: unexpected end of file"),
            (stream(INIT, update(0))[:-1], "bad data: io error: unexpected end of file"),
            (stream(INIT, struct.pack("<I", 3)),
             "bad data: invalid value: integer `3`, expected variant index 0 <= i < 3"),
            (stream(INIT, update(0)), "not enough segments in savefile."),
            (stream(update(0), update(1), update(2)), "not enough gamestates in savefile."),
            (stream(INIT, update(0), update(5)), "not enough gamestates in savefile."),
            (stream(INIT, INIT, update(0)), "not enough gamestates in savefile."),
        ],
    )
    def test_corrupt_replay(self, tmp_path: Path, data: bytes, message: str) -> None:
        path = write(tmp_path, "bad.cvr", data)
        result = run(["replay", path])
        assert_one_error_line(result, 2, re.escape(f"corvelle: error: {path}: {message}"))

    def test_unreadable_replay(self, tmp_path: Path) -> None:
        missing = tmp_path / "missing.cvr"
        assert_one_error_line(
            run(["replay", str(missing)]), 1,
            re.escape(f"corvelle: error: cannot read {missing}: No such file or directory"),
        )
        assert_one_error_line(
            run(["replay", str(tmp_path)]), 1,
            re.escape(f"corvelle: error: cannot read {tmp_path}: Is a directory"),
        )

    @pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0,
                        reason="root reads files regardless of their mode")
    def test_replay_without_read_permission(self, tmp_path: Path) -> None:
        path = write(tmp_path, "secret.cvr", b"")
        os.chmod(path, 0)
        assert_one_error_line(
            run(["replay", path]), 1,
            re.escape(f"corvelle: error: cannot read {path}: Permission denied"),
        )

    @pytest.mark.parametrize("option", ["--replay", "--html"])
    def test_unwritable_output_fails_before_playing(self, tmp_path: Path, option: str) -> None:
        target = tmp_path / "no" / "such" / "dir" / "out"
        assert_one_error_line(
            run(["play", "--pieces", "1000", option, str(target)]), 1,
            re.escape(f"corvelle: error: cannot write {target}: No such directory ")
            + ".*",
        )
        assert_one_error_line(
            run(["play", option, str(tmp_path)]), 1,
            re.escape(f"corvelle: error: cannot write {tmp_path}: Is a directory"),
        )

    def test_unwritable_viewer_of_a_replay(self, tmp_path: Path) -> None:
        replay = tmp_path / "game.cvr"
        assert run(["play", "--pieces", "3", "--replay", str(replay)]).returncode == 0
        assert_one_error_line(
            run(["replay", str(replay), "--html", str(tmp_path)]), 1,
            re.escape(f"corvelle: error: cannot write {tmp_path}: Is a directory"),
        )


class TestHelp:
    @pytest.mark.parametrize(
        "args, options",
        [
            (["--help"], ["play", "replay", "Exit status"]),
            (["play", "--help"],
             ["--bot", "wordpress", "random", "--pieces", "--seed", "--start-time", "--replay",
              "--html", "--no-progress", "default: 500"]),
            (["replay", "--help"], ["FILE", "--html", "exit status 2"]),
        ],
    )
    def test_help_explains_every_option(self, args: List[str], options: List[str]) -> None:
        result = run(args)
        assert result.returncode == 0 and result.stderr == ""
        assert result.stdout.startswith("usage: corvelle")
        for option in options:
            assert option in result.stdout, option

    def test_every_option_has_help_text(self) -> None:
        parser = build_parser()
        subparsers = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
        assert set(subparsers.choices) == {"play", "replay", "datagen", "versus", "tbp"}
        for name, sub in subparsers.choices.items():
            for action in sub._actions:
                assert action.help and action.help != argparse.SUPPRESS, (name, action.dest)


class TestPlayGame:
    """`play_game`, the loop behind `corvelle play`, called in process."""

    class Counter:
        def __init__(self) -> None:
            self.done = 0

        def update(self, n: int) -> None:
            self.done += n

        def close(self) -> None:
            pass

    @pytest.mark.parametrize("pieces", [1, 2, 37, 130])
    def test_stops_at_the_piece_count(self, pieces: int) -> None:
        start = GameStatePy(corvelle_vim.generate_seed(0, bytes.fromhex(SEED_HEX)))
        recorder = Recorder(start)
        progress = self.Counter()
        result = play_game(start, "wordpress", pieces, recorder, progress)
        assert result.pieces == pieces == progress.done
        assert [a for a, _ in result.steps].count("HardDrop") == pieces
        assert result.steps[-1][0] == "HardDrop" and result.steps[-1][1] is result.final
        assert result.actions == len(result.steps) == recorder.actions
        recorder.finish(2)
        if len(recorder) >= 3:
            _, steps = load_bytes(recorder.to_bytes())
            assert [s.to_bytes() for _, s in steps] == [s.to_bytes() for _, s in result.steps]

    def test_without_keeping_steps(self) -> None:
        start = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
        recorder = Recorder(start)
        result = play_game(start, "wordpress", 300, recorder, keep_steps=False)
        assert result.steps == [] and result.pieces == 300
        recorder.finish(2)
        _, steps = load_bytes(recorder.to_bytes())
        assert len(steps) == result.actions
        assert steps[-1][1].to_bytes() == result.final.to_bytes()

    @pytest.mark.parametrize("bot", ["wordpress", "random"])
    def test_same_start_same_game(self, bot: str) -> None:
        start = GameStatePy(corvelle_vim.generate_seed(5, bytes.fromhex(SEED_HEX)))
        a = play_game(start, bot, 150)
        b = play_game(start, bot, 150)
        assert [(n, s.to_bytes()) for n, s in a.steps] == [(n, s.to_bytes()) for n, s in b.steps]

    def test_moves_are_the_ones_datagen_records(self) -> None:
        # datagen's game 0 of a master seed, played by the command line from the same seed.
        from corvelle.datagen import _play

        master = bytes(range(32))
        rows = _play.GameRows()
        _play.play_game(rows, 0, master, "random", 40)
        start = GameStatePy(corvelle_vim.generate_seed(0, _play.game_seed(master, 0)))
        result = play_game(start, "random", 40)
        assert rows.columns["action"] == [a for a, _ in result.steps]
        assert rows.columns["next_state"][-1] == bytes(result.final)

    def test_ends_with_the_game(self) -> None:
        start = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
        result = play_game(start, "random", 10**9)
        assert result.final.game_over and result.pieces < 10**9
        assert not any(s.game_over for _, s in result.steps[:-1])
