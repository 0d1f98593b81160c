"""Bots and move chains as Python sees them: the chain list, the two bots' answers checked
against a plain search over `get_valid_move_chains`, tie-breaking, the valid chains checked
against the reference rules, the single-action successors, and bot episodes.

The reference search scores every chain from the states `get_valid_move_chains` returns,
with the board measured by the `height`, `holes` and `bumpi` attributes (which erase the
falling piece just as the search does). The answer must score the best, and no chain of
that score may be shorter: ties of equal length are broken at random, so the tests accept
any of them.
"""

from __future__ import annotations

import collections
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvelle_vim import GameStatePy

from helpers import (
    KINDS,
    Model,
    Refused,
    TRIED_ACTIONS,
    act,
    board_codes,
    decoded,
    encode_state,
    make_state,
    new_game,
    pack_board,
    random_walk,
    spawn_pos,
    successors,
    with_fields,
)

BOTS = ("wordpress", "random")
U64_MAX = 2**64 - 1

PREFIXES = [
    [],
    ["RotateLeft"],
    ["RotateRight"],
    ["RotateRight", "RotateRight"],
    ["Hold"],
    ["Hold", "RotateLeft"],
    ["Hold", "RotateRight"],
    ["Hold", "RotateRight", "RotateRight"],
]
SUFFIXES = ([[]] + [["MoveRight"] * k for k in range(1, 6)]
            + [[]] + [["MoveLeft"] * k for k in range(1, 6)])
ALL_CHAINS = [p + s + ["HardDrop"] for p in PREFIXES for s in SUFFIXES]
CHAIN_SET = {tuple(c) for c in ALL_CHAINS}
CHAIN_PREFIXES = {tuple(c[:k]) for c in ALL_CHAINS for k in range(1, len(c) + 1)}


def boxed(kind: str):
    """A piece at its spawn position inside garbage up to row 24 (open in column 9, so no
    row is full): every move and rotation is blocked or changes nothing, and every drop or
    hold knocks the game out, since the next piece cannot enter."""
    return make_state(["GGGGGGGGG."] * 25, (kind, 0, spawn_pos(kind)))


def staggered_stack(height: int, kind: str = "T"):
    """Rows with two gaps each, alternating columns {0, 5} and {4, 9}: no single piece can
    fill a row, and the gaps never line up into a shaft."""
    rows = ["".join("." if x in ({0, 5} if k % 2 == 0 else {4, 9}) else "G"
                    for x in range(10)) for k in range(height)]
    return make_state(rows[::-1], (kind, 0, spawn_pos(kind)))


def crowded_stack(height: int, kind: str = "T"):
    """Rows with three or four gaps each, in columns that change from row to row: the bots
    cannot clear rows as fast as the pieces pile up."""
    gaps = ({0, 3, 6, 9}, {1, 4, 7}, {2, 5, 8})
    rows = ["".join("." if x in gaps[k % 3] else "G" for x in range(10)) for k in range(height)]
    return make_state(rows[::-1], (kind, 0, spawn_pos(kind)))


def finished(reason: int):
    return make_state("GGGGGGGGG.", ("T", 1, (20, 4), 7), game_over_reason=reason)


# --------------------------------------------------------------------------------------------
# The reference search
# --------------------------------------------------------------------------------------------


def candidate_scores(state) -> list:
    """(chain, wordpress score, random score) for every chain the bots may choose."""
    lines0 = state.total_lines
    out = []
    for chain, end in state.get_valid_move_chains():
        if end.game_over:
            continue
        lines = float((end.total_lines - lines0) & 0xFFFF)
        height = end.height - 1
        wordpress = ((lines * 0.76 - height * 0.51) + end.holes * -0.35) + end.bumpi * -0.18
        plain = lines * 0.76 + height * -0.51
        out.append((chain, wordpress, plain))
    return out


def best_chains(scores: list, bot: str) -> list:
    """The chains the bot may answer: the best score, and the shortest among those."""
    k = 1 if bot == "wordpress" else 2
    best = max(s[k] for s in scores)
    top = [s[0] for s in scores if s[k] == best]
    shortest = min(len(c) for c in top)
    return [c for c in top if len(c) == shortest]


def check_bot_answers(state) -> None:
    before = state.to_bytes()
    scores = None if state.game_over else candidate_scores(state)
    for bot in BOTS:
        answer = state.bot_moves_raw(bot)
        assert type(answer) is list and all(type(a) is str for a in answer)
        if state.game_over:
            assert answer == []
        elif not scores:
            assert answer == ["SoftDrop"]
        else:
            assert tuple(answer) in CHAIN_SET
            assert answer in best_chains(scores, bot), (bot, answer, best_chains(scores, bot))
    assert state.to_bytes() == before


