"""Locking: line clears, lock points, perfect clears, spins, back-to-back, combos, garbage."""

import pytest

from helpers import (
    ZERO_SEED,
    act,
    board_picture,
    decoded,
    garbage_hole,
    is_solid,
    make_state,
    piece_cells,
    successors,
    unpack_board,
)

WELL = "GGGGGGGGG."  # full except column 9
HIGH_I = ("I", 1, (10, 7))  # vertical I over column 9
RESTING_I = ("I", 1, (0, 7))  # vertical I in column 9, rows 0 to 3


def drop(state):
    return successors(state)["HardDrop"]


# --- line clears -----------------------------------------------------------------------------


@pytest.mark.parametrize("lines, points", [(1, 40), (2, 80), (3, 160), (4, 320)])
def test_line_clear_points(lines, points):
    s = make_state(["G........."] + [WELL] * lines, HIGH_I)
    d = drop(s)
    assert d.score == 10 + points
    assert d.total_lines == lines
    assert d.combo_counter == 0
    assert d.total_garbage_sent == 0
    assert d.is_b2b == (lines == 4)


@pytest.mark.parametrize("lines", range(1, 5))
def test_rows_above_a_clear_move_down(lines):
    above = ["..L.......", "G........."]
    s = make_state(above + [WELL] * lines, HIGH_I)
    d = drop(s)
    left = 4 - lines  # cells of the I above the cleared rows
    col9 = ["." * 9 + ("I" if k < left else ".") for k in range(4)]  # rows 0..3
    expect = [list(r) for r in reversed(col9)]
    # rows 0 and 1 get the two picture rows that sat above the well
    expect[3][0] = "G"
    expect[2][2] = "L"
    assert board_picture(d, 4, ghosts=False) == ["".join(r) for r in expect]


def test_rows_cleared_apart_keep_the_row_between():
    s = make_state(["G.........", WELL, "GGGGGGGG..", WELL], HIGH_I)
    d = drop(s)
    assert d.total_lines == 2 and d.score == 10 + 80
    assert board_picture(d, 2, ghosts=False) == ["G........I", "GGGGGGGG.I"]


PERFECT = [
    # picture, piece, lock points
    pytest.param(["GGGGGG...."], ("I", 0, (10, 6)), 240, id="single"),
    pytest.param(["GGGGGGGG.."] * 2, ("O", 0, (10, 8)), 480, id="double"),
    pytest.param(["GGGGGGGG..", WELL, WELL], ("L", 3, (10, 8)), 960, id="triple"),
    pytest.param([WELL] * 4, HIGH_I, 1920, id="four"),
]


@pytest.mark.parametrize("picture, piece, points", PERFECT)
def test_perfect_clear_points(picture, piece, points):
    d = drop(make_state(picture, piece))
    assert d.score == 10 + points
    assert not any(solid_cells_without_falling_piece(d))


def solid_cells_without_falling_piece(state):
    st = decoded(state)
    codes = unpack_board(st.board)
    c = st.current
    for y, x in piece_cells(c.tet, c.rs, (c.y, c.x)):
        codes[y][x] = 0
    return [is_solid(v) for row in codes for v in row]


def test_perfect_clear_is_judged_before_garbage_arrives():
    s = make_state(["GGGGGG...."], ("I", 0, (10, 6)), garbage_recv=1)
    d = drop(s)
    assert d.score == 10 + 240
    hole = garbage_hole(ZERO_SEED)
    assert board_picture(d, 1) == ["".join("." if x == hole else "G" for x in range(10))]


def test_line_clear_happens_before_garbage_insertion():
    s = make_state(["G........."] + [WELL], HIGH_I, garbage_recv=1)
    d = drop(s)
    assert d.total_lines == 1 and d.score == 10 + 40
    hole = garbage_hole(ZERO_SEED)
    garbage = "".join("." if x == hole else "G" for x in range(10))
    assert board_picture(d, 4, ghosts=False) == [
        ".........I", ".........I", "G........I", garbage]


