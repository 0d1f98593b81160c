"""Hostile inputs and conditions around the engine: corrupted replay files, inputs that are not
replay files, files written on a full disk, an interrupted `corvelle play`."""

from __future__ import annotations

import re
import resource
import signal
import subprocess
import sys
from pathlib import Path
from typing import List, Tuple

import corvelle_vim
import pytest
from corvelle_vim import GameStatePy
from tool_games import Game, play

from corvelle import load, load_bytes, viewer
from corvelle.replay import FORFEIT, PlaybackMismatch, read_segments

# Inside an Update segment (variant index included): where its fields start.
_SEED_AT, _APPLIED_AT = 12, 46


def run_cli(args: List[str], **kwargs: object) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "corvelle"] + args,
        capture_output=True, text=True, timeout=300, **kwargs,  # type: ignore[call-overload]
    )


def one_error_line(result: subprocess.CompletedProcess, status: int, pattern: str) -> None:
    assert result.returncode == status, result.stderr
    assert result.stderr.count("\n") == 1, result.stderr
    assert re.fullmatch("corvelle: error: " + pattern, result.stderr[:-1]), result.stderr


@pytest.fixture(scope="module")
def short_game() -> Game:
    game = play(bytes(range(32)), 5, "wordpress", 60, 60)
    game.recorder.finish(FORFEIT)
    return game


def update_offset(data: bytes, slice_index: int) -> int:
    """Where Update segment `slice_index` starts in a stream."""
    pos = 8
    for segment in read_segments(data):
        if segment.name == "Update" and segment.idx == slice_index:
            return pos
        pos += len(segment.data)
    raise AssertionError(f"no slice {slice_index}")