# --------------------------------------------------------------------------------------------
# The move-chain list
# --------------------------------------------------------------------------------------------


def test_chain_list_is_the_96_chains_in_order():
    chains = GameStatePy.get_all_move_chains()
    assert chains == ALL_CHAINS
    assert type(chains) is list and all(type(c) is list for c in chains)
    # 175 distinct non-empty prefixes: what the search has to play at most.
    assert len(CHAIN_PREFIXES) == 175


@pytest.mark.parametrize(
    ("index", "chain"),
    [
        (0, ["HardDrop"]),
        (1, ["MoveRight", "HardDrop"]),
        (5, ["MoveRight"] * 5 + ["HardDrop"]),
        (6, ["HardDrop"]),
        (7, ["MoveLeft", "HardDrop"]),
        (12, ["RotateLeft", "HardDrop"]),
        (36, ["RotateRight", "RotateRight", "HardDrop"]),
        (48, ["Hold", "HardDrop"]),
        (95, ["Hold", "RotateRight", "RotateRight"] + ["MoveLeft"] * 5 + ["HardDrop"]),
    ],
)
def test_known_chains(index, chain):
    chains = GameStatePy.get_all_move_chains()
    assert len(chains) == 96
    assert chains[index] == chain


def test_every_prefix_gives_twelve_chains_two_of_them_identical():
    chains = GameStatePy.get_all_move_chains()
    for n in range(8):
        group = chains[12 * n:12 * (n + 1)]
        assert all(c[:len(PREFIXES[n])] == PREFIXES[n] for c in group)
        assert len({tuple(c) for c in group}) == 11
        assert group[0] == group[6] == PREFIXES[n] + ["HardDrop"]
    assert [len(c) for c in chains[-12:]] == [4, 5, 6, 7, 8, 9, 4, 5, 6, 7, 8, 9]
    assert all(c.count("HardDrop") == 1 and c[-1] == "HardDrop" for c in chains)


def test_chain_list_is_the_same_from_the_class_and_any_instance():
    for owner in (GameStatePy, new_game(), finished(0), make_state(None)):
        assert owner.get_all_move_chains() == ALL_CHAINS


def test_a_changed_copy_does_not_change_later_copies():
    first = GameStatePy.get_all_move_chains()
    first[0].clear()
    first[1][0] = "Nothing"
    first[95].append("HardDrop")
    first.reverse()
    del first[3:]
    second = GameStatePy.get_all_move_chains()
    assert second == ALL_CHAINS
    assert second is not first
    assert all(a is not b for a, b in zip(second, GameStatePy.get_all_move_chains()))
    # The valid chains' name lists are copies too, of the same lists.
    state = new_game()
    valid = state.get_valid_move_chains()
    for chain, _ in valid:
        chain.append("Hold")
    again = state.get_valid_move_chains()
    assert [c for c, _ in again] == [c[:-1] for c, _ in valid]
    assert is_in_list_order([c for c, _ in again])
    assert GameStatePy.get_all_move_chains() == ALL_CHAINS


# --------------------------------------------------------------------------------------------
# Bots: what they answer
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("reason", range(4))
@pytest.mark.parametrize("bot", BOTS)
def test_a_finished_game_gets_no_moves_and_no_episode(bot, reason):
    s = finished(reason)
    assert s.game_over
    assert s.bot_moves_raw(bot) == []
    assert s.generate_bot_episode(bot, 10) == []
    assert s.generate_bot_episode(bot, 1) == []


@pytest.mark.parametrize("bot", BOTS)
def test_a_game_knocked_out_by_play_gets_no_moves(bot):
    (name, over), = boxed("Z").generate_bot_episode(bot, 5)
    assert name == "SoftDrop" and over.game_over
    assert over.bot_moves_raw(bot) == []
    assert over.generate_bot_episode(bot, 5) == []


@pytest.mark.parametrize("kind", KINDS)
def test_every_chain_failing_gives_soft_drop(kind):
    s = boxed(kind)
    valid = s.get_valid_move_chains()
    # Chains do get played (at least the plain drops), but every one ends the game.
    assert [c for c, _ in valid].count(["HardDrop"]) == 2
    assert all(end.game_over for _, end in valid)
    for bot in BOTS:
        assert s.bot_moves_raw(bot) == ["SoftDrop"]


