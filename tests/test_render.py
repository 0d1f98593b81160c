"""The text report (`matrix_txt`) and its HTML wrapping, to the character: the frame, the
board lines, the labels with their uneven widths, the values in debug form, and the lines
that run the bots and the move-chain check.

The two bot lines may differ between two reads of the same state (ties are broken at
random), so they are checked for form, and against the chains the bots may choose; every
other line depends only on the state.
"""

from __future__ import annotations

import json
import random

import pytest

from corvelle_vim import GameStatePy, generate_seed

from helpers import KINDS, act, make_state, random_walk, spawn_pos

BORDER = "-" * 13
EMPTY_CELLS = " " * 10
ALL_CHAINS = GameStatePy.get_all_move_chains()
ACTION_NAMES = {"HardDrop", "SoftDrop", "MoveLeft", "MoveRight", "Hold", "RotateLeft",
                "RotateRight"}

# (board line, label) for the 18 facts, board line 2 being the text's second line.
LABELS = [
    (3, "current_pcs = "),
    (4, "game_over            = "),
    (5, "hold                 = "),
    (6, "next_pcs             = "),
    (7, "total_lines          = "),
    (8, "is_t_spin            = "),
    (9, "is_t_mini_spin       = "),
    (10, "is_b2b               = "),
    (11, "combo_counter        = "),
    (12, "total_garbage_sent  = "),
    (13, "garbage_recv        = "),
    (14, "total_move_count    = "),
    (15, "bumpi               = "),
    (16, "holes               = "),
    (17, "height               = "),
    (18, "bot_moves_raw('wordpress') = "),
    (19, "bot_moves_raw('random') = "),
    (20, "get_valid_move_chains().len() = "),
]
WORDPRESS_LINE, RANDOM_LINE, COUNT_LINE = 18, 19, 20


def zero_game():
    return GameStatePy(generate_seed(0, bytes(32)))


def lines_of(text: str) -> list:
    """The 22 lines, numbered from 1 as list positions 1..22 (position 0 is the empty line
    before the frame)."""
    assert text.startswith("\n") and text.endswith("\n")
    parts = text.split("\n")
    assert parts[-1] == ""
    return parts[:-1]


def fact(line: str) -> str:
    return line[16:]


def cells(line: str) -> str:
    return line[3:13]


def bot_list(line: str, label: str) -> list:
    """The action names a bot line shows, after checking its exact form."""
    assert line.startswith(" | ") and line[13:16] == " | "
    assert fact(line).startswith(label)
    value = fact(line)[len(label):]
    names = json.loads(value)
    assert type(names) is list and all(type(n) is str and n in ACTION_NAMES for n in names)
    assert value == "[" + ", ".join(f'"{n}"' for n in names) + "]"
    return names


def check_frame(state) -> list:
    text = state.matrix_txt
    lines = lines_of(text)
    assert len(lines) == 23 and lines[0] == ""
    assert lines[1] == BORDER and lines[22] == BORDER
    board = state.main_board
    for n in range(2, 22):
        line = lines[n]
        assert line[:3] == " | " and line[13:16] == " | ", line
        assert cells(line) == "".join("x" if c else " " for c in board[n - 2])
    assert len(lines[2]) == 16 and len(lines[21]) == 16
    for n, label in LABELS:
        assert fact(lines[n]).startswith(label), (n, lines[n])
    for n, label in ((WORDPRESS_LINE, LABELS[15][1]), (RANDOM_LINE, LABELS[16][1])):
        names = bot_list(lines[n], label)
        assert (names in ALL_CHAINS or names == ["SoftDrop"]
                or (names == [] and state.game_over)), names
    count = len(state.get_valid_move_chains())
    assert fact(lines[COUNT_LINE]) == f"get_valid_move_chains().len() = {count} / 96"
    return lines


# --------------------------------------------------------------------------------------------
# The zero-seed game, line by line
# --------------------------------------------------------------------------------------------

ZERO_GAME_LINES = {
    1: BORDER,
    2: " |     xx     | ",
    3: ' |            | current_pcs = ("Z", 0, (18, 3))',
    4: " |            | game_over            = false",
    5: " |            | hold                 = None",
    6: ' |            | next_pcs             = ["L", "J", "I", "O", "T"]',
    7: " |            | total_lines          = 0",
    8: " |            | is_t_spin            = false",
    9: " |            | is_t_mini_spin       = false",
    10: " |            | is_b2b               = false",
    11: " |            | combo_counter        = -1",
    12: " |            | total_garbage_sent  = 0",
    13: " |            | garbage_recv        = 0",
    14: " |            | total_move_count    = 0",
    15: " |            | bumpi               = 0",
    16: " |            | holes               = 0",
    17: " |            | height               = 1",
    20: " |            | get_valid_move_chains().len() = 76 / 96",
    21: " |            | ",
    22: BORDER,
}