class TestCorruptedReplays:
    def test_a_flipped_seed_bit_names_the_slice_and_field(self, short_game: Game) -> None:
        data = bytearray(short_game.recorder.to_bytes())
        data[update_offset(bytes(data), 17) + _SEED_AT + 3] ^= 0x10
        with pytest.raises(PlaybackMismatch, match=r"slice 17 differs in seed; 1 slice differs") as e:
            load_bytes(bytes(data))
        assert (e.value.first_slice, e.value.fields, e.value.slices) == (17, ("seed",), 1)
        # Played through as before without strictness, and by the module itself.
        initial, steps = load_bytes(bytes(data), strict=False)
        assert len(steps) == len(short_game.steps)
        assert len(GameStatePy.load_replay_from_bytes(bytes(data))[1]) == len(steps)

    def test_an_edited_garbage_count_is_reported(self, short_game: Game) -> None:
        data = bytearray(short_game.recorder.to_bytes())
        data[update_offset(bytes(data), 40) + _APPLIED_AT] ^= 1
        with pytest.raises(PlaybackMismatch) as e:
            load_bytes(bytes(data))
        assert (e.value.first_slice, e.value.fields) == (40, ("garbage applied",))

    def test_a_smaller_segment_count_leaves_trailing_bytes(self, short_game: Game) -> None:
        data = bytearray(short_game.recorder.to_bytes())
        data[0] -= 2
        with pytest.raises(PlaybackMismatch, match=r"^62 bytes follow the last segment$") as e:
            load_bytes(bytes(data))
        assert (e.value.first_slice, e.value.trailing) == (None, 62)
        assert len(load_bytes(bytes(data), strict=False)[1]) == len(short_game.steps) - 1

    def test_no_single_bit_flip_plays_as_another_game(self, short_game: Game) -> None:
        """Every flip in the count, the first slices, the last slice and the game over is
        refused or plays back the recorded game. (The garbage a slice receives is the
        stream's input; received in the last slice it is never applied, so a flip there
        records another game that plays back faithfully.)"""
        data = short_game.recorder.to_bytes()
        want = short_game.steps[-1][1].to_bytes()
        last = update_offset(data, len(short_game.steps) - 1)
        spans = [(0, 8 + 44 + 54 * 3), (last, last + 44), (last + 46, len(data))]
        silent = []
        for begin, end in spans:
            for bit in range(begin * 8, end * 8):
                flipped = bytearray(data)
                flipped[bit // 8] ^= 1 << bit % 8
                try:
                    _, steps = load_bytes(bytes(flipped))
                except ValueError:
                    continue
                if len(steps) != len(short_game.steps) or steps[-1][1].to_bytes() != want:
                    silent.append(bit)
        assert silent == []

    def test_load_is_strict_by_default(self, short_game: Game, tmp_path: Path) -> None:
        path = tmp_path / "game.cvr"
        path.write_bytes(short_game.recorder.to_bytes() + b"\0")
        with pytest.raises(PlaybackMismatch, match="1 bytes follow"):
            load(path)
        assert len(load(path, strict=False)[1]) == len(short_game.steps)

    def test_cli_refuses_a_different_game(self, short_game: Game, tmp_path: Path) -> None:
        data = bytearray(short_game.recorder.to_bytes())
        data[update_offset(bytes(data), 3) + _SEED_AT] ^= 1
        path = tmp_path / "bad.cvr"
        path.write_bytes(bytes(data))
        one_error_line(
            run_cli(["replay", str(path)]), 2,
            re.escape(f"{path}: replay plays back as a different game: slice 3 differs in seed")
            + r"; \d+ slices? differs?",
        )
        lenient = run_cli(["replay", str(path), "--no-strict"])
        assert lenient.returncode == 0 and f"actions     {len(short_game.steps)}" in lenient.stdout


class TestReplayInputs:
    def test_a_device_is_refused_at_once(self) -> None:
        one_error_line(run_cli(["replay", "/dev/zero"]), 2, "/dev/zero: not a regular file")

    def test_a_file_larger_than_its_count_allows(self, tmp_path: Path) -> None:
        path = tmp_path / "sparse.cvr"
        with open(path, "wb") as f:
            f.write((2).to_bytes(8, "little"))
            f.truncate(1 << 30)  # sparse: nothing past the header is read
        one_error_line(
            run_cli(["replay", str(path)]), 2,
            re.escape(f"{path}: 1073741824 bytes, more than the 2 segments its header counts "
                      "can fill (116 bytes)"),
        )


def full_disk() -> None:
    """Runs in a child before it starts: files may grow to 512 bytes only, and a write past
    that fails with EFBIG, as a write to a full disk fails with ENOSPC."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def run_on_full_disk(args: List[str], cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable] + args, capture_output=True, text=True, timeout=300, cwd=cwd,
        preexec_fn=full_disk,
    )


# Writes a long replay and its viewer page over files that hold "old"; prints what the failed
# writes raised.
_SAVE_OVER_OLD = """
import corvelle_vim
from corvelle import Recorder, viewer
from corvelle_vim import GameStatePy
state = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
steps = state.generate_bot_episode("wordpress", 400)
recorder = Recorder(state)
recorder.record_steps(steps)
for name, write in (("game.cvr", recorder.save), ("game.html", None)):
    try:
        if write is None:
            viewer.write(name, state, steps)
        else:
            write(name)
    except OSError as e:
        print(name, e.strerror)
"""

# Plays a PlacementEnv and a KeyEnv with replay files to a knockout and on, printing each
# warning and the flag of each call that wrote or should have written a file.
_ENV_ON_FULL_DISK = """
import warnings
import numpy as np
from corvelle.envs import KeyEnv, PlacementEnv
rng = np.random.default_rng(0)
for env in (PlacementEnv(replay_dir="runs", replay_prefix="p"),
            KeyEnv(replay_dir="runs", replay_prefix="k")):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        obs, info = env.reset(seed=1)
        steps = 0
        terminated = False
        while not terminated:
            mask = info["action_mask"]
            action = int(rng.choice(np.flatnonzero(mask)))
            obs, reward, terminated, _, info = env.step(action)
            steps += 1
            if info["replay_write_failed"]:
                print(type(env).__name__, "knockout flag after", steps, "steps")
        # An episode left unfinished is written by the next reset.
        obs, info = env.reset()
        for _ in range(12):
            env.step(int(rng.choice(np.flatnonzero(env.action_masks()))))
        obs, info = env.reset()
        print(type(env).__name__, "reset flag", info["replay_write_failed"], len(env.replays.paths))
    for w in caught:
        print(w.category.__name__, str(w.message).split(":")[-1].strip())
"""


class TestFullDisk:
    def test_saved_files_stay_whole(self, tmp_path: Path) -> None:
        for name in ("game.cvr", "game.html"):
            (tmp_path / name).write_text("old")
        result = run_on_full_disk(["-c", _SAVE_OVER_OLD], tmp_path)
        assert result.stdout.splitlines() == ["game.cvr File too large", "game.html File too large"]
        assert sorted(p.name for p in tmp_path.iterdir()) == ["game.cvr", "game.html"]
        assert all((tmp_path / name).read_text() == "old" for name in ("game.cvr", "game.html"))

    def test_play_writes_no_half_replay(self, tmp_path: Path) -> None:
        result = run_on_full_disk(
            ["-m", "corvelle", "play", "--pieces", "200", "--replay", "game.cvr"], tmp_path
        )
        assert result.returncode == 1
        assert result.stderr.splitlines() == ["corvelle: error: cannot write game.cvr: File too large"]
        assert list(tmp_path.iterdir()) == []

    def test_env_episode_writer_warns_and_goes_on(self, tmp_path: Path) -> None:
        result = run_on_full_disk(["-c", _ENV_ON_FULL_DISK], tmp_path)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        for env in ("PlacementEnv", "KeyEnv"):
            mine = [line for line in lines if line.startswith(env)]
            assert len(mine) == 2 and "knockout flag after" in mine[0], lines
            # The left episode of the last reset was not written either; no file was.
            assert mine[1] == f"{env} reset flag True 0"
        warned = [line for line in lines if line.startswith("RuntimeWarning")]
        assert warned == ["RuntimeWarning File too large"] * 4
        assert [p.name for p in (tmp_path / "runs").iterdir()] == []


# Runs the command line in this process and prints its exit status and peak memory (KiB; the
# process's own high-water mark, which unlike ru_maxrss does not carry over from its parent).
_PEAK = """
import re, sys
from corvelle.cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as f:
    print("peak", status, re.search(r"VmHWM:\\s+(\\d+)", f.read()).group(1))
"""


class TestPlayInterrupted:
    def test_ctrl_c_saves_what_was_played(self, tmp_path: Path) -> None:
        replay, page = tmp_path / "game.cvr", tmp_path / "game.html"
        child = subprocess.Popen(
            [sys.executable, "-m", "corvelle", "play", "--pieces", "100000000", "--no-progress",
             "--replay", str(replay), "--html", str(page)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        assert child.stdout is not None
        # Seed, start time, repeat: then play begins.
        head = "".join(child.stdout.readline() for _ in range(3))
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
        out = head + out
        assert child.returncode == 130, err
        m = re.fullmatch(r"corvelle: interrupted after (\d+) pieces\n", err)
        assert m, err
        segments = read_segments(replay.read_bytes())
        assert segments[-1].name == "GameOver" and segments[-1].reason == FORFEIT
        initial, steps = load(replay)
        assert sum(action == "HardDrop" for action, _ in steps) == int(m.group(1))
        assert f"actions     {len(steps)}\n" in out
        assert page.read_text() == viewer.render(initial, steps, page_title(out))

    def test_viewer_page_of_a_long_game_takes_no_more_memory(self, tmp_path: Path) -> None:
        def peak_and_actions(pieces: int) -> Tuple[int, int]:
            result = subprocess.run(
                [sys.executable, "-c", _PEAK, "play", "--seed", "11" * 32, "--pieces",
                 str(pieces), "--no-progress", "--html", str(tmp_path / "game.html")],
                capture_output=True, text=True, timeout=300,
            )
            *_, status, peak = result.stdout.split()
            assert status == "0", result.stderr
            actions = re.search(r"^actions +(\d+)$", result.stdout, re.M)
            assert actions
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


def page_title(out: str) -> str:
    seed = re.search(r"^seed +([0-9a-f]{64})$", out, re.M)
    assert seed
    return f"corvelle: wordpress bot, seed {seed.group(1)[:16]}..."
