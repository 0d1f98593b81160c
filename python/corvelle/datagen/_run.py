"""Running a whole dataset: shards in this process or as Ray tasks, files, the manifest."""

from __future__ import annotations

import errno
import importlib
import json
import logging
import os
import time
from importlib import metadata
from typing import Any, Callable, Dict, List, NamedTuple, Optional

from ..seeded_bot import BotName
from ._play import BOTS
from ._shards import (
    FORMAT,
    FORMAT_VERSION,
    FaultPlan,
    MissingExtraError,
    ShardResult,
    build_shard,
    require_pyarrow,
    schema_description,
)

__all__ = [
    "DEFAULT_GAMES_PER_SHARD",
    "DEFAULT_MAX_PIECES",
    "MANIFEST",
    "DatagenResult",
    "FailedShard",
    "ShardInfo",
    "ShardsFailedError",
    "generate",
    "require_ray",
    "shard_name",
]

MANIFEST = "manifest.json"
DEFAULT_MAX_PIECES = 500
DEFAULT_GAMES_PER_SHARD = 64
# Attempts at each shard: the first, and one retry.
_ATTEMPTS = 2
# How often the driver looks at progress and rewrites the manifest while shards run.
_POLL_SECONDS = 0.25
_MANIFEST_SECONDS = 5.0

# Progress callback: total games finished so far, across all workers.
Progress = Callable[[int], object]


class ShardInfo(NamedTuple):
    """A shard file written completely: its name, its games and what it holds."""

    file: str
    shard: int
    first_game: int
    games: int
    rows: int
    lines: int
    bytes: int


class FailedShard(NamedTuple):
    """A shard whose every attempt failed: its games and the last attempt's error."""

    shard: int
    first_game: int
    games: int
    error: str


class DatagenResult(NamedTuple):
    out: str
    games: int
    transitions: int
    lines: int
    shards: List[ShardInfo]
    failed: List[FailedShard]
    workers: int
    used_ray: bool
    # Seconds spent making the shards, and before that starting or joining Ray.
    elapsed: float
    startup: float

    @property
    def manifest(self) -> str:
        """The path of the dataset's manifest.json."""
        return os.path.join(self.out, MANIFEST)


def require_ray(what: str = "running on Ray") -> Any:
    """Returns the ray module; raises MissingExtraError naming the extra to install."""
    try:
        return importlib.import_module("ray")
    except ImportError:
        raise MissingExtraError(f"{what} needs Ray") from None


def shard_name(shard: int) -> str:
    """The file name of shard number `shard`: part-00000.parquet, ..."""
    return f"part-{shard:05d}.parquet"


def _package_version() -> str:
    try:
        return metadata.version("corvelle-vim")
    except metadata.PackageNotFoundError:
        return "unknown"


def _write_atomic(path: str, data: bytes) -> None:
    """Writes `data` to a temporary name beside `path`, then renames it to `path`."""
    tmp = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.tmp-{os.getpid()}")
    try:
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


class ShardsFailedError(RuntimeError):
    """Some shards failed on both attempts; the manifest lists the shards that were written."""

    def __init__(self, result: DatagenResult) -> None:
        first = result.failed[0]
        super().__init__(
            f"{len(result.failed)} of {len(result.failed) + len(result.shards)} shards failed "
            f"twice (the first holds games {first.first_game} to "
            f"{first.first_game + first.games - 1}): {first.error}"
        )
        self.result = result


class _Settings(NamedTuple):
    master_seed: bytes
    bot: str
    max_pieces: int


class _Plan(NamedTuple):
    shard: int
    first_game: int
    games: int


def _plan(games: int, games_per_shard: int) -> List[_Plan]:
    return [
        _Plan(i, first, min(games_per_shard, games - first))
        for i, first in enumerate(range(0, games, games_per_shard))
    ]


