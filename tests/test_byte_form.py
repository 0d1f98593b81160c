"""The byte form: round trips, sizes, every decode error, and the replay-stream decoder's
errors as load_replay_from_bytes reports them."""

import random
import struct
import sys
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvelle_vim import GameStatePy
from helpers import (
    EOF,
    ZERO_SEED,
    GameOver,
    Hold,
    Init,
    Piece,
    State,
    Update,
    build_state,
    decode_state,
    encode_segment,
    encode_state,
    encode_stream,
    in_fresh_interpreter,
    new_game,
    observable,
    random_walk,
    to_py,
)

from_bytes = GameStatePy.state_from_bytes
load = GameStatePy.load_replay_from_bytes


def custom(value, count):
    return f"invalid value: integer `{value}`, expected variant index 0 <= i < {count}"


def bool_error(v):
    return f"invalid u8 while decoding bool, expected 0 or 1, found {v}"


def tag_error(v):
    return f"tag for enum is not valid, found {v}"


FRESH = list(encode_state(State(current=Piece(18, 3, 5, 0, 0), current_id=1)))

# State shapes: every combination of the optional fields and segment variants.
SHAPES = {
    "smallest": State(current=None, last_segment=GameOver(3)),
    "fresh": State(current=Piece(18, 3, 5), current_id=1),
    "largest": State(current=Piece(-2, 9, 0, 3, 65535), hold=Hold(True, 6),
                     game_over_reason=2, last_segment=Update(-5, bytes(range(32)), 1, 2, 3, 7)),
    "hold-only": State(hold=Hold(False, 0), last_segment=Init(bytes([7] * 32), -1)),
}
SIZES = {"smallest": 366, "fresh": 414, "largest": 433, "hold-only": 407}


@pytest.mark.parametrize("name", SHAPES)
def test_size_and_round_trip_of_each_shape(name):
    raw = encode_state(SHAPES[name])
    assert len(raw) == SIZES[name]
    s = from_bytes(list(raw))
    assert s.to_bytes() == list(raw)


def test_fresh_game_is_414_bytes():
    assert len(new_game().to_bytes()) == 414


@pytest.mark.parametrize("name", SHAPES)
def test_every_proper_prefix_fails_with_end_of_file(name):
    raw = list(encode_state(SHAPES[name]))
    for n in range(len(raw)):
        with pytest.raises(ValueError) as e:
            from_bytes(raw[:n])
        assert str(e.value) == EOF, n


@pytest.mark.parametrize("form", [list, tuple, bytes, bytearray])
def test_accepts_any_byte_sequence_and_ignores_what_follows(form):
    raw = new_game().to_bytes()
    assert from_bytes(form(raw)).to_bytes() == raw
    assert from_bytes(form(raw + [1, 2, 3, 255])).to_bytes() == raw
    assert from_bytes(bytes=form(raw)).to_bytes() == raw


def count_int_references() -> list:
    states = [new_game()] + [from_bytes(encode_state(s)) for s in SHAPES.values()]
    out = []
    for s in states:
        raw = s.to_bytes()
        ints = sorted(set(raw))
        before = [sys.getrefcount(v) for v in ints]
        lists = [s.to_bytes() for _ in range(50)]
        held = [sys.getrefcount(v) for v in ints]
        del lists
        after = [sys.getrefcount(v) for v in ints]
        out.append([[v, raw.count(v), b, h, a] for v, b, h, a in zip(ints, before, held, after)])
    return out


def test_to_bytes_holds_one_reference_to_each_listed_int():
    # The zeros' references are added in one sum; the shared ints' counts must still move by
    # exactly one per item, up while the lists live and back after.
    for rows in in_fresh_interpreter("test_byte_form", "count_int_references"):
        # Slack of a few for references the interpreter takes for reasons of its own.
        for v, n, b, h, a in rows:
            assert abs(h - b - 50 * n) <= 20, v
            assert abs(a - b) <= 20, v


def test_static_methods_work_on_an_instance():
    s = new_game()
    assert s.state_from_bytes(s.to_bytes()).to_bytes() == s.to_bytes()


def mutate(raw, offset, values):
    out = list(raw)
    out[offset:offset + len(values)] = values
    return out


