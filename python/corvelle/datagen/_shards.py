"""The Parquet form of transition rows: the schema, and shards built in memory.

A shard is the rows of a fixed range of games, in game order and step order, built into the
bytes of one Parquet file (zstd-compressed, row groups of at most `ROW_GROUP_ROWS` rows). Shards
are built where the games are played and written to disk by the caller, so a shard file only
ever appears whole.
"""

from __future__ import annotations

import importlib
import os
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from ._play import CHAIN_NB, COLUMNS, GameRows, play_game

__all__ = [
    "FIELDS",
    "FORMAT",
    "FORMAT_VERSION",
    "ROW_GROUP_ROWS",
    "FaultPlan",
    "Faults",
    "MissingExtraError",
    "ShardResult",
    "arrow_schema",
    "build_shard",
    "claim_fault",
    "fault_plans",
    "require_pyarrow",
    "schema_description",
]

FORMAT = "corvelle-datagen"
FORMAT_VERSION = 2
ROW_GROUP_ROWS = 16384


class MissingExtraError(ImportError):
    """A package of the `data` extra is not installed; the message says what to install."""

    def __init__(self, what: str) -> None:
        super().__init__(f"{what}: pip install corvelle-vim[data]")


class Field(NamedTuple):
    name: str
    # The Arrow type, as Arrow prints it.
    type: str
    nullable: bool
    doc: str


FIELDS: Tuple[Field, ...] = (
    Field("game_id", "int64", False, "game number, 0 to games - 1; its seed is in the manifest"),
    Field("step", "int32", False, "this action's number within its game, from 0"),
    Field(
        "placement",
        "int32",
        False,
        "the number of moves (chains, or the beam bot's placements) the game had completed "
        "before this action",
    ),
    Field("state", "binary", False, "byte form of the state before the action (to_bytes)"),
    Field(
        "action",
        "string",
        False,
        "action name: HardDrop, SoftDrop, MoveLeft, MoveRight, Hold, RotateLeft, RotateRight",
    ),
    Field("action_index", "int8", False, "action index 0-7, in the engine's action order"),
    Field("next_state", "binary", False, "byte form of the state after the action"),
    Field("reward", "int64", False, "score after the action minus score before"),
    Field("lines", "int8", False, "lines cleared by this action (0 to 4)"),
    Field("total_lines", "int32", False, "the game's total_lines after the action"),
    Field("game_over", "bool", False, "the game is lost after the action"),
    Field(
        "chain_index",
        "int8",
        True,
        "on the action that ends a chain (its HardDrop): the chain played, an index into "
        "get_all_move_chains() (of two identical chains, the first); null elsewhere",
    ),
    Field(
        "chain_start",
        "int32",
        True,
        "on the action that ends a chain: the step at which the chain began; null elsewhere",
    ),
    Field(
        "chain_state",
        "binary",
        True,
        "on the action that ends a chain: byte form of the state the chain was played from; "
        "null elsewhere",
    ),
    Field(
        "action_mask",
        f"fixed_size_list<element: bool>[{CHAIN_NB}]",
        True,
        f"on the action that ends a chain: {CHAIN_NB} flags, True for the chains "
        "get_valid_move_chains() keeps in chain_state; null elsewhere",
    ),
    Field(
        "placement_action",
        "int32",
        True,
        "bot 'beam', which plays any placement (tucks, spins, hold) rather than a chain: on "
        "the action that ends a placement, its number in the complete placement action "
        "space (corvelle.placement.encode, 0 to ALL_PLACEMENT_ACTION_NB - 1); the chain "
        "fields are then filled as for a chain, chain_index null when the key path is none "
        "of the chains; null elsewhere and for the other bots",
    ),
)
assert tuple(f.name for f in FIELDS) == COLUMNS


def require_pyarrow() -> Any:
    """Returns the pyarrow module; raises ImportError naming the extra to install."""
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        raise MissingExtraError("writing Parquet needs pyarrow") from None


def _mask_type(pa: Any) -> Any:
    # The child is named as Parquet names list elements, so that the schema read back from a
    # file is the schema written.
    return pa.list_(pa.field("element", pa.bool_()), CHAIN_NB)


def arrow_schema() -> Any:
    """The pyarrow schema of the shards' rows (see FIELDS); needs pyarrow."""
    pa = require_pyarrow()
    types = {
        "int8": pa.int8(),
        "int32": pa.int32(),
        "int64": pa.int64(),
        "bool": pa.bool_(),
        "binary": pa.binary(),
        "string": pa.string(),
    }
    fields = []
    for f in FIELDS:
        t = _mask_type(pa) if f.name == "action_mask" else types[f.type]
        fields.append(pa.field(f.name, t, nullable=f.nullable, metadata={"doc": f.doc}))
    return pa.schema(fields, metadata={"format": FORMAT, "format_version": str(FORMAT_VERSION)})