def test_zero_seed_game_text_starts_and_ends_with_the_border():
    text = zero_game().matrix_txt
    assert text.startswith("\n" + BORDER + "\n")
    assert text.endswith("\n" + BORDER + "\n")
    assert text.count("\n") == 23
    assert len(lines_of(text)) - 1 == 22


@pytest.mark.parametrize("n", sorted(ZERO_GAME_LINES))
def test_zero_seed_game_line(n):
    assert lines_of(zero_game().matrix_txt)[n] == ZERO_GAME_LINES[n]


def test_zero_seed_game_bot_lines():
    s = zero_game()
    for _ in range(5):
        lines = lines_of(s.matrix_txt)
        assert lines[WORDPRESS_LINE].startswith(" |            | bot_moves_raw('wordpress') = [")
        assert lines[RANDOM_LINE].startswith(" |            | bot_moves_raw('random') = [")
        assert bot_list(lines[WORDPRESS_LINE], LABELS[15][1]) in ALL_CHAINS
        # Every flat Z placement ties for the random bot; the single drop is the shortest.
        assert bot_list(lines[RANDOM_LINE], LABELS[16][1]) == ["HardDrop"]
    assert len(s.get_valid_move_chains()) == 76


def test_ghost_cells_are_drawn_blank():
    # The zero-seed game's ghost lies in rows 0 and 1, drawn on lines 20 and 21.
    lines = lines_of(zero_game().matrix_txt)
    assert cells(lines[20]) == cells(lines[21]) == EMPTY_CELLS


# --------------------------------------------------------------------------------------------
# Labels and values
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(("n", "label"), LABELS, ids=[lab.split()[0] for _, lab in LABELS])
def test_label_widths(n, label):
    k = n - 3
    equals = label.index("=")
    if 1 <= k <= 8 or k == 14:
        assert equals == 21
    elif 9 <= k <= 13:
        assert equals == 20
    else:
        assert label[equals - 1] == " " and label[equals - 2] != " "
    assert label.endswith("= ")
    assert fact(lines_of(zero_game().matrix_txt)[n]).startswith(label)


def test_no_falling_piece_shows_the_sentinel_triple():
    lines = lines_of(make_state(None).matrix_txt)
    assert lines[3] == ' |            | current_pcs = ("", -666, (-127, -127))'


@pytest.mark.parametrize("kind", KINDS)
def test_a_held_piece_is_some_letter(kind):
    lines = lines_of(make_state(None, ("T", 0, (18, 3)), hold=kind).matrix_txt)
    assert fact(lines[5]) == f'hold                 = Some("{kind}")'


def test_a_hold_played_shows_the_held_kind():
    lines = lines_of(act(zero_game(), "Hold").matrix_txt)
    assert fact(lines[5]) == 'hold                 = Some("Z")'
    # The L came out of the queue; the preview moved on.
    assert fact(lines[3]) == 'current_pcs = ("L", 0, (18, 3))'
    assert fact(lines[6]) == 'next_pcs             = ["J", "I", "O", "T", "S"]'


def test_an_unusable_hold_reads_the_same():
    lines = lines_of(make_state(None, ("T", 0, (18, 3)), hold=("I", False)).matrix_txt)
    assert fact(lines[5]) == 'hold                 = Some("I")'


EXTREMES = dict(is_t_spin=True, is_t_mini_spin=True, is_b2b=True, combo_counter=-128,
                total_lines=65535, total_garbage_sent=65535, garbage_recv=12345,
                garbage_applied=12345, total_moves=65535)


def test_fact_values_in_debug_form():
    s = make_state(None, ("I", 1, (0, -2)), queue="OSZTIJLLJITZSO", next_pcs_idx=3,
                   **EXTREMES)
    lines = lines_of(s.matrix_txt)
    assert [fact(lines[n]) for n in range(3, 18)] == [
        'current_pcs = ("I", 1, (0, -2))',
        "game_over            = false",
        "hold                 = None",
        'next_pcs             = ["T", "I", "J", "L", "L"]',
        "total_lines          = 65535",
        "is_t_spin            = true",
        "is_t_mini_spin       = true",
        "is_b2b               = true",
        "combo_counter        = -128",
        "total_garbage_sent  = 65535",
        "garbage_recv        = 12345",
        "total_move_count    = 65535",
        "bumpi               = 0",
        "holes               = 0",
        "height               = 1",
    ]