@pytest.mark.parametrize(
    ("board", "piece", "chain", "lines"),
    [
        # A single row, four cells short on the right: the I piece lying flat fills it.
        (["GGGGGG...."], ("I", 0, (17, 3)), ["MoveRight"] * 3 + ["HardDrop"], 1),
        # A well four rows deep in column 9: the upright I piece clears all four.
        (["GGGGGGGGG."] * 4, ("I", 0, (17, 3)),
         ["RotateRight"] + ["MoveRight"] * 4 + ["HardDrop"], 4),
        # A two-by-two hole in the corner: the O fills it and clears both rows.
        (["..GGGGGGGG", "..GGGGGGGG"], ("O", 0, (19, 4)), ["MoveLeft"] * 4 + ["HardDrop"], 2),
    ],
    ids=["flat I", "upright I", "O in the corner"],
)
@pytest.mark.parametrize("bot", BOTS)
def test_a_line_clear_is_taken(bot, board, piece, chain, lines):
    s = make_state(board, piece)
    assert s.bot_moves_raw(bot) == chain
    after = act(s, *chain)
    assert after.total_lines == lines
    check_bot_answers(s)


def test_the_shortest_of_equally_good_chains_wins():
    s = new_game()
    scores = candidate_scores(s)
    # Every flat Z placement (and the held L's) ties for the random bot's score...
    best = max(x[2] for x in scores)
    assert len([x for x in scores if x[2] == best]) > 10
    # ...and the single hard drop is the only shortest.
    for _ in range(20):
        assert s.bot_moves_raw("random") == ["HardDrop"]
    o = make_state(None, ("O", 0, (19, 4)))
    for bot in BOTS:
        assert {tuple(o.bot_moves_raw(bot)) for _ in range(20)} == {("HardDrop",)}


def test_equal_chains_of_equal_length_are_chosen_at_random():
    # Two wells, mirror images: the upright I goes into either with five actions.
    s = make_state(["G.GGGGGG.G"] * 4, ("I", 0, (17, 3)))
    left = ["RotateLeft"] + ["MoveLeft"] * 3 + ["HardDrop"]
    right = ["RotateRight"] + ["MoveRight"] * 3 + ["HardDrop"]
    for bot in BOTS:
        assert sorted(best_chains(candidate_scores(s), bot)) == sorted([left, right])
        seen = collections.Counter(tuple(s.bot_moves_raw(bot)) for _ in range(100))
        assert set(seen) == {tuple(left), tuple(right)}, seen


@given(st.randoms(use_true_random=False))
def test_answers_on_played_states_are_the_best_chains(rng):
    for _, state in random_walk(rng, 40):
        check_bot_answers(state)


def built_state(rng: random.Random):
    """A stack of random height with one to three gaps a row, a piece at its spawn position,
    perhaps a held piece (usable or not), pending garbage, a queue about to need a new bag,
    and a line count about to wrap."""
    height = rng.choice([0, 2, 5, 9, 14, 17, 18])
    rows = []
    for _ in range(height):
        gaps = set(rng.sample(range(10), rng.choice([1, 1, 2, 3])))
        rows.append("".join("." if x in gaps else "G" for x in range(10)))
    kind = rng.choice(KINDS)
    hold = rng.choice([None, rng.choice(KINDS), (rng.choice(KINDS), False)])
    pending = rng.choice([0, 0, 1, 3])
    return make_state(rows or None, (kind, 0, spawn_pos(kind)), ghost=True, hold=hold,
                      queue="".join(rng.choice(KINDS) for _ in range(14)),
                      next_pcs_idx=rng.randrange(1, 10), garbage_recv=pending,
                      total_lines=rng.choice([0, 12, 65535]),
                      seed=bytes(rng.randrange(256) for _ in range(32)))


def test_answers_on_built_states_are_the_best_chains():
    rng = random.Random(20240)
    for _ in range(400):
        check_bot_answers(built_state(rng))


def test_answers_with_pending_garbage_are_the_best_chains():
    # Garbage arrives when a piece locks; its hole column comes from the running seed, which
    # every action before the drop changes.
    rng = random.Random(77)
    for _, state in random_walk(rng, 150):
        if state.game_over:
            continue
        applied = decoded(state).garbage_applied
        check_bot_answers(with_fields(state, garbage_recv=applied + rng.randrange(1, 4)))


# --------------------------------------------------------------------------------------------
# get_valid_move_chains
# --------------------------------------------------------------------------------------------