class _Writer:
    """Writes finished shards and keeps the manifest in step with the files on disk."""

    def __init__(self, out: str, header: Dict[str, object]) -> None:
        self.out = out
        self.header = header
        self.shards: Dict[int, ShardInfo] = {}
        self.failed: Dict[int, FailedShard] = {}
        self._written_at = 0.0

    def add(self, r: ShardResult) -> None:
        name = shard_name(r.shard)
        _write_atomic(os.path.join(self.out, name), r.data)
        self.shards[r.shard] = ShardInfo(
            name, r.shard, r.first_game, r.games, r.rows, r.lines, len(r.data)
        )
        if time.monotonic() - self._written_at >= _MANIFEST_SECONDS:
            self.write_manifest(complete=False)

    def fail(self, p: _Plan, error: str) -> None:
        self.failed[p.shard] = FailedShard(p.shard, p.first_game, p.games, error)

    def shard_list(self) -> List[ShardInfo]:
        return [self.shards[k] for k in sorted(self.shards)]

    def failed_list(self) -> List[FailedShard]:
        return [self.failed[k] for k in sorted(self.failed)]

    def write_manifest(self, complete: bool) -> None:
        shards = self.shard_list()
        manifest = dict(self.header)
        manifest["complete"] = complete and not self.failed
        manifest["written"] = {
            "shards": len(shards),
            "games": sum(s.games for s in shards),
            "transitions": sum(s.rows for s in shards),
            "lines": sum(s.lines for s in shards),
        }
        manifest["shards"] = [s._asdict() for s in shards]
        manifest["failed"] = [f._asdict() for f in self.failed_list()]
        text = json.dumps(manifest, indent=2) + "\n"
        _write_atomic(os.path.join(self.out, MANIFEST), text.encode("utf-8"))
        self._written_at = time.monotonic()


def _prepare_out(out: str) -> None:
    os.makedirs(out, exist_ok=True)
    taken = [
        n
        for n in os.listdir(out)
        if n == MANIFEST or (n.startswith("part-") and n.endswith(".parquet"))
    ]
    if taken:
        raise FileExistsError(
            errno.EEXIST, f"already holds a dataset ({min(taken)}); choose a new directory", out
        )


def _run_here(
    plan: List[_Plan],
    settings: _Settings,
    writer: _Writer,
    progress: Optional[Progress],
    fault: Optional[FaultPlan],
) -> None:
    done = 0
    for p in plan:
        error = ""

        def report(n: int, base: int = done) -> None:
            if progress is not None:
                progress(base + n)

        for _ in range(_ATTEMPTS):
            try:
                result = build_shard(
                    p.shard, p.first_game, p.games, *settings, progress=report, fault=fault
                )
            except Exception as e:
                error = f"{type(e).__name__}: {e}"
                continue
            writer.add(result)
            break
        else:
            writer.fail(p, error)
        done += p.games
        if progress is not None:
            progress(done)


class _ProgressBoard:
    """A Ray actor: games finished by each running shard's current attempt."""

    def __init__(self) -> None:
        self.done: Dict[int, int] = {}

    def set(self, shard: int, games: int) -> None:
        self.done[shard] = games

    def get(self) -> Dict[int, int]:
        return self.done


def _ray_shard(
    shard: int,
    first_game: int,
    games: int,
    master_seed: bytes,
    bot: str,
    max_pieces: int,
    board: Any,
    fault: Optional[FaultPlan],
) -> ShardResult:
    def report(n: int) -> None:
        board.set.remote(shard, n)

    report(0)
    return build_shard(shard, first_game, games, master_seed, bot, max_pieces, report, fault)


def _run_ray(
    ray: Any,
    plan: List[_Plan],
    settings: _Settings,
    writer: _Writer,
    workers: int,
    progress: Optional[Progress],
    fault: Optional[FaultPlan],
) -> None:
    task = ray.remote(num_cpus=1, max_retries=_ATTEMPTS - 1, retry_exceptions=True)(_ray_shard)
    board = ray.remote(num_cpus=0)(_ProgressBoard).remote()
    queue = list(reversed(plan))
    pending: Dict[Any, _Plan] = {}
    finished = 0
    shown = -1
    try:
        while queue or pending:
            while queue and len(pending) < workers:
                p = queue.pop()
                pending[task.remote(p.shard, p.first_game, p.games, *settings, board, fault)] = p
            ready, _ = ray.wait(list(pending), num_returns=1, timeout=_POLL_SECONDS)
            for ref in ready:
                p = pending.pop(ref)
                try:
                    result = ray.get(ref)
                except ray.exceptions.RayError as e:
                    writer.fail(p, _ray_error_text(e))
                else:
                    writer.add(result)
                finished += p.games
            if progress is not None:
                partial = ray.get(board.get.remote())
                running = sum(partial.get(p.shard, 0) for p in pending.values())
                total = finished + running
                if total != shown:
                    progress(total)
                    shown = total
    finally:
        for ref in pending:
            ray.cancel(ref, force=True)
        ray.kill(board)


def _ray_error_text(e: BaseException) -> str:
    cause = getattr(e, "cause", None)
    if isinstance(cause, BaseException):
        return f"{type(cause).__name__}: {cause}"
    text = str(e).strip().splitlines()
    return f"{type(e).__name__}: {text[0] if text else ''}"


