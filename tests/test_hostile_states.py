"""States the engine did not build, as state_from_bytes accepts them: every attribute and
member works or raises ValueError, never crashes, hangs or reaches outside its arrays; and
the engine's policy for such states (the comment above `struct GameState`) holds:

- a falling piece with a cell off the board: every action is refused;
- next_pcs_idx past the queue: the preview fails with "next_pcs_idx out of range: N", and
  taking a piece from past the queue refuses the action;
- no falling piece while the game runs: every tried action is refused;
- a full row 39 is cleared with the others; more than four rows score as four;
- garbage_recv far above garbage_applied fills at most rows 0 to 38 and counts all as applied.
"""

import faulthandler

import pytest
from hypothesis import given
from hypothesis import strategies as st

from helpers import (
    KINDS,
    ROWS,
    STATE_ATTRIBUTES,
    ZERO_SEED,
    GameOver,
    Hold,
    Init,
    Model,
    Piece,
    State,
    Update,
    board_codes,
    board_picture,
    decode_state,
    decoded,
    encode_state,
    garbage_hole,
    make_state,
    model_successors,
    new_game,
    piece_cells,
    random_walk,
    shuffle_tets,
    successors,
    to_py,
)


@pytest.fixture(autouse=True)
def watchdog():
    # A call that never returns fails the run loudly instead of hanging it.
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


METHODS = [
    ("to_bytes", ()),
    ("get_valid_move_chains", ()),
    ("bot_moves_raw", ("wordpress",)),
    ("bot_moves_raw", ("random",)),
    ("generate_bot_episode", ("random", 20)),
    ("generate_bot_episode", ("wordpress", 4)),
]


def off_board(s: State) -> bool:
    c = s.current
    return c is not None and any(not (0 <= y < ROWS and 0 <= x < 10)
                                 for y, x in piece_cells(c.tet, c.rs, (c.y, c.x)))


def exercise(state, depth=1):
    """Reads every attribute and calls every member; each returns or raises ValueError.
    Returns {name: value or the ValueError}."""
    before = state.to_bytes()
    out = {}
    for name in STATE_ATTRIBUTES:
        try:
            out[name] = getattr(state, name)
        except ValueError as e:
            out[name] = e
    for name, args in METHODS:
        try:
            out[(name,) + args] = getattr(state, name)(*args)
        except ValueError as e:
            out[(name,) + args] = e
    assert state.to_bytes() == before
    check_shapes(out)
    # Every state produced decodes; the single-action successors are exercised in turn.
    for key in ("next_actions_and_states", ("get_valid_move_chains",),
                ("generate_bot_episode", "random", 20), ("generate_bot_episode", "wordpress", 4)):
        for _, s in out[key] if isinstance(out[key], list) else []:
            raw = s.to_bytes()
            _, used = decode_state(raw)
            assert used == len(raw)
    if depth > 0:
        for _, s in out["next_actions_and_states"]:
            exercise(s, depth - 1)
    return out


def check_shapes(out):
    board = out["main_board"]
    assert len(board) == 20 and all(len(r) == 10 and all(type(c) is bool for c in r)
                                    for r in board)
    assert 0 <= out["holes"] <= 390 and 0 <= out["bumpi"] <= 39 and 1 <= out["height"] <= 40
    nxt = out["next_pcs"]
    if not isinstance(nxt, ValueError):
        assert len(nxt) == 5 and all(k in KINDS for k in nxt)
    else:
        assert str(nxt).startswith("next_pcs_idx out of range: ")
    kind, rs, pos = out["current_pcs"]
    assert out["current_pcs_rotation"] == (kind, rs, pos)
    assert (kind, rs, pos) == ("", -666, (-127, -127)) or (kind in KINDS and 0 <= rs <= 3)
    assert out["hold"] is None or out["hold"] in KINDS
    for key in ("matrix_txt", "html"):
        assert isinstance(out[key], (str, ValueError))
    for key in (("bot_moves_raw", "wordpress"), ("bot_moves_raw", "random")):
        assert isinstance(out[key], list)
    names = [n for n, _ in out["next_actions_and_states"]]
    assert len(set(names)) == len(names)


