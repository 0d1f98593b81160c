"""Running a whole dataset: shards in this process or as Ray tasks, files, the manifest, and
resuming a dataset whose job ended early."""

from __future__ import annotations

import contextlib
import errno
import importlib
import json
import logging
import os
import signal
import socket
import sys
import tempfile
import threading
import time
from importlib import metadata
from typing import (
    Any,
    Callable,
    ContextManager,
    Dict,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Set,
    Tuple,
)

from ..seeded_bot import BotName
from ._play import BOTS
from ._shards import (
    FORMAT,
    FORMAT_VERSION,
    Faults,
    MissingExtraError,
    ShardResult,
    arrow_schema,
    build_shard,
    claim_fault,
    fault_plans,
    require_pyarrow,
    schema_description,
)

__all__ = [
    "DEFAULT_GAMES_PER_SHARD",
    "DEFAULT_MAX_PIECES",
    "DEFAULT_RAY_TIMEOUT",
    "MANIFEST",
    "DatagenResult",
    "FailedShard",
    "ShardInfo",
    "ShardsFailedError",
    "generate",
    "read_manifest",
    "require_ray",
    "shard_name",
]

MANIFEST = "manifest.json"
DEFAULT_MAX_PIECES = 500
DEFAULT_GAMES_PER_SHARD = 64
# Attempts at each shard: the first, and one retry.
_ATTEMPTS = 2
# How often the driver looks at progress while Ray tasks run.
_POLL_SECONDS = 0.25
# Seconds allowed for a Ray cluster at a given address to answer before the job gives up.
DEFAULT_RAY_TIMEOUT = 30.0
# Pause between two attempts to reach that cluster.
_PROBE_PAUSE = 1.0

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
    # Shards kept from an earlier run of a resumed job, and the transitions made in this one.
    kept: int = 0
    made: int = 0

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
    """Writes finished shards and keeps the manifest in step with the files on disk: it is
    rewritten after every shard, so it lists every shard file even when the job is killed
    between two shards (up to the instant of a rename)."""

    def __init__(self, out: str, header: Dict[str, object]) -> None:
        self.out = out
        self.header = header
        self.shards: Dict[int, ShardInfo] = {}
        self.failed: Dict[int, FailedShard] = {}

    def add(self, r: ShardResult) -> None:
        name = shard_name(r.shard)
        _write_atomic(os.path.join(self.out, name), r.data)
        self.shards[r.shard] = ShardInfo(
            name, r.shard, r.first_game, r.games, r.rows, r.lines, len(r.data)
        )
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


# The manifest keys that define a dataset: a resumed job must have the same.
_SETTINGS_KEYS = (
    "format",
    "format_version",
    "package",
    "version",
    "bot",
    "bot_rule",
    "master_seed",
    "game_seed",
    "tie_break",
    "games",
    "max_pieces",
    "games_per_shard",
    "schema",
)


def read_manifest(out: str) -> Optional[Dict[str, Any]]:
    """The manifest in `out`, or None when there is none; raises OSError when it cannot be
    read or is not a dataset manifest."""
    path = os.path.join(out, MANIFEST)
    try:
        with open(path, "rb") as f:
            manifest = json.loads(f.read().decode("utf-8"))
    except FileNotFoundError:
        return None
    except (UnicodeDecodeError, ValueError) as e:
        raise OSError(errno.EINVAL, f"{MANIFEST} cannot be read ({e})", out) from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise OSError(errno.EINVAL, f"{MANIFEST} is not a {FORMAT} manifest", out)
    return manifest


def _shard_number(name: str) -> Optional[int]:
    """The number of a shard file's name (`part-00012.parquet` -> 12), else None."""
    if name.startswith("part-") and name.endswith(".parquet"):
        digits = name[len("part-") : -len(".parquet")]
        if digits.isdigit():
            return int(digits)
    return None