# --- spin points and back-to-back --------------------------------------------------------------

SPIN = {  # (is_t_spin, is_t_mini_spin) -> points by lines cleared
    (True, True): [0, 1666, 3666, 5666, 0],
    (True, False): [0, 1000, 2000, 3000, 0],
    (False, True): [0, 666, 1666, 2666, 0],
    (False, False): [0, 0, 0, 0, 0],
}
LINES = [0, 40, 80, 160, 320]


@pytest.mark.parametrize("flags", list(SPIN), ids=lambda f: f"t{int(f[0])}m{int(f[1])}")
@pytest.mark.parametrize("lines", range(5))
@pytest.mark.parametrize("b2b_before", [False, True])
def test_lock_points_spin_table_and_b2b(flags, lines, b2b_before):
    t_spin, mini = flags
    picture = ["G........."] + ["GGGGGGGG.."] * (4 - lines) + [WELL] * lines
    s = make_state(picture, RESTING_I, is_t_spin=t_spin, is_t_mini_spin=mini,
                   is_b2b=b2b_before, score=1000)
    d = drop(s)  # the I cannot move: the hard drop locks it where it stands
    assert d.score == 1000 + 10 + LINES[lines] + SPIN[flags][lines]
    assert d.is_b2b == (t_spin or lines == 4)
    assert (d.is_t_spin, d.is_t_mini_spin) == (False, False)
    assert d.combo_counter == (0 if lines else -1)
    assert d.total_lines == lines


T_SLOT = [
    ("three-corners", ["...G......", "GGG...GGGG", "GGGG.GGGGG"], (True, True), 3666),
    ("four-corners", ["...G.G....", "GGG...GGGG", "GGGG.GGGGG"], (True, True), 3666),
    ("two-corners", ["........G.", "GGG...GGGG", "GGGG.GGGGG"], (False, True), 1666),
]


@pytest.mark.parametrize("picture, flags, spin", [t[1:] for t in T_SLOT],
                         ids=[t[0] for t in T_SLOT])
def test_t_spin_double_locked_where_it_stands(picture, flags, spin):
    s = make_state(picture, ("T", 3, (0, 3)), score=0)
    rotated = successors(s)["RotateLeft"]
    assert (rotated.is_t_spin, rotated.is_t_mini_spin) == flags
    d = drop(rotated)
    assert d.score - rotated.score == 10 + 80 + spin  # 3756 = hard drop 10 + 3746
    assert d.total_lines == 2
    assert d.is_b2b == flags[0]
    assert (d.is_t_spin, d.is_t_mini_spin) == (False, False)


@pytest.mark.parametrize("lines, spin_points", [(0, 0), (1, 1040), (2, 2080), (3, 3160)])
def test_kicked_i_locked_where_it_stands(lines, spin_points):
    # An I lying on the floor turns upright with its fifth offset into column 9.
    picture = ["G...G.....", "G...G.....", "G...G....."][: 3 - lines] + [WELL] * lines
    picture = ["." * 10] * (3 - len(picture)) + picture + ["GGGGG....."]
    s = make_state(picture, ("I", 0, (-2, 6)))
    rotated = successors(s)["RotateRight"]
    assert rotated.current_pcs == ("I", 1, (0, 7))
    assert (rotated.is_t_spin, rotated.is_t_mini_spin) == (True, False)
    d = drop(rotated)
    assert d.score == 10 + spin_points
    assert d.total_lines == lines
    assert d.is_b2b
    assert d.combo_counter == (0 if lines else -1)


def test_kicked_i_single_on_the_stack_scores_1040():
    s = make_state(["GGGGGG....", "GGGGGGGG.."], ("I", 1, (0, 7)))
    rotated = successors(s)["RotateRight"]
    assert rotated.current_pcs == ("I", 2, (0, 6))
    assert rotated.is_t_spin and not rotated.is_t_mini_spin
    d = drop(rotated)
    assert d.score == 10 + 40 + 1000
    assert d.is_b2b and d.total_lines == 1


