"""The packed board (cell codes, drawing and erasing pieces) and the board metrics, as seen
through the state's attributes and byte form."""

import sys

import pytest

from helpers import (
    board_codes,
    board_from_picture,
    board_picture,
    build_state,
    decoded,
    in_fresh_interpreter,
    make_state,
    successors,
    to_py,
)

SOLID_CODES = set(range(1, 9))


@pytest.mark.parametrize("byte", range(256))
def test_every_board_byte_reads_by_its_nibbles_and_round_trips(byte):
    board = bytearray(200)
    board[5 * 19] = byte  # row 19, columns 0 and 1: the first row of main_board
    s = make_state(bytes(board))
    row = s.main_board[0]
    assert row[0] == ((byte >> 4) in SOLID_CODES)
    assert row[1] == ((byte & 0xF) in SOLID_CODES)
    assert row[2:] == [False] * 8
    assert s.to_bytes()[8:208] == list(board)


def test_cell_lives_in_byte_5y_plus_half_x():
    s = make_state(["...G......"])  # row 0, column 3
    b = s.to_bytes()[8:208]
    assert b[1] == 0x08 and sum(b) == 8


@pytest.mark.parametrize(
    "byte, cells",
    [(0x00, (0, 0)), (0x88, (8, 8)), (0x19, (1, 9)), (0xAF, (10, 15))],
)
def test_known_pair_bytes(byte, cells):
    board = bytearray(200)
    board[0] = byte
    assert board_codes([0] * 8 + list(board))[0][:2] == list(cells)


def test_main_board_is_the_lower_half_top_row_first():
    picture = ["I........."] + ["." * 10] * 18 + ["GGGGG.GGGG"]  # rows 19 .. 0
    s = make_state(["T........."] * 20 + picture)  # rows 20..39 hold T cells
    rows = s.main_board
    assert len(rows) == 20
    assert rows[0] == [True] + [False] * 9
    assert rows[19] == [True] * 5 + [False] + [True] * 4
    assert all(r == [False] * 10 for r in rows[1:19])


def count_bool_references() -> dict:
    picture = ["I........."] + ["." * 10] * 18 + ["GGGGG.GGGG"]
    s = make_state(["T........."] * 20 + picture)
    solid = sum(map(sum, s.main_board))
    before = sys.getrefcount(True), sys.getrefcount(False)
    boards = [s.main_board for _ in range(50)]
    held = sys.getrefcount(True), sys.getrefcount(False)
    del boards
    after = sys.getrefcount(True), sys.getrefcount(False)
    return {"solid": solid, "before": before, "held": held, "after": after}


def test_main_board_holds_one_reference_to_true_or_false_per_cell():
    # True and False get their references in one sum per call; the counts must still move
    # by exactly one per cell while the boards live and come back after.
    m = in_fresh_interpreter("test_board", "count_bool_references")
    solid, before, held, after = m["solid"], m["before"], m["held"], m["after"]
    # Slack of a few for references the interpreter takes for reasons of its own.
    assert abs(held[0] - before[0] - 50 * solid) <= 20
    assert abs(held[1] - before[1] - 50 * (200 - solid)) <= 20
    assert abs(after[0] - before[0]) <= 20 and abs(after[1] - before[1]) <= 20


def test_ghost_cells_are_not_solid_in_main_board():
    s = make_state(["gggggggggg"])
    assert s.main_board[19] == [False] * 10


def test_main_board_shows_the_falling_piece_only_in_the_lower_half():
    low = make_state(None, ("O", 0, (0, 0)))
    assert low.main_board[19][:2] == [True, True]
    high = make_state(None, ("O", 0, (30, 0)))
    assert all(r == [False] * 10 for r in high.main_board)


# --- drawing pieces: the edges of the board -------------------------------------------------


def test_i_piece_fits_with_its_empty_rows_below_the_floor():
    s = make_state(None, ("I", 0, (-1, 0)))  # its filled row 2 is board row 1
    down = successors(s)["SoftDrop"]
    assert down.current_pcs == ("I", 0, (-2, 0))
    assert board_picture(down, 2) == ["..........", "IIII......"]
    # At y = -3 the piece would leave the board: the next soft drop locks it instead.
    locked = successors(down)["SoftDrop"]
    assert locked.current_pcs == ("L", 0, (18, 3))
    assert (down.score, locked.score) == (2, 2)
    assert board_picture(locked, 1) == ["IIII......"]


def test_i_piece_fits_with_its_empty_row_above_row_39():
    s = make_state(None, ("I", 0, (37, 0)))  # grid row 3 would be board row 40
    nxt = successors(s)
    assert nxt["MoveRight"].current_pcs == ("I", 0, (37, 1))
    assert nxt["SoftDrop"].current_pcs == ("I", 0, (36, 0))
    assert board_codes(nxt["MoveRight"].to_bytes())[39] == [0, 1, 1, 1, 1, 0, 0, 0, 0, 0]


@pytest.mark.parametrize("x, fits", [(8, True), (9, False)])
def test_o_piece_at_the_right_edge(x, fits):
    s = make_state(None, ("O", 0, (0, x - 1)))
    assert ("MoveRight" in successors(s)) == fits


def test_piece_draws_over_ghost_cells():
    s = make_state(["gggggggggg"], ("O", 0, (1, 4)))
    down = successors(s)["SoftDrop"]
    assert down.current_pcs == ("O", 0, (0, 4))
    assert board_picture(down, 3) == ["..........", "....OO....", "....OO...."]


