"""Reward options: the shaped preset against a plain reading of the boards, callables on the
single envs, and the native vector env refusing them."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import masked_choice

from corvelle import _batch
from corvelle.bytestate import KINDS, ROWS, decode
from corvelle.envs import KeyEnv, PlacementEnv, PlacementVectorEnv
from corvelle.envs.obs import SHAPE_CELLS

PIECE_REWARD, HOLE_WEIGHT, HEIGHT_WEIGHT, GAME_OVER_PENALTY = 1.0, 0.5, 0.2, 10.0


def settled_features(data: bytes):
    """(holes, height) of a state's board, the falling piece left out while the game runs,
    read in plain numpy from the byte form: free cells below each column's top solid cell, and
    the highest row holding a solid cell (0 for an empty board)."""
    s = decode(data)
    cells = np.frombuffer(s.cells, dtype=np.uint8).reshape(ROWS, 10)
    solid = (cells >= 1) & (cells <= 8)
    piece = s.current_pcs
    if piece is not None and not s.game_over:
        for i, j in SHAPE_CELLS[KINDS.index(piece.kind)][piece.rotation]:
            solid[piece.row + i, piece.column + j] = False
    holes = height = 0
    for x in range(10):
        rows = np.flatnonzero(solid[:, x])
        if len(rows):
            top = rows[-1]
            height = max(height, top)
            holes += int((~solid[:top, x]).sum())
    return holes, height


def shaped(before: bytes, after: bytes) -> float:
    hb, yb = settled_features(before)
    ha, ya = settled_features(after)
    b, a = decode(before), decode(after)
    ended = a.game_over and not b.game_over
    locked = a.current_id != b.current_id and a.last_action in ("HardDrop", "SoftDrop")
    return (
        (a.total_lines - b.total_lines)
        + (PIECE_REWARD if locked and not ended else 0.0)
        - HOLE_WEIGHT * (ha - hb)
        - HEIGHT_WEIGHT * (ya - yb)
        - (GAME_OVER_PENALTY if ended else 0.0)
    )


@pytest.mark.parametrize("make, steps", [(PlacementEnv, 1500), (KeyEnv, 3000)])
def test_shaped_reward_is_lines_plus_potential_change_less_game_over(make, steps):
    env = make(reward="shaped")
    rng = np.random.default_rng(5)
    _, info = env.reset(seed=5)
    before = bytes(env.state)
    seen_lines = seen_over = 0
    for step in range(steps):
        action = masked_choice(rng, info["action_mask"])
        # Placements follow a bot for stretches, so that lines are cleared too.
        if make is PlacementEnv and step % 200 < 150:
            action = (_batch.bot_choices(before, "wordpress") or [action])[0]
        _, reward, terminated, _, info = env.step(action)
        after = bytes(env.state)
        assert reward == pytest.approx(shaped(before, after), abs=1e-9)
        seen_lines += decode(after).total_lines > decode(before).total_lines
        if terminated:
            seen_over += 1
            _, info = env.reset()
            after = bytes(env.state)
        before = after
    assert seen_over and (seen_lines or make is KeyEnv)  # line clears and game-over penalties were checked


def test_step_reward_names_each_kind_and_refuses_others():
    a = PlacementEnv()
    a.reset(seed=1)
    s = bytes(a.state)
    assert [_batch.step_reward(k, s, s) for k in ("score", "lines", "shaped")] == [0.0] * 3
    with pytest.raises(ValueError, match="reward must be 'score', 'lines' or 'shaped'"):
        _batch.step_reward("fun", s, s)
    with pytest.raises(ValueError):
        _batch.step_reward("score", s, b"\x00")


@pytest.mark.parametrize("make", [PlacementEnv, KeyEnv])
def test_a_callable_reward_sees_both_states_and_the_info(make):
    calls = []

    def score_change(before, after, info):
        calls.append(info["invalid_action"])
        return float(after.score - before.score)

    custom, preset = make(reward=score_change), make(reward="score")
    rng = np.random.default_rng(3)
    _, info = custom.reset(seed=3)
    preset.reset(seed=3)
    for _ in range(300):
        action = masked_choice(rng, info["action_mask"])
        refused = np.flatnonzero(info["action_mask"] == 0)
        if len(refused) and rng.random() < 0.1:  # a masked-out action earns 0.0, no call
            action = int(refused[0])
        out, ref = custom.step(action), preset.step(action)
        assert out[1] == ref[1]
        info = out[4]
        if out[2]:
            custom.reset()
            preset.reset()
    assert calls and not any(calls)


def test_the_native_vector_env_refuses_a_callable_reward():
    with pytest.raises(TypeError, match="vectorization_mode='sync'"):
        PlacementVectorEnv(2, reward=lambda b, a, i: 0.0)
    with pytest.raises(ValueError, match="reward must be 'score', 'lines', 'shaped'"):
        PlacementVectorEnv(2, reward="fun")