def reference_valid_chains(state) -> list:
    """(chain, byte form) for every chain the reference rules play through, in list order."""
    out = []
    start = decoded(state)
    for chain in ALL_CHAINS:
        m = Model(start)
        try:
            for name in chain:
                m.act(name)
        except Refused:
            continue
        out.append((chain, list(encode_state(m.state()))))
    return out


def is_in_list_order(chains: list) -> bool:
    rest = iter(ALL_CHAINS)
    return all(any(c == d for d in rest) for c in chains)


def with_free_codes(state, rows):
    """The state with the codes 10 to 15, which read as empty, in every other empty cell of
    the given rows (as only a decoded state holds them)."""
    codes = board_codes(state.to_bytes())
    for y in rows:
        for x in range(y % 2, 10, 2):
            if codes[y][x] == 0:
                codes[y][x] = 10 + (x + y) % 6
    return with_fields(state, board=pack_board(codes))


def sample_states():
    fresh = new_game()
    return {
        "fresh": fresh,
        "held": act(fresh, "Hold"),
        "moved": act(fresh, "MoveLeft", "RotateRight"),
        "staggered": staggered_stack(16, "L"),
        "pending": with_fields(act(fresh, "HardDrop"), garbage_recv=2),
        "boxed": boxed("Z"),
        # The prefixes' ghosts fall on these cells, and the next action erases them there.
        "free codes": with_free_codes(fresh, range(3)),
    }


@pytest.mark.parametrize("name", list(sample_states()))
def test_valid_chains_are_those_the_rules_play_through(name):
    state = sample_states()[name]
    got = [(c, s.to_bytes()) for c, s in state.get_valid_move_chains()]
    assert got == reference_valid_chains(state)


@pytest.mark.parametrize("name", list(sample_states()))
def test_each_valid_chain_state_is_its_actions_applied_one_by_one(name):
    state = sample_states()[name]
    for chain, end in state.get_valid_move_chains():
        assert act(state, *chain).to_bytes() == end.to_bytes(), chain


def test_chains_past_the_wall_are_absent():
    # The zero-seed game's Z covers columns 3 to 5: three steps fit to the left, four to
    # the right.
    chains = [c for c, _ in new_game().get_valid_move_chains()]
    for k in range(1, 6):
        assert (["MoveLeft"] * k + ["HardDrop"] in chains) == (k <= 3), k
        assert (["MoveRight"] * k + ["HardDrop"] in chains) == (k <= 4), k
    assert is_in_list_order(chains)


def test_both_plain_drops_of_every_prefix_appear():
    chains = [c for c, _ in new_game().get_valid_move_chains()]
    for prefix in PREFIXES:
        assert chains.count(prefix + ["HardDrop"]) == 2, prefix


def test_chains_that_end_the_game_are_included():
    s = boxed("Z")
    valid = s.get_valid_move_chains()
    assert [c for c, _ in valid] == [["HardDrop"], ["HardDrop"]]
    assert all(end.game_over for _, end in valid)
    assert valid[0][1].to_bytes() == valid[1][1].to_bytes() == act(s, "HardDrop").to_bytes()
    assert valid[0][1] is not valid[1][1]
    # Near the top, some chains end the game and some do not; both kinds are listed.
    high = staggered_stack(18, "I")
    ends = [end.game_over for _, end in high.get_valid_move_chains()]
    assert any(ends) and not all(ends)


@pytest.mark.parametrize("reason", range(4))
def test_a_finished_game_has_no_valid_chains_or_successors(reason):
    s = finished(reason)
    assert s.get_valid_move_chains() == []
    assert s.next_actions_and_states == []


# --------------------------------------------------------------------------------------------
# next_actions_and_states
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("seed", [bytes(32), bytes(range(32)), b"\xff" * 32])
def test_a_new_game_has_seven_successors_in_action_order(seed):
    s = new_game(seed, 12345)
    entries = s.next_actions_and_states
    assert [n for n, _ in entries] == list(TRIED_ACTIONS[:7])
    assert all(type(t) is GameStatePy for _, t in entries)
    assert len({bytes(t.to_bytes()) for _, t in entries}) == 7


def test_after_a_hold_there_is_no_second_hold():
    held = successors(new_game())["Hold"]
    names = [n for n, _ in held.next_actions_and_states]
    assert names == [a for a in TRIED_ACTIONS[:7] if a != "Hold"]


# --------------------------------------------------------------------------------------------
# Episodes
# --------------------------------------------------------------------------------------------


def check_successive(start, episode) -> None:
    """Each entry's state is the previous one (or the start) with that one action applied."""
    state = start
    for name, s in episode:
        assert successors(state)[name].to_bytes() == s.to_bytes(), name
        state = s


