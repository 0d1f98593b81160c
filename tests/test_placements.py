"""corvelle.placements: the classic counts, a T-spin double only a soft drop and a last turn
reach, the key paths against the engine's own actions, a plain breadth-first search over
next_actions_and_states, the action encoding, and bad input."""

import dataclasses
import random
from collections import deque

import pytest

import corvelle
from corvelle import placement as pl
from helpers import (
    decoded,
    make_state,
    new_game,
    piece_cells,
    random_walk,
    spawn_pos,
    successors,
    with_fields,
)

ORDER = ("MoveLeft", "MoveRight", "RotateRight", "RotateLeft", "SoftDrop")


def cells(p):
    return frozenset(piece_cells(p.kind, p.rotation, (p.row, p.column)))


def play(state, keys):
    for k in keys:
        state = successors(state)[k]
    return state


def plain_placements(state, hold=True):
    """The placements by their definition, with the Python surface only: breadth first over
    (piece, spin flags) with the actions in ORDER, each node's HardDrop kept when its landed
    cells and spin kind are new; then the same after a first Hold. A soft drop that moves the
    piece lowers it one row and adds 2 points; one that locks does not."""
    out = []

    def moved_down(s, down):
        kind, rs, (y, x) = s.current_pcs
        return down.current_pcs == (kind, rs, (y - 1, x)) and down.score == s.score + 2

    def group(root, prefix, held):
        if root.game_over or decoded(root).current is None:
            return

        def node(s):
            return (s.current_pcs, s.is_t_spin, s.is_t_mini_spin)

        seen, placed = {node(root)}, set()
        queue = deque([(root, list(prefix))])
        while queue:
            s, path = queue.popleft()
            nxt = successors(s)
            if "HardDrop" in nxt:
                low = s
                while True:
                    down = successors(low).get("SoftDrop")
                    if down is None or not moved_down(low, down):
                        break
                    low = down
                kind, rs, (y, x) = low.current_pcs
                spin = (
                    pl.SPINS[(1 if s.is_t_mini_spin else 0) + (2 if s.is_t_spin else 0)]
                    if y == s.current_pcs[2][0]
                    else "none"
                )
                key = (frozenset(piece_cells(kind, rs, (y, x))), spin)
                if key not in placed:
                    placed.add(key)
                    lines = (nxt["HardDrop"].total_lines - s.total_lines) % 2**16
                    out.append((tuple(path) + ("HardDrop",), held, kind, rs, y, x, spin, lines))
            for a in ORDER:
                if a not in nxt or nxt[a].game_over:
                    continue
                if a == "SoftDrop" and not moved_down(s, nxt[a]):
                    continue
                if node(nxt[a]) not in seen:
                    seen.add(node(nxt[a]))
                    queue.append((nxt[a], path + [a]))

    group(state, (), False)
    if hold and "Hold" in successors(state):
        group(successors(state)["Hold"], ("Hold",), True)
    return out


def first_pieces():
    """A fresh game (empty board) for each kind as its first piece."""
    found = {}
    ts = 0
    while len(found) < 7:
        s = new_game(ts=ts)
        found.setdefault(s.current_pcs[0], s)
        ts += 1
    return found


@pytest.mark.parametrize("kind, count", [("O", 9), ("I", 17), ("S", 17), ("Z", 17), ("T", 34),
                                         ("L", 34), ("J", 34)])
def test_empty_board_counts(kind, count):
    state = first_pieces()[kind]
    listed = corvelle.placements(state, hold=False)
    assert {p.kind for p in listed} == {kind}
    assert len({cells(p) for p in listed}) == count


TSD_BOARD = """
...G......
GGG...GGGG
GGGG.GGGGG
"""


def test_t_spin_double_under_an_overhang():
    # Rows 0 and 1 full but the T-shaped slot, whose top left cell (2, 3) is covered.
    state = make_state(TSD_BOARD, ("T", 0, spawn_pos("T"), 0))
    listed = corvelle.placements(state, hold=False)
    doubles = [p for p in listed if p.lines == 2]
    assert len(doubles) == 1
    tsd = doubles[0]
    assert (tsd.spin, tsd.rotation, tsd.row, tsd.column) == ("full", 2, 0, 3)
    assert "SoftDrop" in tsd.keys
    assert tsd.keys[-1] == "HardDrop" and tsd.keys[-2] in ("RotateLeft", "RotateRight")
    after = tsd.state
    assert bytes(after.to_bytes()) == bytes(play(state, tsd.keys).to_bytes())
    assert after.score - state.score == 2 * tsd.keys.count("SoftDrop") + 80 + 3666 + 10
    assert after.is_b2b and after.total_lines == 2


