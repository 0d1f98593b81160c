"""The `corvelle` command: let a bot play a game, play replay files back, write datasets.

    corvelle play [--bot wordpress|random|beam] [--pieces N] [--seed HEX64] [--start-time T]
                  [--replay FILE] [--html FILE] [--no-progress]
    corvelle replay FILE [--html FILE] [--no-strict]   (a replay or a match file)
    corvelle versus [--a BOT] [--b BOT] [--matches N] [--attack engine|guideline]
                    [--delay D] [--max-steps S] [--seed HEX64] [--replay DIR] [--html FILE]
                    [--no-progress]
    corvelle datagen --games N --out DIR [--bot wordpress|random|beam] [--workers K]
                     [--ray-address ADDR] [--ray-timeout S] [--seed HEX64] [--max-pieces P]
                     [--games-per-shard G] [--resume] [--no-progress]
                     [--format parquet|minari] [--dataset-id ID] [--level placement|keys]

Exit status: 0 on success, 1 when a file cannot be read or written (for datagen also when Ray
cannot be reached or a shard fails twice), 2 for bad arguments, a missing extra or a refused
replay file (see 'corvelle replay --help'); datagen ends with 130 on SIGINT and 143 on
SIGTERM. Every error is one line on stderr.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.metadata
import importlib.util
import os
import random
import signal
import stat
import struct
import sys
import threading
import time
from typing import IO, Any, Callable, Dict, List, NamedTuple, NoReturn, Optional, Protocol, Sequence, Tuple, Union

import corvelle_vim
from corvelle_vim import GameSeedPy, GameStatePy

from . import bots, datagen, seeded_bot, tbp, versus, viewer
from ._files import write_whole
from .bytestate import SEGMENT_SIZES, decode
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
# Bytes of a replay stream's segment count.
_COUNT_SIZE = 8


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
    observer: Optional[Callable[[Steps], object]] = None,
) -> PlayResult:
    """Lets a bot play from `start` until `pieces` pieces are hard-dropped or the game ends.

    The bot's ties are drawn from `rng` by the seeded rule of `corvelle.seeded_bot`; without
    one, from the generator that rule seeds with the game's own 32 seed bytes, so the same
    start always gives the same game. Records each state when a recorder is given; keeps the
    steps when `keep_steps` is set; hands each bot move's steps to `observer` when one is given.
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
            if observer is not None:
                observer(list(move))
            actions += len(move)
            state = move[-1][1]
            drops = sum(1 for action, _ in move if action == "HardDrop")
            dropped += drops
            if progress is not None and drops:
                progress.update(drops)
            if dropped >= pieces:
                break
    return PlayResult(state, actions, dropped, steps)


class _Stopped(Exception):
    """Play stopped at a run boundary because an interrupt was asked for."""


class _StopRequest:
    """While entered, SIGINT (Ctrl-C) asks play to stop at the next run boundary instead of
    raising KeyboardInterrupt wherever the program is; a second SIGINT interrupts at once."""

    def __init__(self) -> None:
        self.requested = False
        self._previous: Any = None

    def _handle(self, signum: int, frame: Any) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def __enter__(self) -> _StopRequest:
        try:
            self._previous = signal.signal(signal.SIGINT, self._handle)
        except ValueError:  # not the main thread: interrupts are not ours to catch
            self._previous = None
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


