"""Datasets made in this process: schema, manifest, rows that replay, faults, repeatability."""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path
from typing import Any, Dict, List

import corvelle_vim
import pytest
from datagen_support import GAMES, GAMES_PER_SHARD, MAX_PIECES, SEED, Dataset, make_dataset, need
from corvelle_vim import GameStatePy

from corvelle.datagen import (
    CHAINS,
    FIELDS,
    FaultPlan,
    MissingExtraError,
    ShardsFailedError,
    arrow_schema,
    chain_mask,
    game_seed,
    generate,
)
from corvelle.datagen._shards import ROW_GROUP_ROWS

AT_LEAST_ONE = "games, max_pieces, games_per_shard and workers must be at least 1"
ACTIONS = ["HardDrop", "SoftDrop", "MoveLeft", "MoveRight", "Hold", "RotateLeft", "RotateRight"]


def _rows(data: Dataset) -> List[Dict[str, Any]]:
    rows: List[Dict[str, Any]] = data.table().to_pylist()
    return rows


class TestFiles:
    def test_shards_and_manifest(self, baseline: Dataset) -> None:
        names = sorted(os.listdir(baseline.out))
        shards = GAMES // GAMES_PER_SHARD
        assert names == ["manifest.json"] + [f"part-{i:05d}.parquet" for i in range(shards)]
        m = baseline.manifest
        assert m["format"] == "corvelle-datagen" and m["format_version"] == 2
        assert m["package"] == "corvelle-vim" and m["version"]
        assert m["complete"] is True and m["failed"] == []
        assert m["master_seed"] == SEED.hex()
        assert (m["bot"], m["games"], m["max_pieces"]) == ("wordpress", GAMES, MAX_PIECES)
        assert [s["first_game"] for s in m["shards"]] == list(range(0, GAMES, GAMES_PER_SHARD))
        assert [(s["file"], s["games"]) for s in m["shards"]] == [
            (f"part-{i:05d}.parquet", GAMES_PER_SHARD) for i in range(shards)
        ]
        for s in m["shards"]:
            assert (baseline.out / s["file"]).stat().st_size == s["bytes"]
            assert baseline.shard(s["file"]).num_rows == s["rows"]
        assert m["written"] == {
            "shards": shards,
            "games": GAMES,
            "transitions": baseline.result.transitions,
            "lines": baseline.result.lines,
        }

    def test_manifest_describes_the_schema(self, baseline: Dataset) -> None:
        schema = arrow_schema()
        described = baseline.manifest["schema"]
        assert [d["name"] for d in described] == schema.names
        for d, field in zip(described, schema):
            assert d["type"] == str(field.type) and d["nullable"] == field.nullable
            assert d["doc"] == field.metadata[b"doc"].decode()

    def test_every_shard_has_the_schema(self, baseline: Dataset) -> None:
        pq = need("pyarrow.parquet")
        for s in baseline.manifest["shards"]:
            schema = pq.read_schema(baseline.out / s["file"])
            assert schema.equals(arrow_schema(), check_metadata=True)

    def test_readable_with_pandas(self, baseline: Dataset) -> None:
        # pandas is not part of the extra: the test runs where it is installed.
        pd = pytest.importorskip("pandas")
        files = [str(baseline.out / s["file"]) for s in baseline.manifest["shards"]]
        frame = pd.read_parquet(files)
        assert list(frame.columns) == [f.name for f in FIELDS]
        assert len(frame) == baseline.result.transitions
        masks = frame["action_mask"].dropna()
        assert len(masks) == frame["chain_index"].notna().sum() and len(masks.iloc[0]) == 96

    def test_result_totals(self, baseline: Dataset) -> None:
        r = baseline.result
        rows = _rows(baseline)
        assert (r.games, r.transitions, r.workers, r.used_ray) == (GAMES, len(rows), 1, False)
        assert r.lines == sum(row["lines"] for row in rows)
        assert r.failed == []