def states_to_check(seed, every=16):
    """States of random play, and the same with garbage waiting, a queue past its first bag, the
    next piece taking the falling one's serial, and a hold already used."""
    rng = random.Random(seed)
    walk = [s for _, s in random_walk(rng, 160) if not s.game_over]
    for s in walk[::every]:
        d = decoded(s)
        yield s
        yield with_fields(s, garbage_recv=d.garbage_applied + 2)
        yield with_fields(s, next_pcs_idx=9)
        if d.current is not None:
            yield with_fields(s, current_id=d.current.id)


@pytest.mark.parametrize("seed", range(3))
def test_equal_to_the_plain_search(seed):
    for state in states_to_check(seed):
        listed = corvelle.placements(state)
        got = [(p.keys, p.hold, p.kind, p.rotation, p.row, p.column, p.spin, p.lines)
               for p in listed]
        assert got == plain_placements(state)


@pytest.mark.parametrize("seed", range(3, 13))
def test_each_state_is_its_keys_played(seed):
    for state in states_to_check(seed):
        listed = corvelle.placements(state)
        assert len({(p.hold, cells(p), p.spin) for p in listed}) == len(listed)
        assert len({p.action for p in listed}) == len(listed)
        for p in listed:
            assert bytes(p.state.to_bytes()) == bytes(play(state, p.keys).to_bytes())
            assert p.state is p.state  # read once


def test_order_is_by_hold_then_key_count_then_action_order():
    rank = {a: i for i, a in enumerate(("Hold",) + ORDER)}
    listed = corvelle.placements(first_pieces()["T"])
    keys = [(p.hold, len(p.keys), [rank[k] for k in p.keys[:-1]]) for p in listed]
    assert keys == sorted(keys)
    assert any(p.hold for p in listed) and not listed[0].hold


def test_encode_decode_round_trip():
    for p in corvelle.placements(first_pieces()["I"]):
        assert pl.encode(p.hold, p.rotation, p.row, p.column, p.spin) == p.action
        assert pl.decode(p.action) == (p.hold, p.rotation, p.row, p.column, p.spin)
    assert pl.ACTION_NB == pl._batch.ALL_PLACEMENT_ACTION_NB == 14432
    assert pl.decode(pl.ACTION_NB - 1) == (True, 3, 38, 8, "full")
    assert pl.encode(False, 0, -2, -2, "none") == 0
    with pytest.raises(ValueError):
        pl.encode(False, 0, 39, 0, "none")
    with pytest.raises(ValueError):
        pl.encode(False, 0, 0, 0, "double")
    with pytest.raises(ValueError):
        pl.decode(pl.ACTION_NB)


def test_placement_is_a_frozen_record():
    p = corvelle.placements(new_game())[0]
    with pytest.raises(dataclasses.FrozenInstanceError):
        p.row = 3  # type: ignore[misc]
    assert p.keys == ("HardDrop",) and not p.hold
    # Listed records are what the constructor makes from the same fields.
    rebuilt = pl.Placement(*(getattr(p, f.name) for f in dataclasses.fields(p)))
    assert rebuilt == p and hash(rebuilt) == hash(p) and repr(rebuilt) == repr(p)


def test_bad_input():
    over = make_state("GGGGGGGGG.\n" * 20, None, game_over_reason=0)
    assert corvelle.placements(over) == []
    assert corvelle.placements(make_state(None, None)) == []
    # A piece with cells off the board: every action is refused.
    assert corvelle.placements(make_state(None, ("T", 0, (5, -4)), draw=False)) == []
    with pytest.raises(TypeError):
        corvelle.placements(b"not a state")  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        pl._batch.play_keys(bytes(new_game().to_bytes()), ("Jump",))