def test_a_finished_game_reads_true_and_has_no_moves():
    s = make_state("GGGGGGGGG.", ("T", 1, (20, 4), 7), game_over_reason=2, combo_counter=127)
    lines = lines_of(s.matrix_txt)
    assert fact(lines[3]) == 'current_pcs = ("T", 1, (20, 4))'
    assert fact(lines[4]) == "game_over            = true"
    assert fact(lines[11]) == "combo_counter        = 127"
    assert fact(lines[WORDPRESS_LINE]) == "bot_moves_raw('wordpress') = []"
    assert fact(lines[RANDOM_LINE]) == "bot_moves_raw('random') = []"
    assert fact(lines[COUNT_LINE]) == "get_valid_move_chains().len() = 0 / 96"
    assert cells(lines[21]) == "xxxxxxxxx "


def test_metrics_measure_the_board_without_the_falling_piece():
    # A single solid cell at row 3, column 4: height 3 (shown plus one), three holes under
    # it, steps of 3 beside it. The piece up at row 30 is not measured.
    rows = ["." * 10] * 36 + ["....G.....", "." * 10, "." * 10, "." * 10]
    lines = lines_of(make_state(rows, ("O", 0, (30, 4))).matrix_txt)
    assert fact(lines[15]) == "bumpi               = 3"
    assert fact(lines[16]) == "holes               = 3"
    assert fact(lines[17]) == "height               = 4"
    assert cells(lines[18]) == "    x     "


def test_every_chain_failing_shows_soft_drop_and_the_count_of_knockouts():
    s = make_state(["GGGGGGGGG."] * 25, ("Z", 0, (18, 3)))
    lines = lines_of(s.matrix_txt)
    assert fact(lines[WORDPRESS_LINE]) == "bot_moves_raw('wordpress') = [\"SoftDrop\"]"
    assert fact(lines[RANDOM_LINE]) == "bot_moves_raw('random') = [\"SoftDrop\"]"
    # The two plain drops are played (and end the game).
    assert fact(lines[COUNT_LINE]) == "get_valid_move_chains().len() = 2 / 96"


# --------------------------------------------------------------------------------------------
# Board lines
# --------------------------------------------------------------------------------------------


def test_a_garbage_row_with_a_gap_in_column_3():
    lines = lines_of(make_state(["GGG.GGGGGG"]).matrix_txt)
    assert lines[21] == " | xxx xxxxxx | "
    assert len(lines[21]) == 16


def test_an_empty_row_without_a_fact_is_sixteen_characters():
    lines = lines_of(make_state(None).matrix_txt)
    assert lines[2] == lines[21] == " |            | "


def test_board_lines_run_from_row_19_down_to_row_0():
    # Row r holds one garbage cell, in column r mod 10.
    rows = ["".join("G" if x == r % 10 else "." for x in range(10)) for r in range(20)]
    lines = lines_of(make_state(rows[::-1]).matrix_txt)
    for r in range(20):
        assert cells(lines[21 - r]) == "".join("x" if x == r % 10 else " " for x in range(10))


def test_every_cell_code_draws_solid_or_blank():
    # Piece kinds and garbage are solid; empty, ghost and the unused codes 10 to 15 are not.
    lines = lines_of(make_state(["abcdef....", "ILJTSZOGg."]).matrix_txt)
    assert cells(lines[21]) == "xxxxxxxx  "
    assert cells(lines[20]) == EMPTY_CELLS


def test_rows_20_to_39_are_never_drawn():
    # Garbage fills rows 20 to 39 around a T at row 25; rows 0 to 19 are empty.
    rows = ["GGGGGGGGGG"] * 20 + ["." * 10] * 20
    s = make_state(rows, ("T", 0, (25, 4)))
    lines = lines_of(s.matrix_txt)
    assert all(cells(lines[n]) == EMPTY_CELLS for n in range(2, 22))
    assert fact(lines[3]) == 'current_pcs = ("T", 0, (25, 4))'


