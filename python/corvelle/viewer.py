"""A replay viewer: one self-contained HTML file that steps through a recorded game.

The page needs no network and loads no other file: the frames are embedded as JSON (per
step the 20 visible board rows as 200 hexadecimal cell codes plus the facts shown beside the
board) and a small script draws them on a canvas. Controls: the step slider, play/pause,
back/forward by action, back/forward by piece, and the keyboard (left and right arrows step
one action, up and down arrows one piece, space plays and pauses, Home and End jump, Page Up
and Page Down move 20 steps).

The board is drawn with the rows above the visible 20 where pieces enter (SPAWN_ROWS of them,
on a darker ground above a line), so a piece at spawn shows all four cells. Stepping forward
onto a step whose action cleared lines first shows the board as the piece locked, the cleared
rows lit, for a moment. The page's address follows the step shown (#step=1234), and opening
the page with such a fragment shows that step.

Elements carry stable ids: #canvas, #slider, #play, #back, #forward, #prevpiece, #nextpiece,
#speed, #step, #action, #score, #lines, #combo, #b2b, #tspin, #piece, #hold, #next, #moves,
#garbage, #gameover.

The match viewer (`write_match`) shows a two-player match the same way: both boards side by
side, each with a meter of the garbage against it not yet in its board, one frame per match
step. Its ids: #canvas0, #canvas1, #meter0, #meter1, #incoming0, #incoming1, #score0,
#score1, #lines0, #lines1, #over0, #over1, #slider, #play, #back, #forward, #step.
"""

from __future__ import annotations

import html
import json
import os
import shutil
import tempfile
import os
from typing import Iterable, List, Optional, Sequence, Tuple, Union

from corvelle_vim import GameStatePy

from ._batch import shapes
from ._files import whole_file, write_whole
from .bytestate import ACTIONS, COLUMNS, KINDS, VISIBLE_ROWS, DecodedState, decode

__all__ = [
    "CELL_COLOURS",
    "CELL_SIZE",
    "DRAWN_ROWS",
    "PageWriter",
    "SPAWN_ROWS",
    "cleared_rows",
    "colour_rgb",
    "frame",
    "render",
    "render_match",
    "write",
    "write_match",
]

StrPath = Union[str, "os.PathLike[str]"]
Frame = List[object]

# Canvas colour of each cell code: 0 empty, 1-7 the kinds I L J T S Z O, 8 garbage, 9 ghost;
# 10-15 are never written by the engine and read as empty.
CELL_COLOURS: Tuple[str, ...] = (
    "#15171e",
    "#31c7ef",
    "#ef7921",
    "#3f5bd8",
    "#a745c4",
    "#42b642",
    "#ef2029",
    "#f7d308",
    "#8a8f98",
    "#3b4252",
) + ("#15171e",) * 6
GRID_COLOUR = "#0a0b0f"
# Side of one cell on the canvas, in canvas pixels; each cell is filled but for a 1-pixel
# border of grid colour.
CELL_SIZE = 24

# Rows drawn above the visible 20: where pieces enter (a piece's cells reach row 23 at most,
# an I turned upright and kicked upwards at spawn).
SPAWN_ROWS = 4
DRAWN_ROWS = VISIBLE_ROWS + SPAWN_ROWS
# Ground of an empty cell in those rows.
SPAWN_COLOUR = "#0d0e13"
# The line between the visible field and the rows above it.
SPAWN_LINE_COLOUR = "#5e6779"

# Bits of a frame's flags field.
_B2B, _T_SPIN, _T_MINI_SPIN, _GAME_OVER, _HOLD_USABLE = 1, 2, 4, 8, 16
_DRAWN_BYTES = DRAWN_ROWS * COLUMNS // 2
# _SHAPES[rotation][kind index]: the four (row, column) offsets of a piece's cells.
_SHAPES = tuple(tuple(entry[1] for entry in by_kind) for by_kind in shapes())
_SOLID = frozenset(range(1, 9))
_GHOST = 9


def colour_rgb(code: int) -> Tuple[int, int, int]:
    """The (red, green, blue) canvas colour of a cell code."""
    text = CELL_COLOURS[code]
    return int(text[1:3], 16), int(text[3:5], 16), int(text[5:7], 16)


