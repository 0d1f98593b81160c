"""Replay playback through load_replay_from_bytes: recorded games play back byte for byte,
slice order checks, GameOver segments, local seeds winning, garbage from the slices and
slice indexes wrapping."""

import random

import pytest

from corvelle_vim import GameStatePy
from helpers import (
    ACTION_INDEX,
    ACTIONS,
    ZERO_SEED,
    GameOver,
    Init,
    Model,
    Recorder,
    Refused,
    Update,
    accept_event,
    board_picture,
    decoded,
    encode_segment,
    encode_state,
    encode_stream,
    fresh_state,
    garbage_hole,
    new_game,
    successors,
)

load = GameStatePy.load_replay_from_bytes
NOT_ENOUGH_STATES = "^not enough gamestates in savefile.$"


def pair_bytes(pairs):
    return [(n, s.to_bytes()) for n, s in pairs]


def weighted_walk(rng, state, n):
    """Random play that rarely hard-drops, so that one game lasts thousands of actions."""
    weights = {"HardDrop": 0.15, "SoftDrop": 0.6, "MoveLeft": 12, "MoveRight": 12, "Hold": 2,
               "RotateLeft": 8, "RotateRight": 8}
    out = []
    for _ in range(n):
        nxt = state.next_actions_and_states
        if not nxt:
            break
        names = [name for name, _ in nxt]
        name = rng.choices(names, [weights[k] for k in names])[0]
        state = dict(nxt)[name]
        out.append((name, state))
    return out


def record(state0, steps):
    rec = Recorder(state0)
    for _, s in steps:
        rec.add(s)
    return rec


def test_long_recorded_game_plays_back_byte_for_byte():
    rng = random.Random(4)
    state0 = new_game(bytes(range(32)), 0)
    steps = weighted_walk(rng, state0, 5000)
    assert len(steps) >= 2000
    s0, pairs = load(record(state0, steps).stream())
    assert s0.to_bytes() == state0.to_bytes()
    assert pair_bytes(pairs) == pair_bytes(steps)


def test_bot_episode_plays_back_byte_for_byte():
    state0 = new_game(bytes([3] * 32), 12345)
    steps = state0.generate_bot_episode("wordpress", 1500)
    assert len(steps) > 2
    s0, pairs = load(record(state0, steps).stream())
    assert pair_bytes(pairs) == pair_bytes(steps)


def test_game_played_to_its_end_plays_back():
    rng = random.Random(11)
    state0 = new_game(ZERO_SEED, 0)
    steps = []
    s = state0
    while s.next_actions_and_states:
        nxt = s.next_actions_and_states
        name, s = nxt[rng.randrange(len(nxt))]
        steps.append((name, s))
    assert s.game_over
    rec = record(state0, steps)
    _, pairs = load(rec.stream(game_over=0))
    assert pair_bytes(pairs) == pair_bytes(steps)
    # An action after the game ended fails the whole playback.
    extra = Update(0, ZERO_SEED, 0, 0, len(steps) & 0xFFFF, ACTION_INDEX["Nothing"])
    segs = rec.segments + [encode_segment(extra)]
    data = len(segs).to_bytes(8, "little") + b"".join(segs)
    with pytest.raises(ValueError, match=NOT_ENOUGH_STATES):
        load(data)


def model_game(rng, seed, ts, n):
    """A legal action sequence with real, increasing timestamps, and the states the rules
    give for it (computed by the reference model)."""
    state = fresh_state(seed, ts)
    t = ts
    steps, states = [], [state]
    for _ in range(n):
        t += rng.randrange(0, 300_000)
        for name in rng.sample(ACTIONS, len(ACTIONS)):
            m = Model(state)
            try:
                m.act(name, t)
            except Refused:
                continue
            break
        else:
            break
        state = m.state()
        steps.append((name, t))
        states.append(state)
    return steps, states


