"""The `corvelle` command: let a bot play a game, play replay files back, write datasets.

    corvelle play [--bot wordpress|random] [--pieces N] [--seed HEX64] [--start-time T]
                  [--replay FILE] [--html FILE] [--no-progress]
    corvelle replay FILE [--html FILE]
    corvelle datagen --games N --out DIR [--bot wordpress|random] [--workers K]
                     [--ray-address ADDR] [--seed HEX64] [--max-pieces P]
                     [--games-per-shard G] [--no-progress]

Exit status: 0 on success, 1 when a file cannot be read or written (for datagen also when Ray
cannot be reached or a shard fails twice), 2 for bad arguments, a missing extra or a replay
file the engine refuses. Every error is one line on stderr.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import os
import random
import sys
import time
from typing import IO, Any, List, NamedTuple, NoReturn, Optional, Protocol, Sequence, Tuple

import corvelle_vim
from corvelle_vim import GameSeedPy, GameStatePy

from . import datagen, seeded_bot, viewer
from .bytestate import decode
from .replay import (
    FORFEIT,
    GAME_OVER_REASONS,
    KNOCKOUT,
    Recorder,
    Steps,
    game_over_reason,
    load_bytes,
    read_segments,
)

__all__ = ["PlayResult", "main", "play_game"]

PROG = "corvelle"
BOTS = seeded_bot.BOTS
DEFAULT_PIECES = 500
_I64_MIN, _I64_MAX = -(2**63), 2**63 - 1


class _UsageError(Exception):
    """Bad input from the command line or a refused replay file: exit status 2."""


class _FileError(Exception):
    """A file that cannot be read or written: exit status 1."""


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr and exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


class Progress(Protocol):
    def update(self, n: int) -> object: ...

    def close(self) -> object: ...


class _LineProgress:
    """A plain progress line on stderr, for when tqdm is not installed."""

    def __init__(
        self, total: int, stream: IO[str], shown: bool, desc: str = "playing", unit: str = "piece"
    ) -> None:
        self._total = total
        self._done = 0
        self._stream = stream
        self._shown = shown
        self._desc = desc
        self._unit = unit
        self._draw()

    def _draw(self) -> None:
        if self._shown:
            self._stream.write(f"\r{self._desc}: {self._done}/{self._total} {self._unit}s")
            self._stream.flush()

    def update(self, n: int) -> None:
        self._done += n
        self._draw()

    def close(self) -> None:
        if self._shown:
            self._stream.write("\n")
            self._stream.flush()


def _progress(total: int, enabled: bool, desc: str = "playing", unit: str = "piece") -> Progress:
    stream = sys.stderr
    if not enabled:
        return _LineProgress(total, stream, False, desc, unit)
    try:
        tqdm_module: Any = importlib.import_module("tqdm")
    except ImportError:
        return _LineProgress(total, stream, stream.isatty(), desc, unit)
    bar: Progress = tqdm_module.tqdm(
        total=total, unit=unit, desc=desc, file=stream, disable=None, leave=False
    )
    return bar


class PlayResult(NamedTuple):
    """The outcome of `play_game`."""

    final: GameStatePy
    actions: int
    pieces: int
    # Every (action name, state) step in playing order; empty unless asked for.
    steps: Steps


def play_game(
    start: GameStatePy,
    bot: seeded_bot.BotName,
    pieces: int,
    recorder: Optional[Recorder] = None,
    progress: Optional[Progress] = None,
    keep_steps: bool = True,
    rng: Optional[random.Random] = None,
) -> PlayResult:
    """Lets a bot play from `start` until `pieces` pieces are hard-dropped or the game ends.

    The bot's ties are drawn from `rng` by the seeded rule of `corvelle.seeded_bot`; without
    one, from the generator that rule seeds with the game's own 32 seed bytes, so the same
    start always gives the same game. Records each state when a recorder is given; keeps the
    steps when `keep_steps` is set.
    """
    if rng is None:
        rng = seeded_bot.tie_break_rng(decode(bytes(start)).init_seed)
    steps: Steps = []
    state = start
    actions = 0
    dropped = 0
    if pieces > 0:
        for _, move in seeded_bot.moves(start, bot, rng):
            if recorder is not None:
                recorder.record_steps(list(move))
            if keep_steps:
                steps.extend(move)
            actions += len(move)
            state = move[-1][1]
            drops = sum(1 for action, _ in move if action == "HardDrop")
            dropped += drops
            if progress is not None and drops:
                progress.update(drops)
            if dropped >= pieces:
                break
    return PlayResult(state, actions, dropped, steps)


# --------------------------------------------------------------------------------------------
# Argument types
# --------------------------------------------------------------------------------------------


def _seed_bytes(text: str) -> bytes:
    digits = text.strip()
    if len(digits) != 64 or any(c not in "0123456789abcdefABCDEF" for c in digits):
        shown = digits if len(digits) <= 20 else digits[:17] + "..."
        raise argparse.ArgumentTypeError(
            f"expected 64 hexadecimal digits (32 bytes), got {len(digits)} characters: {shown!r}"
        )
    return bytes.fromhex(digits)


def _piece_count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _timestamp(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not _I64_MIN <= value <= _I64_MAX:
        raise argparse.ArgumentTypeError(f"must fit in a signed 64-bit number, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description=(
            "Play and watch games of the corvelle_vim falling-block engine: a built-in bot "
            "plays a game from a seed, replays are saved and played back, a replay can be "
            "turned into a self-contained HTML viewer, and many bot games can be written as a "
            "Parquet dataset."
        ),
        epilog=(
            "Exit status: 0 on success, 1 when a file cannot be read or written (for datagen "
            "also when Ray cannot be reached or a shard fails twice), 2 for bad arguments, a "
            "missing extra or a replay file the engine refuses. "
            "Run 'corvelle COMMAND --help' for the options of a command."
        ),
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    play = commands.add_parser(
        "play",
        help="let a bot play a game and report the result",
        description=(
            "A bot plays a game from a seed until it has dropped the requested number of "
            "pieces or the game is lost. Prints the seed, a progress bar (tqdm if installed), "
            "then the final board report, the score, lines, pieces, actions and the speed."
        ),
        epilog=(
            "The same seed, start time, bot and piece count play the same game every time: "
            "the bot's ties between equally good moves are drawn from a generator seeded "
            "with the game's seed (SHA-256 of 'corvelle.datagen tie-break' and the 32 seed "
            "bytes), the rule 'corvelle datagen' uses. The 'repeat' line printed first is "
            "that command."
        ),
    )
    play.add_argument(
        "--bot",
        choices=BOTS,
        default="wordpress",
        help=f"the bot that plays: 'wordpress' {seeded_bot.BOT_HELP['wordpress']}; 'random' "
        f"{seeded_bot.BOT_HELP['random']} (default: %(default)s)",
    )
    play.add_argument(
        "--pieces",
        type=_piece_count,
        default=DEFAULT_PIECES,
        metavar="N",
        help="stop after N pieces have been hard-dropped, at least 1 (default: %(default)s); "
        "the game may end earlier when the stack reaches the top",
    )
    play.add_argument(
        "--seed",
        type=_seed_bytes,
        metavar="HEX64",
        help="the game's 32 seed bytes as 64 hexadecimal digits (default: a fresh random "
        "seed, printed so the start can be repeated); with --seed the start time is 0 "
        "unless --start-time is given",
    )
    play.add_argument(
        "--start-time",
        type=_timestamp,
        metavar="T",
        help="the game's start time in microseconds since 1970, a signed 64-bit number; it "
        "enters the piece order (default: 0 with --seed, the current time otherwise)",
    )
    play.add_argument(
        "--replay",
        metavar="FILE",
        help="write the game's replay stream to FILE (play it back with 'corvelle replay')",
    )
    play.add_argument(
        "--html",
        metavar="FILE",
        help="write a self-contained HTML viewer of the game to FILE",
    )
    play.add_argument(
        "--no-progress",
        action="store_true",
        help="do not show the progress bar (it is shown only when stderr is a terminal)",
    )

    replay = commands.add_parser(
        "replay",
        help="play a replay file back and summarise it",
        description=(
            "Plays a replay file back through the engine and prints the number of actions "
            "and pieces, the final score and lines, and how the game ended. A file the engine "
            "refuses gets the engine's error text and exit status 2."
        ),
    )
    replay.add_argument("file", metavar="FILE", help="the replay file to play back")
    replay.add_argument(
        "--html",
        metavar="FILE",
        help="write a self-contained HTML viewer of the replayed game to FILE",
    )

    gen = commands.add_parser(
        "datagen",
        help="write bot-played games as a Parquet dataset of transitions",
        description=(
            "A bot plays N games and every action becomes one row (state before, action, "
            "state after, reward, lines, and for the action that ends a move chain the chain "
            "played and the mask of playable chains). The rows go to Parquet shards in DIR "
            "with a manifest.json listing the shards, the seeds and the schema. Games are "
            "played in this process with one worker and as Ray tasks with more. Needs the "
            "data extra: pip install corvelle-vim[data]."
        ),
        epilog=(
            "Game g is seeded from the master seed and g alone, and the bot's ties are broken "
            "by a generator seeded from the game, so the same arguments give the same rows "
            "whatever the number of workers. A shard that fails is tried once more. "
            "Exit status: 0 when every shard was written, 1 when DIR cannot be written, "
            "already holds a dataset, Ray cannot be reached or a shard failed twice, 2 for "
            "bad arguments or a missing extra."
        ),
    )
    gen.add_argument(
        "--bot",
        choices=BOTS,
        default="wordpress",
        help="the board score that chooses each move, as the engine's bot of that name "
        f"scores it: 'wordpress' {seeded_bot.BOT_HELP['wordpress']}; 'random' "
        f"{seeded_bot.BOT_HELP['random']} (default: %(default)s)",
    )
    gen.add_argument(
        "--games", type=_piece_count, required=True, metavar="N", help="games to play"
    )
    gen.add_argument(
        "--out",
        required=True,
        metavar="DIR",
        help="directory for the shards and manifest.json; created if missing, and must not "
        "already hold a dataset",
    )
    gen.add_argument(
        "--workers",
        type=_piece_count,
        metavar="K",
        help="games played at once: 1 plays in this process, more start a local Ray with K "
        "CPUs (default: every core when Ray is installed, else 1; with --ray-address, the "
        "cluster's CPUs)",
    )
    gen.add_argument(
        "--ray-address",
        metavar="ADDR",
        help="join the Ray cluster at ADDR (for instance 'auto' or 'ray://head:10001') "
        "instead of starting a local one",
    )
    gen.add_argument(
        "--seed",
        type=_seed_bytes,
        metavar="HEX64",
        help="the master seed as 64 hexadecimal digits (default: a fresh random seed, printed "
        "so the dataset can be made again)",
    )
    gen.add_argument(
        "--max-pieces",
        type=_piece_count,
        default=datagen.DEFAULT_MAX_PIECES,
        metavar="P",
        help="end each game after P placed pieces, if it is not lost before "
        "(default: %(default)s)",
    )
    gen.add_argument(
        "--games-per-shard",
        type=_piece_count,
        default=datagen.DEFAULT_GAMES_PER_SHARD,
        metavar="G",
        help="games per shard file and per task; part of what defines the shards "
        "(default: %(default)s)",
    )
    gen.add_argument(
        "--no-progress",
        action="store_true",
        help="do not show the progress bar (it is shown only when stderr is a terminal)",
    )
    return parser


# --------------------------------------------------------------------------------------------
# Commands
# --------------------------------------------------------------------------------------------


def _write_viewer(path: str, initial: GameStatePy, steps: Steps, title: str) -> None:
    try:
        viewer.write(path, initial, steps, title)
    except OSError as e:
        raise _FileError(f"cannot write {path}: {e.strerror or e}") from None


def _check_writable(path: str) -> None:
    """Fails early, before the game is played, for an output file that cannot be written."""
    if os.path.isdir(path):
        raise _FileError(f"cannot write {path}: Is a directory")
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise _FileError(f"cannot write {path}: No such directory {parent}")
    if not os.access(parent, os.W_OK):
        raise _FileError(f"cannot write {path}: Permission denied")


def _start_seed(args: argparse.Namespace) -> GameSeedPy:
    seed: Optional[bytes] = args.seed
    start_time: Optional[int] = args.start_time
    if seed is None:
        fresh = corvelle_vim.generate_random_seed()
        if start_time is None:
            return fresh
        return corvelle_vim.generate_seed(start_time, fresh.seed)
    return corvelle_vim.generate_seed(0 if start_time is None else start_time, seed)


def _pieces_of(steps: Sequence[Tuple[str, GameStatePy]]) -> int:
    return sum(1 for action, _ in steps if action == "HardDrop")


def _command_play(args: argparse.Namespace, out: IO[str]) -> int:
    for path in (args.replay, args.html):
        if path is not None:
            _check_writable(path)
    seed = _start_seed(args)
    seed_hex = bytes(seed.seed).hex()
    print(f"seed        {seed_hex}", file=out)
    print(f"start time  {seed.ts}", file=out)
    print(
        f"repeat      corvelle play --seed {seed_hex} --start-time {seed.ts} "
        f"--bot {args.bot} --pieces {args.pieces}",
        file=out,
    )
    out.flush()

    initial = GameStatePy(seed)
    recorder = Recorder(initial)
    bar = _progress(args.pieces, not args.no_progress)
    began = time.perf_counter()
    try:
        result = play_game(
            initial, args.bot, args.pieces, recorder, bar, keep_steps=args.html is not None
        )
    finally:
        bar.close()
    elapsed = time.perf_counter() - began

    final = result.final
    knocked_out = final.game_over
    # A game stopped at the piece count is recorded as given up, so that the replay ends
    # with a game over either way.
    recorder.finish(KNOCKOUT if knocked_out else FORFEIT)
    pieces = result.pieces

    print(final.matrix_txt, file=out)
    print(f"bot         {args.bot}", file=out)
    print(f"score       {final.score}", file=out)
    print(f"lines       {final.total_lines}", file=out)
    print(f"pieces      {pieces}", file=out)
    print(f"actions     {result.actions}", file=out)
    rate = result.actions / elapsed if elapsed > 0 else float("inf")
    piece_rate = pieces / elapsed if elapsed > 0 else float("inf")
    print(
        f"speed       {rate:,.0f} actions/s, {piece_rate:,.0f} pieces/s ({elapsed:.3f} s)",
        file=out,
    )
    print(f"game over   {'yes, knockout' if knocked_out else 'no'}", file=out)

    if args.replay is not None:
        try:
            recorder.save(args.replay)
        except OSError as e:
            raise _FileError(f"cannot write {args.replay}: {e.strerror or e}") from None
        print(f"replay      {args.replay} ({len(recorder)} segments)", file=out)
    if args.html is not None:
        title = f"corvelle: {args.bot} bot, seed {seed_hex[:16]}..."
        _write_viewer(args.html, initial, result.steps, title)
        print(f"viewer      {args.html}", file=out)
    return 0


def _command_replay(args: argparse.Namespace, out: IO[str]) -> int:
    path: str = args.file
    if args.html is not None:
        _check_writable(args.html)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise _FileError(f"cannot read {path}: {e.strerror or e}") from None
    try:
        initial, steps = load_bytes(data)
    except ValueError as e:
        raise _UsageError(f"{path}: {e}") from None
    segments = read_segments(data)
    reason = game_over_reason(segments)
    final = steps[-1][1] if steps else initial
    # The Init segment: variant index, 32 seed bytes, start time.
    init = segments[0].data
    seed_hex = init[4:36].hex()
    start_time = int.from_bytes(init[36:44], "little", signed=True)

    print(f"replay      {path}", file=out)
    print(f"seed        {seed_hex}", file=out)
    print(f"start time  {start_time}", file=out)
    print(f"actions     {len(steps)}", file=out)
    print(f"pieces      {_pieces_of(steps)}", file=out)
    print(f"score       {final.score}", file=out)
    print(f"lines       {final.total_lines}", file=out)
    print(f"knockout    {'yes' if final.game_over else 'no'}", file=out)
    if reason is None:
        recorded = "none"
    elif reason < len(GAME_OVER_REASONS):
        recorded = GAME_OVER_REASONS[reason]
    else:
        recorded = f"reason {reason}"
    print(f"recorded    game over: {recorded}", file=out)
    if args.html is not None:
        _write_viewer(args.html, initial, steps, f"corvelle replay: {os.path.basename(path)}")
        print(f"viewer      {args.html}", file=out)
    return 0


def _command_datagen(args: argparse.Namespace, out: IO[str]) -> int:
    workers: Optional[int] = args.workers
    if workers is None and args.ray_address is None:
        workers = (os.cpu_count() or 1) if importlib.util.find_spec("ray") is not None else 1
    seed: bytes = args.seed if args.seed is not None else os.urandom(32)
    print(f"seed        {seed.hex()}", file=out)
    out.flush()

    bar = _progress(args.games, not args.no_progress, "games", "game")
    shown = 0

    def report(done: int) -> None:
        nonlocal shown
        if done > shown:
            bar.update(done - shown)
            shown = done

    failure: Optional[str] = None
    try:
        result = datagen.generate(
            args.out,
            args.games,
            bot=args.bot,
            seed=seed,
            max_pieces=args.max_pieces,
            workers=workers,
            ray_address=args.ray_address,
            games_per_shard=args.games_per_shard,
            progress=report,
        )
    except datagen.MissingExtraError as e:
        raise _UsageError(str(e)) from None
    except datagen.ShardsFailedError as e:
        result = e.result
        failure = str(e)
    except ConnectionError as e:
        raise _FileError(str(e)) from None
    except OSError as e:
        raise _FileError(f"{args.out}: {e.strerror or e}") from None
    finally:
        bar.close()

    games = max(result.games, 1)
    rate = result.transitions / result.elapsed if result.elapsed > 0 else float("inf")
    where = (
        f"{result.workers} Ray workers, after {result.startup:.1f} s starting Ray"
        if result.used_ray
        else "in this process"
    )
    print(f"bot         {args.bot}", file=out)
    print(f"games       {result.games}", file=out)
    print(f"transitions {result.transitions}", file=out)
    print(f"mean lines  {result.lines / games:.2f} per game", file=out)
    print(f"speed       {rate:,.0f} transitions/s ({result.elapsed:.3f} s, {where})", file=out)
    print(f"shards      {len(result.shards)} in {result.out}", file=out)
    print(f"manifest    {result.manifest}", file=out)
    if failure is not None:
        raise _FileError(failure)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("choose a command: play, replay or datagen")
    out = sys.stdout
    try:
        if args.command == "play":
            return _command_play(args, out)
        if args.command == "datagen":
            return _command_datagen(args, out)
        return _command_replay(args, out)
    except _UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    except _FileError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (for instance `corvelle play | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