def test_descent_after_a_kick_clears_the_spin():
    s = make_state(["GGGGGG....", "GGGGGGGG.."], ("I", 1, (1, 7)))
    rotated = successors(s)["RotateRight"]
    assert rotated.current_pcs == ("I", 2, (1, 6))
    assert rotated.is_t_spin
    down = successors(rotated)["SoftDrop"]
    assert not down.is_t_spin
    assert drop(down).score == down.score + 10 + 40
    d = drop(rotated)  # the hard drop's own descent clears it too
    assert d.score == 10 + 40
    assert not d.is_b2b


def test_spin_lock_without_lines():
    s = make_state(["GGGGGGGG.."], RESTING_I, is_t_spin=True, combo_counter=4)
    d = drop(s)
    assert d.score == 10
    assert d.combo_counter == -1
    assert d.is_b2b


# --- combos ----------------------------------------------------------------------------------

COMBO_BOARD = ["G.........", "GGGGGG....", "GGGGGG...."]


def test_consecutive_singles_add_combo_points_and_send_garbage():
    s = make_state(COMBO_BOARD, ("I", 0, (10, 6)), queue="IIIIIIIIIIIIII")
    first = drop(s)
    assert (first.score, first.combo_counter, first.total_garbage_sent) == (50, 0, 0)
    second = drop(act(first, "MoveRight", "MoveRight", "MoveRight"))
    assert second.score - first.score == 10 + 40 + 50
    assert (second.combo_counter, second.total_garbage_sent, second.total_lines) == (1, 1, 2)


def test_lock_without_lines_resets_the_combo():
    s = make_state(COMBO_BOARD, ("I", 0, (10, 6)), queue="IOIIIIIIIIIIII")
    first = drop(s)
    assert first.combo_counter == 0
    second = drop(first)  # an O on the stack, no line
    assert second.combo_counter == -1 and second.score == first.score + 10
    third = drop(act(second, "MoveRight", "MoveRight", "MoveRight"))
    assert third.score - second.score == 10 + 40
    assert (third.combo_counter, third.total_garbage_sent) == (0, 0)


def combo_garbage(c):
    if c in (0, 1):
        return 1
    if c in (2, 3):
        return 2
    if c in (4, 5):
        return 3
    if 6 <= c <= 126:
        return 4
    return 0


@pytest.mark.parametrize("c", range(-128, 128))
def test_combo_points_and_garbage_for_every_counter(c):
    s = make_state(["G.........", WELL], HIGH_I, combo_counter=c, total_garbage_sent=7)
    d = drop(s)
    bonus = 50 * (c + 1) if 0 <= c <= 126 else 0
    assert d.score == 10 + 40 + bonus
    assert d.combo_counter == (c + 1 if c < 127 else -128)
    assert d.total_garbage_sent == 7 + combo_garbage(c)


# --- counters wrap -----------------------------------------------------------------------------


def test_counters_wrap_at_their_width():
    s = make_state(["G.........", WELL], HIGH_I, score=2**31 - 20, total_lines=65535,
                   total_garbage_sent=65535, combo_counter=0)
    d = drop(s)
    assert d.score == 2**31 - 20 + 100 - 2**32
    assert d.total_lines == 0
    assert d.total_garbage_sent == 0
    st = decoded(d)
    assert st.total_lines == 0


def test_piece_ids_wrap():
    s = make_state(None, ("O", 0, (0, 0), 65534), current_id=65535)
    d = decoded(drop(s))
    assert (d.current.id, d.current_id) == (65535, 0)
    d2 = decoded(drop(drop(s)))
    assert (d2.current.id, d2.current_id) == (0, 1)