class TestRows:
    def test_games_and_steps_in_order(self, baseline: Dataset) -> None:
        rows = _rows(baseline)
        assert sorted({r["game_id"] for r in rows}) == list(range(GAMES))
        keys = [(r["game_id"], r["step"]) for r in rows]
        assert keys == sorted(keys)
        by_game: Dict[int, List[Dict[str, Any]]] = {}
        for r in rows:
            by_game.setdefault(r["game_id"], []).append(r)
        for game, steps in by_game.items():
            assert [r["step"] for r in steps] == list(range(len(steps)))
            assert sum(r["chain_index"] is not None for r in steps) == MAX_PIECES
            new_game = GameStatePy(corvelle_vim.generate_seed(0, game_seed(SEED, game)))
            assert steps[0]["state"] == bytes(new_game.to_bytes())
            for a, b in zip(steps, steps[1:]):
                assert a["next_state"] == b["state"]

    def test_each_action_applied_to_state_gives_next_state(self, baseline: Dataset) -> None:
        for r in _rows(baseline):
            state = GameStatePy.state_from_bytes(r["state"])
            after = GameStatePy.state_from_bytes(r["next_state"])
            assert bytes(after.to_bytes()) == r["next_state"]
            successors = dict(state.next_actions_and_states)
            assert bytes(successors[r["action"]].to_bytes()) == r["next_state"]
            assert r["action_index"] == ACTIONS.index(r["action"])
            assert r["reward"] == after.score - state.score
            assert r["lines"] == after.total_lines - state.total_lines
            assert r["total_lines"] == after.total_lines
            assert r["game_over"] == after.game_over

    def test_chain_rows(self, baseline: Dataset) -> None:
        rows = _rows(baseline)
        index = {(r["game_id"], r["step"]): r for r in rows}
        placements = 0
        for r in rows:
            fields = [r[k] for k in ("chain_index", "chain_start", "chain_state", "action_mask")]
            if r["chain_index"] is None:
                assert fields == [None] * 4
                continue
            placements += 1
            assert r["action"] == "HardDrop"
            start = index[(r["game_id"], r["chain_start"])]
            assert start["state"] == r["chain_state"]
            chain = [index[(r["game_id"], s)] for s in range(r["chain_start"], r["step"] + 1)]
            assert tuple(c["action"] for c in chain) == CHAINS[r["chain_index"]]
            assert {c["placement"] for c in chain} == {r["placement"]}
            state = GameStatePy.state_from_bytes(r["chain_state"])
            valid = state.get_valid_move_chains()
            assert bytes(r["action_mask"]) == chain_mask(valid)
            assert r["action_mask"][r["chain_index"]]
            reached = [after for names, after in valid if tuple(names) == CHAINS[r["chain_index"]]]
            assert bytes(reached[0].to_bytes()) == r["next_state"]
        assert placements == GAMES * MAX_PIECES

    def test_placement_counts_chains_before(self, baseline: Dataset) -> None:
        for game in (0, GAMES - 1):
            steps = [r for r in _rows(baseline) if r["game_id"] == game]
            done = 0
            for r in steps:
                assert r["placement"] == done
                done += r["chain_index"] is not None


class TestRepeatable:
    def test_rerun_gives_identical_files(self, baseline: Dataset, tmp_path: Path) -> None:
        again = make_dataset(tmp_path / "again", workers=1)
        for s in baseline.manifest["shards"]:
            assert (again.out / s["file"]).read_bytes() == (baseline.out / s["file"]).read_bytes()
        assert again.manifest == baseline.manifest

    def test_shard_size_changes_files_not_rows(self, baseline: Dataset, tmp_path: Path) -> None:
        other = make_dataset(tmp_path / "other", workers=1, games_per_shard=70)
        assert [s["games"] for s in other.manifest["shards"]] == [70, 70, 70, 70, 20]
        assert other.table().equals(baseline.table())

    def test_another_seed_gives_other_games(self, baseline: Dataset, tmp_path: Path) -> None:
        other = make_dataset(tmp_path / "other", seed=bytes(32), games_per_shard=GAMES)
        first = other.table().slice(0, 1).to_pylist()[0]
        assert first["state"] != baseline.table().slice(0, 1).to_pylist()[0]["state"]

    def test_random_bot(self, tmp_path: Path) -> None:
        need("pyarrow")
        out = tmp_path / "random"
        result = generate(str(out), 20, bot="random", seed=SEED, max_pieces=5_000)
        manifest = json.loads((out / "manifest.json").read_text())
        assert manifest["bot"] == "random" and result.games == 20
        table = need("pyarrow.parquet").read_table(out / "part-00000.parquet")
        over = table.column("game_over").to_pylist()
        assert over.count(True) == 20, "random-bot games are lost long before 5000 pieces"

    def test_row_groups_are_bounded(self, tmp_path: Path) -> None:
        pq = need("pyarrow.parquet")
        result = generate(str(tmp_path / "big"), 3, seed=SEED, max_pieces=2_000)
        f = pq.ParquetFile(tmp_path / "big" / "part-00000.parquet")
        assert f.metadata.num_rows == result.transitions > ROW_GROUP_ROWS
        sizes = [f.metadata.row_group(i).num_rows for i in range(f.metadata.num_row_groups)]
        assert max(sizes) <= ROW_GROUP_ROWS and sum(sizes) == result.transitions