def _remove_stale_temporaries(out: str) -> None:
    """Removes the temporary files of writers that died before renaming them (a killed job);
    those of a live process are left alone."""
    for name in os.listdir(out):
        stem, sep, pid = name.rpartition(".tmp-")
        if not (sep and name.startswith(".") and pid.isdigit()):
            continue
        if stem[1:] != MANIFEST and _shard_number(stem[1:]) is None:
            continue
        if int(pid) != os.getpid() and _alive(int(pid)):
            continue
        try:
            os.unlink(os.path.join(out, name))
        except FileNotFoundError:
            pass


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _prepare_out(out: str, resume: bool) -> Optional[Dict[str, Any]]:
    """Makes `out` ready for a job; returns the manifest of the dataset to resume, if any.

    A directory holding shards, or a manifest that lists some, is refused unless resuming.
    A manifest listing none (a job stopped before its first shard) is no dataset yet."""
    os.makedirs(out, exist_ok=True)
    _remove_stale_temporaries(out)
    shards = sorted(n for n in os.listdir(out) if _shard_number(n) is not None)
    manifest = read_manifest(out)
    if not resume:
        if shards or (manifest is not None and manifest.get("shards")):
            raise FileExistsError(
                errno.EEXIST,
                f"already holds a dataset ({MANIFEST if manifest else shards[0]}); choose a "
                "new directory or resume it",
                out,
            )
        return None
    if manifest is None and shards:
        raise FileExistsError(
            errno.EEXIST, f"holds shards ({shards[0]}) but no {MANIFEST}; cannot resume", out
        )
    return manifest


# Settings shown by value when a resumed job's differ; the others are named only.
_SHOWN_SETTINGS = ("version", "bot", "master_seed", "games", "max_pieces", "games_per_shard")


def _check_settings(out: str, old: Dict[str, Any], header: Dict[str, object]) -> None:
    differ = [k for k in _SETTINGS_KEYS if old.get(k) != header[k]]
    if not differ:
        return
    shown = [
        f"{k} {json.dumps(old.get(k))}, not {json.dumps(header[k])}"
        if k in _SHOWN_SETTINGS
        else f"{k} differs"
        for k in differ
    ]
    raise FileExistsError(
        errno.EEXIST,
        f"holds a dataset made with other settings ({'; '.join(shown)}); resume with the "
        "same settings or choose a new directory",
        out,
    )


def _inspect_shard(path: str, p: _Plan) -> Optional[ShardInfo]:
    """A shard file on disk that the manifest does not list (the job ended between its
    rename and the manifest's): its entry when it holds exactly the planned games, else
    None."""
    pq = importlib.import_module("pyarrow.parquet")
    try:
        f = pq.ParquetFile(path)
        if not f.schema_arrow.equals(arrow_schema(), check_metadata=True):
            return None
        table = f.read(columns=["game_id", "lines"])
    except Exception:
        return None
    ids = table.column("game_id").to_pylist()
    if ids != sorted(ids) or sorted(set(ids)) != list(range(p.first_game, p.first_game + p.games)):
        return None
    lines = sum(table.column("lines").to_pylist())
    size = os.path.getsize(path)
    return ShardInfo(shard_name(p.shard), p.shard, p.first_game, p.games, len(ids), lines, size)


def _shards_on_disk(
    out: str, plan: List[_Plan], listed: Dict[int, Dict[str, Any]], known: Dict[int, ShardInfo]
) -> Dict[int, ShardInfo]:
    """The whole shards of `plan` found in `out`, beyond those already `known`: those
    `listed` in a manifest whose file has the listed size, and unlisted ones that hold
    their games. A file that is neither is removed, to be made again."""
    found: Dict[int, ShardInfo] = {}
    for p in plan:
        if p.shard in known:
            continue
        path = os.path.join(out, shard_name(p.shard))
        try:
            size = os.path.getsize(path)
        except FileNotFoundError:
            continue
        entry = listed.get(p.shard)
        info: Optional[ShardInfo] = None
        if entry is not None and entry.get("bytes") == size:
            try:
                info = ShardInfo(**{k: entry[k] for k in ShardInfo._fields})
            except KeyError:
                info = None
        if info is None or (info.file, info.first_game, info.games) != (
            shard_name(p.shard), p.first_game, p.games
        ):
            info = _inspect_shard(path, p)
        if info is None:
            os.unlink(path)
            continue
        found[p.shard] = info
    return found


def _run_here(
    plan: List[_Plan],
    settings: _Settings,
    writer: _Writer,
    progress: Optional[Progress],
    fault: Faults,
    done: int,
) -> None:
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
    """A Ray actor: games finished by each running shard's current attempt. Only progress
    depends on it: the job goes on without it when it dies."""

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
    fault: Faults,
) -> ShardResult:
    def report(n: int) -> None:
        for f in fault_plans(fault):
            if f.board and n == games // 2 and claim_fault(f, shard):
                importlib.import_module("ray").kill(board)
        try:
            board.set.remote(shard, n)
        except Exception:
            pass  # a dead board costs the progress bar its count, not the shard

    report(0)
    return build_shard(shard, first_game, games, master_seed, bot, max_pieces, report, fault)