@pytest.mark.parametrize("seed", [bytes(range(32)), bytes([0xA5] * 32)])
def test_real_timestamps_play_back_and_record_again(seed):
    rng = random.Random(seed[0])
    ts = 1_700_000_000_000_000
    steps, states = model_game(rng, seed, ts, 150)
    segs = [Init(seed, ts)] + [
        Update(t, states[i + 1].seed, 0, 0, i, ACTION_INDEX[name])
        for i, (name, t) in enumerate(steps)
    ] + [GameOver(0)]
    s0, pairs = load(encode_stream(segs))
    assert [n for n, _ in pairs] == [n for n, _ in steps]
    for (name, got), want in zip(pairs, states[1:]):
        assert got.to_bytes() == list(encode_state(want)), name
    for (_, got), (_, t) in zip(pairs, steps):
        assert decoded(got).last_segment.ts == t
    # Recording the played-back states gives a stream that plays back to the same states.
    rec = record(s0, pairs)
    _, again = load(rec.stream())
    assert pair_bytes(again) == pair_bytes(pairs)


# --- stream shapes -----------------------------------------------------------------------------


def test_init_update_update():
    u = [Update(0, ZERO_SEED, 0, 0, 0, ACTION_INDEX["HardDrop"]),
         Update(0, ZERO_SEED, 0, 0, 1, ACTION_INDEX["MoveLeft"])]
    s0, pairs = load(encode_stream([Init(ZERO_SEED, 0)] + u))
    assert s0.to_bytes() == new_game().to_bytes()
    s1 = successors(new_game())["HardDrop"]
    s2 = successors(s1)["MoveLeft"]
    assert pair_bytes(pairs) == [("HardDrop", s1.to_bytes()), ("MoveLeft", s2.to_bytes())]


def test_init_update_game_over_returns_one_pair():
    u = Update(0, ZERO_SEED, 0, 0, 0, ACTION_INDEX["RotateRight"])
    s0, pairs = load(encode_stream([Init(ZERO_SEED, 0), u, GameOver(2)]))
    assert pair_bytes(pairs) == [("RotateRight",
                                  successors(new_game())["RotateRight"].to_bytes())]
    assert not pairs[0][1].game_over  # the state carrying the reason is not returned


def test_game_over_segments_add_no_pairs():
    s0, pairs = load(encode_stream([Init(bytes([9] * 32), 77), GameOver(0), GameOver(3)]))
    assert pairs == []
    assert s0.to_bytes() == new_game(bytes([9] * 32), 77).to_bytes()


def test_update_after_game_over_segment_fails():
    data = encode_stream([Init(), GameOver(0), Update(0, ZERO_SEED, 0, 0, 0, 7)])
    with pytest.raises(ValueError, match=NOT_ENOUGH_STATES):
        load(data)


@pytest.mark.parametrize("idxs", [(0, 5), (1, 2), (0, 0), (0, 2), (0, 65535), (65535, 0)])
def test_slices_out_of_order_fail(idxs):
    segs = [Init()] + [Update(0, ZERO_SEED, 0, 0, i, 7) for i in idxs]
    with pytest.raises(ValueError, match=NOT_ENOUGH_STATES):
        load(encode_stream(segs))


def test_all_or_nothing_a_bad_slice_at_the_end_drops_every_state():
    segs = [Init()] + [Update(0, ZERO_SEED, 0, 0, i, 7) for i in range(50)]
    assert len(load(encode_stream(segs))[1]) == 50
    segs.append(Update(0, ZERO_SEED, 0, 0, 7, 7))
    with pytest.raises(ValueError, match=NOT_ENOUGH_STATES):
        load(encode_stream(segs))


def test_refused_action_in_a_slice_fails():
    # A fresh Z at column 3 moves left three times; the fourth is a move into the wall.
    segs = [Init()] + [Update(0, ZERO_SEED, 0, 0, i, ACTION_INDEX["MoveLeft"]) for i in range(3)]
    assert len(load(encode_stream(segs))[1]) == 3
    segs.append(Update(0, ZERO_SEED, 0, 0, 3, ACTION_INDEX["MoveLeft"]))
    with pytest.raises(ValueError, match=NOT_ENOUGH_STATES):
        load(encode_stream(segs))