def cleared_rows(before: DecodedState, after: DecodedState) -> Optional[Tuple[bytes, List[int]]]:
    """When the step from `before` to `after` locked a piece that cleared lines: the cell codes
    of rows 0 to DRAWN_ROWS - 1 (row 0 first) as the piece locked, before the full rows went,
    and the indices of those rows. None for any other step.

    The piece locks where its ghost shows (where it already lies when no ghost shows)."""
    cleared = (after.total_lines - before.total_lines) & 0xFFFF
    piece = before.current_pcs
    if cleared == 0 or piece is None or before.game_over:
        return None
    cells = bytearray(before.cells[: DRAWN_ROWS * COLUMNS])
    code = KINDS.index(piece.kind) + 1
    own = []
    for i, j in _SHAPES[piece.rotation][code - 1]:
        y, x = piece.row + i, piece.column + j
        if 0 <= y < DRAWN_ROWS and 0 <= x < COLUMNS:
            own.append(y * COLUMNS + x)
    ghost = [k for k, c in enumerate(cells) if c == _GHOST]
    for k in own:
        cells[k] = 0
    for k in ghost or own:
        cells[k] = code
    full = [
        y for y in range(DRAWN_ROWS)
        if all(c in _SOLID for c in cells[y * COLUMNS : (y + 1) * COLUMNS])
    ]
    if len(full) != min(cleared, 4):
        return None
    return bytes(cells), full


def _frame_of(action: Optional[str], s: DecodedState, before: Optional[DecodedState]) -> Frame:
    flags = (
        (_B2B if s.is_b2b else 0)
        | (_T_SPIN if s.is_t_spin else 0)
        | (_T_MINI_SPIN if s.is_t_mini_spin else 0)
        | (_GAME_OVER if s.game_over else 0)
        | (_HOLD_USABLE if s.hold is not None and s.hold.can_use else 0)
    )
    piece: object = None
    if s.current_pcs is not None:
        p = s.current_pcs
        piece = [p.kind, p.rotation, p.row, p.column]
    flash: object = None
    if before is not None:
        lit = cleared_rows(before, s)
        if lit is not None:
            flash = [lit[0].hex()[1::2], lit[1]]
    return [
        s.board[:_DRAWN_BYTES].hex(),
        s.score,
        s.total_lines,
        s.combo_counter,
        flags,
        s.hold.kind if s.hold is not None else "",
        s.next_pcs,
        piece,
        ACTIONS.index(action) if action is not None else -1,
        s.total_moves,
        s.total_garbage_sent,
        s.current_id,
        flash,
    ]


def frame(
    action: Optional[str], state: GameStatePy, before: Optional[GameStatePy] = None
) -> Frame:
    """The embedded form of one step: board rows 0 to DRAWN_ROWS - 1 as hex cell codes (row 0
    first, one digit a cell), score, lines, combo, flags, hold, next pieces, falling piece,
    action index, moves, garbage sent, the falling piece's number, and, when the step from
    `before` cleared lines, [the locked board before the clear as hex cell codes, the cleared
    rows] (else None)."""
    prior = decode(bytes(before)) if before is not None else None
    return _frame_of(action, decode(bytes(state)), prior)


def _embedded(value: object) -> str:
    # "</" would end the script element early; JSON reads "<\\/" as the same two characters.
    return json.dumps(value, separators=(",", ":")).replace("</", "<\\/")


