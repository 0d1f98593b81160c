"""corvelle.bytestate: reading a state's fields from its byte form, checked against the
engine's own attributes for the same bytes."""

from __future__ import annotations

import struct
from typing import List

import corvelle_vim
import pytest
from corvelle_vim import GameStatePy
from tool_games import Game

from corvelle.bytestate import KINDS, DecodedState, decode, last_segment

CURRENT_PCS = 212
NO_PIECE = ("", -666, (-127, -127))


def zero_game() -> GameStatePy:
    return GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))


def splice(data: List[int], at: int, remove: int, insert: bytes) -> List[int]:
    return data[:at] + list(insert) + data[at + remove :]


def offsets(data: List[int]) -> dict:
    """Offsets of the optional fields and the last segment, walked by hand."""
    pos = CURRENT_PCS
    found = {"current_pcs": pos}
    pos += 13 if data[pos] else 1
    pos += 2
    found["hold_pcs"] = pos
    pos += 6 if data[pos] else 1
    found["game_over_reason"] = pos
    pos += 5 if data[pos] else 1
    pos += 64 + 8 + 10
    found["last_segment"] = pos
    return found


def variants(game: Game) -> List[List[int]]:
    """Byte forms covering every combination the layout depends on: falling piece present or
    not, hold present or not, each game-over reason or none, each last-segment variant."""
    new = zero_game()
    held = dict(new.next_actions_and_states)["Hold"]
    knocked_out = game.steps[-1][1]
    out = [new.to_bytes(), held.to_bytes(), knocked_out.to_bytes()]
    for base in list(out):
        at = offsets(base)
        if base[at["current_pcs"]]:
            out.append(splice(base, at["current_pcs"], 13, b"\x00"))
        for reason in range(4):
            out.append(
                splice(base, at["game_over_reason"], 5 if base[at["game_over_reason"]] else 1,
                       b"\x01" + struct.pack("<I", reason))
            )
        segment = base[at["last_segment"] : at["last_segment"] + 4]
        size = {0: 44, 1: 54, 2: 8}[segment[0]]
        out.append(splice(base, at["last_segment"], size, struct.pack("<II", 2, 1)))
        out.append(splice(base, at["last_segment"], size, struct.pack("<I", 0) + bytes(40)))
    return out


def assert_matches_engine(data: List[int]) -> DecodedState:
    state = GameStatePy.state_from_bytes(data)
    assert state.to_bytes() == data
    s = decode(data)
    assert s.score == state.score
    assert (s.is_t_spin, s.is_t_mini_spin, s.is_b2b) == (
        state.is_t_spin,
        state.is_t_mini_spin,
        state.is_b2b,
    )
    assert s.combo_counter == state.combo_counter
    assert s.total_lines == state.total_lines
    assert s.total_garbage_sent == state.total_garbage_sent
    assert s.garbage_recv == state.garbage_recv
    assert s.total_moves == state.total_move_count
    assert s.game_over == state.game_over
    assert (s.hold.kind if s.hold else None) == state.hold
    assert list(s.next_pcs) == state.next_pcs
    piece = s.current_pcs
    triple = (piece.kind, piece.rotation, (piece.row, piece.column)) if piece else NO_PIECE
    assert triple == state.current_pcs
    solid = [[1 <= s.cell(row, col) <= 8 for col in range(10)] for row in range(19, -1, -1)]
    assert solid == state.main_board
    assert last_segment(data) == s.last_segment
    return s