class TestFaults:
    def test_failed_attempt_is_retried(self, baseline: Dataset, tmp_path: Path) -> None:
        marker = tmp_path / "fault"
        data = make_dataset(tmp_path / "out", workers=1, fault=FaultPlan(2, str(marker)))
        assert marker.exists()
        assert data.manifest == baseline.manifest
        assert data.table().equals(baseline.table())

    def test_shard_failing_twice_is_left_out(self, baseline: Dataset, tmp_path: Path) -> None:
        marker = tmp_path / "fault"
        out = tmp_path / "out"
        with pytest.raises(ShardsFailedError) as e:
            make_dataset(out, workers=1, fault=FaultPlan(1, str(marker), always=True))
        assert len(marker.read_text().splitlines()) == 2, "one attempt and one retry"
        assert str(e.value) == (
            "1 of 6 shards failed twice (the first holds games 50 to 99): "
            "RuntimeError: injected fault in shard 1"
        )
        manifest = json.loads((out / "manifest.json").read_text())
        assert manifest["complete"] is False
        assert manifest["failed"] == [
            {"shard": 1, "first_game": 50, "games": 50,
             "error": "RuntimeError: injected fault in shard 1"}
        ]
        expected = [s for s in baseline.manifest["shards"] if s["shard"] != 1]
        assert manifest["shards"] == expected
        assert sorted(os.listdir(out)) == sorted([s["file"] for s in expected] + ["manifest.json"])
        assert e.value.result.games == GAMES - GAMES_PER_SHARD

    def test_refuses_a_directory_holding_a_dataset(self, baseline: Dataset) -> None:
        with pytest.raises(FileExistsError) as e:
            generate(str(baseline.out), 1, seed=SEED)
        assert e.value.strerror == (
            "already holds a dataset (manifest.json); choose a new directory or resume it"
        )
        assert e.value.filename == str(baseline.out)

    def test_writes_into_an_existing_empty_directory(self, tmp_path: Path) -> None:
        need("pyarrow")
        result = generate(str(tmp_path), 2, seed=SEED, max_pieces=3)
        assert result.games == 2 and (tmp_path / "part-00000.parquet").exists()


class TestArguments:
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            (dict(games=0), AT_LEAST_ONE),
            (dict(max_pieces=0), AT_LEAST_ONE),
            (dict(games_per_shard=0), AT_LEAST_ONE),
            (dict(workers=0), AT_LEAST_ONE),
            (dict(bot="nobot"), "unknown bot 'nobot': choose one of wordpress, random, beam"),
            (dict(seed=bytes(31)), "seed must be 32 bytes, got 31"),
        ],
    )
    def test_bad_arguments(self, tmp_path: Path, kwargs: Dict[str, Any], message: str) -> None:
        settings: Dict[str, Any] = dict(games=1, seed=SEED)
        settings.update(kwargs)
        with pytest.raises(ValueError) as e:
            generate(str(tmp_path / "out"), **settings)
        assert str(e.value) == message
        assert not (tmp_path / "out").exists()

    def test_without_pyarrow(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        with pytest.raises(MissingExtraError) as e:
            generate(str(tmp_path / "out"), 1, seed=SEED)
        assert str(e.value) == "writing Parquet needs pyarrow: pip install corvelle-vim[data]"

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            (dict(workers=2), "--workers 2 needs Ray: pip install corvelle-vim[data]"),
            (
                dict(ray_address="auto"),
                "joining the Ray cluster at auto needs Ray: pip install corvelle-vim[data]",
            ),
            (dict(use_ray=True), "running on Ray needs Ray: pip install corvelle-vim[data]"),
        ],
    )
    def test_without_ray(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, kwargs: Dict[str, Any], message: str
    ) -> None:
        monkeypatch.setitem(sys.modules, "ray", None)
        with pytest.raises(MissingExtraError) as e:
            generate(str(tmp_path / "out"), 1, seed=SEED, **kwargs)
        assert str(e.value) == message
        assert not (tmp_path / "out").exists()

    def test_one_worker_needs_no_ray(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        need("pyarrow")
        monkeypatch.setitem(sys.modules, "ray", None)
        result = generate(str(tmp_path / "out"), 3, seed=SEED, max_pieces=2, workers=1)
        assert (result.games, result.used_ray) == (3, False)


class TestProgress:
    def test_counts_every_game_once(self, tmp_path: Path) -> None:
        need("pyarrow")
        seen: List[int] = []
        generate(str(tmp_path / "out"), 25, seed=SEED, max_pieces=2, games_per_shard=10,
                 progress=seen.append)
        assert seen == sorted(seen) and seen[-1] == 25
        assert set(range(1, 26)) <= set(seen)