LARGEST = list(encode_state(SHAPES["largest"]))
# Offsets in LARGEST: current 212..224, current_id 225, hold 227..232, game over 233..237,
# seeds 238..301, start 302, counters 310..319, segment 320..373, idx 374, bags 376..431.
DECODE_ERRORS = [
    ("is_t_spin-2", FRESH, 4, [2], bool_error(2)),
    ("is_t_mini_spin-2", FRESH, 5, [2], bool_error(2)),
    ("is_b2b-255", FRESH, 6, [255], bool_error(255)),
    ("last_action-8", FRESH, 208, [8, 0, 0, 0], custom(8, 8)),
    ("last_action-max", FRESH, 208, [255] * 4, custom(4294967295, 8)),
    ("last_action-high-byte", FRESH, 208, [7, 0, 0, 1], custom(16777223, 8)),
    ("current-tag-2", FRESH, 212, [2], tag_error(2)),
    ("current-tag-255", FRESH, 212, [255], tag_error(255)),
    ("current-tet-7", FRESH, 215, [7, 0, 0, 0], custom(7, 7)),
    ("current-rs-4", FRESH, 219, [4, 0, 0, 0], custom(4, 4)),
    ("hold-tag-2", FRESH, 227, [2], tag_error(2)),
    ("game-over-tag-2", FRESH, 228, [2], tag_error(2)),
    ("segment-variant-3", FRESH, 311, [3, 0, 0, 0], custom(3, 3)),
    ("bags-first-max", FRESH, 357, [255] * 4, custom(4294967295, 7)),
    ("bags-last-7", FRESH, 409, [7, 0, 0, 0], custom(7, 7)),
    ("hold-can-use-2", LARGEST, 228, [2], bool_error(2)),
    ("hold-tet-7", LARGEST, 229, [7, 0, 0, 0], custom(7, 7)),
    ("game-over-reason-4", LARGEST, 234, [4, 0, 0, 0], custom(4, 4)),
    ("update-action-8", LARGEST, 320 + 50, [8, 0, 0, 0], custom(8, 8)),
    ("first-error-wins", FRESH, 4, [2, 3, 4], bool_error(2)),
]


@pytest.mark.parametrize("raw, offset, values, message", [d[1:] for d in DECODE_ERRORS],
                         ids=[d[0] for d in DECODE_ERRORS])
def test_decode_errors(raw, offset, values, message):
    bad = mutate(raw, offset, values)
    with pytest.raises(ValueError) as e:
        from_bytes(bad)
    assert str(e.value) == message
    # The reference decoder agrees, so the offsets above point where they say.
    with pytest.raises(Exception) as e2:
        decode_state(bad)
    assert str(e2.value) == message


def test_first_error_in_reading_order_wins():
    bad = mutate(mutate(FRESH, 357, [9, 0, 0, 0]), 212, [2])
    with pytest.raises(ValueError, match="^tag for enum is not valid, found 2$"):
        from_bytes(bad)


def test_game_over_tag_followed_by_three_bytes_is_end_of_file():
    raw = FRESH[:228] + [1, 0, 0, 0]
    with pytest.raises(ValueError) as e:
        from_bytes(raw)
    assert str(e.value) == EOF


def test_game_over_reason_variants_decode():
    for reason in range(4):
        s = to_py(SHAPES["fresh"].replace(game_over_reason=reason))
        assert s.game_over
        assert s.to_bytes()[228:233] == [1, reason, 0, 0, 0]


@pytest.mark.parametrize("args, exc, message", [
    (("",), TypeError, "argument 'bytes': Can't extract `str` to `Vec`"),
    (("abc",), TypeError, "argument 'bytes': Can't extract `str` to `Vec`"),
    ((5,), TypeError, "argument 'bytes': 'int' object cannot be converted to 'Sequence'"),
    (([256],), OverflowError, "out of range integral type conversion attempted"),
    (([-1],), OverflowError, "out of range integral type conversion attempted"),
    (([],), ValueError, EOF),
])
def test_state_from_bytes_argument_errors(args, exc, message):
    with pytest.raises(exc) as e:
        from_bytes(*args)
    assert type(e.value) is exc
    assert str(e.value) == message


def test_state_from_bytes_refuses_a_non_int_item_with_the_argument_prefix():
    with pytest.raises(TypeError, match="^argument 'bytes': "):
        from_bytes([0, "x"])


# --- round trips along played games ---------------------------------------------------------


@pytest.mark.parametrize("game", range(4))
def test_round_trip_along_random_games(game):
    rng = random.Random(1000 + game)
    for _, s in random_walk(rng, 400):
        t = from_bytes(s.to_bytes())
        assert observable(t) == observable(s)


def test_round_trip_of_states_that_break_no_rule_of_the_decoder():
    rng = random.Random(7)
    for _ in range(300):
        board = bytes(rng.randrange(256) for _ in range(200))
        st = build_state(board, ("T", rng.randrange(4), (rng.randrange(-128, 128),
                                                         rng.randrange(-128, 128))),
                         draw=False, next_pcs_idx=rng.randrange(256),
                         score=rng.randrange(-2**31, 2**31), combo_counter=rng.randrange(-128, 128))
        raw = list(encode_state(st))
        assert from_bytes(raw).to_bytes() == raw


@given(st.binary(min_size=0, max_size=440))
def test_random_bytes_decode_exactly_as_the_reference_decoder_says(data):
    try:
        expect, used = decode_state(data)
    except Exception as e:  # the reference decoder's error text
        with pytest.raises(ValueError) as got:
            from_bytes(data)
        assert str(got.value) == str(e)
        return
    assert from_bytes(data).to_bytes() == list(data[:used])