def schema_description() -> List[Dict[str, object]]:
    """The schema as JSON-ready records: name, type, nullable, doc."""
    return [f._asdict() for f in FIELDS]


class FaultPlan(NamedTuple):
    """A fault injected for testing, halfway through the games of shard `shard`.

    Only the first attempt fails: it creates the file `marker`, which lets every later
    attempt (in any process) run normally. With `always`, every attempt fails and appends a
    line to `marker`. With `exit`, the process ends at once instead of raising, as a killed
    worker would. With `signal`, the signal is sent to process `pid` (this process when 0)
    and the shard goes on, as when a user interrupts the job. With `board`, a shard running
    as a Ray task kills the progress board instead."""

    shard: int
    marker: str
    exit: bool = False
    always: bool = False
    signal: int = 0
    pid: int = 0
    board: bool = False


# The faults of a test run: none, one, or several (on different shards).
Faults = Union[None, FaultPlan, Sequence[FaultPlan]]


def fault_plans(faults: Faults) -> Tuple[FaultPlan, ...]:
    if faults is None:
        return ()
    if isinstance(faults, FaultPlan):
        return (faults,)
    return tuple(faults)


def claim_fault(fault: FaultPlan, shard: int) -> bool:
    """Whether this attempt at `shard` is one the fault strikes (recorded in its marker)."""
    if fault.shard != shard:
        return False
    try:
        with open(fault.marker, "a" if fault.always else "x") as f:
            f.write(f"{os.getpid()}\n")
    except FileExistsError:
        return False
    return True


class ShardResult(NamedTuple):
    shard: int
    first_game: int
    games: int
    rows: int
    lines: int
    data: bytes


def _mask_array(pa: Any, masks: List[object]) -> Any:
    """The mask column: each mask's 96 bytes of 0 and 1 as bools, null where there is none."""
    flat = b"".join(m if isinstance(m, bytes) else bytes(CHAIN_NB) for m in masks)
    values = pa.Array.from_buffers(pa.uint8(), len(flat), [None, pa.py_buffer(flat)])
    absent = pa.array([m is None for m in masks], type=pa.bool_())
    return pa.FixedSizeListArray.from_arrays(
        values.cast(pa.bool_()), type=_mask_type(pa), mask=absent
    )


def _table(pa: Any, schema: Any, rows: GameRows) -> Any:
    arrays = []
    for f in schema:
        values = rows.columns[f.name]
        if f.name == "action_mask":
            arrays.append(_mask_array(pa, values))
        else:
            arrays.append(pa.array(values, type=f.type))
    return pa.Table.from_arrays(arrays, schema=schema)


def _check_faults(faults: Faults, shard: int) -> None:
    for fault in fault_plans(faults):
        if fault.board or not claim_fault(fault, shard):
            continue
        if fault.signal:
            os.kill(fault.pid or os.getpid(), fault.signal)
            continue
        if fault.exit:
            os._exit(3)
        raise RuntimeError(f"injected fault in shard {shard}")


def build_shard(
    shard: int,
    first_game: int,
    games: int,
    master_seed: bytes,
    bot: str,
    max_pieces: int,
    progress: Optional[Callable[[int], object]] = None,
    fault: Faults = None,
) -> ShardResult:
    """Plays games `first_game` to `first_game + games - 1` and returns their Parquet shard.

    `progress`, when given, is called with the number of games finished so far in this
    attempt after each game."""
    pa = require_pyarrow()
    pq = importlib.import_module("pyarrow.parquet")
    schema = arrow_schema()
    sink = pa.BufferOutputStream()
    writer = pq.ParquetWriter(
        sink,
        schema,
        compression="zstd",
        use_dictionary=["action"],
        write_statistics=[f.name for f in FIELDS if f.type != "binary" and f.nullable is False]
        + ["chain_index", "chain_start"],
    )
    rows = GameRows()
    total_rows = 0
    try:
        for g in range(games):
            if g == games // 2:
                _check_faults(fault, shard)
            play_game(rows, first_game + g, master_seed, bot, max_pieces)
            if len(rows) >= ROW_GROUP_ROWS or g == games - 1:
                total_rows += len(rows)
                writer.write_table(_table(pa, schema, rows), row_group_size=ROW_GROUP_ROWS)
                rows.clear()
            if progress is not None:
                progress(g + 1)
    finally:
        writer.close()
    return ShardResult(
        shard, first_game, games, total_rows, rows.lines, sink.getvalue().to_pybytes()
    )
