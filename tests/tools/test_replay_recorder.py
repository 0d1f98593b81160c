"""Recording games with corvelle.replay.Recorder and playing the recordings back."""

from __future__ import annotations

import struct

import corvelle_vim
import pytest
from tool_games import Game, play
from corvelle_vim import GameStatePy

from corvelle import Recorder, load, load_bytes
from corvelle.replay import (
    FORFEIT,
    GAME_OVER_REASONS,
    KNOCKOUT,
    Segment,
    game_over_reason,
    read_segments,
)

INIT_BYTES, UPDATE_BYTES, GAME_OVER_BYTES = 44, 54, 8


def new_game(ts: int = 0, seed: bytes = bytes(32)) -> GameStatePy:
    return GameStatePy(corvelle_vim.generate_seed(ts, seed))


def assert_plays_back(game: Game, initial: GameStatePy, steps: list) -> None:
    assert initial.to_bytes() == game.initial.to_bytes()
    assert [a for a, _ in steps] == [a for a, _ in game.steps]
    for i, ((_, got), (_, want)) in enumerate(zip(steps, game.steps)):
        assert got.to_bytes() == want.to_bytes(), f"state after action {i} differs"


class TestPlayback:
    def test_thousands_of_actions_play_back_identically(self, long_game: Game) -> None:
        initial, steps = load_bytes(long_game.recorder.to_bytes())
        assert len(steps) == 3000
        assert_plays_back(long_game, initial, steps)

    def test_saved_file_plays_back_identically(self, long_game: Game, tmp_path) -> None:
        path = tmp_path / "game.cvr"
        long_game.recorder.save(path)
        assert path.read_bytes() == long_game.recorder.to_bytes()
        initial, steps = load(path)
        assert_plays_back(long_game, initial, steps)
        initial, steps = load(str(path))
        assert len(steps) == 3000

    def test_game_ended_by_knockout(self, knockout_game: Game) -> None:
        initial, steps = load_bytes(knockout_game.recorder.to_bytes())
        assert_plays_back(knockout_game, initial, steps)
        assert steps[-1][1].game_over
        assert not any(state.game_over for _, state in steps[:-1])
        segments = knockout_game.recorder.segments()
        assert segments[-1].name == "GameOver"
        assert game_over_reason(segments) == KNOCKOUT

    def test_start_time_enters_the_replay(self) -> None:
        game = play(bytes([7] * 32), -123_456_789, "wordpress", 40, 40)
        game.recorder.finish(FORFEIT)
        initial, steps = load_bytes(game.recorder.to_bytes())
        assert_plays_back(game, initial, steps)
        init = game.recorder.segments()[0].data
        assert struct.unpack_from("<q", init, 36)[0] == -123_456_789
        assert init[4:36] == bytes([7] * 32)

    def test_replay_without_game_over_plays_back(self) -> None:
        game = play(bytes(32), 0, "wordpress", 30, 30)
        initial, steps = load_bytes(game.recorder.to_bytes())
        assert_plays_back(game, initial, steps)

    def test_single_actions_record_like_episodes(self) -> None:
        state = new_game()
        recorder = Recorder(state)
        path = ["Hold", "MoveLeft", "RotateRight", "SoftDrop", "HardDrop", "MoveRight", "HardDrop"]
        played = []
        for action in path:
            state = dict(state.next_actions_and_states)[action]
            recorder.record(state)
            played.append(state.to_bytes())
        recorder.finish(FORFEIT)
        _, steps = load_bytes(recorder.to_bytes())
        assert [a for a, _ in steps] == path
        assert [s.to_bytes() for _, s in steps] == played