@given(st.data())
def test_mutated_encodings_decode_exactly_as_the_reference_decoder_says(data):
    base = data.draw(st.sampled_from([FRESH, LARGEST, list(encode_state(SHAPES["smallest"]))]))
    raw = list(base)
    for _ in range(data.draw(st.integers(1, 4))):
        i = data.draw(st.integers(0, len(raw) - 1))
        raw[i] = data.draw(st.sampled_from([0, 1, 2, 3, 4, 6, 7, 8, 255]))
    cut = data.draw(st.integers(0, len(raw) + 3))
    raw = (raw + [0, 0, 0])[:cut]
    try:
        _, used = decode_state(raw)
    except Exception as e:
        with pytest.raises(ValueError) as got:
            from_bytes(raw)
        assert str(got.value) == str(e)
        return
    assert from_bytes(raw).to_bytes() == raw[:used]


# --- replay streams -----------------------------------------------------------------------------

INIT = Init(ZERO_SEED, 0)
U0 = Update(0, ZERO_SEED, 0, 0, 0, 0)
U1 = Update(0, ZERO_SEED, 0, 0, 1, 2)


def test_stream_layout_of_init_update_game_over():
    raw = encode_stream([INIT, U0, GameOver(0)])
    assert len(raw) == 114
    assert raw[:8] == bytes([3, 0, 0, 0, 0, 0, 0, 0])
    assert raw[8:12] == bytes(4) and raw[52:56] == bytes([1, 0, 0, 0])
    assert raw[106:110] == bytes([2, 0, 0, 0])
    s0, pairs = load(raw)
    assert [n for n, _ in pairs] == ["HardDrop"]


def stream_bytes(segments, count=None):
    return list(encode_stream(segments, count))


REPLAY_ERRORS = [
    ("empty", [], "bad data: " + EOF),
    ("short-count", [1, 0, 0], "bad data: " + EOF),
    ("count-0", stream_bytes([]), "not enough segments in savefile."),
    ("count-1", stream_bytes([INIT]), "not enough segments in savefile."),
    ("count-2", stream_bytes([INIT, U0]), "not enough segments in savefile."),
    ("count-beyond-data", stream_bytes([INIT, U0, U1], count=4), "bad data: " + EOF),
    ("segment-index-3", stream_bytes([INIT, U0]) + [3, 0, 0, 0], None),
    ("update-action-8", stream_bytes([INIT, Update(action=8), U1]),
     "bad data: " + custom(8, 8)),
    ("game-over-reason-4", stream_bytes([INIT, U0, GameOver(4)]),
     "bad data: " + custom(4, 4)),
    ("three-updates", stream_bytes([U0, U1, Update(idx=2)]),
     "not enough gamestates in savefile."),
    ("second-init", stream_bytes([INIT, U0, INIT]), "not enough gamestates in savefile."),
    ("first-slice-idx-1", stream_bytes([INIT, Update(idx=1), Update(idx=2)]),
     "not enough gamestates in savefile."),
    ("repeated-idx", stream_bytes([INIT, U0, U0]), "not enough gamestates in savefile."),
]


@pytest.mark.parametrize("data, message", [e[1:] for e in REPLAY_ERRORS],
                         ids=[e[0] for e in REPLAY_ERRORS])
def test_load_replay_errors(data, message):
    if message is None:  # count 2 followed by a third segment whose variant index is 3
        data = list(struct.pack("<Q", 3)) + data[8:]
        message = "bad data: " + custom(3, 3)
    with pytest.raises(ValueError) as e:
        load(data)
    assert str(e.value) == message


def test_huge_segment_count_fails_fast():
    data = [255] * 8 + list(encode_segment(INIT)) + [1, 2, 3]
    start = time.monotonic()
    with pytest.raises(ValueError) as e:
        load(data)
    assert str(e.value) == "bad data: " + EOF
    # No memory is reserved for the count: this returns at once instead of failing to
    # allocate 2**64 - 1 segments.
    assert time.monotonic() - start < 5


def test_every_proper_prefix_of_a_stream_fails_with_end_of_file():
    raw = stream_bytes([INIT, U0, U1, GameOver(1)])
    for n in range(len(raw)):
        with pytest.raises(ValueError) as e:
            load(raw[:n])
        assert str(e.value) == "bad data: " + EOF, n


@pytest.mark.parametrize("form", [list, tuple, bytes, bytearray])
def test_stream_bytes_after_the_last_segment_are_ignored(form):
    raw = stream_bytes([INIT, U0, U1])
    a0, a = load(form(raw))
    b0, b = load(form(raw + [9, 9, 9]))
    c0, c = load(data=form(raw))
    assert a0.to_bytes() == b0.to_bytes() == c0.to_bytes()
    assert [(n, s.to_bytes()) for n, s in a] == [(n, s.to_bytes()) for n, s in b]
    assert [(n, s.to_bytes()) for n, s in a] == [(n, s.to_bytes()) for n, s in c]


@pytest.mark.parametrize("args, exc, message", [
    (("x",), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    ((None,), TypeError, "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
    (([0, 300],), OverflowError, "out of range integral type conversion attempted"),
])
def test_load_replay_argument_errors(args, exc, message):
    with pytest.raises(exc) as e:
        load(*args)
    assert type(e.value) is exc
    assert str(e.value) == message
