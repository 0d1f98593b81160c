"""A new game: its byte form, queue, falling piece, ghost, first seeds and garbage holes."""

import struct

import pytest

from corvelle_vim import GameStatePy, generate_seed
from helpers import (
    KINDS,
    ZERO_GAME_QUEUE,
    ZERO_SEED,
    Init,
    Update,
    act,
    board_picture,
    decoded,
    encode_state,
    fresh_state,
    new_game,
    play_replay,
    with_fields,
)

ZERO_RUNNING_SEED_PREFIX = bytes.fromhex("cf3d510e")


@pytest.fixture
def zero_game():
    return new_game(ZERO_SEED, 0)


def test_zero_seed_game_is_414_bytes_laid_out_field_by_field(zero_game):
    b = zero_game.to_bytes()
    assert isinstance(b, list) and len(b) == 414
    assert b[0:8] == [0, 0, 0, 0, 0, 0, 0, 0xFF]  # score, three flags, combo -1
    assert b[208:212] == [7, 0, 0, 0]  # last_action Nothing
    # current_pcs: present, row 18, column 3, Z, R0, id 0.
    assert b[212:225] == [1, 18, 3, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0]
    assert b[225:229] == [1, 0, 0, 0]  # current_id 1, no hold, not over
    assert bytes(b[229:233]) == ZERO_RUNNING_SEED_PREFIX
    assert b[261:311] == [0] * 50  # init_seed, start_time, five counters
    assert b[311:355] == [0] * 44  # Init with the zero seed and time 0
    assert b[355:357] == [0, 0]  # last_segment_idx
    queue = [KINDS.index(k) for k in ZERO_GAME_QUEUE]
    assert b[357:413] == list(struct.pack("<14I", *queue))
    assert b[413] == 1


def test_zero_seed_game_board_holds_z_and_its_ghost(zero_game):
    b = zero_game.to_bytes()
    board = b[8:208]
    nonzero = {i: v for i, v in enumerate(board) if v}
    # Z cells (19, 4), (19, 5), (20, 3), (20, 4); ghost (0, 4), (0, 5), (1, 3), (1, 4).
    assert nonzero == {2: 0x99, 6: 0x09, 7: 0x90, 97: 0x66, 101: 0x06, 102: 0x60}


def test_zero_seed_game_equals_the_computed_new_game(zero_game):
    assert zero_game.to_bytes() == list(encode_state(fresh_state(ZERO_SEED, 0)))


def test_zero_seed_game_attributes(zero_game):
    s = zero_game
    assert s.current_pcs == ("Z", 0, (18, 3))
    assert s.current_pcs_rotation == ("Z", 0, (18, 3))
    assert s.debug_current_pcs_info == (
        "Some(CurrentPcsInfo { pos: (18, 3), tet: Z, rs: R0, id: 0 })")
    assert s.next_pcs == ["L", "J", "I", "O", "T"]
    assert (s.score, s.total_lines, s.total_move_count, s.combo_counter) == (0, 0, 0, -1)
    assert (s.is_t_spin, s.is_t_mini_spin, s.is_b2b, s.game_over) == (False, False, False, False)
    assert s.hold is None
    assert (s.total_garbage_sent, s.garbage_recv) == (0, 0)
    assert (s.height, s.holes, s.bumpi) == (1, 0, 0)
    rows = s.main_board
    assert len(rows) == 20 and all(len(r) == 10 for r in rows)
    assert rows[0] == [False] * 4 + [True, True] + [False] * 4
    assert all(r == [False] * 10 for r in rows[1:])


def test_zero_seed_game_record_fields(zero_game):
    st = decoded(zero_game)
    assert st.init_seed == ZERO_SEED
    assert st.seed[:4] == ZERO_RUNNING_SEED_PREFIX
    assert st.last_segment == Init(ZERO_SEED, 0)
    assert (st.next_pcs_idx, st.current_id, st.last_segment_idx) == (1, 1, 0)
    assert "".join(KINDS[k] for k in st.next_pcs_bags) == ZERO_GAME_QUEUE


SEEDS = [
    (ZERO_SEED, 0),
    (ZERO_SEED, 1),
    (ZERO_SEED, -1),
    (ZERO_SEED, 1_700_000_000_000_000),
    (bytes(range(32)), 0),
    (bytes([0xFF] * 32), 2**63 - 1),
    (bytes(range(100, 132)), -(2**63)),
]


@pytest.mark.parametrize("seed, ts", SEEDS)
def test_new_game_equals_the_computed_new_game(seed, ts):
    s = GameStatePy(generate_seed(ts, list(seed)))
    assert s.to_bytes() == list(encode_state(fresh_state(seed, ts)))


def test_start_time_enters_the_queue():
    a = decoded(new_game(ZERO_SEED, 0))
    b = decoded(new_game(ZERO_SEED, 1))
    assert a.next_pcs_bags != b.next_pcs_bags
    assert b.start_time == 1 and b.last_segment == Init(ZERO_SEED, 1)


def test_two_games_from_one_seed_are_equal():
    seed = generate_seed(123, list(range(32)))
    assert GameStatePy(seed).to_bytes() == GameStatePy(seed).to_bytes()


def test_first_two_nothing_actions_derive_the_running_seed():
    s0, pairs = play_replay(ZERO_SEED, 0, [("Nothing", 0), ("Nothing", 0)])
    assert [name for name, _ in pairs] == ["Nothing", "Nothing"]
    s1, s2 = (decoded(s) for _, s in pairs)
    assert s1.seed[:4] == bytes.fromhex("c6deca28")
    assert s2.seed[:4] == bytes.fromhex("d50bddc7")
    assert s1.last_segment == Update(0, s1.seed, 0, 0, 0, 7)
    assert s2.last_segment == Update(0, s2.seed, 0, 0, 1, 7)
    # Nothing changes only the seed, the replay record and the two counters.
    base = decoded(s0)
    assert s1 == base.replace(seed=s1.seed, last_segment=s1.last_segment,
                              last_segment_idx=1, total_moves=1)
    assert s2 == s1.replace(seed=s2.seed, last_segment=s2.last_segment,
                            last_segment_idx=2, total_moves=2)


GARBAGE = ["GGGGGGGG.G", "GGG.GGGGGG"]


@pytest.mark.parametrize(
    "seed, row",
    [(ZERO_SEED, GARBAGE[0]), (None, GARBAGE[1])],
    ids=["zero-seed-hole-8", "fresh-game-seed-hole-3"],
)
def test_received_garbage_hole_column(zero_game, seed, row):
    changes = {"garbage_recv": 2}
    if seed is not None:
        changes["seed"] = seed
    s = act(with_fields(zero_game, **changes), "HardDrop")
    # The Z landed on the floor and was pushed up by the two garbage rows.
    assert board_picture(s, 4) == ["...ZZ.....", "....ZZ....", row, row]
    st = decoded(s)
    assert (st.garbage_recv, st.garbage_applied) == (2, 2)
    assert s.garbage_recv == 2
    assert st.last_segment.garbage_recv == 2 and st.last_segment.garbage_applied == 2