class _BoardReader:
    """Reads the progress board without ever waiting for it: one query in flight, whose
    answer is taken when it has come; a dead board leaves the last answer standing."""

    def __init__(self, ray: Any, board: Any) -> None:
        self._ray = ray
        self._board = board
        self._query: Any = None
        self.done: Dict[int, int] = {}

    def poll(self) -> Dict[int, int]:
        ray = self._ray
        try:
            if self._query is None:
                self._query = self._board.get.remote()
            ready, _ = ray.wait([self._query], num_returns=1, timeout=0)
            if ready:
                query, self._query = self._query, None
                self.done = ray.get(query)
        except ray.exceptions.RayError:
            self._query = None
        return self.done


def _run_ray(
    ray: Any,
    plan: List[_Plan],
    settings: _Settings,
    writer: _Writer,
    workers: int,
    progress: Optional[Progress],
    fault: Faults,
    done: int,
) -> None:
    task = ray.remote(num_cpus=1, max_retries=_ATTEMPTS - 1, retry_exceptions=True)(_ray_shard)
    board = ray.remote(num_cpus=0, max_restarts=-1)(_ProgressBoard).remote()
    reader = _BoardReader(ray, board)
    queue = list(reversed(plan))
    pending: Dict[Any, _Plan] = {}
    finished = done
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
                partial = reader.poll()
                running = sum(partial.get(p.shard, 0) for p in pending.values())
                total = finished + running
                if total > shown:
                    progress(total)
                    shown = total
    finally:
        # Tasks still running are left alone, not cancelled: cancelling a task whose reply is
        # on its way can abort this process inside Ray's core. A Ray started here is shut
        # down next, with them; elsewhere they end on their own and their shards are
        # dropped; the board ends with the last task that holds it.
        pending.clear()
        del board, reader


def _ray_error_text(e: BaseException) -> str:
    cause = getattr(e, "cause", None)
    if isinstance(cause, BaseException):
        return f"{type(cause).__name__}: {cause}"
    text = str(e).strip().splitlines()
    return f"{type(e).__name__}: {text[0] if text else ''}"


def _first_line(e: BaseException) -> str:
    lines = [line.strip() for line in str(e).strip().splitlines() if line.strip()]
    return lines[0] if lines else type(e).__name__


def _endpoint(ray: Any, address: str) -> Optional[Tuple[str, int]]:
    """The host and port a Ray address leads to (`ray://host:port`, `host:port`, or `auto`
    read as Ray reads it), or None when Ray resolves it some other way."""
    if address == "auto" or (not address.startswith("ray://") and ":" not in address):
        try:
            services = importlib.import_module("ray._private.services")
            resolved = services.canonicalize_bootstrap_address(address)
        except ConnectionError as e:
            raise ConnectionError(
                f"cannot join the Ray cluster at {address}: {_first_line(e)}"
            ) from None
        except Exception:
            return None
        if not isinstance(resolved, str):
            return None
        address = resolved
    if address.startswith("ray://"):
        address = address[len("ray://") :]
    host, sep, port = address.rpartition(":")
    if not sep or not port.isdigit():
        return None
    return host.strip("[]") or "127.0.0.1", int(port)


def _left(deadline: float) -> float:
    return max(deadline - time.monotonic(), 0.01)


def _answers_grpc(host: str, port: int, deadline: float) -> None:
    """Connects to host:port and checks that an HTTP/2 server (as gRPC is) answers the
    connection preface with its settings, by `deadline`; raises OSError otherwise."""
    with socket.create_connection((host, port), timeout=_left(deadline)) as s:
        s.settimeout(_left(deadline))
        s.sendall(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + bytes([0, 0, 0, 4, 0, 0, 0, 0, 0]))
        head = b""
        while len(head) < 9:
            s.settimeout(_left(deadline))
            chunk = s.recv(9 - len(head))
            if not chunk:
                raise OSError(errno.ECONNRESET, "the connection was closed without an answer")
            head += chunk
        if head[3] != 4:
            raise OSError(errno.EPROTO, "the server there does not speak gRPC")