def refused_by_policy(s: State) -> bool:
    return s.game_over_reason is not None or s.current is None or off_board(s)


def check_policy(state, out):
    s = decoded(state)
    if refused_by_policy(s):
        assert out["next_actions_and_states"] == []
        assert out[("get_valid_move_chains",)] == []
        assert out[("generate_bot_episode", "random", 20)] == []
        expect_bot = [] if s.game_over_reason is not None else ["SoftDrop"]
        assert out[("bot_moves_raw", "wordpress")] == expect_bot
        assert out[("bot_moves_raw", "random")] == expect_bot
    if s.next_pcs_idx > 9:
        assert str(out["next_pcs"]) == f"next_pcs_idx out of range: {s.next_pcs_idx}"
    else:
        i = s.next_pcs_idx
        assert out["next_pcs"] == [KINDS[k] for k in s.next_pcs_bags[i:i + 5]]


# --- the policy, case by case -------------------------------------------------------------------

OFF_BOARD = [
    ("O", 0, (0, 9)), ("I", 0, (-3, 0)), ("T", 0, (38, 3)), ("I", 1, (0, -3)),
    ("L", 2, (-128, -128)), ("Z", 3, (127, 127)), ("S", 1, (-1, 0)), ("J", 0, (0, 8)),
]


@pytest.mark.parametrize("piece", OFF_BOARD, ids=str)
@pytest.mark.parametrize("draw", [True, False])
def test_falling_piece_off_the_board_is_never_acted_on(piece, draw):
    s = make_state(["GGGG.GGGGG"], piece, draw=draw, hold="I")
    out = exercise(s)
    check_policy(s, out)
    kind, rs, pos = piece
    assert s.current_pcs == (kind, rs, pos)
    assert s.debug_current_pcs_info == (
        f"Some(CurrentPcsInfo {{ pos: ({pos[0]}, {pos[1]}), tet: {kind}, rs: R{rs}, id: 0 }})")


def test_metrics_of_a_piece_off_the_board_measure_what_the_erase_left():
    # The erase stops at the first off-board cell: an O at column 9 erases (0, 9) only,
    # then meets column 10.
    s = make_state(["GGGGGGGGGG", "GGGGGGGGGG"], ("O", 0, (0, 9)), draw=False)
    assert s.holes == 1 and s.height == 2 and s.bumpi == 0


def test_no_falling_piece_while_running():
    s = make_state(["G........."], None, hold=("T", True))
    assert s.current_pcs == ("", -666, (-127, -127))
    assert s.current_pcs_rotation == ("", -666, (-127, -127))
    assert s.debug_current_pcs_info == "None"
    assert (s.height, s.holes, s.bumpi) == (1, 0, 0)
    out = exercise(s)
    check_policy(s, out)


@pytest.mark.parametrize("idx", range(256))
def test_next_pcs_idx_anywhere(idx):
    queue = "IOTSZJLOLIJTSZ"
    seed = bytes(range(32))
    s = make_state(None, ("O", 0, (0, 0)), queue=queue, next_pcs_idx=idx, seed=seed)
    out = exercise(s, depth=0)
    check_policy(s, out)
    nxt = successors(s)
    # Moves never read the queue.
    assert "MoveRight" in nxt and "RotateLeft" in nxt
    # A lock takes the next piece: from the queue, from a fresh bag after a refill, or not
    # at all when even after the refill the position lies past the queue.
    if idx >= 21:
        assert "HardDrop" not in nxt and "SoftDrop" not in nxt and "Hold" not in nxt
        return
    after = decoded(nxt["HardDrop"])
    if idx <= 6:
        assert KINDS[after.current.tet] == queue[idx]
        assert after.next_pcs_idx == idx + 1
    else:
        bag, _ = shuffle_tets(seed, 0)
        assert list(after.next_pcs_bags) == [KINDS.index(k) for k in queue[7:]] + bag
        assert after.current.tet == after.next_pcs_bags[idx - 7]
        assert after.next_pcs_idx == idx - 6


def test_hold_with_a_held_piece_ignores_a_bad_queue_position():
    s = make_state(None, ("O", 0, (0, 0)), hold="T", next_pcs_idx=200)
    h = successors(s)["Hold"]
    assert h.current_pcs == ("T", 0, (18, 3))
    assert decoded(h).next_pcs_idx == 200


