"""Moves, rotations with their offset tests, spin flags, drops, hold, queue refill, knockout
and the bookkeeping of every accepted action."""

import pytest

from helpers import (
    ACTION_INDEX,
    KINDS,
    TRIED_ACTIONS,
    ZERO_SEED,
    Hold,
    Update,
    accept_event,
    act,
    board_picture,
    decoded,
    make_state,
    new_game,
    play_replay,
    shuffle_tets,
    successors,
)


def test_fresh_game_accepts_the_seven_actions_in_order():
    assert [n for n, _ in new_game().next_actions_and_states] == list(TRIED_ACTIONS)


def test_actions_leave_the_given_state_unchanged():
    s = new_game()
    before = s.to_bytes()
    for _, nxt in s.next_actions_and_states:
        assert nxt.to_bytes() != before
    assert s.to_bytes() == before


@pytest.mark.parametrize("name", TRIED_ACTIONS)
def test_accepted_action_records_its_slice(name):
    s = new_game()
    before = decoded(s)
    after = decoded(successors(s)[name])
    assert after.last_action == ACTION_INDEX[name]
    assert after.last_segment == Update(0, after.seed, 0, 0, 0, ACTION_INDEX[name])
    assert (after.last_segment_idx, after.total_moves) == (1, 1)
    # No action of a fresh game refills the queue, so only accept_event changes the seed.
    assert after.seed == accept_event(before.seed, name, 0, 0)


# --- moves ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "board, piece, refused",
    [
        (None, ("O", 0, (0, 0)), "MoveLeft"),
        (None, ("O", 0, (0, 8)), "MoveRight"),
        (None, ("I", 1, (10, -2)), "MoveLeft"),  # vertical I in column 0
        (None, ("I", 1, (10, 7)), "MoveRight"),  # vertical I in column 9
        (None, ("I", 0, (-2, 0)), "MoveLeft"),
        (["...G......"], ("O", 0, (0, 4)), "MoveLeft"),
        (["......G..."], ("O", 0, (0, 4)), "MoveRight"),
        (["G.........", ".........."], ("T", 1, (0, 0)), "MoveLeft"),
    ],
    ids=["O-left-wall", "O-right-wall", "I-left-wall", "I-right-wall", "I-floor-left-wall",
         "O-into-stack-left", "O-into-stack-right", "T-into-stack-left"],
)
def test_moves_into_walls_and_stacks_are_refused(board, piece, refused):
    s = make_state(board, piece)
    before = s.to_bytes()
    nxt = successors(s)
    assert refused not in nxt
    assert s.to_bytes() == before


def test_moves_shift_the_piece_and_keep_the_spin_flags():
    s = make_state(None, ("T", 0, (10, 3)), is_t_spin=True, is_t_mini_spin=True)
    left = successors(s)["MoveLeft"]
    right = successors(s)["MoveRight"]
    assert left.current_pcs == ("T", 0, (10, 2))
    assert right.current_pcs == ("T", 0, (10, 4))
    assert (left.is_t_spin, left.is_t_mini_spin) == (True, True)
    assert left.score == right.score == 0


# --- drops -----------------------------------------------------------------------------------


def test_soft_drop_moves_one_row_for_two_points_and_clears_spin_flags():
    s = make_state(None, ("T", 0, (10, 3)), is_t_spin=True, is_t_mini_spin=True, score=5)
    down = successors(s)["SoftDrop"]
    assert down.current_pcs == ("T", 0, (9, 3))
    assert down.score == 7
    assert (down.is_t_spin, down.is_t_mini_spin) == (False, False)


def test_soft_drop_of_a_resting_piece_locks_it_without_points():
    s = make_state(None, ("O", 0, (0, 0)), score=5)
    locked = successors(s)["SoftDrop"]
    assert locked.score == 5
    assert locked.current_pcs == ("L", 0, (18, 3))
    # The next piece's ghost lies on the floor beside the locked O.
    assert board_picture(locked, 2) == ["OO...g....", "OO.ggg...."]


@pytest.mark.parametrize("y", [-1, 0, 5, 18, 36])
def test_hard_drop_adds_ten_points_from_any_height(y):
    s = make_state(None, ("O", 0, (y + 1, 4)))
    dropped = successors(s)["HardDrop"]
    assert dropped.score == 10
    assert board_picture(dropped, 2) == ["....OO....", "....OO...."]


def test_hard_drop_of_fresh_game():
    s = successors(new_game())["HardDrop"]
    assert s.score == 10
    assert s.current_pcs == ("L", 0, (18, 3))
    assert board_picture(s, 2) == ["...ZZ.....", "....ZZ...."]
    st = decoded(s)
    assert (st.next_pcs_idx, st.current_id) == (2, 2)
    assert st.current.id == 1


# --- rotations -------------------------------------------------------------------------------

# Every kind rotates in open space with the first offset (0, 0).
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("rs", range(4))
@pytest.mark.parametrize("name, step", [("RotateRight", 1), ("RotateLeft", 3)])
def test_rotation_in_open_space_keeps_position_and_clears_flags(kind, rs, name, step):
    s = make_state(None, (kind, rs, (10, 3)), is_t_spin=True, is_t_mini_spin=True)
    r = successors(s)[name]
    assert r.current_pcs == (kind, (rs + step) % 4, (10, 3))
    assert (r.is_t_spin, r.is_t_mini_spin) == (False, False)