def _wait_for_cluster(ray: Any, address: str, timeout: float) -> None:
    """Returns once a gRPC server answers at the cluster's address; raises ConnectionError
    (one line) when none has within `timeout` seconds. Ray itself keeps trying an address
    that does not answer for many minutes."""
    endpoint = _endpoint(ray, address)
    if endpoint is None:
        return
    host, port = endpoint
    deadline = time.monotonic() + timeout
    tls = os.environ.get("RAY_USE_TLS", "0") not in ("", "0")
    while True:
        try:
            if tls:
                socket.create_connection((host, port), timeout=_left(deadline)).close()
            else:
                _answers_grpc(host, port, deadline)
            return
        except OSError as e:
            reason = e.strerror or str(e) or type(e).__name__
        if time.monotonic() + _PROBE_PAUSE >= deadline:
            raise ConnectionError(
                f"cannot join the Ray cluster at {address}: no answer from {host}:{port} "
                f"within {timeout:g} s ({reason})"
            )
        time.sleep(_PROBE_PAUSE)


@contextlib.contextmanager
def _joining(deadline: float) -> Iterator[None]:
    """The conditions of joining a cluster whose address answered: Ray's attempts to reach
    its GCS are limited to the seconds left until `deadline` (unless set by the user; Ray
    otherwise makes 20 attempts, of up to 40 s each), and what Ray's core logs on this
    process's stderr meanwhile (a line per failed attempt) is dropped, so that a failure
    ends with one line."""
    budget = "RAY_gcs_server_port_wait_time_s"
    added = budget not in os.environ
    if added:
        os.environ[budget] = str(max(1, int(deadline - time.monotonic())))
    saved = -1
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError, AttributeError):
        pass
    try:
        with tempfile.TemporaryFile() as sink:
            if saved >= 0:
                os.dup2(sink.fileno(), 2)
            try:
                yield
            finally:
                if saved >= 0:
                    os.dup2(saved, 2)
    finally:
        if saved >= 0:
            os.close(saved)
        if added:
            os.environ.pop(budget, None)


class _RayHere(NamedTuple):
    """A Ray started or joined by this job: what ending it needs."""

    # The SIGTERM handler to put back afterwards.
    sigterm: Any
    # For a Ray started here, the processes that descended from this one before, and
    # whether this process was already a subreaper (see _subreaper).
    before: Optional[Set[int]]
    subreaper: bool


def _start_ray(
    ray: Any, workers: Optional[int], address: Optional[str], timeout: float
) -> Optional[_RayHere]:
    """Starts a local Ray of `workers` CPUs, or joins the cluster at `address`, unless Ray
    is already running here (then returns None).

    Ray puts its own SIGTERM handlers in place (one that exits, and its core's, which prints
    stack dumps); the handler that was there before is put back, so that a caller's handler
    still runs, or Ray's exit is taken, whichever comes first."""
    if ray.is_initialized():
        return None
    init: Dict[str, Any] = {"log_to_driver": False, "logging_level": logging.ERROR}
    joining: ContextManager[object] = contextlib.nullcontext()
    if address is not None:
        deadline = time.monotonic() + timeout
        _wait_for_cluster(ray, address, timeout)
        init["address"] = address
        joining = _joining(deadline)
    else:
        # "local" starts a new Ray even where another one runs or left its address behind.
        init.update(
            address="local", num_cpus=workers or os.cpu_count() or 1, include_dashboard=False
        )
    main = threading.current_thread() is threading.main_thread()
    previous = signal.getsignal(signal.SIGTERM) if main else None
    if address is None:
        here = _RayHere(previous, _descendants(), _subreaper(True))
    else:
        here = _RayHere(previous, None, True)
    try:
        with joining:
            ray.init(**init)
        if main:
            if previous in (signal.SIG_DFL, None):
                # Ray's exit (its Python handler), rather than its core's stack dumps.
                signal.signal(signal.SIGTERM, signal.getsignal(signal.SIGTERM))
            else:
                signal.signal(signal.SIGTERM, previous)
    except BaseException as e:
        _end_ray(ray, here)
        if not isinstance(e, Exception):
            raise
        where = f"join the Ray cluster at {address}" if address else "start Ray"
        raise ConnectionError(f"cannot {where}: {_first_line(e)}") from e
    return here


