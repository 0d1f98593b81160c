"""The side panel of "rgb_array" frames: the held piece, the next five pieces, score and lines
beside the board."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import random_states

import corvelle_vim
from corvelle.bytestate import KINDS, decode
from corvelle.envs import KeyEnv, PlacementEnv, PlacementVectorEnv
from corvelle.envs.render import IMAGE_SHAPE, PANEL_IMAGE_SHAPE, rgb_frame
from corvelle.viewer import colour_rgb


def kind_runs(panel: np.ndarray) -> list:
    """The kind colours met from top to bottom, one entry per drawn piece (pieces are apart by
    more than three pixel rows; cells of one piece by two at most)."""
    colours = {colour_rgb(k + 1): k for k in range(len(KINDS))}
    runs: list = []
    last_row = -10
    for y in range(panel.shape[0]):
        found = {colours.get(tuple(int(v) for v in px)) for px in panel[y]} - {None}
        if not found:
            continue
        assert len(found) == 1, y
        kind = found.pop()
        if y - last_row > 3:
            runs.append(KINDS[kind])
        last_row = y
    return runs


def test_panel_shows_next_and_hold_and_leaves_the_board_alone():
    states = random_states(5, 2)
    seen_hold = False
    for s in states[::9]:
        d = decode(bytes(s))
        plain, with_panel = rgb_frame(d), rgb_frame(d, panel=True)
        assert plain.shape == IMAGE_SHAPE and with_panel.shape == PANEL_IMAGE_SHAPE
        assert with_panel.dtype == np.uint8
        np.testing.assert_array_equal(with_panel[:, : IMAGE_SHAPE[1]], plain)
        panel = with_panel[:, IMAGE_SHAPE[1] :]
        expected = list(d.next_pcs[:5])
        if d.hold is not None and d.hold.can_use:
            expected.insert(0, d.hold.kind)
            seen_hold = True
        assert kind_runs(panel) == expected
    assert seen_hold


def test_score_and_lines_are_drawn():
    s = corvelle_vim.GameStatePy(corvelle_vim.generate_seed(0, bytes(32)))
    later = s.generate_bot_episode("wordpress", 600)[-1][1]
    assert later.score > 0 and later.total_lines > 0
    a = rgb_frame(decode(bytes(s)), panel=True)[:, IMAGE_SHAPE[1] :]
    b = rgb_frame(decode(bytes(later)), panel=True)[:, IMAGE_SHAPE[1] :]
    # Text pixels (the light text colour) differ in the score and lines rows only.
    text = np.array([0xE5, 0xE9, 0xF0], dtype=np.uint8)
    rows_a = np.flatnonzero((a == text).all(axis=2).any(axis=1))
    rows_b = np.flatnonzero((b == text).all(axis=2).any(axis=1))
    assert len(rows_a) and len(rows_b)
    assert ((a == text).all(axis=2) != (b == text).all(axis=2)).any()


@pytest.mark.parametrize("make", [
    lambda: PlacementEnv(render_mode="rgb_array", render_panel=True),
    lambda: KeyEnv(render_mode="rgb_array", render_panel=True),
])
def test_envs_render_the_panel_when_asked(make):
    env = make()
    env.reset(seed=1)
    assert env.render().shape == PANEL_IMAGE_SHAPE
    vec = PlacementVectorEnv(2, render_mode="rgb_array", render_panel=True)
    vec.reset(seed=1)
    assert all(f.shape == PANEL_IMAGE_SHAPE for f in vec.render())
    plain = PlacementEnv(render_mode="rgb_array")
    plain.reset(seed=1)
    assert plain.render().shape == IMAGE_SHAPE
