"""The bot protocol: the centre table against the protocol's own piece definitions, a scripted
exchange with `corvelle tbp`, the round trip through our front-end, forfeits and bad bots,
and the positions the bot side builds."""

import json
import subprocess
import sys
import textwrap

import pytest

from corvelle import _batch, bytestate, seeded_bot, tbp, versus
from corvelle_vim import GameStatePy, generate_seed

KINDS = "ILJTSZO"
TBP = [sys.executable, "-m", "corvelle", "tbp"]

# The protocol's pieces facing north: mino offsets (x, y) from the centre, y up.
NORTH = {
    "I": [(-1, 0), (0, 0), (1, 0), (2, 0)],
    "O": [(0, 0), (1, 0), (0, 1), (1, 1)],
    "T": [(-1, 0), (0, 0), (1, 0), (0, 1)],
    "L": [(-1, 0), (0, 0), (1, 0), (1, 1)],
    "J": [(-1, 0), (0, 0), (1, 0), (-1, 1)],
    "S": [(-1, 0), (0, 0), (0, 1), (1, 1)],
    "Z": [(-1, 1), (0, 1), (0, 0), (1, 0)],
}


def test_centres_place_the_protocols_minos_on_our_shapes():
    shapes = _batch.shapes()
    for kind, minos in NORTH.items():
        for rotation in range(4):
            centre_row, centre_column = tbp.CENTRES[kind][rotation]
            protocol = {(centre_row + y, centre_column + x) for x, y in minos}
            assert protocol == set(shapes[rotation][KINDS.index(kind)][1]), (kind, rotation)
            minos = [(y, -x) for x, y in minos]  # a clockwise quarter turn
            loc = tbp.location(kind, rotation, 5, 3)
            assert tbp.grid_origin(loc) == (kind, rotation, 5, 3)


def _exchange(lines, timeout=60):
    done = subprocess.run(
        TBP, input="".join(line + "\n" for line in lines), capture_output=True, text=True,
        timeout=timeout,
    )
    return done.returncode, [json.loads(line) for line in done.stdout.splitlines()], done.stderr


def _empty_board():
    return [[None] * 10 for _ in range(40)]


def test_scripted_exchange_covers_every_message():
    board = _empty_board()
    board[0] = ["G"] * 9 + [None]
    start = {"type": "start", "hold": None, "queue": ["T", "I", "O", "L", "J", "S"], "combo": 0,
             "back_to_back": False, "board": board, "unknown_field": 1}
    status, out, err = _exchange([
        json.dumps({"type": "rules", "randomizer": "quantum"}),
        json.dumps({"type": "rules"}),
        "{not json",
        "[1, 2]",
        json.dumps({"type": "no_such_message"}),
        json.dumps({"type": "start", "board": "x"}),
        json.dumps({"type": "start", "board": [[[]] * 10] * 40, "queue": []}),
        json.dumps({"type": "start", "board": _empty_board(), "queue": [1], "hold": [2]}),
        json.dumps({"type": "new_piece", "piece": [1]}),
        json.dumps({"type": "play", "move": []}),
        json.dumps({"type": "suggest"}),  # before start: no moves
        json.dumps(start),
        json.dumps({"type": "suggest"}),
        json.dumps({"type": "play", "move": {"location": {"type": "I", "orientation": "east",
                                                          "x": 9, "y": 2}, "spin": "none"}}),
        json.dumps({"type": "new_piece", "piece": "Z"}),
        json.dumps({"type": "suggest"}),
        json.dumps({"type": "play", "move": {"location": {"type": "T", "orientation": "north",
                                                          "x": 4, "y": 30}, "spin": "none"}}),
        json.dumps({"type": "stop"}),
        json.dumps({"type": "suggest"}),
        json.dumps({"type": "quit"}),
        json.dumps({"type": "suggest"}),  # after quit: never read
    ])
    assert status == 0
    assert "Traceback" not in err
    # The bad JSON, the non-object, three bad starts, two bad plays (one unreachable); the
    # bad new_piece is ignored silently as an unknown piece.
    assert len(err.splitlines()) == 7
    assert [m["type"] for m in out] == [
        "info", "error", "ready", "suggestion", "suggestion", "suggestion", "suggestion",
    ]
    assert out[0]["name"] == "corvelle wordpress" and out[1]["reason"] == "unsupported_rules"
    assert out[3]["moves"] == [] and out[6]["moves"] == []
    first = out[4]["moves"][0]
    assert set(first) == {"location", "spin"} and first["spin"] in ("none", "mini", "full")
    # The T suggested first; after the I was played (holding the T), the O falls.
    assert first["location"]["type"] in ("T", "I")
    assert out[5]["moves"][0]["location"]["type"] in ("O", "T")