def _start_ray(ray: Any, workers: Optional[int], address: Optional[str]) -> bool:
    """Starts a local Ray of `workers` CPUs, or joins the cluster at `address`, unless Ray
    is already running here. Returns whether it was started here."""
    if ray.is_initialized():
        return False
    init: Dict[str, Any] = {"log_to_driver": False, "logging_level": logging.WARNING}
    if address is not None:
        init["address"] = address
    else:
        # "local" starts a new Ray even where another one runs or left its address behind.
        init.update(
            address="local", num_cpus=workers or os.cpu_count() or 1, include_dashboard=False
        )
    try:
        ray.init(**init)
    except Exception as e:
        where = f"join the Ray cluster at {address}" if address else "start Ray"
        raise ConnectionError(f"cannot {where}: {e}") from e
    return True


def generate(
    out: str,
    games: int,
    *,
    bot: BotName = "wordpress",
    seed: Optional[bytes] = None,
    max_pieces: int = DEFAULT_MAX_PIECES,
    workers: Optional[int] = None,
    ray_address: Optional[str] = None,
    use_ray: Optional[bool] = None,
    games_per_shard: int = DEFAULT_GAMES_PER_SHARD,
    progress: Optional[Progress] = None,
    fault: Optional[FaultPlan] = None,
) -> DatagenResult:
    """Plays `games` bot games and writes them to `out` as Parquet shards plus a manifest.

    Games are cut into shards of `games_per_shard` consecutive games; the shards depend only
    on the seed, the games and these settings, never on `workers`. With one worker and no Ray
    address the shards are made in this process; otherwise as Ray tasks, on a local Ray of
    `workers` CPUs (started here unless Ray is already running) or on the cluster at
    `ray_address`. A shard whose task fails is tried once more. Raises ShardsFailedError
    after writing the manifest when some shards failed twice."""
    if bot not in BOTS:
        raise ValueError(f"unknown bot {bot!r}: choose one of {', '.join(BOTS)}")
    if games < 1 or max_pieces < 1 or games_per_shard < 1 or (workers is not None and workers < 1):
        raise ValueError("games, max_pieces, games_per_shard and workers must be at least 1")
    if seed is None:
        seed = os.urandom(32)
    if len(seed) != 32:
        raise ValueError(f"seed must be 32 bytes, got {len(seed)}")
    if use_ray is None:
        use_ray = (workers is not None and workers > 1) or ray_address is not None
    ray = None
    if use_ray:
        if ray_address is not None:
            ray = require_ray(f"joining the Ray cluster at {ray_address}")
        else:
            asked = f"--workers {workers}" if workers and workers > 1 else "running on Ray"
            ray = require_ray(asked)
    require_pyarrow()
    _prepare_out(out)

    plan = _plan(games, games_per_shard)
    header: Dict[str, object] = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "package": "corvelle-vim",
        "version": _package_version(),
        "bot": bot,
        "bot_rule": (
            f"the '{bot}' board score of every chain get_valid_move_chains() keeps (chains "
            "that end the game left out); the best score wins, then the fewest actions, then "
            "a draw from the game's tie-break generator; SoftDrop when no chain qualifies"
        ),
        "master_seed": seed.hex(),
        "game_seed": "sha256(master_seed || game_id as 8 bytes little-endian), start time 0",
        "tie_break": (
            "random.Random(sha256(b'corvelle.datagen tie-break' || game_seed)), one "
            "randrange(n) per decision with n > 1 tied chains, listed in chain order"
        ),
        "games": games,
        "max_pieces": max_pieces,
        "games_per_shard": games_per_shard,
        "schema": schema_description(),
    }
    writer = _Writer(out, header)
    writer.write_manifest(complete=False)
    settings = _Settings(seed, bot, max_pieces)
    startup = 0.0
    if ray is None:
        began = time.perf_counter()
        _run_here(plan, settings, writer, progress, fault)
        elapsed = time.perf_counter() - began
        used = 1
    else:
        began = time.perf_counter()
        started = _start_ray(ray, workers, ray_address)
        try:
            used = workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
            startup = time.perf_counter() - began
            began = time.perf_counter()
            _run_ray(ray, plan, settings, writer, used, progress, fault)
            elapsed = time.perf_counter() - began
        finally:
            if started:
                ray.shutdown()
    writer.write_manifest(complete=True)
    shards = writer.shard_list()
    result = DatagenResult(
        out=out,
        games=sum(s.games for s in shards),
        transitions=sum(s.rows for s in shards),
        lines=sum(s.lines for s in shards),
        shards=shards,
        failed=writer.failed_list(),
        workers=used,
        used_ray=ray is not None,
        elapsed=elapsed,
        startup=startup,
    )
    if result.failed:
        raise ShardsFailedError(result)
    return result
