"""Hostile inputs and conditions around the engine: corrupted replay files, inputs that are not
replay files, files written on a full disk, an interrupted `corvelle play`."""

from __future__ import annotations

import re
import resource
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any, List, Tuple

import pytest
from corvelle_vim import GameStatePy
from tool_games import Game, play

from corvelle import load, load_bytes, viewer
from corvelle.replay import FORFEIT, PlaybackMismatch, read_segments


def run(args: List[str], **kwargs: Any) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable] + args, capture_output=True, text=True, timeout=300,
                          **kwargs)


def one_error_line(result: subprocess.CompletedProcess, status: int, pattern: str) -> None:
    assert result.returncode == status, result.stderr
    assert re.fullmatch(f"corvelle: error: {pattern}\n", result.stderr), result.stderr


@pytest.fixture(scope="module")
def game() -> Game:
    g = play(bytes(range(32)), 5, "wordpress", 60, 60)
    g.recorder.finish(FORFEIT)
    return g


def flipped(data: bytes, slice_index: int, offset: int, bit: int = 1) -> bytes:
    """`data` with a bit flipped at `offset` inside Update segment `slice_index`."""
    out, pos = bytearray(data), 8
    for segment in read_segments(data):
        if segment.name == "Update" and segment.idx == slice_index:
            out[pos + offset] ^= bit
            return bytes(out)
        pos += len(segment.data)
    raise AssertionError(f"no slice {slice_index}")


