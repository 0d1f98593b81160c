"""corvelle.viewer: the HTML page for a recorded game, checked as text and in headless
Chromium (Debian's chromium driven by Playwright)."""

from __future__ import annotations

import json
import os
import re
import struct
from pathlib import Path
from typing import Iterator, List, Tuple

import corvelle_vim
import pytest
from corvelle_vim import GameStatePy
from tool_games import play

from corvelle import decode, load_bytes, viewer
from corvelle.bytestate import ACTIONS, CELL_GARBAGE, CELL_GHOST
from corvelle.replay import FORFEIT, read_segments

CHROMIUM = "/usr/bin/chromium"
IDS = ["canvas", "slider", "play", "back", "forward", "prevpiece", "nextpiece", "speed", "step",
       "last", "action",
       "score", "lines", "combo", "b2b", "tspin", "piece", "hold", "next", "moves", "garbage",
       "gameover", "frames"]

Steps = List[Tuple[str, GameStatePy]]


@pytest.fixture(scope="module")
def garbage_game() -> Tuple[GameStatePy, Steps]:
    """A wordpress game played back from its replay with 3 lines of garbage received from the
    21st action on, so that the board shows garbage next to pieces and the ghost."""
    game = play(bytes(32), 0, "wordpress", 400, 400)
    game.recorder.finish(FORFEIT)
    data = bytearray(game.recorder.to_bytes())
    pos = 8
    for segment in read_segments(data):
        if segment.name == "Update" and segment.idx >= 20:
            struct.pack_into("<H", data, pos + 4 + 40, 3)  # the slice's new_garbage_recv
        pos += len(segment.data)
    # The edited slices no longer record what playing them gives (the garbage applied).
    initial, steps = load_bytes(bytes(data), strict=False)
    assert any(CELL_GARBAGE in decode(s.to_bytes()).cells[:200] for _, s in steps)
    return initial, steps