def split_chains(names: list) -> tuple:
    """The complete chains of an episode (each ending in a drop) and the unfinished rest."""
    chains, current = [], []
    for name in names:
        current.append(name)
        if name in ("HardDrop", "SoftDrop"):
            chains.append(current)
            current = []
    return chains, current


@pytest.mark.parametrize("bot", BOTS)
def test_an_episode_of_length_zero_is_empty(bot):
    assert new_game().generate_bot_episode(bot, 0) == []


def test_an_episode_of_length_one_is_the_first_action_of_the_bots_chain():
    s = new_game()
    (name, after), = s.generate_bot_episode("random", 1)
    assert name == "HardDrop"
    assert after.to_bytes() == successors(s)["HardDrop"].to_bytes()
    firsts = {c[0] for c in best_chains(candidate_scores(s), "wordpress")}
    for _ in range(10):
        (name, after), = s.generate_bot_episode("wordpress", 1)
        assert name in firsts
        assert after.to_bytes() == successors(s)[name].to_bytes()
        if name != "HardDrop":
            assert after.holes == 0 and after.height == 1 and after.total_lines == 0


@pytest.mark.parametrize("seed", [bytes(32), bytes(range(32)), bytes(range(100, 132))])
def test_a_ten_step_random_episode_replays_through_the_successors(seed):
    s = new_game(seed, 0)
    episode = s.generate_bot_episode("random", 10)
    assert len(episode) == 10
    state = s
    for name, _ in episode:
        state = successors(state)[name]
    assert state.to_bytes() == episode[-1][1].to_bytes()
    check_successive(s, episode)


EPISODE_STARTS = {
    "fresh": lambda: new_game(bytes(range(32)), 99),
    "held": lambda: act(new_game(), "Hold"),
    "pending": lambda: with_fields(new_game(), garbage_recv=3),
    "staggered": lambda: staggered_stack(10, "S"),
}


@pytest.mark.parametrize("length", [1, 2, 5, 13, 60])
@pytest.mark.parametrize("start", list(EPISODE_STARTS))
@pytest.mark.parametrize("bot", BOTS)
def test_episodes_are_successive_and_made_of_whole_chains(bot, start, length):
    s = EPISODE_STARTS[start]()
    before = s.to_bytes()
    episode = s.generate_bot_episode(bot, length)
    assert s.to_bytes() == before
    assert len(episode) <= length
    if not episode[-1][1].game_over:
        assert len(episode) == length
    check_successive(s, episode)
    chains, rest = split_chains([n for n, _ in episode])
    for chain in chains:
        assert tuple(chain) in CHAIN_SET or chain == ["SoftDrop"], chain
    assert rest == [] or tuple(rest) in CHAIN_PREFIXES, rest
    # Only the limit cuts a chain short.
    if rest:
        assert len(episode) == length


@pytest.mark.parametrize("bot", BOTS)
def test_an_episode_stops_at_a_knockout(bot):
    s = crowded_stack(17, "T")
    episode = s.generate_bot_episode(bot, 1000)
    assert 0 < len(episode) < 1000
    assert episode[-1][1].game_over
    assert not any(t.game_over for _, t in episode[:-1])
    check_successive(s, episode)


@pytest.mark.parametrize("limit", [1, 2, 1000, U64_MAX])
def test_an_episode_where_every_chain_fails_is_one_knockout_soft_drop(limit):
    s = boxed("Z")
    for bot in BOTS:
        episode = s.generate_bot_episode(bot, limit)
        assert [n for n, _ in episode] == ["SoftDrop"]
        assert episode[0][1].game_over
        assert episode[0][1].to_bytes() == successors(s)["SoftDrop"].to_bytes()


@pytest.mark.parametrize("state", [new_game(), finished(0)], ids=["running", "finished"])
@pytest.mark.parametrize(("limit", "exc"), [(-1, OverflowError), (2**64, OverflowError),
                                            (-(2**70), OverflowError), (2**100, OverflowError)])
def test_episode_limits_outside_64_bits_raise_overflow_error(state, limit, exc):
    with pytest.raises(exc):
        state.generate_bot_episode("random", limit)
    with pytest.raises(exc):
        state.generate_bot_episode("nobot", limit)


@pytest.mark.parametrize("reason", range(4))
@pytest.mark.parametrize("bot", BOTS)
def test_the_largest_episode_limit_is_accepted(bot, reason):
    assert finished(reason).generate_bot_episode(bot, 2**64 - 1) == []