def test_a_piece_partly_above_row_19_shows_its_lower_cells():
    # The zero-seed Z: its lower cells are in row 19 (line 2), the upper ones in row 20.
    assert lines_of(zero_game().matrix_txt)[2] == " |     xx     | "
    i_piece = make_state(None, ("I", 1, (18, 0)))
    lines = lines_of(i_piece.matrix_txt)
    assert [cells(lines[n]) for n in (2, 3)] == ["  x       ", "  x       "]
    assert all(cells(lines[n]) == EMPTY_CELLS for n in range(4, 22))


# --------------------------------------------------------------------------------------------
# Played states
# --------------------------------------------------------------------------------------------


def test_played_states_keep_the_frame_and_agree_with_the_attributes():
    rng = random.Random(4242)
    for _, state in random_walk(rng, 120)[::3]:
        before = state.to_bytes()
        lines = check_frame(state)
        assert state.to_bytes() == before
        kind, rs, (y, x) = state.current_pcs
        assert fact(lines[3]) == f'current_pcs = ("{kind}", {rs}, ({y}, {x}))'
        assert fact(lines[4]) == f"game_over            = {str(state.game_over).lower()}"
        hold = "None" if state.hold is None else f'Some("{state.hold}")'
        assert fact(lines[5]) == f"hold                 = {hold}"
        assert fact(lines[6]) == "next_pcs             = " + json.dumps(state.next_pcs)
        values = [state.total_lines, str(state.is_t_spin).lower(),
                  str(state.is_t_mini_spin).lower(), str(state.is_b2b).lower(),
                  state.combo_counter, state.total_garbage_sent, state.garbage_recv,
                  state.total_move_count, state.bumpi, state.holes, state.height]
        for (n, label), value in zip(LABELS[4:15], values):
            assert fact(lines[n]) == f"{label}{value}", n


@pytest.mark.parametrize("kind", KINDS)
def test_each_kind_at_its_spawn_position(kind):
    y, x = spawn_pos(kind)
    lines = check_frame(make_state(None, (kind, 0, (y, x))))
    assert fact(lines[3]) == f'current_pcs = ("{kind}", 0, ({y}, {x}))'


# --------------------------------------------------------------------------------------------
# html
# --------------------------------------------------------------------------------------------

DETERMINISTIC = {
    "no piece": lambda: make_state(None),
    "finished": lambda: make_state("GGGGGGGGG.", ("T", 1, (20, 4), 7), game_over_reason=0),
    "boxed": lambda: make_state(["GGGGGGGGG."] * 25, ("Z", 0, (18, 3))),
    "O on an empty board": lambda: make_state(None, ("O", 0, (19, 4))),
}


@pytest.mark.parametrize("name", list(DETERMINISTIC))
def test_html_wraps_the_text_exactly(name):
    # States whose bot lines cannot vary: the two renderings agree to the character.
    s = DETERMINISTIC[name]()
    text = s.matrix_txt
    assert s.matrix_txt == text
    assert s.html == "<code><pre>" + text + "</pre></code>"


def test_html_of_a_running_game_wraps_a_text_of_the_same_form():
    s = zero_game()
    html = s.html
    assert html.startswith("<code><pre>\n" + BORDER + "\n")
    assert html.endswith("\n" + BORDER + "\n</pre></code>")
    inner = html[len("<code><pre>"):-len("</pre></code>")]
    got, want = lines_of(inner), lines_of(s.matrix_txt)
    assert len(got) == len(want) == 23
    for n in range(23):
        if n in (WORDPRESS_LINE, RANDOM_LINE):
            label = LABELS[n - 3][1]
            assert bot_list(got[n], label) in ALL_CHAINS
            assert got[n][:16] == want[n][:16]
        else:
            assert got[n] == want[n], n


# --------------------------------------------------------------------------------------------
# A queue index the preview cannot follow
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("idx", [10, 11, 14, 15, 200, 255])
@pytest.mark.parametrize("attribute", ["matrix_txt", "html"])
def test_a_preview_past_the_queue_raises_value_error(attribute, idx):
    s = make_state(None, ("T", 0, (18, 3)), next_pcs_idx=idx)
    with pytest.raises(ValueError) as info:
        getattr(s, attribute)
    assert type(info.value) is ValueError
    assert str(info.value) == f"next_pcs_idx out of range: {idx}"


def test_the_last_index_the_preview_can_follow_renders():
    s = make_state(None, ("T", 0, (18, 3)), next_pcs_idx=9)
    lines = check_frame(s)
    assert fact(lines[6]) == 'next_pcs             = ["T", "I", "J", "O", "L"]'