@pytest.mark.parametrize("bot, pieces, settings", [
    ("wordpress", 1000, {}),
    ("beam", 200, {"width": 8, "depth": 4}),
])
def test_round_trip_through_our_frontend_plays_the_bots_own_game(bot, pieces, settings):
    seed = bytes(range(32))
    start = GameStatePy(generate_seed(0, seed))
    options = [f"--{k}={v}" for k, v in settings.items()]
    with tbp.Frontend(TBP + ["--bot", bot, "--seed", seed.hex(), *options]) as frontend:
        result = frontend.play_game(start, pieces)
    assert not result.forfeit and len(result.played) == pieces
    # The bot played directly: its choice on each real state, by the same key paths.
    choose = tbp.engine_chooser(bot, seeded_bot.tie_break_rng(seed), **settings)
    state = start
    for played in result.played:
        (own,) = choose(state)
        assert own.keys == played.keys
        state = own.state
    assert bytes(state) == bytes(result.state)


def _fake_bot(tmp_path, body):
    script = tmp_path / "bot.py"
    script.write_text(textwrap.dedent("""
        import json, sys
        def send(m):
            print(json.dumps(m), flush=True)
        send({"type": "info", "name": "fake", "version": "0", "author": "", "features": []})
    """) + textwrap.dedent(body))
    return [sys.executable, str(script)]


def test_unreachable_moves_forfeit_and_broken_bots_raise(tmp_path):
    bot = _fake_bot(tmp_path, """
        for line in sys.stdin:
            m = json.loads(line)
            if m["type"] == "rules":
                send({"type": "ready"})
            elif m["type"] == "suggest":
                send({"type": "suggestion", "moves": [
                    {"location": {"type": "T", "orientation": "north", "x": 4, "y": 30}},
                    {"location": "nonsense"}]})
            elif m["type"] == "quit":
                break
    """)
    start = GameStatePy(generate_seed(0, bytes(32)))
    with tbp.Frontend(bot) as frontend:
        result = frontend.play_game(start, 10)
    assert result.forfeit and result.played == []

    # As a versus player the forfeit loses the match, and the match file says so.
    with tbp.Frontend(bot) as frontend:
        match = versus.play_match([tbp.TbpPlayer(frontend), "random"], bytes(32), bytes([1] * 32))
    assert match.winner == 1 and match.steps == 0
    assert versus.load_match(match.to_bytes()).settings["forfeit"] == 0

    refuses = _fake_bot(tmp_path, """
        sys.stdin.readline()
        send({"type": "error", "reason": "unsupported_rules"})
    """)
    with pytest.raises(tbp.FrontendError, match="refused the rules"):
        tbp.Frontend(refuses)
    dies = _fake_bot(tmp_path, "sys.exit(0)\n")
    # Whether the rules meet a closed pipe or the wait for ready meets the end of the output
    # depends on when the process is gone; either way the bot ended.
    with pytest.raises(tbp.FrontendError, match="the bot ended"):
        tbp.Frontend(dies)
    silent = _fake_bot(tmp_path, "import time\ntime.sleep(30)\n")
    with pytest.raises(tbp.FrontendError, match="within"):
        tbp.Frontend(silent, timeout=0.5)


def test_positions_rebuilt_from_real_states_give_the_same_placements():
    seed = bytes([7] * 32)
    state = GameStatePy(generate_seed(0, seed))
    rng = seeded_bot.tie_break_rng(seed)
    checked = 0
    for _, steps in seeded_bot.moves(state, "wordpress", rng):
        state = steps[-1][1]
        if state.game_over or checked == 60:
            break
        message = tbp._position(state)
        session = tbp.BotSession(lambda s: [])
        session.handle(message)
        rebuilt = session.state()
        keys = [(p.keys, p.spin, p.lines) for p in tbp.placements(state)]
        assert [(p.keys, p.spin, p.lines) for p in tbp.placements(rebuilt)] == keys
        assert _batch.bot_choices(bytes(rebuilt), "wordpress") == _batch.bot_choices(
            bytes(state), "wordpress"
        )
        checked += 1
    assert checked == 60

    cells = [0] * 400
    with pytest.raises(ValueError, match="row 0 is full"):
        bytestate.encode_position([8] * 10 + [0] * 390, "T")
    cells[19 * 10 + 4] = 8
    with pytest.raises(ValueError, match="T piece at \\(18, 3\\) overlaps the board at \\(19, 4\\)"):
        bytestate.encode_position(cells, "T")
    with pytest.raises(ValueError, match="piece kinds"):
        bytestate.encode_position([0] * 400, "T", "IX")
