"""corvelle._batch: the Batch type's surface, its arena, and the mask methods on states of
every kind, decoded ones included."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import struct

import numpy as np
from envs_support import new_game, reference_mask
from helpers import SHAPES
from corvelle_vim import GameStatePy
from gymnasium.utils import seeding

from corvelle import _batch
from corvelle.bytestate import decode
from corvelle.envs.arena import arena_views
from corvelle.envs.obs import SHAPE_CELLS, draw_game_record, stream_words



class TestConstruction:
    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"num_envs": 0}, ValueError, "num_envs must be in 1..1048576, not 0"),
            (
                {"num_envs": 2, "mode": "chess"},
                ValueError,
                "mode must be 'placement', 'keys' or 'all_placements', not 'chess'",
            ),
            (
                {"num_envs": 2, "reward": "fun"},
                ValueError,
                "reward must be 'score', 'lines' or 'shaped', not 'fun'",
            ),
            (
                {"num_envs": 2, "max_episode_steps": -1},
                ValueError,
                "max_episode_steps must be in 0..4294967295, not -1",
            ),
            ({"num_envs": 2, "num_threads": 0}, ValueError, "num_threads must be in 1..64, not 0"),
            ({"num_envs": "3"}, TypeError, None),
        ],
    )
    def test_bad_arguments(self, kwargs, error, message):
        with pytest.raises(error) as e:
            _batch.Batch(**kwargs)
        if message is not None:
            assert str(e.value) == message

    def test_threads_never_exceed_games(self):
        assert _batch.Batch(1, num_threads=2).num_threads == 1
        assert _batch.Batch(8, num_threads=2).num_threads == 2

    @pytest.mark.parametrize("mode, action_nb", [("placement", 96), ("keys", 8)])
    def test_action_count(self, mode, action_nb):
        assert _batch.Batch(3, mode=mode).action_nb == action_nb

    def test_final_type(self):
        with pytest.raises(TypeError):
            type("Sub", (_batch.Batch,), {})


class TestArena:
    EXPECTED = {
        "board": ("b", (5, 20, 10)),
        "piece": ("b", (5, 4)),
        "next": ("b", (5, 5)),
        "hold": ("b", (5, 2)),
        "counters": ("i", (5, 4)),
        "reward": ("d", (5,)),
        "terminated": ("?", (5,)),
        "truncated": ("?", (5,)),
        "invalid": ("?", (5,)),
        "mask": ("b", (5, 96)),
        "seeds": ("B", (5, 40)),
        "use_seed": ("?", (5,)),
        "streams": ("Q", (5, 4)),
        "score": ("i", (5,)),
        "ep_return": ("d", (5,)),
        "ep_length": ("I", (5,)),
        "ep_pieces": ("I", (5,)),
    }

    def test_layout(self):
        layout = _batch.Batch(5).layout
        assert {k: (fmt, shape) for k, (_, fmt, shape) in layout.items()} == self.EXPECTED
        ends = sorted(
            (off, off + np.dtype(fmt).itemsize * int(np.prod(shape)))
            for off, fmt, shape in layout.values()
        )
        for (_, end), (start, _) in zip(ends, ends[1:]):
            assert end <= start
        assert all(off % 64 == 0 for off, _, _ in layout.values())

    def test_buffer_is_writable_bytes_shared_with_views(self):
        b = _batch.Batch(2)
        m = memoryview(b)
        assert m.format == "B" and not m.readonly and m.ndim == 1
        views = arena_views(b)
        views["seeds"][1, 0] = 77
        assert m[b.layout["seeds"][0] + 40] == 77

    def test_views_outlive_the_batch_name(self):
        views = arena_views(_batch.Batch(2))
        views["seeds"][:] = 1
        assert views["seeds"].sum() == 80

    def test_reset_starts_games_from_seed_records(self):
        b = _batch.Batch(2)
        views = arena_views(b)
        views["seeds"][0] = np.frombuffer(bytes(32) + struct.pack("<q", 0), dtype=np.uint8)
        views["seeds"][1] = np.frombuffer(bytes(range(32)) + struct.pack("<q", -5), dtype=np.uint8)
        views["use_seed"][:] = True
        b.reset()
        assert b.state_bytes(0) == bytes(new_game(0, bytes(32)).to_bytes())
        assert b.state_bytes(1) == bytes(new_game(-5, bytes(range(32))).to_bytes())
        assert not views["use_seed"].any()

    @pytest.mark.parametrize("seed", [0, 1, 2**40 + 3])
    def test_games_drawn_from_streams_as_numpy_draws_them(self, seed):
        b = _batch.Batch(1)
        views = arena_views(b)
        rng = seeding.np_random(seed)[0]
        views["streams"][0] = stream_words(rng)
        for _ in range(3):
            b.reset()
            record = draw_game_record(rng)
            ts = int.from_bytes(record[32:], "little")
            assert b.state_bytes(0) == bytes(new_game(ts, record[:32]).to_bytes())
            np.testing.assert_array_equal(views["streams"][0], stream_words(rng))

    def test_reset_which(self):
        b = _batch.Batch(2)
        b.reset()
        before = b.state_bytes(1)
        arena_views(b)["streams"][:] = 9
        b.reset(np.array([True, False]))
        assert b.state_bytes(1) == before
        assert b.state_bytes(0) != before
        with pytest.raises(ValueError, match="which must be a buffer of 2 bytes, not 3"):
            b.reset(np.ones(3, dtype=bool))

    @pytest.mark.parametrize("index", [-1, 2])
    def test_state_bytes_index(self, index):
        with pytest.raises(IndexError, match=f"game index {index} out of range 0..1"):
            _batch.Batch(2).state_bytes(index)


class TestStepArguments:
    @pytest.fixture()
    def batch(self):
        b = _batch.Batch(3)
        b.reset()
        return b

    @pytest.mark.parametrize(
        "dtype", [np.int8, np.uint8, np.int16, np.int32, np.uint32, np.int64, np.uint64]
    )
    def test_integer_dtypes(self, batch, dtype):
        assert batch.step(np.zeros(3, dtype=dtype)) == 0
        assert not arena_views(batch)["invalid"].any()

    @pytest.mark.parametrize(
        "actions, error, message",
        [
            (np.zeros(2, dtype=np.int64), ValueError, "actions must be a 1-D buffer of 3 integers"),
            (
                np.zeros((3, 1), dtype=np.int64),
                ValueError,
                "actions must be a 1-D buffer of 3 integers",
            ),
            (np.array([0, 96, 0]), ValueError, "actions[1] = 96 is out of range 0..95"),
            (np.array([0, 0, -1]), ValueError, "actions[2] = -1 is out of range 0..95"),
            (
                np.array([2**64 - 1, 0, 0], dtype=np.uint64),
                ValueError,
                "actions[0] = 9223372036854775807 is out of range 0..95",
            ),
            (np.zeros(3), TypeError, "actions must hold integers (buffer format 'd')"),
            (np.zeros(3, dtype=bool), TypeError, "actions must hold integers (buffer format '?')"),
            (
                np.zeros(3, dtype=">i4"),
                TypeError,
                "actions must hold integers (buffer format '>i')",
            ),
            ([0, 0, 0], TypeError, None),
        ],
    )
    def test_bad_actions_change_nothing(self, batch, actions, error, message):
        before = [batch.state_bytes(i) for i in range(3)]
        with pytest.raises(error) as e:
            batch.step(actions)
        if message is not None:
            assert str(e.value) == message
        assert [batch.state_bytes(i) for i in range(3)] == before

    def test_strided_actions_refused(self, batch):
        with pytest.raises(ValueError, match="ndarray is not C-contiguous"):
            batch.step(np.zeros(6, dtype=np.int64)[::2])


def _set_cell(raw: bytes, row: int, col: int, code: int) -> bytes:
    at = 8 + 5 * row + col // 2
    old = raw[at]
    byte = (code << 4 | old & 0x0F) if col % 2 == 0 else (old & 0xF0 | code)
    return raw[:at] + bytes([byte]) + raw[at + 1 :]


def _hostile_states():
    """States the batch never plays itself, decoded from altered byte forms, which the mask
    function must still get right."""
    state = new_game(3, bytes(range(32)))
    for k in (40, 3, 17, 50, 2):  # a few placements in, with a piece held
        kept = state.get_valid_move_chains()
        state = kept[k % len(kept)][1]
    raw = bytes(state.to_bytes())
    d = decode(raw)
    assert d.current_pcs is not None and d.hold is not None and not d.game_over
    hold_at = 212 + 13 + 2
    over_at = hold_at + 6
    counters_at = over_at + 1 + 64 + 8
    recv_at = counters_at + 4

    out = {"running": raw}
    # Received garbage still to be inserted: the running seed picks its hole column.
    out["garbage pending"] = (
        raw[:recv_at] + struct.pack("<H", d.garbage_applied + 3) + raw[recv_at + 2 :]
    )
    # The queue read past its first bag, where a lock refills from the running seed.
    out["queue at 7"] = raw[:-1] + bytes([7])
    out["queue at 8"] = raw[:-1] + bytes([8])
    out["queue at 9"] = raw[:-1] + bytes([9])
    # The held piece taken since the last lock.
    out["hold used"] = raw[: hold_at + 1] + b"\x00" + raw[hold_at + 2 :]
    # Another kind held.
    out["I held"] = raw[: hold_at + 2] + b"\x00" + raw[hold_at + 3 :]
    # No held piece.
    out["nothing held"] = raw[:hold_at] + b"\x00" + raw[hold_at + 6 :]
    # The falling piece not drawn on the board.
    p = d.current_pcs
    undrawn = raw
    for i, j in SHAPE_CELLS["ILJTSZO".index(p.kind)][p.rotation]:
        undrawn = _set_cell(undrawn, p.row + i, p.column + j, 0)
    out["piece not drawn"] = undrawn
    # The falling piece moved partly off the board.
    out["piece off the board"] = raw[:214] + bytes([9]) + raw[215:]
    # A full row at the bottom.
    out["full row"] = raw[:8] + bytes([0x88] * 5) + raw[13:]
    # The game over.
    out["over"] = raw[:over_at] + b"\x01\x00\x00\x00\x00" + raw[over_at + 1 :]
    return out


class TestPlacementMask:
    def test_agrees_with_get_valid_move_chains(self, played_states):
        for state in played_states:
            raw = bytes(state.to_bytes())
            expected = bytes(reference_mask(state))
            assert _batch.placement_mask(raw) == expected

    @pytest.mark.parametrize("name", sorted(_hostile_states()))
    def test_decoded_states(self, name):
        raw = _hostile_states()[name]
        state = GameStatePy.state_from_bytes(raw)
        expected = bytes(reference_mask(state))
        assert _batch.placement_mask(raw) == expected

    def test_errors(self):
        with pytest.raises(ValueError, match="io error: unexpected end of file"):
            _batch.placement_mask(b"")
        with pytest.raises(TypeError):
            _batch.placement_mask(bytes(new_game().to_bytes()), "exact")


class TestShapes:
    def test_the_engine_table_is_the_reference_model(self):
        table = _batch.shapes()
        assert len(table) == 4 and all(len(kinds) == 7 for kinds in table)
        for rotation in range(4):
            for k, kind in enumerate("ILJTSZO"):
                size, cells = table[rotation][k]
                assert size == {"I": 4, "O": 2}.get(kind, 3)
                assert cells == SHAPES[(kind, rotation)]