@pytest.fixture(scope="module")
def page_file(garbage_game: Tuple[GameStatePy, Steps], tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("viewer") / "game.html"
    viewer.write(path, *garbage_game, title="garbage game")
    return path


def embedded(text: str) -> dict:
    m = re.search(r'<script type="application/json" id="frames">(.*?)</script>', text, re.S)
    assert m
    return json.loads(m.group(1))


class TestPage:
    def test_self_contained(self, page_file: Path) -> None:
        text = page_file.read_text(encoding="utf-8")
        for needle in ("http://", "https://", "src=", "<link", "@import", "url(", "<iframe"):
            assert needle not in text.lower(), needle
        assert not re.search(r"href\s*=", text)

    def test_stable_ids(self, page_file: Path) -> None:
        text = page_file.read_text(encoding="utf-8")
        for name in IDS:
            assert text.count(f'id="{name}"') == 1, name

    def test_frames_hold_the_recorded_states(self, garbage_game) -> None:
        initial, steps = garbage_game
        data = embedded(viewer.render(initial, steps))
        frames = data["frames"]
        assert len(frames) == len(steps) + 1
        assert frames[0][8] == -1
        for k, (action, state) in enumerate(steps, start=1):
            raw = bytes(state.to_bytes())
            s = decode(raw)
            assert frames[k][0] == raw[8 : 8 + viewer.DRAWN_ROWS * 5].hex()
            assert frames[k][1:4] == [state.score, state.total_lines, state.combo_counter]
            assert frames[k][5] == (state.hold or "")
            assert frames[k][6] == "".join(state.next_pcs)
            assert ACTIONS[frames[k][8]] == action
            assert frames[k][9:12] == [state.total_move_count, state.total_garbage_sent,
                                       s.current_id]
            cleared = state.total_lines != steps[k - 2][1].total_lines if k > 1 else False
            assert (frames[k][12] is not None) == cleared, k
            piece = s.current_pcs
            assert frames[k][7] == (None if piece is None else list(piece[:4]))
        assert data["colours"] == list(viewer.CELL_COLOURS)

    def test_zero_seed_first_frame(self) -> None:
        initial = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
        board = embedded(viewer.render(initial, []))["frames"][0][0]
        rows = [board[10 * r : 10 * r + 10] for r in range(viewer.DRAWN_ROWS)]
        assert rows[19] == "0000660000"  # the Z piece's lower cells, code 6
        assert rows[20] == "0006600000"  # and its upper cells, above the visible field
        assert rows[0] == "0000990000" and rows[1] == "0009900000"  # its ghost
        assert set("".join(rows[2:19] + rows[21:])) == {"0"}

    def test_title_is_escaped(self) -> None:
        initial = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
        text = viewer.render(initial, [], title="<b>a & b</script>")
        assert "<b>" not in text and "&lt;b&gt;a &amp; b&lt;/script&gt;" in text

    @pytest.mark.parametrize(
        "code, rgb", [(0, (0x15, 0x17, 0x1E)), (1, (0x31, 0xC7, 0xEF)), (9, (0x3B, 0x42, 0x52))]
    )
    def test_colour_rgb(self, code: int, rgb: Tuple[int, int, int]) -> None:
        assert viewer.colour_rgb(code) == rgb

    def test_each_cell_code_has_its_own_colour(self) -> None:
        assert len(set(viewer.CELL_COLOURS[:10])) == 10
        assert set(viewer.CELL_COLOURS[10:]) == {viewer.CELL_COLOURS[0]}


# --------------------------------------------------------------------------------------------
# In the browser
# --------------------------------------------------------------------------------------------


def _unavailable(reason: str) -> None:
    if os.environ.get("CI") == "true":
        pytest.fail(f"browser check required in CI: {reason}")
    pytest.skip(reason)


@pytest.fixture(scope="module")
def browser() -> Iterator[object]:
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        _unavailable("playwright is not installed (pip install playwright)")
    if not os.access(CHROMIUM, os.X_OK):
        _unavailable(f"{CHROMIUM} is missing (apt-get install chromium)")
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield b
        b.close()


class Page:
    """A loaded viewer page and the console errors and page errors it reported."""

    def __init__(self, browser, url: str) -> None:
        self.errors: List[str] = []
        self.page = browser.new_page()
        self.page.on(
            "console", lambda m: self.errors.append(m.text) if m.type == "error" else None
        )
        self.page.on("pageerror", lambda e: self.errors.append(str(e)))
        self.page.goto(url)

    def text(self, element_id: str) -> str:
        return self.page.inner_text(f"#{element_id}")

    def step(self) -> int:
        return int(self.text("step"))

    def slide_to(self, k: int) -> None:
        self.page.eval_on_selector(
            "#slider",
            "(el, k) => { el.value = String(k); el.dispatchEvent(new Event('input')); }",
            k,
        )

    def cell_colours(self) -> List[List[int]]:
        """The canvas colour at the centre of each of the 200 visible cells, row 0 first."""
        return self.page.evaluate(
            """([size, drawn]) => {
                const c = document.getElementById("canvas").getContext("2d");
                const out = [];
                for (let row = 0; row < 20; row++) for (let col = 0; col < 10; col++) {
                    const d = c.getImageData(col * size + size / 2,
                                             (drawn - 1 - row) * size + size / 2, 1, 1).data;
                    out.push([d[0], d[1], d[2]]);
                }
                return out;
            }""",
            [viewer.CELL_SIZE, viewer.DRAWN_ROWS],
        )


@pytest.fixture
def page(browser, page_file: Path) -> Iterator[Page]:
    p = Page(browser, page_file.as_uri())
    yield p
    p.page.close()


def first_score_change(steps: Steps, after: int) -> int:
    """The first frame after `after` whose score differs from the previous frame's."""
    return next(
        k for k in range(after + 1, len(steps) + 1)
        if steps[k - 1][1].score != steps[k - 2][1].score
    )


class TestInBrowser:
    def test_loads_without_errors(self, page: Page, garbage_game) -> None:
        _, steps = garbage_game
        assert page.errors == []
        assert page.step() == 0
        assert page.text("last") == str(len(steps))
        assert page.text("score") == "0"
        assert page.text("action") == "(new game)"

    def test_slider_shows_the_recorded_facts(self, page: Page, garbage_game) -> None:
        _, steps = garbage_game
        k = first_score_change(steps, 50)
        page.slide_to(k)
        state = steps[k - 1][1]
        assert page.step() == k
        assert page.text("score") == str(state.score) != "0"
        assert page.text("lines") == str(state.total_lines)
        assert page.text("combo") == str(state.combo_counter)
        assert page.text("b2b") == ("yes" if state.is_b2b else "no")
        assert page.text("next") == "".join(state.next_pcs)
        assert page.text("hold") == (state.hold or "-")
        assert page.text("action") == steps[k - 1][0]
        assert page.text("moves") == str(state.total_move_count)
        page.slide_to(k - 1)
        assert page.text("score") == str(steps[k - 2][1].score) != str(state.score)
        assert page.errors == []

    def test_canvas_shows_each_cell_in_its_kind_colour(self, page: Page, garbage_game) -> None:
        _, steps = garbage_game
        codes_seen = set()
        for k in (0, 1, 60, len(steps) // 2, len(steps)):
            page.slide_to(k)
            state = garbage_game[0] if k == 0 else steps[k - 1][1]
            cells = decode(state.to_bytes()).cells[:200]
            want = [list(viewer.colour_rgb(code)) for code in cells]
            assert page.cell_colours() == want, f"frame {k}"
            codes_seen |= set(cells)
        assert {0, CELL_GARBAGE, CELL_GHOST} <= codes_seen
        assert len(codes_seen & set(range(1, 8))) >= 4
        assert page.errors == []

    def test_keyboard_steps(self, page: Page, garbage_game) -> None:
        _, steps = garbage_game
        keys = page.page.keyboard
        for _ in range(3):
            keys.press("ArrowRight")
        assert page.step() == 3
        keys.press("ArrowLeft")
        assert page.step() == 2
        assert page.text("score") == str(steps[1][1].score)
        keys.press("End")
        assert page.step() == len(steps)
        assert page.text("score") == str(steps[-1][1].score)
        keys.press("ArrowRight")
        assert page.step() == len(steps)
        keys.press("Home")
        assert page.step() == 0
        keys.press("ArrowLeft")
        assert page.step() == 0
        keys.press("PageDown")
        assert page.step() == 20
        page.page.focus("#slider")  # the slider's own arrow handling must not add a step
        keys.press("ArrowRight")
        assert page.step() == 21
        assert page.errors == []

    def test_play_and_pause(self, page: Page) -> None:
        page.page.select_option("#speed", "200")
        page.page.click("#play")
        page.page.wait_for_function("Number(document.getElementById('step').textContent) > 5")
        page.page.click("#play")
        stopped = page.step()
        assert page.text("play") == "play"
        page.page.wait_for_timeout(200)
        assert page.step() == stopped
        page.page.keyboard.press(" ")
        page.page.wait_for_function(
            f"Number(document.getElementById('step').textContent) > {stopped + 5}"
        )
        page.page.keyboard.press(" ")
        paused = page.step()
        page.page.wait_for_timeout(200)
        assert page.step() == paused
        assert page.errors == []

    def test_buttons_step(self, page: Page) -> None:
        page.page.click("#forward")
        page.page.click("#forward")
        page.page.click("#back")
        assert page.step() == 1
        assert page.errors == []


# --------------------------------------------------------------------------------------------
# Spawn rows, line clears, piece stepping and the address
# --------------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def clean_game() -> Tuple[GameStatePy, Steps]:
    """A wordpress game without garbage that clears lines."""
    game = play(bytes(range(32)), 0, "wordpress", 900, 300)
    assert game.steps[-1][1].total_lines >= 8
    return game.initial, game.steps


def clearing_steps(initial: GameStatePy, steps: Steps) -> List[int]:
    states = [initial] + [s for _, s in steps]
    return [k for k in range(1, len(states)) if states[k].total_lines != states[k - 1].total_lines]


def solid_rows(cells: bytes) -> List[bytes]:
    """Board rows 0-39 of cell codes with only the locked cells (falling piece, ghost gone)."""
    return [bytes(c if 1 <= c <= 8 else 0 for c in cells[10 * r : 10 * r + 10]) for r in range(40)]


class TestLineClears:
    def test_the_locked_board_loses_exactly_the_lit_rows(self, clean_game) -> None:
        initial, steps = clean_game
        states = [initial] + [s for _, s in steps]
        ks = clearing_steps(initial, steps)
        assert len(ks) >= 4
        for k in ks:
            before, after = decode(bytes(states[k - 1])), decode(bytes(states[k]))
            got = viewer.cleared_rows(before, after)
            assert got is not None, k
            locked, lit = got
            assert len(lit) == after.total_lines - before.total_lines
            rows = [locked[10 * r : 10 * r + 10] for r in range(viewer.DRAWN_ROWS)]
            assert all(all(1 <= c <= 8 for c in rows[y]) for y in lit)
            # Dropping the lit rows gives the board after the step, below where its new piece
            # enters (the stack of this game stays low).
            kept = [r for y, r in enumerate(rows) if y not in lit] + [bytes(10)] * len(lit)
            assert [bytes(c if 1 <= c <= 8 else 0 for c in r) for r in kept[:18]] == \
                solid_rows(after.cells)[:18], k

    def test_no_flash_without_a_clear(self, clean_game) -> None:
        initial, steps = clean_game
        states = [initial] + [s for _, s in steps]
        ks = set(clearing_steps(initial, steps))
        for k in range(1, 200):
            lit = viewer.cleared_rows(decode(bytes(states[k - 1])), decode(bytes(states[k])))
            assert (lit is not None) == (k in ks)


@pytest.fixture(scope="module")
def clean_page_file(clean_game, tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("viewer") / "clean.html"
    viewer.write(path, *clean_game, title="clean game")
    return path


class TestSpawnRowsPiecesAndAddress:
    def test_a_piece_at_spawn_shows_all_four_cells(self, browser) -> None:
        initial = GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
        path = Path(os.environ.get("TMPDIR", "/tmp")) / f"spawn-{os.getpid()}.html"
        viewer.write(path, initial, [])
        try:
            p = Page(browser, path.as_uri())
            z = list(viewer.colour_rgb(6))
            colours = p.page.evaluate(
                """([size, drawn]) => {
                    const c = document.getElementById("canvas").getContext("2d");
                    const at = (row, col) => Array.from(c.getImageData(
                        col * size + size / 2, (drawn - 1 - row) * size + size / 2, 1, 1).data
                    ).slice(0, 3);
                    return [at(19, 4), at(19, 5), at(20, 3), at(20, 4), at(21, 4), at(20, 0)];
                }""",
                [viewer.CELL_SIZE, viewer.DRAWN_ROWS],
            )
            assert colours[:4] == [z] * 4
            ground = [int(viewer.SPAWN_COLOUR[i : i + 2], 16) for i in (1, 3, 5)]
            assert colours[4] == colours[5] == ground
            assert p.errors == []
            p.page.close()
        finally:
            path.unlink()

    def test_piece_stepping(self, browser, clean_page_file, clean_game) -> None:
        initial, steps = clean_game
        ids = [decode(bytes(s)).current_id for s in [initial] + [t for _, t in steps]]
        starts = [k for k in range(len(ids)) if k == 0 or ids[k] != ids[k - 1]]
        p = Page(browser, clean_page_file.as_uri())
        keys = p.page.keyboard
        for expected in starts[1:6]:
            keys.press("ArrowDown")
            assert p.step() == expected
        keys.press("ArrowRight")
        assert p.step() == starts[5] + 1
        keys.press("ArrowUp")  # back to the start of the piece shown
        assert p.step() == starts[5]
        keys.press("ArrowUp")
        assert p.step() == starts[4]
        p.page.click("#nextpiece")
        p.page.click("#nextpiece")
        assert p.step() == starts[6]
        p.page.click("#prevpiece")
        assert p.step() == starts[5]
        keys.press("End")
        keys.press("ArrowDown")
        assert p.step() == len(steps)
        assert p.errors == []
        p.page.close()

    def test_the_address_names_the_step(self, browser, clean_page_file, clean_game) -> None:
        _, steps = clean_game
        p = Page(browser, clean_page_file.as_uri() + "#step=123")
        assert p.step() == 123
        assert p.text("score") == str(steps[122][1].score)
        p.page.keyboard.press("ArrowRight")
        assert p.page.evaluate("location.hash") == "#step=124"
        p.page.evaluate("location.hash = '#step=40'")
        p.page.wait_for_function("document.getElementById('step').textContent === '40'")
        p.page.evaluate("location.hash = '#step=99999'")
        p.page.wait_for_function(f"document.getElementById('step').textContent === '{len(steps)}'")
        assert p.errors == []
        p.page.close()

    def test_stepping_onto_a_clear_lights_its_rows(self, browser, clean_page_file,
                                                   clean_game) -> None:
        initial, steps = clean_game
        k = clearing_steps(initial, steps)[0]
        states = [initial] + [s for _, s in steps]
        _, lit = viewer.cleared_rows(decode(bytes(states[k - 1])), decode(bytes(states[k])))
        p = Page(browser, clean_page_file.as_uri() + f"#step={k - 1}")
        p.page.keyboard.press("ArrowRight")
        assert p.step() == k
        assert p.page.evaluate("document.getElementById('canvas').dataset.lit") == ",".join(
            map(str, lit))
        p.page.wait_for_function("document.getElementById('canvas').dataset.lit === ''")
        # A jump to the same step shows it at once.
        p.page.keyboard.press("Home")
        p.slide_to(k)
        assert p.page.evaluate("document.getElementById('canvas').dataset.lit") == ""
        assert p.errors == []
        p.page.close()