# --- recorded values: local seed wins, garbage comes from the slices ---------------------------


def test_altered_new_seed_is_accepted_and_ignored():
    rng = random.Random(2)
    state0 = new_game(bytes(range(32)), 0)
    steps = weighted_walk(rng, state0, 300)
    rec = record(state0, steps)
    good = rec.stream()
    _, want = load(good)
    bad = bytearray(good)
    # Every Update's new_seed sits 12 bytes into the segment.
    off = 8 + 44
    for _ in steps:
        for k in range(32):
            bad[off + 12 + k] ^= 0x5A
        off += 54
    _, got = load(bytes(bad))
    assert pair_bytes(got) == pair_bytes(want)


def test_new_garbage_recv_of_a_slice_enters_the_game():
    segs = [
        Init(),
        Update(0, ZERO_SEED, 2, 0, 0, ACTION_INDEX["Nothing"]),
        Update(0, ZERO_SEED, 2, 0, 1, ACTION_INDEX["HardDrop"]),
        Update(0, ZERO_SEED, 5, 0, 2, ACTION_INDEX["MoveLeft"]),
    ]
    _, pairs = load(encode_stream(segs))
    (n1, s1), (n2, s2), (n3, s3) = pairs
    assert s1.garbage_recv == 2 and decoded(s1).garbage_applied == 0
    assert board_picture(s1, 2, ghosts=False) == ["." * 10] * 2
    st2 = decoded(s2)
    assert (st2.garbage_recv, st2.garbage_applied) == (2, 2)
    # The hole column comes from the seed left by the Nothing before the drop.
    hole = garbage_hole(decoded(s1).seed)
    row = "".join("." if x == hole else "G" for x in range(10))
    assert board_picture(s2, 4, ghosts=False) == ["...ZZ.....", "....ZZ....", row, row]
    assert st2.last_segment.garbage_recv == 2 and st2.last_segment.garbage_applied == 2
    # Received but not yet applied: nothing locks in a move.
    st3 = decoded(s3)
    assert (st3.garbage_recv, st3.garbage_applied) == (5, 2)
    assert st3.last_segment.garbage_recv == 5


def test_garbage_recv_differs_from_the_zero_recv_game():
    base = [Init(), Update(0, ZERO_SEED, 0, 0, 0, 0), Update(0, ZERO_SEED, 0, 0, 1, 0)]
    with_garbage = [Init(), Update(0, ZERO_SEED, 1, 0, 0, 0), Update(0, ZERO_SEED, 1, 0, 1, 0)]
    _, a = load(encode_stream(base))
    _, b = load(encode_stream(with_garbage))
    assert a[0][1].to_bytes() != b[0][1].to_bytes()
    assert b[0][1].garbage_recv == 1 and a[0][1].garbage_recv == 0


# --- slice indexes wrap -------------------------------------------------------------------------


def test_more_than_65536_slices_wrap_the_index():
    moves = [ACTION_INDEX[a] for a in ("MoveLeft", "MoveRight", "Nothing")]
    n = 65536 + 4
    segs = [encode_segment(Init())]
    for i in range(n):
        segs.append(encode_segment(Update(0, ZERO_SEED, 0, 0, i & 0xFFFF, moves[i % 3])))
    data = (n + 1).to_bytes(8, "little") + b"".join(segs)
    _, pairs = load(data)
    assert len(pairs) == n
    last = decoded(pairs[-1][1])
    assert last.last_segment.idx == 3
    assert (last.last_segment_idx, last.total_moves) == (4, 4)
    assert pairs[-1][1].total_move_count == 4
    # The seed derivation sees the wrapped index.
    for k in (65534, 65535, 65536, 65537):
        before, after = decoded(pairs[k - 1][1]), decoded(pairs[k][1])
        assert after.last_segment.idx == k & 0xFFFF
        assert after.seed == accept_event(before.seed, ACTIONS[moves[k % 3]], 0, k & 0xFFFF)
