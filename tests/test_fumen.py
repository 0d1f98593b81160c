"""Board diagrams: fumen text written and read, checked against the independent fumen codec
of PyPI's py-fumen-py in both directions, and games started from a decoded page."""

from __future__ import annotations

import random

import pytest

from corvelle import fumen
from corvelle.bytestate import KINDS, decode as decode_state
from corvelle.fumen import PIECE_CENTRES, Page, Piece
from corvelle_vim import GameStatePy, generate_seed

EMPTY_BOARD = tuple((0,) * 10 for _ in range(40))


def needs_py_fumen():
    return pytest.importorskip(
        "py_fumen_py", reason="py-fumen-py (the independent fumen codec) is not installed"
    )


# Our rotation states (spawn, clockwise, 180, counter-clockwise) by fumen's rotation names.
FUMEN_ROTATION = ("SPAWN", "RIGHT", "REVERSE", "LEFT")


def their_operation(pf, piece):
    drow, dcol = PIECE_CENTRES[KINDS.index(piece.kind)][piece.rotation]
    return pf.Operation(
        pf.Mino[piece.kind],
        pf.Rotation[FUMEN_ROTATION[piece.rotation]],
        piece.column + dcol,
        piece.row + drow,
    )


def their_page(pf, page, first):
    field = pf.Field()
    for y in range(fumen.FIELD_ROWS):
        for x in range(10):
            field.fill(x, y, pf.Mino(BLOCK_OF_CODE[page.board[y][x]]))
    for x in range(10):
        field.fill(x, -1, pf.Mino(BLOCK_OF_CODE[page.below[x]]))
    return pf.Page(
        field=field,
        operation=None if page.piece is None else their_operation(pf, page.piece),
        comment=page.comment,
        flags=pf.Flags(lock=page.lock, mirror=page.mirror, colorize=first, rise=page.rise),
    )


def ours_from_theirs(pf, page):
    board = [tuple(CODE_OF_BLOCK[int(page.field.at(x, y))] for x in range(10)) for y in range(23)]
    piece = None
    op = page.operation
    if op is not None:
        rotation = FUMEN_ROTATION.index(op.rotation.name)
        drow, dcol = PIECE_CENTRES[KINDS.index(op.mino.name)][rotation]
        piece = Piece(op.mino.name, rotation, op.y - drow, op.x - dcol)
    below = tuple(CODE_OF_BLOCK[int(page.field.at(x, -1))] for x in range(10))
    return Page(
        tuple(board) + EMPTY_BOARD[23:],
        piece,
        page.comment,
        page.flags.lock,
        page.flags.rise,
        page.flags.mirror,
        below,
    )


# Fumen block numbers (0 empty, 1 I, 2 L, 3 O, 4 Z, 5 T, 6 J, 7 S, 8 garbage) by our cell
# codes (0 empty, 1-7 I L J T S Z O, 8 garbage), written out here, not taken from the module.
BLOCK_OF_CODE = (0, 1, 2, 6, 5, 7, 4, 3, 8)
CODE_OF_BLOCK = tuple(BLOCK_OF_CODE.index(b) for b in range(9))


def random_page(rng: random.Random, previous: Page | None) -> Page:
    """A page of random cells up to a random height (some rows full, so that locks clear
    them), a piece on empty cells or none, and a comment that may repeat the last one."""
    if previous is not None and rng.random() < 0.15:
        board = previous.board  # an unchanged field, written as a repeat
    else:
        height = rng.randint(0, 23)
        density = rng.random()
        rows = []
        for y in range(40):
            if y < height:
                full = rng.random() < 0.1
                solid = [full or rng.random() < density for _ in range(10)]
                rows.append(tuple(rng.randint(1, 8) if s else 0 for s in solid))
            else:
                rows.append((0,) * 10)
        board = tuple(rows)
    piece = None
    if rng.random() < 0.8:
        for _ in range(50):
            p = Piece(rng.choice(KINDS), rng.randrange(4), rng.randint(-2, 22), rng.randint(-2, 9))
            cells = p.cells()
            if all(0 <= r < 23 and 0 <= c < 10 and board[r][c] == 0 for r, c in cells):
                piece = p
                break
    comments = ["", "opener", "T-spin double, then?", "日本語 と % & ~", "x" * rng.randint(0, 40)]
    comment = rng.choice(comments)
    if previous is not None and rng.random() < 0.5:
        comment = previous.comment
    below = tuple(rng.randint(0, 8) if rng.random() < 0.2 else 0 for _ in range(10))
    return Page(board, piece, comment, rng.random() < 0.7, False, rng.random() < 0.1, below)


