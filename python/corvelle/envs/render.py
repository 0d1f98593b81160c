"""Frames of a game state: the text report, and an RGB image of the visible board drawn in
the replay viewer's colours (falling piece and ghost included), optionally with a side panel
showing the held piece, the next five pieces, the score and the lines cleared."""

from __future__ import annotations

import numpy as np

from corvelle_vim import GameStatePy

from .._batch import shapes
from ..bytestate import COLUMNS, KINDS, ROWS, VISIBLE_ROWS, DecodedState
from ..viewer import CELL_COLOURS, CELL_SIZE, GRID_COLOUR, colour_rgb

__all__ = ["IMAGE_SHAPE", "PANEL_IMAGE_SHAPE", "PANEL_WIDTH", "ansi_frame", "rgb_frame"]

# (height, width, channels) of an "rgb_array" frame.
IMAGE_SHAPE = (VISIBLE_ROWS * CELL_SIZE, COLUMNS * CELL_SIZE, 3)

# RGB of each cell code 0-15.
_PALETTE = np.array([colour_rgb(code) for code in range(len(CELL_COLOURS))], dtype=np.uint8)
_GRID_RGB = np.array([int(GRID_COLOUR[k : k + 2], 16) for k in (1, 3, 5)], dtype=np.uint8)
# Pixels on the 1-pixel border of their cell, which take the grid colour.
_ON_BORDER = np.zeros(CELL_SIZE, dtype=bool)
_ON_BORDER[[0, CELL_SIZE - 1]] = True
_BORDER = (
    _ON_BORDER[np.arange(IMAGE_SHAPE[0]) % CELL_SIZE][:, None]
    | _ON_BORDER[np.arange(IMAGE_SHAPE[1]) % CELL_SIZE][None, :]
)


# The side panel: 6 cells wide, the board's height.
PANEL_WIDTH = 6 * CELL_SIZE
PANEL_IMAGE_SHAPE = (IMAGE_SHAPE[0], IMAGE_SHAPE[1] + PANEL_WIDTH, 3)
_PANEL_RGB = np.array([0x20, 0x23, 0x2B], dtype=np.uint8)
_LABEL_RGB = np.array([0x9A, 0xA3, 0xB5], dtype=np.uint8)
_TEXT_RGB = np.array([0xE5, 0xE9, 0xF0], dtype=np.uint8)
# Side of a cell of the small pieces drawn in the panel.
_MINI = CELL_SIZE // 2
_MARGIN = 8

# A 3 x 5 pixel font: each glyph is five rows of three bits, the high bit on the left.
_FONT = {
    "0": (7, 5, 5, 5, 7), "1": (2, 6, 2, 2, 7), "2": (7, 1, 7, 4, 7), "3": (7, 1, 7, 1, 7),
    "4": (5, 5, 7, 1, 1), "5": (7, 4, 7, 1, 7), "6": (7, 4, 7, 5, 7), "7": (7, 1, 1, 1, 1),
    "8": (7, 5, 7, 5, 7), "9": (7, 5, 7, 1, 7), "-": (0, 0, 7, 0, 0),
    "C": (7, 4, 4, 4, 7), "D": (6, 5, 5, 5, 6), "E": (7, 4, 7, 4, 7), "H": (5, 5, 7, 5, 5),
    "I": (7, 2, 2, 2, 7), "L": (4, 4, 4, 4, 7), "N": (7, 5, 5, 5, 5), "O": (7, 5, 5, 5, 7),
    "R": (7, 5, 6, 5, 5), "S": (7, 4, 7, 1, 7), "T": (7, 2, 2, 2, 2), "X": (5, 5, 2, 5, 5),
}
# Each kind's four cells in its spawn rotation, as (row, column) offsets, row 0 at the bottom.
_SPAWN_CELLS = tuple(entry[1] for entry in shapes()[0])


def _text(image: np.ndarray, y: int, x: int, text: str, rgb: np.ndarray, scale: int) -> None:
    """Draws `text` with its top-left corner at (y, x), each font pixel `scale` pixels wide."""
    for ch in text:
        for r, bits in enumerate(_FONT[ch]):
            for c in range(3):
                if bits >> (2 - c) & 1:
                    top, left = y + r * scale, x + c * scale
                    image[top : top + scale, left : left + scale] = rgb
        x += 4 * scale


def _piece(image: np.ndarray, y: int, x: int, kind: str, faded: bool) -> None:
    """Draws a kind in its spawn rotation in a 4 x 2 box of small cells at (y, x)."""
    cells = _SPAWN_CELLS[KINDS.index(kind)]
    low = min(i for i, _ in cells)
    high = max(i for i, _ in cells)
    left = min(j for _, j in cells)
    rgb = _PALETTE[KINDS.index(kind) + 1]
    if faded:
        rgb = (rgb.astype(np.uint16) + 2 * _PANEL_RGB) // 3
    for i, j in cells:
        top = y + (high - i) * _MINI + (2 - (high - low + 1)) * _MINI // 2
        lft = x + (j - left) * _MINI
        image[top + 1 : top + _MINI - 1, lft + 1 : lft + _MINI - 1] = rgb


def _panel(s: DecodedState) -> np.ndarray:
    image = np.empty((IMAGE_SHAPE[0], PANEL_WIDTH, 3), dtype=np.uint8)
    image[:] = _PANEL_RGB
    x = _MARGIN
    y = _MARGIN
    _text(image, y, x, "HOLD", _LABEL_RGB, 2)
    if s.hold is not None:
        _piece(image, y + 16, x, s.hold.kind, not s.hold.can_use)
    y += 16 + 2 * _MINI + 14
    _text(image, y, x, "NEXT", _LABEL_RGB, 2)
    y += 16
    for kind in s.next_pcs[:5]:
        _piece(image, y, x, kind, False)
        y += 2 * _MINI + 8
    y += 6
    for label, value in (("SCORE", s.score), ("LINES", s.total_lines)):
        _text(image, y, x, label, _LABEL_RGB, 2)
        digits = str(value)
        scale = 3 if len(digits) <= 10 else 2
        _text(image, y + 16, x, digits[-((PANEL_WIDTH - _MARGIN) // (4 * scale)) :], _TEXT_RGB,
              scale)
        y += 16 + 5 * 3 + 14
    return image


def rgb_frame(s: DecodedState, panel: bool = False) -> np.ndarray:
    """The visible board as a uint8 image of IMAGE_SHAPE, top row first; with `panel`, a side
    panel to its right (held piece, faded while Hold cannot be used; the next five pieces; the
    score; the lines cleared), an image of PANEL_IMAGE_SHAPE."""
    codes = np.frombuffer(s.cells, dtype=np.uint8).reshape(ROWS, COLUMNS)[VISIBLE_ROWS - 1 :: -1]
    image = _PALETTE[codes].repeat(CELL_SIZE, axis=0).repeat(CELL_SIZE, axis=1)
    image[_BORDER] = _GRID_RGB
    if panel:
        image = np.concatenate([image, _panel(s)], axis=1)
    return image


def ansi_frame(state: GameStatePy) -> str:
    """The engine's text report of the state."""
    return state.matrix_txt