def _end_ray(ray: Any, here: _RayHere) -> None:
    """Shuts down a Ray started or joined by this job, also one stopped halfway through its
    start. Of a Ray started here, the processes that outlive the shutdown (agents its raylet
    was starting when the job was interrupted; all it started, when Ray's start was cut
    short) are stopped too: this process is their subreaper meanwhile, so that none of them
    is lost to init when its parent ends first."""
    try:
        ray.shutdown()
    finally:
        try:
            if here.before is not None:
                _stop(_ray_processes(_descendants() - here.before))
                _reap(_descendants() - here.before)
        finally:
            if not here.subreaper:
                _subreaper(False)
            _restore_sigterm(here.sigterm)


def _subreaper(on: bool) -> bool:
    """Makes this process the subreaper of its descendants, or no longer (Linux: orphans
    then become its children instead of init's). Returns whether it was one before."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        was = ctypes.c_int(0)
        libc.prctl(37, ctypes.byref(was), 0, 0, 0)  # PR_GET_CHILD_SUBREAPER
        libc.prctl(36, int(on), 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        return bool(was.value)
    except (OSError, AttributeError):
        return True  # not available here: nothing to undo


def _reap(pids: Set[int]) -> None:
    """Collects the exit of those of `pids` that ended as children of this process (no
    zombies left behind)."""
    for pid in pids:
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass


def _ray_processes(pids: Set[int]) -> Set[int]:
    """Those of `pids` that run Ray (its name is in their command line)."""
    found = set()
    for pid in pids:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"ray" in f.read():
                    found.add(pid)
        except OSError:
            pass
    return found


def _descendants(roots: Optional[Set[int]] = None) -> Set[int]:
    """The processes descending from `roots` (by default, this process), read from /proc
    (none where there is none)."""
    parents: Dict[int, int] = {}
    try:
        names = os.listdir("/proc")
    except OSError:
        return set()
    for name in names:
        stat = _stat(int(name)) if name.isdigit() else None
        if stat is not None:
            parents[int(name)] = int(stat[1])
    found: Set[int] = set()
    frontier = {os.getpid()} if roots is None else set(roots)
    while frontier:
        frontier = {pid for pid, ppid in parents.items() if ppid in frontier} - found
        found |= frontier
    return found


def _stat(pid: int) -> Optional[List[str]]:
    """The fields of /proc/PID/stat after the command name (state, parent, ...), if any."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            text = f.read().decode("ascii", "replace")
    except OSError:
        return None
    return text[text.rindex(")") + 2 :].split()


def _running(pid: int) -> bool:
    stat = _stat(pid)
    return stat is not None and stat[0] not in ("Z", "X")


def _signal(pids: Set[int], sig: int) -> None:
    for pid in pids:
        try:
            os.kill(pid, sig)
        except (ProcessLookupError, PermissionError):
            pass


def _stop(pids: Set[int]) -> None:
    """Kills the processes `pids` and all they started. They are stopped first (SIGSTOP)
    until no new one appears, so that none starts another meanwhile, then killed: a Ray
    process given time to end (SIGTERM) can still start the agents it had planned."""
    tree = set(pids)
    while True:
        _signal(tree, signal.SIGSTOP)
        grown = tree | _descendants(tree)
        if grown == tree:
            break
        tree = grown
    _signal(tree, signal.SIGKILL)
    for _ in range(50):
        tree = {pid for pid in tree if _running(pid)}
        if not tree:
            return
        time.sleep(0.1)