def test_four_right_turns_come_back():
    s = make_state(None, ("J", 0, (10, 3)), ghost=True)
    r = act(s, "RotateRight", "RotateRight", "RotateRight", "RotateRight")
    assert r.current_pcs == s.current_pcs
    assert r.to_bytes()[8:208] == s.to_bytes()[8:208]


KICKS = [
    # board, piece, action, resulting (kind, rs, pos), is_t_spin, is_t_mini_spin
    pytest.param(None, ("I", 0, (-2, 3)), "RotateRight", ("I", 1, (0, 4)), True, False,
                 id="I-on-floor-fifth-offset"),
    pytest.param(None, ("I", 1, (10, -2)), "RotateRight", ("I", 2, (10, 0)), True, False,
                 id="I-left-wall-third-offset"),
    pytest.param(None, ("I", 1, (10, 7)), "RotateLeft", ("I", 0, (10, 6)), True, False,
                 id="I-right-wall-third-offset"),
    pytest.param(None, ("T", 1, (10, -1)), "RotateRight", ("T", 2, (10, 0)), False, False,
                 id="T-left-wall-no-corners"),
    pytest.param(["........G."], ("T", 0, (0, 7)), "RotateLeft", ("T", 3, (0, 8)), False,
                 False, id="T-off-board-corners-never-count"),
    pytest.param(None, ("L", 3, (10, 8)), "RotateRight", ("L", 0, (10, 7)), True, False,
                 id="L-right-wall-second-offset"),
    pytest.param(None, ("Z", 0, (-1, 3)), "RotateRight", ("Z", 1, (0, 2)), True, False,
                 id="Z-floor-third-offset"),
    pytest.param(["GGGGGGGGGG"] * 4, ("O", 0, (4, 4)), "RotateLeft", ("O", 3, (4, 4)), False,
                 False, id="O-always-first-offset"),
]


@pytest.mark.parametrize("board, piece, name, result, t_spin, mini", KICKS)
def test_rotation_offsets(board, piece, name, result, t_spin, mini):
    s = make_state(board, piece)
    r = successors(s)[name]
    kind, rs, pos = result
    assert r.current_pcs == (kind, rs, pos)
    assert (r.is_t_spin, r.is_t_mini_spin) == (t_spin, mini)


def test_rotation_with_every_offset_blocked_is_refused():
    # A vertical I in a one-wide well beside a tall stack.
    well = [".GGGGGGGG."] * 6
    s = make_state(well, ("I", 1, (0, 7)))
    nxt = successors(s)
    assert "RotateRight" not in nxt and "RotateLeft" not in nxt
    assert "HardDrop" in nxt


T_SLOT = [
    # rows 2, 1, 0 around a T slot whose corners are (0, 3), (2, 3), (0, 5), (2, 5)
    ("three-corners", ["...G......", "GGG...GGGG", "GGGG.GGGGG"], True, True),
    ("four-corners", ["...G.G....", "GGG...GGGG", "GGGG.GGGGG"], True, True),
    ("two-corners", ["..........", "GGG...GGGG", "GGGG.GGGGG"], False, True),
]


@pytest.mark.parametrize("picture, t_spin, mini", [t[1:] for t in T_SLOT],
                         ids=[t[0] for t in T_SLOT])
def test_t_rotated_into_a_slot_sets_flags_by_corners(picture, t_spin, mini):
    s = make_state(picture, ("T", 3, (0, 3)))
    r = successors(s)["RotateLeft"]
    assert r.current_pcs == ("T", 2, (0, 3))
    assert (r.is_t_spin, r.is_t_mini_spin) == (t_spin, mini)


def test_kicked_flag_cleared_by_a_rotation_at_the_first_offset():
    s = make_state(None, ("I", 1, (10, -2)))
    kicked = successors(s)["RotateRight"]
    assert kicked.is_t_spin
    back = successors(kicked)["RotateLeft"]
    assert back.current_pcs == ("I", 1, (10, 0))
    assert (back.is_t_spin, back.is_t_mini_spin) == (False, False)


# --- hold -------------------------------------------------------------------------------------


def test_hold_with_nothing_held_takes_the_next_queued_piece():
    s = successors(new_game())["Hold"]
    assert s.hold == "Z"
    assert s.current_pcs == ("L", 0, (18, 3))
    assert s.next_pcs == ["J", "I", "O", "T", "S"]
    st = decoded(s)
    assert st.hold == Hold(False, KINDS.index("Z"))
    assert (st.current.id, st.current_id, st.next_pcs_idx) == (1, 2, 2)
    assert s.score == 0
    assert board_picture(s, 21)[0] == ".....L...."