def test_piece_cannot_draw_over_garbage():
    s = make_state(["G........."], ("O", 0, (0, 1)))
    assert "MoveLeft" not in successors(s)


def test_erasing_a_piece_empties_whatever_its_cells_hold():
    # A decoded state whose falling piece sits on garbage cells: moving it away erases them.
    s = make_state(["....GG....", "....GG...."], ("O", 0, (0, 4)), draw=False)
    moved = successors(s)["MoveRight"]
    assert board_picture(moved, 2)[0][3:7] == "..OO"
    assert board_picture(moved, 2)[1][3:7] == "..OO"


# --- metrics ---------------------------------------------------------------------------------

METRICS = [
    # picture (top row first), height (get_height + 1), holes, bumpiness
    ("empty", None, 1, 0, 0),
    ("one cell at row 0 column 0", ["G........."], 1, 0, 0),
    ("one cell at row 3 column 4", ["....G.....", "..........", "..........", ".........."],
     4, 3, 3),
    ("column 0 rows 0 to 9", ["G........."] * 10, 10, 0, 9),
    ("ghost under a solid cell", ["....T.....", "....g.....", "....g....."], 3, 2, 2),
    ("ghost cells alone", ["gggggggggg", "gggggggggg"], 1, 0, 0),
    ("full bottom row", ["GGGGGGGGGG"], 1, 0, 0),
    ("gap under a piece cell", [".....T....", "GGGGG.GGGG"], 2, 1, 1),
    ("raw codes 10 to 15 are empty", ["..T.......", "abcdef...."], 2, 1, 1),
    ("cell in the top row", ["G........."] + ["." * 10] * 39, 40, 39, 39),
    ("bumpiness is a maximum, not a sum", ["G.G.G.G.G.", ".........."], 2, 5, 1),
    ("two holes in a column", ["G.........", "..........", "G.........", ".........."],
     4, 2, 3),
]


@pytest.mark.parametrize("picture, height, holes, bumpi",
                         [m[1:] for m in METRICS], ids=[m[0] for m in METRICS])
def test_metrics_of_a_board_without_a_falling_piece(picture, height, holes, bumpi):
    s = make_state(picture)
    assert (s.height, s.holes, s.bumpi) == (height, holes, bumpi)


@pytest.mark.parametrize("picture, height, holes, bumpi",
                         [m[1:] for m in METRICS], ids=[m[0] for m in METRICS])
def test_metrics_ignore_the_falling_piece(picture, height, holes, bumpi):
    s = make_state(picture, ("I", 1, (20, 5)))  # vertical I in column 7, rows 20 to 23
    assert (s.height, s.holes, s.bumpi) == (height, holes, bumpi)


def test_metrics_measure_a_piece_resting_on_the_stack_only_once_locked():
    s = make_state(["GGGG......"], ("O", 0, (1, 0)))
    assert (s.height, s.holes, s.bumpi) == (1, 0, 0)
    locked = successors(s)["HardDrop"]
    assert (locked.height, locked.holes, locked.bumpi) == (3, 0, 2)


def test_metrics_do_not_change_the_state():
    s = make_state(["GGGG......"], ("O", 0, (1, 0)))
    before = s.to_bytes()
    _ = (s.height, s.holes, s.bumpi, s.main_board)
    assert s.to_bytes() == before


def test_build_state_board_matches_picture_helper():
    # The helper's own picture round trip, so board pictures in other tests read true.
    pic = ["I.L.J.T.S.", "Z.O.G.g.a."]
    assert board_picture(to_py(build_state(pic)), 2) == pic
    assert decoded(to_py(build_state(pic))).board == board_from_picture(pic)


# --- the falling-piece getters ----------------------------------------------------------------

PIECES = [
    (("T", 1, (20, 4), 7), "Some(CurrentPcsInfo { pos: (20, 4), tet: T, rs: R1, id: 7 })"),
    (("I", 0, (-2, 0), 0), "Some(CurrentPcsInfo { pos: (-2, 0), tet: I, rs: R0, id: 0 })"),
    (("O", 3, (0, 8), 65535), "Some(CurrentPcsInfo { pos: (0, 8), tet: O, rs: R3, id: 65535 })"),
    (("S", 2, (37, -1), 300), "Some(CurrentPcsInfo { pos: (37, -1), tet: S, rs: R2, id: 300 })"),
]


@pytest.mark.parametrize("piece, text", PIECES, ids=[p[0][0] for p in PIECES])
def test_falling_piece_getters(piece, text):
    s = make_state(None, piece)
    kind, rs, pos, _ = piece
    assert s.current_pcs == (kind, rs, pos)
    assert s.current_pcs_rotation == (kind, rs, pos)
    assert s.debug_current_pcs_info == text


def test_getters_without_a_falling_piece():
    s = make_state(None, None)
    assert s.current_pcs == ("", -666, (-127, -127))
    assert s.current_pcs_rotation == ("", -666, (-127, -127))
    assert s.debug_current_pcs_info == "None"


@pytest.mark.parametrize("kind", "ILJTSZO")
def test_hold_getter_is_the_held_letter(kind):
    assert make_state(None, ("O", 0, (0, 0)), hold=(kind, False)).hold == kind


def test_returned_lists_are_fresh():
    s = make_state(["G........."], ("O", 0, (5, 5)))
    board = s.main_board
    board[19][0] = False
    nxt = s.next_pcs
    nxt.clear()
    assert s.main_board[19][0] is True
    assert len(s.next_pcs) == 5