def _page_parts(title: str, last: int) -> Tuple[str, str]:
    """The page before and after its frames: the head ends inside the embedded JSON, just
    after the opening bracket of its frame list."""
    data = {
        "rows": DRAWN_ROWS,
        "visible": VISIBLE_ROWS,
        "spawnGround": SPAWN_COLOUR,
        "spawnLine": SPAWN_LINE_COLOUR,
        "cols": COLUMNS,
        "cell": CELL_SIZE,
        "grid": GRID_COLOUR,
        "colours": list(CELL_COLOURS),
        "kinds": KINDS,
        "actions": list(ACTIONS),
    }
    embedded = _embedded(data)[:-1] + ',"frames":['
    legend = "".join(
        f'<span class="tile" style="background:{CELL_COLOURS[code]}"></span>{label} '
        for code, label in enumerate(list(KINDS) + ["garbage", "ghost"], start=1)
    )
    page = _PAGE
    for key, value in (
        ("@TITLE@", html.escape(title)),
        ("@WIDTH@", str(COLUMNS * CELL_SIZE)),
        ("@HEIGHT@", str(DRAWN_ROWS * CELL_SIZE)),
        ("@LAST@", str(last)),
        ("@LEGEND@", legend),
        ("@SCRIPT@", _SCRIPT),
    ):
        page = page.replace(key, value)
    head, tail = page.split("@DATA@")
    return head + embedded, "]}" + tail


class PageWriter:
    """Builds a viewer page step by step without holding the game: each frame goes to an
    unnamed temporary file as it is added, so memory stays the same however long the game.
    `save` writes the page whole (see `write`)."""

    def __init__(self, initial: GameStatePy, title: str = "corvelle replay") -> None:
        self.title = title
        self._frames = tempfile.TemporaryFile()
        self._count = 0
        # The last state added, decoded: a step's frame shows the rows its lock cleared.
        self._before: Optional[DecodedState] = None
        self.add(None, initial)

    @property
    def steps(self) -> int:
        """The number of steps added after the new game."""
        return self._count - 1

    def add(self, action: Optional[str], state: GameStatePy) -> None:
        """Adds the step that `action` played, reaching `state`."""
        s = decode(bytes(state))
        text = _embedded(_frame_of(action, s, self._before))
        self._before = s
        self._frames.write((text if self._count == 0 else "," + text).encode("utf-8"))
        self._count += 1

    def add_steps(self, steps: Iterable[Tuple[str, GameStatePy]]) -> None:
        """Adds each (action name, state) step in order."""
        for action, state in steps:
            self.add(action, state)

    def save(self, path: StrPath) -> None:
        """Writes the page of the steps added so far to `path`, whole."""
        head, tail = _page_parts(self.title, self._count - 1)
        with whole_file(path) as f:
            f.write(head.encode("utf-8"))
            self._frames.seek(0)
            shutil.copyfileobj(self._frames, f)
            self._frames.seek(0, os.SEEK_END)
            f.write(tail.encode("utf-8"))

    def close(self) -> None:
        """Drops the frames kept so far; the writer cannot be saved after."""
        self._frames.close()

    def __enter__(self) -> PageWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def render(
    initial: GameStatePy,
    steps: Sequence[Tuple[str, GameStatePy]],
    title: str = "corvelle replay",
) -> str:
    """The viewer page for a game: the new game, then (action name, state) per action."""
    frames = []
    before: Optional[DecodedState] = None
    for action, state in [(None, initial), *steps]:
        s = decode(bytes(state))
        frames.append(_frame_of(action, s, before))
        before = s
    head, tail = _page_parts(title, len(frames) - 1)
    return head + ",".join(_embedded(f) for f in frames) + tail