class TestCorruptedReplays:
    @pytest.mark.parametrize("slice_index, offset, field", [(17, 15, "seed"), (40, 46, "garbage applied")])
    def test_the_first_differing_slice_is_named(self, game: Game, slice_index: int,
                                                offset: int, field: str) -> None:
        data = flipped(game.recorder.to_bytes(), slice_index, offset)
        with pytest.raises(PlaybackMismatch, match=f"slice {slice_index} differs in {field}; "):
            load_bytes(data)
        # Without strictness, and in the module itself, it plays through as before.
        assert len(load_bytes(data, strict=False)[1]) == len(game.steps)
        assert len(GameStatePy.load_replay_from_bytes(data)[1]) == len(game.steps)

    def test_bytes_after_the_last_segment(self, game: Game, tmp_path: Path) -> None:
        data = bytearray(game.recorder.to_bytes())
        data[0] -= 2  # the count leaves out the last Update and the GameOver
        (tmp_path / "game.cvr").write_bytes(bytes(data))
        with pytest.raises(PlaybackMismatch, match=r"^62 bytes follow the last segment$") as e:
            load(tmp_path / "game.cvr")
        assert (e.value.first_slice, e.value.trailing) == (None, 62)
        assert len(load(tmp_path / "game.cvr", strict=False)[1]) == len(game.steps) - 1

    def test_no_single_bit_flip_plays_as_another_game(self, game: Game) -> None:
        """Every flip in the count, the first slices, the last slice and the game over is
        refused or plays back the recorded game. (Garbage a slice receives is the stream's
        input; received in the last slice it is never applied, so a flip there records
        another game that plays back faithfully.)"""
        data = game.recorder.to_bytes()
        last = len(data) - 8 - 54
        silent = []
        for begin, end in ((0, 8 + 44 + 54 * 3), (last, last + 44), (last + 46, len(data))):
            for bit in range(begin * 8, end * 8):
                corrupt = bytearray(data)
                corrupt[bit // 8] ^= 1 << bit % 8
                try:
                    _, steps = load_bytes(bytes(corrupt))
                except ValueError:
                    continue
                if steps[-1][1].to_bytes() != game.steps[-1][1].to_bytes():
                    silent.append(bit)
        assert silent == []

    def test_cli_refuses_a_different_game(self, game: Game, tmp_path: Path) -> None:
        path = tmp_path / "bad.cvr"
        path.write_bytes(flipped(game.recorder.to_bytes(), 3, 12))
        one_error_line(run(["-m", "corvelle", "replay", str(path)]), 2,
                       re.escape(f"{path}: replay plays back as a different game: slice 3 "
                                 "differs in seed; ") + r"\d+ slices? differs?")
        lenient = run(["-m", "corvelle", "replay", str(path), "--no-strict"])
        assert lenient.returncode == 0 and f"actions     {len(game.steps)}\n" in lenient.stdout

    def test_cli_refuses_what_is_no_replay_file_before_reading_it(self, tmp_path: Path) -> None:
        one_error_line(run(["-m", "corvelle", "replay", "/dev/zero"]), 2,
                       "/dev/zero: not a regular file")
        path = tmp_path / "sparse.cvr"
        with open(path, "wb") as f:
            f.write((2).to_bytes(8, "little"))
            f.truncate(1 << 30)
        one_error_line(run(["-m", "corvelle", "replay", str(path)]), 2,
                       re.escape(f"{path}: 1073741824 bytes, more than the 2 segments its "
                                 "header counts can fill (116 bytes)"))


    def test_cli_without_memory_for_a_file(self, tmp_path: Path) -> None:
        path = tmp_path / "huge.cvr"
        with open(path, "wb") as f:
            f.write((20_000_000).to_bytes(8, "little"))
            f.truncate(8 + 20_000_000 * 54)  # sparse: as large as its count allows
        one_error_line(run(["-m", "corvelle", "replay", str(path)], preexec_fn=lambda: (
            resource.setrlimit(resource.RLIMIT_AS, (800 << 20, 800 << 20)))), 1,
            re.escape(f"cannot read {path}: not enough memory"))


def full_disk() -> None:
    """Runs in a child before it starts: files may grow to 512 bytes only, and a write past
    that fails (EFBIG), as a write to a full disk fails (ENOSPC)."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


# Saves a replay and its viewer page over files holding "old"; prints each failure.
_SAVE_OVER_OLD = """
import corvelle_vim
from corvelle import Recorder, viewer
state = corvelle_vim.GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
steps = state.generate_bot_episode("wordpress", 400)
recorder = Recorder(state)
recorder.record_steps(steps)
for name, save in (("game.cvr", recorder.save), ("game.html", lambda p: viewer.write(p, state, steps))):
    try:
        save(name)
    except OSError as e:
        print(name, e.strerror)
"""

# Plays each env to a knockout, then 12 steps of an episode that the next reset leaves;
# prints the flag of both writes and the warnings.
_ENV_ON_FULL_DISK = """
import warnings
import numpy as np
from corvelle.envs import KeyEnv, PlacementEnv
rng = np.random.default_rng(0)
warnings.simplefilter("always")
for env in (PlacementEnv(replay_dir="runs"), KeyEnv(replay_dir="runs")):
    with warnings.catch_warnings(record=True) as caught:
        env.reset(seed=1)
        while not (result := env.step(int(rng.choice(np.flatnonzero(env.action_masks())))))[2]:
            pass
        env.reset()
        for _ in range(12):
            env.step(int(rng.choice(np.flatnonzero(env.action_masks()))))
        print(result[4]["replay_write_failed"], env.reset()[1]["replay_write_failed"],
              [str(w.message).split(": ")[-1] for w in caught])
"""


class TestFullDisk:
    def test_saved_files_stay_whole(self, tmp_path: Path) -> None:
        for name in ("game.cvr", "game.html"):
            (tmp_path / name).write_text("old")
        result = run(["-c", _SAVE_OVER_OLD], cwd=tmp_path, preexec_fn=full_disk)
        assert result.stdout == "game.cvr File too large\ngame.html File too large\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["game.cvr", "game.html"]
        assert {(tmp_path / name).read_text() for name in ("game.cvr", "game.html")} == {"old"}

    @pytest.mark.parametrize("option, name", [("--replay", "game.cvr"), ("--html", "game.html")])
    def test_play_writes_no_half_file(self, tmp_path: Path, option: str, name: str) -> None:
        result = run(["-m", "corvelle", "play", "--pieces", "200", option, name],
                     cwd=tmp_path, preexec_fn=full_disk)
        one_error_line(result, 1, f"cannot write {name}: File too large")
        assert list(tmp_path.iterdir()) == []

    def test_env_episode_writer_warns_and_goes_on(self, tmp_path: Path) -> None:
        result = run(["-c", _ENV_ON_FULL_DISK], cwd=tmp_path, preexec_fn=full_disk)
        assert result.returncode == 0, result.stderr
        assert result.stdout == "True True ['File too large', 'File too large']\n" * 2
        assert list((tmp_path / "runs").iterdir()) == []


# Runs the command line and prints its exit status and peak memory in KiB (the process's own
# high-water mark; ru_maxrss would carry over the parent's).
_PEAK = """
import re, sys
from corvelle.cli import main
status = main(sys.argv[1:])
print(status, re.search(r"VmHWM:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
"""


class TestPlay:
    def test_ctrl_c_saves_what_was_played(self, tmp_path: Path) -> None:
        replay, page = tmp_path / "game.cvr", tmp_path / "game.html"
        child = subprocess.Popen(
            [sys.executable, "-m", "corvelle", "play", "--pieces", "100000000", "--no-progress",
             "--replay", str(replay), "--html", str(page)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        assert child.stdout is not None
        seed = child.stdout.readline().split()[1]
        child.stdout.readline(), child.stdout.readline()  # start time, repeat: play begins
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
        assert child.returncode == 130, err
        pieces = re.fullmatch(r"corvelle: interrupted after (\d+) pieces\n", err)
        assert pieces, err
        assert read_segments(replay.read_bytes())[-1].reason == FORFEIT
        initial, steps = load(replay)
        assert sum(action == "HardDrop" for action, _ in steps) == int(pieces.group(1))
        assert f"actions     {len(steps)}\n" in out
        title = f"corvelle: wordpress bot, seed {seed[:16]}..."
        assert page.read_text() == viewer.render(initial, steps, title)

    def test_viewer_page_of_a_long_game_takes_no_more_memory(self, tmp_path: Path) -> None:
        def peak_and_actions(pieces: int) -> Tuple[int, int]:
            result = run(["-c", _PEAK, "play", "--seed", "11" * 32, "--pieces", str(pieces),
                          "--no-progress", "--html", str(tmp_path / "game.html")])
            *_, status, peak = result.stdout.split()
            actions = re.search(r"^actions +(\d+)$", result.stdout, re.M)
            assert status == "0" and actions, result.stderr
            return int(peak), int(actions.group(1))

        short, _ = peak_and_actions(100)
        # The bot breaks ties at random and now and then loses this game early: try again.
        for _ in range(5):
            long, actions = peak_and_actions(5000)
            if actions >= 10_000:
                break
        assert actions >= 10_000, "the long game ended early every time"
        # 10,000 steps held as states and frames would take 10 MiB and more.
        assert long - short < 4 * 1024