def test_hold_twice_is_refused_until_the_next_lock():
    held = successors(new_game())["Hold"]
    assert "Hold" not in successors(held)
    locked = successors(held)["HardDrop"]
    assert "Hold" in successors(locked)
    assert decoded(locked).hold == Hold(True, KINDS.index("Z"))
    # Playback of Hold, Hold fails: the second is refused.
    with pytest.raises(ValueError, match="^not enough gamestates in savefile.$"):
        play_replay(ZERO_SEED, 0, [("Hold", 0), ("Hold", 0)])


def test_hold_with_a_held_piece_brings_it_back_with_a_new_id():
    s = make_state(None, ("T", 1, (10, 5), 4), hold="I", next_pcs_idx=3, current_id=9)
    h = successors(s)["Hold"]
    assert h.current_pcs == ("I", 0, (17, 3))
    assert h.hold == "T"
    st = decoded(h)
    assert st.current.id == 9 and st.current_id == 10
    assert st.next_pcs_idx == 3  # the queue is not touched
    assert st.hold == Hold(False, KINDS.index("T"))
    assert board_picture(h, 20)[0] == "...IIII..."


def test_hold_refused_while_held_piece_is_not_usable():
    s = make_state(None, ("T", 0, (10, 3)), hold=("I", False))
    assert "Hold" not in successors(s)


@pytest.mark.parametrize(
    "t_spin, mini, b2b_after",
    [(False, False, False), (True, True, True), (True, False, True), (False, True, False)],
)
def test_hold_runs_the_lock_bookkeeping_without_lines(t_spin, mini, b2b_after):
    s = make_state(None, ("T", 0, (10, 3)), combo_counter=3, is_b2b=not b2b_after,
                   is_t_spin=t_spin, is_t_mini_spin=mini, score=100)
    h = successors(s)["Hold"]
    assert h.combo_counter == -1
    assert h.is_b2b == b2b_after
    assert (h.is_t_spin, h.is_t_mini_spin) == (False, False)
    assert h.score == 100
    assert h.total_lines == 0


# --- the queue ------------------------------------------------------------------------------

QUEUE = "IOTSZJLOLIJTSZ"


@pytest.mark.parametrize("action", ["HardDrop", "Hold"])
def test_taking_from_position_7_refills_the_queue(action):
    seed = bytes(range(32))
    s = make_state(None, ("O", 0, (0, 0), 20), queue=QUEUE, next_pcs_idx=7, seed=seed)
    after = decoded(successors(s)[action])
    bag, refill_seed = shuffle_tets(seed, 0)
    assert "".join(KINDS[k] for k in after.next_pcs_bags[:7]) == QUEUE[7:]
    assert list(after.next_pcs_bags[7:]) == bag
    assert after.next_pcs_idx == 1
    assert KINDS[after.current.tet] == QUEUE[7]
    assert after.seed == accept_event(refill_seed, action, 0, 0)


def test_hold_with_a_held_piece_does_not_refill():
    s = make_state(None, ("O", 0, (0, 0)), hold="T", queue=QUEUE, next_pcs_idx=7)
    after = decoded(successors(s)["Hold"])
    assert "".join(KINDS[k] for k in after.next_pcs_bags) == QUEUE
    assert after.next_pcs_idx == 7


@pytest.mark.parametrize("idx", range(1, 7))
def test_taking_from_positions_1_to_6_does_not_refill(idx):
    s = make_state(None, ("O", 0, (0, 0)), queue=QUEUE, next_pcs_idx=idx)
    after = decoded(successors(s)["HardDrop"])
    assert "".join(KINDS[k] for k in after.next_pcs_bags) == QUEUE
    assert after.next_pcs_idx == idx + 1
    assert KINDS[after.current.tet] == QUEUE[idx]


@pytest.mark.parametrize("idx, preview", [(1, "OTSZJ"), (7, "OLIJT"), (9, "IJTSZ")])
def test_preview_reads_five_positions_from_next_pcs_idx(idx, preview):
    s = make_state(None, ("O", 0, (0, 0)), queue=QUEUE, next_pcs_idx=idx)
    assert s.next_pcs == list(preview)


# --- knockout --------------------------------------------------------------------------------


def test_knockout_when_the_spawn_cells_are_taken():
    stack = ["....G....."] * 20  # column 4, rows 0 to 19: the T's spawn cell (19, 4)
    s = make_state(stack, ("O", 0, (0, 0), 6), queue="TTTTTTTTTTTTTT")
    over = successors(s)["HardDrop"]
    assert over.game_over
    assert over.current_pcs == ("T", 0, (18, 3))
    assert over.score == 10
    st = decoded(over)
    assert st.game_over_reason == 0
    assert st.current_id == 8 and st.current.id == 7
    # The T is not drawn and no ghost is painted.
    assert board_picture(over, 21) == ["." * 10] + stack[:18] + ["OO..G.....", "OO..G....."]
    # The Update record of the action replaces the GameOver record.
    assert st.last_segment == Update(0, st.seed, 0, 0, 0, ACTION_INDEX["HardDrop"])
    assert over.next_actions_and_states == []


def test_actions_on_a_finished_game_are_refused():
    s = make_state(None, ("T", 0, (10, 3)), game_over_reason=0)
    before = s.to_bytes()
    assert s.next_actions_and_states == []
    assert s.to_bytes() == before