def write(
    path: StrPath,
    initial: GameStatePy,
    steps: Iterable[Tuple[str, GameStatePy]],
    title: str = "corvelle replay",
) -> None:
    """Writes the viewer page for a game to a file, whole: through a temporary file renamed
    over `path` once complete."""
    with PageWriter(initial, title) as page:
        page.add_steps(steps)
        page.save(path)


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>@TITLE@</title>
<style>
body { background: #20232b; color: #e5e9f0; font: 15px/1.4 system-ui, sans-serif; margin: 20px; }
h1 { font-size: 18px; margin: 0 0 12px; }
main { display: flex; gap: 24px; align-items: flex-start; }
canvas { border: 2px solid #4c566a; image-rendering: pixelated; }
table { border-collapse: collapse; }
td { padding: 2px 10px 2px 0; vertical-align: middle; }
td:first-child { color: #9aa3b5; }
.tile { display: inline-block; width: 16px; height: 16px; margin-right: 3px;
        vertical-align: middle; border-radius: 2px; text-align: center;
        font-size: 11px; line-height: 16px; color: #111; font-weight: bold; }
.faded { opacity: 0.45; }
#controls { margin-top: 12px; display: flex; gap: 8px; align-items: center; }
#slider { width: 360px; }
#legend { margin-top: 10px; color: #9aa3b5; font-size: 13px; }
button, select { background: #3b4252; color: #e5e9f0; border: 1px solid #4c566a;
                 border-radius: 3px; padding: 3px 10px; }
.keys { color: #9aa3b5; font-size: 13px; margin-top: 6px; }
</style>
</head>
<body>
<h1>@TITLE@</h1>
<main>
<canvas id="canvas" width="@WIDTH@" height="@HEIGHT@"></canvas>
<div>
<table>
<tr><td>step</td><td><span id="step">0</span> / <span id="last">@LAST@</span></td></tr>
<tr><td>action</td><td id="action"></td></tr>
<tr><td>score</td><td id="score"></td></tr>
<tr><td>lines</td><td id="lines"></td></tr>
<tr><td>combo</td><td id="combo"></td></tr>
<tr><td>back-to-back</td><td id="b2b"></td></tr>
<tr><td>spin</td><td id="tspin"></td></tr>
<tr><td>falling piece</td><td id="piece"></td></tr>
<tr><td>hold</td><td id="hold"></td></tr>
<tr><td>next</td><td id="next"></td></tr>
<tr><td>moves</td><td id="moves"></td></tr>
<tr><td>garbage sent</td><td id="garbage"></td></tr>
<tr><td>game over</td><td id="gameover"></td></tr>
</table>
<div id="legend">@LEGEND@</div>
</div>
</main>
<div id="controls">
<button id="back" type="button" title="previous step (left arrow)">&#9664;</button>
<button id="play" type="button" title="play or pause (space)">play</button>
<button id="forward" type="button" title="next step (right arrow)">&#9654;</button>
<button id="prevpiece" type="button" title="previous piece (up arrow)">&laquo; piece</button>
<button id="nextpiece" type="button" title="next piece (down arrow)">piece &raquo;</button>
<input id="slider" type="range" min="0" max="@LAST@" value="0" step="1">
<select id="speed" title="steps per second">
<option value="5">5 steps/s</option><option value="10">10 steps/s</option>
<option value="20" selected>20 steps/s</option><option value="50">50 steps/s</option>
<option value="200">200 steps/s</option>
</select>
</div>
<div class="keys">keys: &larr; &rarr; step, &uarr; &darr; piece, space play/pause, Home/End
first/last, Page Up/Page Down 20 steps; the address (#step=N) names the step shown</div>
<script type="application/json" id="frames">@DATA@</script>
<script>@SCRIPT@</script>
</body>
</html>
"""

_SCRIPT = """
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("frames").textContent);
  var frames = data.frames;
  var last = frames.length - 1;
  var canvas = document.getElementById("canvas");
  var ctx = canvas.getContext("2d");
  var slider = document.getElementById("slider");
  var playButton = document.getElementById("play");
  var speed = document.getElementById("speed");
  var step = 0;
  var timer = null;
  var flashTimer = null;
  // The first step of each falling piece (frames whose piece number differs from the last).
  var pieceStarts = [];
  for (var k = 0; k < frames.length; k++) {
    if (k === 0 || frames[k][11] !== frames[k - 1][11]) { pieceStarts.push(k); }
  }

  function text(id, value) { document.getElementById(id).textContent = String(value); }

  function kindTiles(id, letters, faded) {
    var box = document.getElementById(id);
    box.textContent = "";
    if (letters.length === 0) { box.textContent = "-"; return; }
    for (var i = 0; i < letters.length; i++) {
      var tile = document.createElement("span");
      tile.className = faded ? "tile faded" : "tile";
      tile.style.background = data.colours[data.kinds.indexOf(letters.charAt(i)) + 1];
      tile.textContent = letters.charAt(i);
      box.appendChild(tile);
    }
  }

  // Rows 0 to data.rows - 1, row 0 at the bottom; the rows from data.visible up, where pieces
  // enter, on a darker ground above a line; `lit` rows (if any) lit up.
  function drawBoard(hex, lit) {
    var cell = data.cell;
    ctx.fillStyle = data.grid;
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    for (var row = 0; row < data.rows; row++) {
      for (var col = 0; col < data.cols; col++) {
        var code = parseInt(hex.charAt(row * data.cols + col), 16);
        ctx.fillStyle = (code === 0 || code > 9) && row >= data.visible ?
            data.spawnGround : data.colours[code];
        ctx.fillRect(col * cell + 1, (data.rows - 1 - row) * cell + 1, cell - 2, cell - 2);
      }
    }
    ctx.fillStyle = data.spawnLine;
    ctx.fillRect(0, (data.rows - data.visible) * cell - 1, canvas.width, 2);
    if (lit) {
      ctx.fillStyle = "rgba(255, 255, 255, 0.7)";
      for (var i = 0; i < lit.length; i++) {
        ctx.fillRect(0, (data.rows - 1 - lit[i]) * cell, canvas.width, cell);
      }
    }
    canvas.dataset.lit = lit ? lit.join(",") : "";
  }

  // How long cleared rows stay lit: shorter than a step while playing.
  function flashTime() {
    return timer === null ? 350 : Math.min(350, 600 / Number(speed.value));
  }

  function setAddress(i) {
    try { history.replaceState(null, "", "#step=" + i); } catch (e) { /* not allowed here */ }
  }

  function stepFromAddress() {
    var m = /^#step=(\d+)$/.exec(location.hash);
    return m ? Number(m[1]) : null;
  }

  // Shows step i; `forward` when it follows the step shown by one action, which lights the
  // rows it cleared for a moment.
  function show(i, forward) {
    step = Math.max(0, Math.min(last, i));
    var f = frames[step];
    var flags = f[4];
    if (flashTimer !== null) { clearTimeout(flashTimer); flashTimer = null; }
    if (forward && f[12]) {
      drawBoard(f[12][0], f[12][1]);
      flashTimer = setTimeout(function () { flashTimer = null; drawBoard(f[0]); }, flashTime());
    } else {
      drawBoard(f[0]);
    }
    setAddress(step);
    slider.value = String(step);
    text("step", step);
    text("action", f[8] < 0 ? "(new game)" : data.actions[f[8]]);
    text("score", f[1]);
    text("lines", f[2]);
    text("combo", f[3]);
    text("b2b", flags & 1 ? "yes" : "no");
    text("tspin", flags & 2 ? "T-spin" : (flags & 4 ? "T-spin mini" : "-"));
    var p = f[7];
    text("piece", p === null ? "-" :
         p[0] + ", rotation " + p[1] + ", row " + p[2] + ", column " + p[3]);
    kindTiles("hold", f[5], f[5] !== "" && !(flags & 16));
    kindTiles("next", f[6], false);
    text("moves", f[9]);
    text("garbage", f[10]);
    text("gameover", flags & 8 ? "yes" : "no");
  }

  function pause() {
    if (timer !== null) { clearInterval(timer); timer = null; }
    playButton.textContent = "play";
  }

  function play() {
    if (step >= last) { show(0); }
    pause();
    playButton.textContent = "pause";
    timer = setInterval(function () {
      if (step >= last) { pause(); return; }
      show(step + 1, true);
    }, 1000 / Number(speed.value));
  }

  function toggle() { if (timer === null) { play(); } else { pause(); } }

  slider.addEventListener("input", function () { pause(); show(Number(slider.value)); });
  playButton.addEventListener("click", function () { toggle(); playButton.blur(); });
  document.getElementById("back").addEventListener("click", function () {
    pause(); show(step - 1);
  });
  document.getElementById("forward").addEventListener("click", function () {
    pause(); show(step + 1, true);
  });

  function nextPiece() {
    for (var k = 0; k < pieceStarts.length; k++) {
      if (pieceStarts[k] > step) { return pieceStarts[k]; }
    }
    return last;
  }

  function previousPiece() {
    for (var k = pieceStarts.length - 1; k >= 0; k--) {
      if (pieceStarts[k] < step) { return pieceStarts[k]; }
    }
    return 0;
  }

  document.getElementById("nextpiece").addEventListener("click", function () {
    pause(); show(nextPiece());
  });
  document.getElementById("prevpiece").addEventListener("click", function () {
    pause(); show(previousPiece());
  });
  window.addEventListener("hashchange", function () {
    var k = stepFromAddress();
    if (k !== null && k !== step) { pause(); show(k); }
  });
  speed.addEventListener("change", function () { if (timer !== null) { play(); } });

  var moves = { ArrowLeft: -1, ArrowRight: 1, PageUp: -20, PageDown: 20 };
  document.addEventListener("keydown", function (e) {
    if (e.target === speed) { return; }
    if (e.key === " ") { e.preventDefault(); if (!e.repeat) { toggle(); } return; }
    if (e.key === "Home") { e.preventDefault(); pause(); show(0); return; }
    if (e.key === "End") { e.preventDefault(); pause(); show(last); return; }
    if (e.key === "ArrowDown") { e.preventDefault(); pause(); show(nextPiece()); return; }
    if (e.key === "ArrowUp") { e.preventDefault(); pause(); show(previousPiece()); return; }
    if (Object.prototype.hasOwnProperty.call(moves, e.key)) {
      e.preventDefault(); pause(); show(step + moves[e.key], moves[e.key] === 1);
    }
  });
  // A focused button would also act on the space key's release.
  document.addEventListener("keyup", function (e) { if (e.key === " ") { e.preventDefault(); } });

  var fromAddress = stepFromAddress();
  show(fromAddress === null ? 0 : fromAddress);
})();
"""


def render_match(frames: Sequence[object], title: str = "corvelle match") -> str:
    """The two-board viewer page of a match from its frames (`corvelle.versus.MatchFrame`:
    both states' byte forms and the garbage against each, the start first)."""
    embedded_frames = []
    for f in frames:
        states, incoming = f.states, f.incoming  # type: ignore[attr-defined]
        entry: List[object] = []
        for p in (0, 1):
            s = decode(states[p])
            entry += [s.board[: VISIBLE_ROWS * COLUMNS // 2].hex(), s.score, s.total_lines, int(s.game_over)]
        embedded_frames.append(entry + list(incoming))
    data = {
        "rows": VISIBLE_ROWS,
        "cols": COLUMNS,
        "cell": CELL_SIZE,
        "grid": GRID_COLOUR,
        "colours": list(CELL_COLOURS),
        "frames": embedded_frames,
    }
    embedded = json.dumps(data, separators=(",", ":")).replace("</", "<\\/")
    page = _MATCH_PAGE
    for key, value in (
        ("@TITLE@", html.escape(title)),
        ("@WIDTH@", str(COLUMNS * CELL_SIZE)),
        ("@HEIGHT@", str(VISIBLE_ROWS * CELL_SIZE)),
        ("@LAST@", str(len(embedded_frames) - 1)),
        ("@SCRIPT@", _MATCH_SCRIPT),
        ("@DATA@", embedded),
    ):
        page = page.replace(key, value)
    return page


def write_match(path: StrPath, frames: Sequence[object], title: str = "corvelle match") -> None:
    """Writes the two-board viewer page of a match to a file."""
    write_whole(path, render_match(frames, title))


_MATCH_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>@TITLE@</title>
<style>
body { background: #20232b; color: #e5e9f0; font: 15px/1.4 system-ui, sans-serif; margin: 20px; }
h1 { font-size: 18px; margin: 0 0 12px; }
main { display: flex; gap: 36px; align-items: flex-start; }
.player { display: flex; gap: 6px; align-items: flex-end; }
.meter { width: 10px; height: @HEIGHT@px; background: #15171e; border: 2px solid #4c566a;
         display: flex; align-items: flex-end; }
.meter div { width: 100%; background: #ef2029; height: 0; }
canvas { border: 2px solid #4c566a; image-rendering: pixelated; }
td { padding: 2px 10px 2px 0; }
td:first-child { color: #9aa3b5; }
#controls { margin-top: 12px; display: flex; gap: 8px; align-items: center; }
#slider { width: 360px; }
button { background: #3b4252; color: #e5e9f0; border: 1px solid #4c566a;
         border-radius: 3px; padding: 3px 10px; }
</style>
</head>
<body>
<h1>@TITLE@</h1>
<main>
<div>
<div class="player"><div class="meter" title="incoming garbage"><div id="meter0"></div></div>
<canvas id="canvas0" width="@WIDTH@" height="@HEIGHT@"></canvas></div>
<table><tr><td>player 0 score</td><td id="score0"></td></tr>
<tr><td>lines</td><td id="lines0"></td></tr>
<tr><td>incoming</td><td id="incoming0"></td></tr>
<tr><td>topped out</td><td id="over0"></td></tr></table>
</div>
<div>
<div class="player"><div class="meter" title="incoming garbage"><div id="meter1"></div></div>
<canvas id="canvas1" width="@WIDTH@" height="@HEIGHT@"></canvas></div>
<table><tr><td>player 1 score</td><td id="score1"></td></tr>
<tr><td>lines</td><td id="lines1"></td></tr>
<tr><td>incoming</td><td id="incoming1"></td></tr>
<tr><td>topped out</td><td id="over1"></td></tr></table>
</div>
</main>
<div id="controls">
<button id="back" type="button">&#9664;</button>
<button id="play" type="button">play</button>
<button id="forward" type="button">&#9654;</button>
<input id="slider" type="range" min="0" max="@LAST@" value="0" step="1">
<span>step <span id="step">0</span> / @LAST@</span>
</div>
<script type="application/json" id="frames">@DATA@</script>
<script>@SCRIPT@</script>
</body>
</html>
"""

_MATCH_SCRIPT = """
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("frames").textContent);
  var frames = data.frames;
  var last = frames.length - 1;
  var slider = document.getElementById("slider");
  var playButton = document.getElementById("play");
  var step = 0;
  var timer = null;

  function text(id, value) { document.getElementById(id).textContent = String(value); }

  function drawBoard(canvas, hex) {
    var ctx = canvas.getContext("2d");
    var cell = data.cell;
    ctx.fillStyle = data.grid;
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    for (var row = 0; row < data.rows; row++) {
      for (var col = 0; col < data.cols; col++) {
        ctx.fillStyle = data.colours[parseInt(hex.charAt(row * data.cols + col), 16)];
        ctx.fillRect(col * cell + 1, (data.rows - 1 - row) * cell + 1, cell - 2, cell - 2);
      }
    }
  }

  function show(i) {
    step = Math.max(0, Math.min(last, i));
    var f = frames[step];
    for (var p = 0; p < 2; p++) {
      var b = 4 * p;
      var incoming = f[8 + p];
      drawBoard(document.getElementById("canvas" + p), f[b]);
      text("score" + p, f[b + 1]);
      text("lines" + p, f[b + 2]);
      text("over" + p, f[b + 3] ? "yes" : "no");
      text("incoming" + p, incoming);
      document.getElementById("meter" + p).style.height =
        String(Math.min(incoming, data.rows) * 100 / data.rows) + "%";
    }
    slider.value = String(step);
    text("step", step);
  }

  function pause() {
    if (timer !== null) { clearInterval(timer); timer = null; }
    playButton.textContent = "play";
  }

  function play() {
    if (step >= last) { show(0); }
    pause();
    playButton.textContent = "pause";
    timer = setInterval(function () {
      if (step >= last) { pause(); return; }
      show(step + 1);
    }, 50);
  }

  slider.addEventListener("input", function () { pause(); show(Number(slider.value)); });
  playButton.addEventListener("click", function () {
    if (timer === null) { play(); } else { pause(); }
    playButton.blur();
  });
  document.getElementById("back").addEventListener("click", function () { pause(); show(step - 1); });
  document.getElementById("forward").addEventListener("click", function () { pause(); show(step + 1); });
  document.addEventListener("keydown", function (e) {
    if (e.key === "ArrowLeft") { e.preventDefault(); pause(); show(step - 1); }
    if (e.key === "ArrowRight") { e.preventDefault(); pause(); show(step + 1); }
    if (e.key === " ") { e.preventDefault(); if (timer === null) { play(); } else { pause(); } }
  });

  show(0);
})();
"""