def _restore_sigterm(previous: Any) -> None:
    if previous is not None:
        signal.signal(signal.SIGTERM, previous)


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
    fault: Faults = None,
    resume: bool = False,
    ray_timeout: float = DEFAULT_RAY_TIMEOUT,
) -> DatagenResult:
    """Plays `games` bot games and writes them to `out` as Parquet shards plus a manifest.

    Games are cut into shards of `games_per_shard` consecutive games; the shards depend only
    on the seed, the games and these settings, never on `workers`. With one worker and no Ray
    address the shards are made in this process; otherwise as Ray tasks, on a local Ray of
    `workers` CPUs (started here unless Ray is already running) or on the cluster at
    `ray_address`, which must answer within `ray_timeout` seconds. A shard whose task fails
    is tried once more. Raises ShardsFailedError after writing the manifest when some shards
    failed twice.

    The manifest is rewritten after every shard and when the job ends for any reason
    (an exception, KeyboardInterrupt, SystemExit), and lists every shard file on disk. With
    `resume`, a dataset in `out` made with the same settings (the seed, when not given, is
    taken from its manifest) is continued: whole shards are kept, the others made, and the
    files end up byte for byte those of a job that ran without interruption. Nothing is
    written in `out` before the job has started (Ray reached), so a failed start leaves
    nothing in the way of the next attempt."""
    if bot not in BOTS:
        raise ValueError(f"unknown bot {bot!r}: choose one of {', '.join(BOTS)}")
    if games < 1 or max_pieces < 1 or games_per_shard < 1 or (workers is not None and workers < 1):
        raise ValueError("games, max_pieces, games_per_shard and workers must be at least 1")
    if not ray_timeout > 0:
        raise ValueError(f"ray_timeout must be positive, got {ray_timeout}")
    if seed is not None and len(seed) != 32:
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
    old = _prepare_out(out, resume)
    if seed is None:
        seed = bytes.fromhex(str(old["master_seed"])) if old is not None else os.urandom(32)

    plan = _plan(games, games_per_shard)
    header: Dict[str, object] = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "package": "corvelle-vim",
        "version": _package_version(),
        "bot": bot,
        "bot_rule": _bot_rule(bot),
        "master_seed": seed.hex(),
        "game_seed": "sha256(master_seed || game_id as 8 bytes little-endian), start time 0",
        "tie_break": (
            "random.Random(sha256(b'corvelle.datagen tie-break' || game_seed)), one "
            "randrange(n) per decision with n > 1 tied chains, listed in chain order"
            if bot != "beam"
            else "random.Random(sha256(b'corvelle.datagen tie-break' || game_seed)), one "
            "getrandbits(64) per decision: the search's seed"
        ),
        "games": games,
        "max_pieces": max_pieces,
        "games_per_shard": games_per_shard,
        "schema": schema_description(),
    }
    writer = _Writer(out, header)
    if old is not None:
        _check_settings(out, old, header)
        listed = {
            int(s["shard"]): s
            for s in old.get("shards", [])
            if isinstance(s, dict) and isinstance(s.get("shard"), int)
        }
        writer.shards.update(_shards_on_disk(out, plan, listed, writer.shards))
    todo = [p for p in plan if p.shard not in writer.shards]
    kept = dict(writer.shards)
    done = sum(s.games for s in writer.shards.values())
    if progress is not None and done:
        progress(done)

    settings = _Settings(seed, bot, max_pieces)
    startup = 0.0
    began = time.perf_counter()
    here: Optional[_RayHere] = None
    used = 1
    if not todo:
        ray = None  # a finished dataset: nothing to run, on Ray or here
    if ray is not None:
        here = _start_ray(ray, workers, ray_address, ray_timeout)
    try:
        # The first manifest is written once the job has started: a start that fails
        # (Ray out of reach) leaves the directory as it was.
        writer.write_manifest(complete=False)
        if ray is None:
            _run_here(todo, settings, writer, progress, fault, done)
        else:
            used = workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
            startup = time.perf_counter() - began
            began = time.perf_counter()
            _run_ray(ray, todo, settings, writer, used, progress, fault, done)
        elapsed = time.perf_counter() - began
        writer.write_manifest(complete=True)
    except BaseException:
        _close_manifest(writer, plan)
        raise
    finally:
        if here is not None:
            _end_ray(ray, here)
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
        kept=len(kept),
        made=sum(s.rows for s in shards if s.shard not in kept),
    )
    if result.failed:
        raise ShardsFailedError(result)
    return result


def _bot_rule(bot: str) -> str:
    """How the bot of a dataset chooses its moves, for the manifest."""
    if bot == "beam":
        from ..bots import DEFAULT

        return (
            "corvelle.bots.Beam(width={width}, depth={depth}, weights='default'): a beam "
            "search over every placement (hold included) through the five previews; its "
            "placement's key path is played; SoftDrop when the state has no placement"
        ).format(**DEFAULT)
    return (
        f"the '{bot}' board score of every chain get_valid_move_chains() keeps (chains "
        "that end the game left out); the best score wins, then the fewest actions, then "
        "a draw from the game's tie-break generator; SoftDrop when no chain qualifies"
    )


def _close_manifest(writer: _Writer, plan: List[_Plan]) -> None:
    """The manifest of a job ending early: every shard on disk, including one renamed into
    place just before the end. Its own failure (a full disk) leaves the previous manifest
    and does not hide the error that ended the job."""
    try:
        writer.shards.update(_shards_on_disk(writer.out, plan, {}, writer.shards))
        writer.write_manifest(complete=False)
    except Exception:
        pass