class TestStream:
    def test_layout(self, long_game: Game) -> None:
        data = long_game.recorder.to_bytes()
        assert struct.unpack_from("<Q", data)[0] == 3002 == len(long_game.recorder)
        assert len(data) == 8 + INIT_BYTES + 3000 * UPDATE_BYTES + GAME_OVER_BYTES
        segments = read_segments(data)
        assert [s.variant for s in segments] == [0] + [1] * 3000 + [2]
        assert [s.idx for s in segments[1:-1]] == list(range(3000))
        assert [s.action for s in segments[1:-1]] == [a for a, _ in long_game.steps]
        assert data.endswith(struct.pack("<II", 2, FORFEIT))

    def test_segments_are_the_states_last_segments(self, long_game: Game) -> None:
        segments = long_game.recorder.segments()
        assert segments[0] == Segment.of_state(long_game.initial)
        for segment, (_, state) in zip(segments[1:], long_game.steps[:200]):
            assert segment == Segment.of_state(state)

    def test_init_segment_of_a_new_game(self) -> None:
        seed = bytes(range(100, 132))
        segment = Segment.of_state(new_game(5, seed))
        assert segment.data == struct.pack("<I", 0) + seed + struct.pack("<q", 5)

    @pytest.mark.parametrize("reason", range(len(GAME_OVER_REASONS)))
    def test_finish_writes_the_reason(self, reason: int) -> None:
        recorder = Recorder(new_game())
        recorder.finish(reason)
        assert recorder.to_bytes()[-GAME_OVER_BYTES:] == struct.pack("<II", 2, reason)
        assert recorder.finished

    @pytest.mark.parametrize(
        "data, message",
        [
            (b"", "replay stream ends inside its segment count"),
            (struct.pack("<Q", 1), "replay stream ends inside segment 0"),
            (struct.pack("<QI", 1, 0) + bytes(39), "replay stream ends inside segment 0"),
            (struct.pack("<QI", 1, 3), "segment 0 has the unknown variant 3"),
        ],
    )
    def test_read_segments_refuses_broken_streams(self, data: bytes, message: str) -> None:
        with pytest.raises(ValueError, match=f"^{message}$"):
            read_segments(data)

    def test_read_segments_ignores_trailing_bytes(self) -> None:
        recorder = Recorder(new_game())
        recorder.finish()
        assert len(read_segments(recorder.to_bytes() + b"\xff" * 9)) == 2


class TestRecorderRefuses:
    def test_start_from_a_state_after_an_action(self) -> None:
        after = new_game().next_actions_and_states[0][1]
        with pytest.raises(ValueError, match="starts from a new game; .* is Update$"):
            Recorder(after)

    def test_a_new_game_as_a_step(self) -> None:
        recorder = Recorder(new_game())
        with pytest.raises(ValueError, match="last segment is Init$"):
            recorder.record(new_game())

    def test_a_skipped_step(self) -> None:
        state = new_game()
        steps = state.generate_bot_episode("wordpress", 3)
        recorder = Recorder(state)
        recorder.record(steps[0][1])
        with pytest.raises(ValueError, match="holds slice 2, the recording expects slice 1$"):
            recorder.record(steps[2][1])
        recorder.record(steps[1][1])
        assert recorder.actions == 2

    def test_a_repeated_step(self) -> None:
        state = new_game()
        step = state.next_actions_and_states[0][1]
        recorder = Recorder(state)
        recorder.record(step)
        with pytest.raises(ValueError, match="holds slice 0, the recording expects slice 1$"):
            recorder.record(step)

    def test_steps_after_finish(self) -> None:
        state = new_game()
        recorder = Recorder(state)
        recorder.finish()
        with pytest.raises(ValueError, match="^the recording is finished"):
            recorder.record(state.next_actions_and_states[0][1])
        with pytest.raises(ValueError, match="^the recording is already finished$"):
            recorder.finish()
        assert len(recorder) == 2

    @pytest.mark.parametrize("reason", [-1, 4, 2**32])
    def test_unknown_reason(self, reason: int) -> None:
        recorder = Recorder(new_game())
        with pytest.raises(ValueError, match=f"^game-over reason must be 0 to 3, got {reason}$"):
            recorder.finish(reason)
        assert not recorder.finished and len(recorder) == 1


class TestLoad:
    def test_engine_errors_pass_through(self, tmp_path) -> None:
        path = tmp_path / "empty.cvr"
        path.write_bytes(b"")
        with pytest.raises(ValueError, match="^bad data: io error: unexpected end of file$"):
            load(path)

    def test_too_short_recording(self) -> None:
        recorder = Recorder(new_game())
        recorder.finish()
        with pytest.raises(ValueError, match="^not enough segments in savefile.$"):
            load_bytes(recorder.to_bytes())

    def test_missing_file(self, tmp_path) -> None:
        with pytest.raises(FileNotFoundError):
            load(tmp_path / "missing.cvr")