def test_piece_centres_cover_the_cells_the_independent_codec_draws_for_every_kind_and_rotation():
    pf = needs_py_fumen()
    for kind in KINDS:
        for rotation in range(4):
            piece = Piece(kind, rotation, 5, 4)
            op = their_operation(pf, piece)
            theirs = sorted((y, x) for x, y in op.shape())
            assert theirs == sorted(piece.cells()), (kind, rotation)
            # Alone on a page, the piece decodes to the same operation in both codecs.
            text = fumen.encode(Page(EMPTY_BOARD, piece))
            assert pf.decode(text)[0].operation == op
            theirs = pf.encode([their_page(pf, Page(EMPTY_BOARD, piece), True)])
            assert fumen.decode(theirs)[0].piece == piece


def test_a_thousand_random_boards_agree_with_the_independent_codec_both_ways():
    pf = needs_py_fumen()
    rng = random.Random(29)
    boards = 0
    while boards < 1000:
        pages = []
        for _ in range(rng.randint(1, 8)):
            pages.append(random_page(rng, pages[-1] if pages else None))
        boards += len(pages)
        theirs = [their_page(pf, p, i == 0) for i, p in enumerate(pages)]
        text = fumen.encode(pages)
        # The same text, character for character; each codec reads the other's text back.
        assert text == pf.encode(theirs)
        assert fumen.decode(text) == pages
        assert [ours_from_theirs(pf, p) for p in pf.decode(text)] == pages


def test_game_states_round_trip_into_games_and_environments():
    gym_envs = pytest.importorskip("corvelle.envs", reason="the gym extra is not installed")
    state = GameStatePy(generate_seed(0, bytes(range(32))))
    states = [state]
    for _ in range(30):
        state = min((s for _, s in state.get_valid_move_chains()), key=lambda s: s.height)
        states.append(state)
    pages = fumen.decode(fumen.encode(states, comment=[f"move {i}" for i in range(len(states))]))
    assert [p.comment for p in pages] == [f"move {i}" for i in range(len(states))]
    env, keys = gym_envs.PlacementEnv(), gym_envs.KeyEnv()
    for page, original in zip(pages, states):
        started = fumen.state_from_page(page)
        assert fumen.page_from_state(started) == page._replace(comment="")
        s, o = decode_state(bytes(started)), decode_state(bytes(original))
        assert s.current_pcs[:4] == o.current_pcs[:4]
        want = gym_envs.observations_from_bytes([bytes(original)])
        for e in (env, keys):
            obs, _ = e.reset(options={"state": started})
            assert (obs["board"] == want["board"][0]).all()
            assert (obs["piece"] == want["piece"][0]).all()
    # A page without a piece starts with the new game's first piece.
    first = fumen.state_from_page(Page(EMPTY_BOARD))
    assert decode_state(bytes(first)).current_pcs[:4] == ("Z", 0, 18, 3)


def test_what_a_fumen_field_cannot_hold_or_a_game_cannot_start_from_is_refused():
    tall = list(EMPTY_BOARD)
    tall[23] = (8,) + (0,) * 9
    with pytest.raises(ValueError, match="row 23, above the 23 rows a fumen field holds"):
        fumen.encode(Page(tuple(tall)))
    with pytest.raises(ValueError, match="reaches row 23"):
        fumen.encode(Page(EMPTY_BOARD, Piece("I", 1, 20, 0)))
    with pytest.raises(ValueError, match="v110"):
        fumen.decode("v110@vhAAgH")
    with pytest.raises(ValueError, match="bad character"):
        fumen.decode("v115@vh!AgH")
    with pytest.raises(ValueError, match="ends inside"):
        fumen.decode("v115@vhAU")
    with pytest.raises(ValueError, match="more than 4095"):
        fumen.encode(Page(EMPTY_BOARD, comment="日" * 700))
    board = list(EMPTY_BOARD)
    board[19] = (8,) * 9 + (0,)
    with pytest.raises(ValueError, match="overlaps the board"):
        fumen.state_from_page(Page(tuple(board)))
    board[0] = (8,) * 10
    with pytest.raises(ValueError, match="row 0 is full"):
        fumen.state_from_page(Page(tuple(board)))
    # Text around the diagram (a link, blanks, the "?" separators) is skipped.
    text = fumen.encode(Page(EMPTY_BOARD, Piece("T", 2, 0, 4), comment="a" * 60))
    assert "?" in text
    link = "https://example.invalid/?" + text[:30] + "\n " + text[30:] + "&dummy=1"
    assert fumen.decode(link) == fumen.decode(text)