class _Tally:
    """The last state, actions and pieces of a game played run by run."""

    def __init__(self, initial: GameStatePy) -> None:
        self.final = initial
        self.actions = 0
        self.pieces = 0
        # Seconds spent making viewer frames.
        self.framing = 0.0

    def add(self, steps: Steps) -> None:
        if steps:
            self.final = steps[-1][1]
            self.actions += len(steps)
            self.pieces += _pieces_of(steps)


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


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got {text}")
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
            "missing extra or a refused replay file (see 'corvelle replay --help'). "
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
            "then the final board report, the score, lines, pieces, actions and the speed. "
            "Ctrl-C ends the game early: what was played is reported and saved as for a "
            "finished game, and the exit status is 130."
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
        f"{seeded_bot.BOT_HELP['random']}; 'beam' {seeded_bot.BOT_HELP['beam']} "
        "(default: %(default)s)",
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
            "refuses gets the engine's error text and exit status 2, and so does one that "
            "plays back as a different game than it records, holds bytes after its last "
            "segment, is larger than its segment count allows or is not a regular file."
        ),
    )
    replay.add_argument("file", metavar="FILE", help="the replay file to play back")
    replay.add_argument(
        "--html",
        metavar="FILE",
        help="write a self-contained HTML viewer of the replayed game to FILE",
    )
    replay.add_argument(
        "--no-strict",
        action="store_true",
        help="play a replay through even when the playback differs from the recorded game "
        "or bytes follow its last segment (by default such a file is refused with exit "
        "status 2, naming the first differing slice and its fields)",
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
            "DIR/manifest.json lists every shard written, also when the job is stopped; "
            "--resume makes the rest. "
            "Exit status: 0 when every shard was written, 1 when DIR cannot be written, "
            "already holds a dataset (without --resume) or one made with other settings, "
            "Ray cannot be reached or a shard failed twice, 2 for bad arguments or a missing "
            "extra, 130 when interrupted (SIGINT, Ctrl-C), 143 when terminated (SIGTERM)."
        ),
    )
    gen.add_argument(
        "--bot",
        choices=BOTS,
        default="wordpress",
        help="the bot that chooses each move: 'wordpress' "
        f"{seeded_bot.BOT_HELP['wordpress']}; 'random' {seeded_bot.BOT_HELP['random']} (both "
        "as the engine's bot of that name scores the move chains); 'beam' "
        f"{seeded_bot.BOT_HELP['beam']}, its rows also naming each placement's action number "
        "(default: %(default)s)",
    )
    gen.add_argument(
        "--games", type=_piece_count, required=True, metavar="N", help="games to play"
    )
    gen.add_argument(
        "--out",
        required=True,
        metavar="DIR",
        help="directory for the shards and manifest.json; created if missing, and must not "
        "already hold a dataset unless --resume is given",
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
        "--ray-timeout",
        type=_seconds,
        default=datagen.DEFAULT_RAY_TIMEOUT,
        metavar="S",
        help="with --ray-address, give up when the cluster has not answered within S seconds "
        "(default: %(default)g)",
    )
    gen.add_argument(
        "--seed",
        type=_seed_bytes,
        metavar="HEX64",
        help="the master seed as 64 hexadecimal digits (default: a fresh random seed, printed "
        "so the dataset can be made again; with --resume, the dataset's seed)",
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
        "--resume",
        action="store_true",
        help="continue the dataset in DIR (an interrupted or failed job): check that the "
        "settings are the same, keep the shards already written and make the others; "
        "without a dataset in DIR, start one",
    )
    gen.add_argument(
        "--no-progress",
        action="store_true",
        help="do not show the progress bar (it is shown only when stderr is a terminal)",
    )
    gen.add_argument(
        "--format",
        choices=("parquet", "minari"),
        default="parquet",
        help="'minari' also converts the dataset, once whole, into a Minari dataset for "
        "offline RL under MINARI_DATASETS_PATH (needs the minari extra) "
        "(default: %(default)s)",
    )
    gen.add_argument(
        "--dataset-id",
        metavar="ID",
        help="with --format minari, the Minari dataset id "
        "(default: corvelle/LEVEL/BOT-v0, for instance corvelle/placement/wordpress-v0)",
    )
    gen.add_argument(
        "--level",
        choices=tuple(datagen.LEVELS),
        default="placement",
        help="with --format minari, one step per placed piece (corvelle/Placement-v0) or per "
        "engine action (corvelle/Key-v0) (default: %(default)s)",
    )

    tbp_cmd = commands.add_parser(
        "tbp",
        help="run a bot as a bot-protocol bot over standard input and output",
        description=(
            "Runs one of the bots as a bot of the field's bot protocol: newline-delimited JSON "
            "messages on standard input, answers on standard output (info, ready or error, "
            "suggestion). Front-ends and bot rings start it as a subprocess."
        ),
        epilog=(
            "The bot's ties are drawn from a generator seeded with --seed, as 'corvelle play "
            "--seed' seeds them for its game: a game played through the protocol from that "
            "seed places every piece where 'corvelle play' does. A line that is not a JSON "
            "object is reported on stderr and skipped."
        ),
    )
    tbp_cmd.add_argument(
        "--bot",
        choices=BOTS,
        default="wordpress",
        help="; ".join(f"'{name}' {text}" for name, text in seeded_bot.BOT_HELP.items())
        + " (default: %(default)s)",
    )
    tbp_cmd.add_argument(
        "--width", type=int, default=bots.DEFAULT["width"], metavar="W",
        help=f"beam bot: positions kept at each level, 1 to {bots.MAX_WIDTH} (default: %(default)s)",
    )
    tbp_cmd.add_argument(
        "--depth", type=int, default=bots.DEFAULT["depth"], metavar="D",
        help=f"beam bot: placements looked ahead, 1 to {bots.MAX_DEPTH} (default: %(default)s)",
    )
    tbp_cmd.add_argument(
        "--weights", choices=sorted(bots.WEIGHTS), default="default",
        help="beam bot: the weight set (default: %(default)s)",
    )
    tbp_cmd.add_argument(
        "--seed",
        type=_seed_bytes,
        default=bytes(32),
        metavar="HEX64",
        help="seed of the bot's tie-breaks as 64 hexadecimal digits (default: zeros)",
    )

    vs = commands.add_parser(
        "versus",
        help="play two-player matches between bots and report the results",
        description=(
            "Two of the engine's bots play N matches with garbage exchange, one move chain "
            "per step each. Prints the wins of A, the draws and the wins of B with a 95 % "
            "Wilson interval for A's share of the decided matches, and per bot the attack per "
            "piece, attack and pieces per minute of game time, lines sent, cancelled and "
            "received."
        ),
        epilog=(
            "Match i is seeded from the master seed and i alone, and each bot's ties are "
            "broken by a generator seeded from its game, so the same arguments give the same "
            "matches. A match file written with --replay plays back with 'corvelle replay'."
        ),
    )
    player_help = (
        "one of the bots ({bots}) or tbp:COMMAND, a bot of the bot protocol started with "
        "COMMAND (default: %(default)s)"
    ).format(bots=", ".join(BOTS))
    vs.add_argument("--a", type=_player, default="wordpress", metavar="PLAYER", help="player 0: " + player_help)
    vs.add_argument("--b", type=_player, default="random", metavar="PLAYER", help="player 1: " + player_help)
    vs.add_argument(
        "--matches", type=_piece_count, default=10, metavar="N", help="matches to play (default: %(default)s)"
    )
    vs.add_argument(
        "--attack",
        choices=versus.ATTACK_TABLES,
        default="engine",
        help="attack table: 'engine' sends the engine's own combo garbage, 'guideline' the "
        "guideline table of the README (default: %(default)s)",
    )
    vs.add_argument(
        "--delay",
        type=_delay,
        default=0,
        metavar="D",
        help="pieces the receiver locks before garbage sent to it is delivered, 0 to 60 "
        "(default: %(default)s)",
    )
    vs.add_argument(
        "--max-steps",
        type=_piece_count,
        default=10_000,
        metavar="S",
        help="a match still running after S steps is a draw (default: %(default)s)",
    )
    vs.add_argument(
        "--seed",
        type=_seed_bytes,
        metavar="HEX64",
        help="the master seed as 64 hexadecimal digits (default: a fresh random seed, printed)",
    )
    vs.add_argument(
        "--replay",
        metavar="DIR",
        help="write each match as DIR/match_NNNNN.cvm (created if missing)",
    )
    vs.add_argument(
        "--html", metavar="FILE", help="write a two-board HTML viewer of the first match to FILE"
    )
    vs.add_argument(
        "--no-progress",
        action="store_true",
        help="do not show the progress bar (it is shown only when stderr is a terminal)",
    )
    return parser