def test_full_row_39_is_cleared_with_the_others():
    well = ["GGGGGGGGG."] * 4
    s = make_state(["GGGGGGGGGG"] + ["." * 10] * 35 + well, ("I", 1, (20, 7)))
    d = successors(s)["HardDrop"]
    assert d.total_lines == 5
    assert d.score == 10 + 320 + 1600  # five rows score as four; the board is empty
    assert board_codes(d.to_bytes())[39] == [0] * 10
    assert d.is_b2b


def test_full_row_39_alone_is_cleared_by_a_lock():
    s = make_state(["GGGGGGGGGG"] + ["." * 10] * 38 + ["G........."], ("O", 0, (0, 4)))
    d = successors(s)["HardDrop"]
    assert d.total_lines == 1 and d.score == 10 + 40
    assert board_codes(d.to_bytes())[39] == [0] * 10
    assert board_picture(d, 1, ghosts=False) == ["G...OO...."]


def test_row_39_content_fills_the_rows_freed_by_a_clear():
    s = make_state(["G........."] + ["." * 10] * 38 + ["GGGGGGGGG."], ("I", 1, (20, 7)))
    d = successors(s)["HardDrop"]
    codes = board_codes(d.to_bytes())
    assert d.total_lines == 1
    assert codes[39] == codes[38] == [8] + [0] * 9


@pytest.mark.parametrize("recv, applied, rows", [
    (1000, 0, 39), (39, 0, 39), (40, 1, 39), (65535, 0, 39), (65535, 65534, 1),
    (3, 5, 0), (0, 65535, 0),
])
def test_received_garbage_beyond_the_board(recv, applied, rows):
    s = make_state(["L.........", "L........."], ("O", 0, (30, 4)), garbage_recv=recv,
                   garbage_applied=applied)
    d = successors(s)["HardDrop"]
    st_ = decoded(d)
    assert st_.garbage_applied == (recv if rows else applied)
    codes = board_codes(d.to_bytes())
    hole = garbage_hole(ZERO_SEED)
    garbage = [0 if x == hole else 8 for x in range(10)]
    for y in range(rows):
        assert codes[y] == garbage
    assert codes[39] == [0] * 10
    if rows == 39:
        assert d.game_over  # the spawn cells are garbage now
    if rows == 0:
        assert codes[0][0] == codes[1][0] == 2  # the L cells stay where they were


@pytest.mark.parametrize("code", range(10, 16))
def test_nibble_codes_10_to_15_are_free_cells(code):
    ch = "abcdef"[code - 10]
    s = make_state([ch * 10, ch * 10], ("O", 0, (2, 4)))
    d = successors(s)["SoftDrop"]
    assert d.current_pcs == ("O", 0, (1, 4))
    codes = board_codes(d.to_bytes())
    # The piece overwrote two of them; the others stay, untouched by the ghost erase.
    assert codes[1] == [code] * 4 + [4 + 3] * 2 + [code] * 4
    assert (d.height, d.holes, d.bumpi) == (1, 0, 0)


@pytest.mark.parametrize("code", range(10, 16))
def test_a_hard_drop_empties_the_free_cells_it_passes(code):
    # The drop stands for one-row soft drops, each drawing the piece and erasing it again.
    ch = "abcdef"[code - 10]
    s = make_state([ch * 10] * 8, ("O", 0, (12, 4)))
    d = successors(s)["HardDrop"]
    codes = board_codes(d.to_bytes())
    assert [row[4:6] for row in codes[:2]] == [[7, 7]] * 2
    # Empty where the next piece's ghost does not lie; the columns beside keep their codes.
    assert all(c in (0, 9) for row in codes[2:8] for c in row[4:6])
    assert all(row[:3] == row[7:] == [code] * 3 for row in codes[:8])
    assert d.to_bytes() == list(encode_state(model_successors(decoded(s))["HardDrop"]))