class TestAgainstTheEngine:
    def test_states_of_a_long_game(self, long_game: Game) -> None:
        for _, state in long_game.steps[::23]:
            assert_matches_engine(state.to_bytes())

    def test_every_layout_variant(self, knockout_game: Game) -> None:
        seen = set()
        for data in variants(knockout_game):
            s = assert_matches_engine(data)
            seen.add(
                (s.current_pcs is None, s.hold is None, s.game_over_reason, s.last_segment[0])
            )
        assert {k[0] for k in seen} == {True, False}
        assert {k[1] for k in seen} == {True, False}
        assert {k[2] for k in seen} == {None, 0, 1, 2, 3}
        assert {k[3] for k in seen} == {0, 1, 2}

    @pytest.mark.parametrize("first", [0, 56])
    def test_every_board_byte_value(self, first: int) -> None:
        data = zero_game().to_bytes()
        board = [(first + k) % 256 for k in range(200)]
        data[8:208] = board
        s = assert_matches_engine(data)
        for y in range(40):
            for x in range(10):
                byte = board[5 * y + x // 2]
                assert s.cell(y, x) == (byte >> 4 if x % 2 == 0 else byte & 15)
        assert s.board == bytes(board)


class TestKnownState:
    def test_zero_seed_game(self) -> None:
        s = decode(zero_game().to_bytes())
        assert s.current_pcs == ("Z", 0, 18, 3, 0)
        assert s.next_pcs_bags == "ZLJIOTSSZTIJOL" and s.next_pcs == "LJIOT"
        assert (s.current_id, s.next_pcs_idx, s.combo_counter) == (1, 1, -1)
        assert s.last_action == "Nothing" and s.hold is None and s.game_over_reason is None
        assert s.init_seed == bytes(32) and s.start_time == 0
        assert s.last_segment == bytes(44)
        z = KINDS.index("Z") + 1
        piece = {(19, 4), (19, 5), (20, 3), (20, 4)}
        ghost = {(0, 4), (0, 5), (1, 3), (1, 4)}
        for y in range(40):
            for x in range(10):
                want = z if (y, x) in piece else 9 if (y, x) in ghost else 0
                assert s.cell(y, x) == want, (y, x)
        assert len(s.cells) == 400

    def test_held_piece(self) -> None:
        held = dict(zero_game().next_actions_and_states)["Hold"]
        s = decode(held.to_bytes())
        assert s.hold == ("Z", False)
        assert s.last_action == "Hold"
        assert s.last_segment[:4] == b"\x01\x00\x00\x00" and len(s.last_segment) == 54

    @pytest.mark.parametrize("row, col", [(-1, 0), (40, 0), (0, -1), (0, 10)])
    def test_cell_off_the_board(self, row: int, col: int) -> None:
        with pytest.raises(IndexError, match=rf"^cell \({row}, {col}\) is off the 40 x 10 board$"):
            decode(zero_game().to_bytes()).cell(row, col)

    def test_accepts_bytes_and_ignores_trailing_bytes(self) -> None:
        data = zero_game().to_bytes()
        assert decode(bytes(data)) == decode(data) == decode(bytes(data) + b"\x07" * 20)


class TestBrokenBytes:
    def test_every_proper_prefix_fails(self) -> None:
        data = bytes(zero_game().to_bytes())
        for end in range(len(data)):
            with pytest.raises(ValueError, match="^state byte form ends inside "):
                decode(data[:end])
            # The last segment of this state ends at byte 355.
            if end < 355:
                with pytest.raises(ValueError, match="^state byte form ends inside "):
                    last_segment(data[:end])
            else:
                assert last_segment(data[:end]) == data[311:355]

    @pytest.mark.parametrize(
        "at, value, message",
        [
            (4, 2, "bad bool byte 2 at offset 4"),
            (6, 255, "bad bool byte 255 at offset 6"),
            (208, 8, "bad last_action index 8 at offset 208"),
            (212, 2, "bad presence tag 2 for current_pcs at offset 212"),
            (227, 3, "bad presence tag 3 for hold_pcs at offset 227"),
            (228, 2, "bad presence tag 2 for game_over_reason at offset 228"),
            (311, 3, "bad last_segment index 3 at offset 311"),
            (357, 7, "bad queued kind 7"),
        ],
    )
    def test_bad_values(self, at: int, value: int, message: str) -> None:
        data = bytearray(zero_game().to_bytes())
        data[at] = value
        with pytest.raises(ValueError, match=f"^{message}$"):
            decode(data)