def _player(text: str) -> str:
    if text in BOTS or (text.startswith("tbp:") and text[4:].strip()):
        return text
    raise argparse.ArgumentTypeError(
        f"must be one of {', '.join(BOTS)} or tbp:COMMAND, not {text!r}"
    )


def _delay(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 0 <= value <= versus.MAX_DELAY:
        raise argparse.ArgumentTypeError(f"must be 0 to {versus.MAX_DELAY}, got {value}")
    return value


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
    # From here on Ctrl-C ends the game at the next run of steps, and what was played is
    # reported and saved as for a game that ended.
    with _StopRequest() as stop:
        return _play(args, out, stop)


def _play(args: argparse.Namespace, out: IO[str], stop: _StopRequest) -> int:
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
    recorder = Recorder(initial) if args.replay is not None else None
    title = f"corvelle: {args.bot} bot, seed {seed_hex[:16]}..."
    # The page's frames go to a temporary file as they are played, so memory stays the same
    # however long the game.
    page = viewer.PageWriter(initial, title) if args.html is not None else None
    played = _Tally(initial)

    def observe(steps: Steps) -> None:
        # Every run of steps goes whole into the replay, the viewer page and the tally, so
        # stopping between runs leaves the three in agreement.
        if recorder is not None:
            recorder.record_steps(steps)
        if page is not None:
            framing = time.perf_counter()
            page.add_steps(steps)
            played.framing += time.perf_counter() - framing
        played.add(steps)
        if stop.requested:
            raise _Stopped

    bar = _progress(args.pieces, not args.no_progress)
    began = time.perf_counter()
    interrupted = False
    try:
        play_game(initial, args.bot, args.pieces, None, bar, False, observer=observe)
    except _Stopped:
        interrupted = True
    except OSError as e:  # the viewer's frames could not be kept
        raise _FileError(f"cannot write {args.html}: {e.strerror or e}") from None
    finally:
        bar.close()
    # The speed is the bot's and the engine's, without the viewer's frames.
    elapsed = time.perf_counter() - began - played.framing

    final = played.final
    knocked_out = final.game_over
    pieces = played.pieces
    print(final.matrix_txt, file=out)
    print(f"bot         {args.bot}", file=out)
    print(f"score       {final.score}", file=out)
    print(f"lines       {final.total_lines}", file=out)
    print(f"pieces      {pieces}", file=out)
    print(f"actions     {played.actions}", file=out)
    rate = played.actions / elapsed if elapsed > 0 else float("inf")
    piece_rate = pieces / elapsed if elapsed > 0 else float("inf")
    print(
        f"speed       {rate:,.0f} actions/s, {piece_rate:,.0f} pieces/s ({elapsed:.3f} s)",
        file=out,
    )
    print(f"game over   {'yes, knockout' if knocked_out else 'no'}", file=out)

    if recorder is not None:
        # A game stopped at the piece count or interrupted is recorded as given up, so that
        # the replay ends with a game over either way.
        recorder.finish(KNOCKOUT if knocked_out else FORFEIT)
        try:
            recorder.save(args.replay)
        except OSError as e:
            raise _FileError(f"cannot write {args.replay}: {e.strerror or e}") from None
        print(f"replay      {args.replay} ({len(recorder)} segments)", file=out)
    if page is not None:
        try:
            page.save(args.html)
        except OSError as e:
            raise _FileError(f"cannot write {args.html}: {e.strerror or e}") from None
        finally:
            page.close()
        print(f"viewer      {args.html}", file=out)
    if interrupted:
        out.flush()
        print(f"{PROG}: interrupted after {pieces} pieces", file=sys.stderr)
        return 130
    return 0


def _read_replay_file(path: str) -> bytes:
    """The bytes of a replay file. Refuses (exit status 2) what is not a regular file and a
    file larger than the segment count in its first 8 bytes allows, before reading the rest."""
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise _FileError(f"cannot read {path}: Is a directory")
        if not stat.S_ISREG(mode):
            raise _UsageError(f"{path}: not a regular file")
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            head = f.read(_COUNT_SIZE)
            # A match file (see corvelle.versus) checks its own streams' sizes.
            if len(head) == _COUNT_SIZE and not head.startswith(versus.MATCH_MAGIC[:_COUNT_SIZE]):
                (count,) = struct.unpack("<Q", head)
                limit = _COUNT_SIZE + count * max(SEGMENT_SIZES)
                if size > limit:
                    raise _UsageError(
                        f"{path}: {size} bytes, more than the {count} segments its header "
                        f"counts can fill ({limit} bytes)"
                    )
            return head + f.read()
    except OSError as e:
        raise _FileError(f"cannot read {path}: {e.strerror or e}") from None
    except MemoryError:
        raise _FileError(f"cannot read {path}: not enough memory") from None


def _command_replay(args: argparse.Namespace, out: IO[str]) -> int:
    path: str = args.file
    if args.html is not None:
        _check_writable(args.html)
    data = _read_replay_file(path)
    if data.startswith(versus.MATCH_MAGIC):
        return _replay_match(path, data, args.html, out)
    try:
        initial, steps = load_bytes(data, strict=not args.no_strict)
    except ValueError as e:
        raise _UsageError(f"{path}: {e}") from None
    except MemoryError:
        raise _FileError(f"cannot play {path} back: not enough memory") from None
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


def _winner_text(winner: object) -> str:
    return "running" if winner is None else "draw" if winner == "draw" else f"player {winner}"


def _print_match_metrics(metrics: Dict[str, Any], names: Sequence[str], out: IO[str]) -> None:
    for name, p in zip(names, metrics["players"]):
        print(
            f"{name:<11} app {p['app']:.3f}  apm {p['apm']:.1f}  ppm {p['ppm']:.1f}  "
            f"sent {p['lines_sent']}  cancelled {p['lines_cancelled']}  "
            f"received {p['lines_received']}  pieces {p['pieces']}",
            file=out,
        )


def _replay_match(path: str, data: bytes, html_path: Optional[str], out: IO[str]) -> int:
    try:
        played = versus.load_match(data)
    except ValueError as e:
        raise _UsageError(f"{path}: {e}") from None
    settings = played.settings
    print(f"match       {path}", file=out)
    print(f"attack      {settings['attack']} (delay {settings['delay']} pieces)", file=out)
    print(f"steps       {settings['steps']}", file=out)
    print(f"winner      {_winner_text(settings['winner'])}", file=out)
    print("checked     both streams replay bit for bit", file=out)
    _print_match_metrics(played.match.metrics(), ("player 0", "player 1"), out)
    if html_path is not None:
        _write_match_viewer(html_path, played, f"corvelle match: {os.path.basename(path)}")
        print(f"viewer      {html_path}", file=out)
    return 0


def _write_match_viewer(path: str, played: "versus.MatchFile", title: str) -> None:
    try:
        viewer.write_match(path, played.frames, title)
    except OSError as e:
        raise _FileError(f"cannot write {path}: {e.strerror or e}") from None


def _package_version() -> str:
    try:
        return importlib.metadata.version("corvelle-vim")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def _command_tbp(args: argparse.Namespace) -> int:
    if args.bot == "beam":
        try:
            bots.Beam(width=args.width, depth=args.depth, weights=args.weights)
        except ValueError as e:
            raise _UsageError(str(e)) from None
    session = tbp.BotSession(
        tbp.engine_chooser(
            args.bot,
            seeded_bot.tie_break_rng(args.seed),
            **({"width": args.width, "depth": args.depth, "weights": args.weights}
               if args.bot == "beam" else {}),
        ),
        name=f"corvelle {args.bot}",
        version=_package_version(),
        depth=args.depth if args.bot == "beam" else 1,
    )
    return tbp.serve(session, sys.stdin, sys.stdout, sys.stderr)


def _command_versus(args: argparse.Namespace, out: IO[str]) -> int:
    if args.html is not None:
        _check_writable(args.html)
    if args.replay is not None:
        try:
            os.makedirs(args.replay, exist_ok=True)
        except OSError as e:
            raise _FileError(f"cannot create {args.replay}: {e.strerror or e}") from None
    seed: bytes = args.seed if args.seed is not None else os.urandom(32)
    print(f"seed        {seed.hex()}", file=out)
    out.flush()
    wins = [0, 0]
    draws = 0
    totals = {k: [0.0, 0.0] for k in ("attack", "pieces", "sent", "cancelled", "received")}
    minutes = 0.0
    first_file: Optional[bytes] = None
    bar = _progress(args.matches, not args.no_progress, "matches", "match")
    frontends: List[tbp.Frontend] = []
    try:
        players: List[Union[str, tbp.TbpPlayer]] = []
        for spec in (args.a, args.b):
            if spec.startswith("tbp:"):
                frontends.append(tbp.Frontend(spec[4:]))
                players.append(tbp.TbpPlayer(frontends[-1]))
            else:
                players.append(spec)
        for i in range(args.matches):
            seed_a, seed_b = versus.match_seeds(seed, i)
            match = versus.play_match(
                players, seed_a, seed_b, attack=args.attack, delay=args.delay,
                max_steps=args.max_steps,
            )
            for frontend in frontends:
                frontend.stop()
            metrics = match.metrics()
            if metrics["winner"] == "draw":
                draws += 1
            else:
                wins[metrics["winner"]] += 1
            minutes += metrics["minutes"]
            for p, m in enumerate(metrics["players"]):
                totals["attack"][p] += m["attack"]
                totals["pieces"][p] += m["pieces"]
                totals["sent"][p] += m["lines_sent"]
                totals["cancelled"][p] += m["lines_cancelled"]
                totals["received"][p] += m["lines_received"]
            if args.replay is not None or (args.html is not None and first_file is None):
                data = match.to_bytes()
                if first_file is None:
                    first_file = data
                if args.replay is not None:
                    target = os.path.join(args.replay, f"match_{i:05d}.cvm")
                    try:
                        write_whole(target, data)
                    except OSError as e:
                        raise _FileError(f"cannot write {target}: {e.strerror or e}") from None
            bar.update(1)
    except tbp.FrontendError as e:
        raise _FileError(f"protocol bot: {e}") from None
    finally:
        bar.close()
        for frontend in frontends:
            frontend.close()
    n = args.matches
    decided = wins[0] + wins[1]
    low, high = versus.wilson_interval(wins[0], decided)
    print(f"a           {args.a}", file=out)
    print(f"b           {args.b}", file=out)
    print(f"attack      {args.attack} (delay {args.delay} pieces)", file=out)
    print(f"matches     {n}", file=out)
    print(f"a wins      {wins[0]}", file=out)
    print(f"draws       {draws}", file=out)
    print(f"b wins      {wins[1]}", file=out)
    print(
        f"a share     {wins[0] / decided if decided else 0.0:.3f} of decided matches, "
        f"95 % interval {low:.3f} to {high:.3f}",
        file=out,
    )
    for p, name in enumerate(("a", "b")):
        pieces = totals["pieces"][p]
        app = totals["attack"][p] / pieces if pieces else 0.0
        apm = totals["attack"][p] / minutes if minutes else 0.0
        ppm = pieces / minutes if minutes else 0.0
        print(
            f"{name + ' metrics':<11} app {app:.3f}  apm {apm:.1f}  ppm {ppm:.1f}  "
            f"sent {totals['sent'][p]:.0f}  cancelled {totals['cancelled'][p]:.0f}  "
            f"received {totals['received'][p]:.0f}  pieces {pieces:.0f}",
            file=out,
        )
    if args.replay is not None:
        print(f"replays     {n} match files in {args.replay}", file=out)
    if args.html is not None and first_file is not None:
        _write_match_viewer(args.html, versus.load_match(first_file), "corvelle versus: match 0")
        print(f"viewer      {args.html}", file=out)
    return 0


class _Termination:
    """SIGTERM ends the datagen command as Ctrl-C does: the handler raises KeyboardInterrupt
    (the one exception Ray's waits pass through whole) and notes that it was SIGTERM."""

    def __init__(self) -> None:
        self.received = False

    def __call__(self, signum: int, frame: object) -> None:
        # A second SIGTERM while the job winds down is ignored, so that it can finish.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        self.received = True
        raise KeyboardInterrupt


def _datagen_stopped(args: argparse.Namespace, how: str, status: int) -> int:
    """The one line of a datagen job that was stopped: what is on disk, how to go on."""
    try:
        manifest = datagen.read_manifest(args.out)
    except OSError:
        manifest = None
    written = (manifest or {}).get("written", {}).get("shards", 0)
    total = -(-args.games // args.games_per_shard)
    print(
        f"{PROG}: {how}: {written} of {total} shards are in {args.out}; "
        "add --resume to the same command to make the rest",
        file=sys.stderr,
    )
    return status


def _command_datagen(args: argparse.Namespace, out: IO[str]) -> int:
    workers: Optional[int] = args.workers
    if workers is None and args.ray_address is None:
        workers = (os.cpu_count() or 1) if importlib.util.find_spec("ray") is not None else 1
    seed: Optional[bytes] = args.seed
    if seed is None and args.resume:
        try:
            manifest = datagen.read_manifest(args.out)
        except OSError as e:
            raise _FileError(f"{args.out}: {e.strerror or e}") from None
        if manifest is not None and isinstance(manifest.get("master_seed"), str):
            try:
                seed = bytes.fromhex(manifest["master_seed"])
            except ValueError:
                raise _FileError(f"{args.out}: {datagen.MANIFEST} holds no valid seed") from None
    if seed is None:
        seed = os.urandom(32)
    print(f"seed        {seed.hex()}", file=out)
    out.flush()

    bar = _progress(args.games, not args.no_progress, "games", "game")
    shown = 0

    def report(done: int) -> None:
        nonlocal shown
        if done > shown:
            bar.update(done - shown)
            shown = done

    # SIGTERM ends the job as Ctrl-C does: the manifest is brought up to date and a local
    # Ray is shut down before the command ends.
    termination = _Termination()
    main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, termination) if main_thread else None
    failure: Optional[str] = None
    stopped: Optional[Tuple[str, int]] = None
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
            resume=args.resume,
            ray_timeout=args.ray_timeout,
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
    except KeyboardInterrupt:
        stopped = ("terminated", 143) if termination.received else ("interrupted", 130)
    except SystemExit as e:
        # Ray's own SIGTERM handler, in place while Ray starts.
        if e.code != signal.SIGTERM:
            raise
        stopped = ("terminated", 143)
    finally:
        bar.close()
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    if stopped is not None:
        return _datagen_stopped(args, *stopped)

    games = max(result.games, 1)
    rate = result.made / result.elapsed if result.elapsed > 0 else float("inf")
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
    kept = f" ({result.kept} kept from before)" if result.kept else ""
    print(f"shards      {len(result.shards)} in {result.out}{kept}", file=out)
    print(f"manifest    {result.manifest}", file=out)
    if failure is not None:
        raise _FileError(failure)
    if args.format == "minari":
        _write_minari(args, out)
    return 0


def _write_minari(args: argparse.Namespace, out: IO[str]) -> None:
    """Converts the finished dataset in args.out into a Minari dataset."""
    dataset_id = args.dataset_id or f"corvelle/{args.level}/{args.bot}-v0"
    try:
        dataset = datagen.to_minari(args.out, dataset_id, level=args.level)
    except datagen.MissingExtraError as e:
        raise _UsageError(str(e)) from None
    except (OSError, ValueError) as e:
        raise _FileError(f"Minari dataset {dataset_id}: {e}") from None
    print(
        f"minari      {dataset_id}: {dataset.total_episodes} episodes, "
        f"{dataset.total_steps} steps in {dataset.spec.data_path}",
        file=out,
    )


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("choose a command: play, replay, datagen, versus or tbp")
    out = sys.stdout
    try:
        if args.command == "play":
            return _command_play(args, out)
        if args.command == "datagen":
            return _command_datagen(args, out)
        if args.command == "versus":
            return _command_versus(args, out)
        if args.command == "tbp":
            return _command_tbp(args)
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