def test_a_hard_drop_locks_one_piece_when_the_next_takes_the_same_id():
    # The drop ends at its lock, told by the new piece it spawns: a next piece numbered as the
    # one that locked does not fall too, whether the first was drawn on the board or not.
    for draw in (True, False):
        s = make_state(None, ("O", 0, (12, 4), 5), draw=draw, current_id=5)
        d = successors(s)["HardDrop"]
        assert d.to_bytes() == list(encode_state(model_successors(decoded(s))["HardDrop"]))
        st = decoded(d)
        assert (st.current.id, st.current_id, st.next_pcs_idx) == (5, 6, decoded(s).next_pcs_idx + 1)
        assert d.score == 10
        # One piece locked and the next falling.
        assert sum(c != 0 for row in board_codes(d.to_bytes()) for c in row if c != 9) == 8
    # The move chains see the same drops.
    s = make_state(["G.GGGGGGG."], ("O", 0, (12, 4), 5), current_id=5)
    chains = s.get_valid_move_chains()
    assert len(chains) > 50
    for chain, end in chains:
        m = Model(decoded(s))
        for name in chain:
            m.act(name)
        assert end.to_bytes() == list(encode_state(m.state())), chain


def test_stray_ghost_cells_leave_no_trace_in_the_successors():
    # Ghost cells where no rule puts them: beside and under the piece, in a row a lock clears
    # and in rows that move down.
    picture = [
        "g.........",
        "....gg....",
        "..........",
        "g........g",
        "GGGG..GGGG",
        "G.g.gGGGGG",
        "GGGGG.GgGG",
    ]
    piece = ("I", 1, (6, 3))
    stray = make_state(picture, piece)
    clean = make_state([row.replace("g", ".") for row in picture], piece)
    assert stray.to_bytes() != clean.to_bytes()
    assert [(n, s.to_bytes()) for n, s in stray.next_actions_and_states] == \
        [(n, s.to_bytes()) for n, s in clean.next_actions_and_states]
    assert [(c, s.to_bytes()) for c, s in stray.get_valid_move_chains()] == \
        [(c, s.to_bytes()) for c, s in clean.get_valid_move_chains()]


def test_piece_not_drawn_on_the_board_is_drawn_by_its_next_move():
    s = make_state(None, ("T", 0, (10, 3)), draw=False)
    r = successors(s)["MoveRight"]
    cells = piece_cells("T", 0, (10, 4))
    codes = board_codes(r.to_bytes())
    assert all(codes[y][x] == 4 for y, x in cells)


def test_hard_drop_of_a_piece_not_drawn():
    s = make_state(None, ("T", 0, (10, 3)), draw=False)
    d = successors(s)["HardDrop"]
    assert d.score == 10
    assert board_picture(d, 2, ghosts=False) == ["....T.....", "...TTT...."]


def test_game_over_without_a_piece():
    s = make_state(None, None, game_over_reason=3)
    out = exercise(s)
    check_policy(s, out)
    assert s.game_over


# --- generated states -----------------------------------------------------------------------

BASES = []


def bases():
    if not BASES:
        import random

        rng = random.Random(99)
        walk = random_walk(rng, 120)
        BASES.extend(decoded(s) for _, s in walk[::6])
    return BASES


segments = st.one_of(
    st.builds(Init, st.binary(min_size=32, max_size=32), st.integers(-(2**63), 2**63 - 1)),
    st.builds(Update, st.integers(-(2**63), 2**63 - 1), st.binary(min_size=32, max_size=32),
              st.integers(0, 65535), st.integers(0, 65535), st.integers(0, 65535),
              st.integers(0, 7)),
    st.builds(GameOver, st.integers(0, 3)),
)
pieces = st.builds(Piece, st.integers(-128, 127), st.integers(-128, 127), st.integers(0, 6),
                   st.integers(0, 3), st.integers(0, 65535))
near_pieces = st.builds(Piece, st.integers(-4, 41), st.integers(-4, 11), st.integers(0, 6),
                        st.integers(0, 3), st.integers(0, 65535))
u16 = st.integers(0, 65535)


