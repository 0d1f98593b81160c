"""Frames of a game state: the text report, and an RGB image of the visible board drawn in
the replay viewer's colours (falling piece and ghost included)."""

from __future__ import annotations

import numpy as np

from corvelle_vim import GameStatePy

from ..bytestate import COLUMNS, ROWS, VISIBLE_ROWS, DecodedState
from ..viewer import CELL_COLOURS, CELL_SIZE, GRID_COLOUR, colour_rgb

__all__ = ["IMAGE_SHAPE", "ansi_frame", "rgb_frame"]

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


def rgb_frame(s: DecodedState) -> np.ndarray:
    """The visible board as a uint8 image of IMAGE_SHAPE, top row first."""
    codes = np.frombuffer(s.cells, dtype=np.uint8).reshape(ROWS, COLUMNS)[VISIBLE_ROWS - 1 :: -1]
    image = _PALETTE[codes].repeat(CELL_SIZE, axis=0).repeat(CELL_SIZE, axis=1)
    image[_BORDER] = _GRID_RGB
    return image


def ansi_frame(state: GameStatePy) -> str:
    """The engine's text report of the state."""
    return state.matrix_txt