def mutations():
    return st.one_of(
        st.fixed_dictionaries({"next_pcs_idx": st.integers(0, 255)}),
        st.fixed_dictionaries({"current": st.one_of(st.none(), pieces, near_pieces)}),
        st.fixed_dictionaries({"board": st.binary(min_size=200, max_size=200)}),
        st.fixed_dictionaries({"board": st.just("row39")}),
        st.fixed_dictionaries({"board": st.just("nibbles")}),
        st.fixed_dictionaries({"garbage_recv": u16, "garbage_applied": u16}),
        st.fixed_dictionaries({"garbage_recv": st.integers(100, 65535)}),
        st.fixed_dictionaries({"hold": st.one_of(st.none(), st.builds(Hold, st.booleans(),
                                                                      st.integers(0, 6)))}),
        st.fixed_dictionaries({"game_over_reason": st.one_of(st.none(), st.integers(0, 3))}),
        st.fixed_dictionaries({"last_segment": segments, "last_segment_idx": u16}),
        st.fixed_dictionaries({"next_pcs_bags": st.tuples(*[st.integers(0, 6)] * 14)}),
        st.fixed_dictionaries({"combo_counter": st.integers(-128, 127),
                               "score": st.integers(-(2**31), 2**31 - 1),
                               "total_lines": u16, "total_moves": u16, "current_id": u16}),
    )


def apply_mutation(base: State, change: dict, data) -> State:
    change = dict(change)
    if change.get("board") == "row39":
        b = bytearray(base.board)
        b[195:200] = b"\x88" * 5
        change["board"] = bytes(b)
    elif change.get("board") == "nibbles":
        b = bytearray(base.board)
        for i in data.draw(st.lists(st.integers(0, 199), max_size=30)):
            b[i] = data.draw(st.integers(0xA0, 0xFF)) | data.draw(st.sampled_from([0, 0xA]))
        change["board"] = bytes(b)
    return base.replace(**change)


@given(st.data())
def test_valid_states_with_one_field_changed(data):
    base = data.draw(st.sampled_from(bases()))
    s = apply_mutation(base, data.draw(mutations()), data)
    py = to_py(s)
    assert py.to_bytes() == list(encode_state(s))
    check_policy(py, exercise(py))


states = st.builds(
    State,
    score=st.integers(-(2**31), 2**31 - 1),
    is_t_spin=st.booleans(), is_t_mini_spin=st.booleans(), is_b2b=st.booleans(),
    combo_counter=st.integers(-128, 127),
    board=st.binary(min_size=200, max_size=200),
    last_action=st.integers(0, 7),
    current=st.one_of(st.none(), pieces, near_pieces),
    current_id=u16,
    hold=st.one_of(st.none(), st.builds(Hold, st.booleans(), st.integers(0, 6))),
    game_over_reason=st.one_of(st.none(), st.integers(0, 3)),
    seed=st.binary(min_size=32, max_size=32), init_seed=st.binary(min_size=32, max_size=32),
    start_time=st.integers(-(2**63), 2**63 - 1),
    total_lines=u16, total_garbage_sent=u16, garbage_recv=u16, garbage_applied=u16,
    total_moves=u16, last_segment=segments, last_segment_idx=u16,
    next_pcs_bags=st.tuples(*[st.integers(0, 6)] * 14),
    next_pcs_idx=st.integers(0, 255),
)


@given(states)
def test_random_decodable_states(s):
    py = to_py(s)
    assert py.to_bytes() == list(encode_state(s))
    check_policy(py, exercise(py))


def test_playing_on_from_a_state_with_a_garbage_board_terminates():
    # A board of random solid and odd cells under a piece in the air: play whole episodes.
    import random

    rng = random.Random(5)
    for _ in range(10):
        board = bytes(rng.choice([0x00, 0x08, 0x80, 0x88, 0xAB, 0x9F, 0x12]) for _ in range(100))
        s = make_state(board + bytes(100), ("T", 0, (25, 3)), next_pcs_idx=rng.randrange(256))
        for bot in ("random", "wordpress"):
            ep = s.generate_bot_episode(bot, 60)
            assert len(ep) <= 60
            for _, t in ep:
                decode_state(t.to_bytes())


def test_replay_of_a_new_game_never_meets_hostile_states():
    # The replay path starts from Init; only the recorded actions reach the engine.
    s0 = new_game()
    assert not refused_by_policy(decoded(s0))
