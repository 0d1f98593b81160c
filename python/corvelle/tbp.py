"""The bot protocol of the field (newline-delimited JSON over standard input and output), both
ways: `serve` runs one of our bots as a protocol bot (`corvelle tbp`), and `Frontend` runs any
protocol bot as a subprocess and plays it in our engine.

Locations. The protocol names a placement by its kind, orientation (north, east, south, west:
our rotations 0 to 3) and the board cell (x = column, y = row, y = 0 the bottom row) of the
piece's centre under its rotation system. Our shapes turn about the same centres, so the
centre is one fixed cell of each kind's grid per rotation (`CENTRES`); our placements name
the cell of the grid's row 0, column 0, and the two differ by that cell.

Spins. A lock of ours scores one of four spin kinds (`corvelle.placement.Spin`): "none",
"mini" and "full" are the protocol's own; "spin" (a piece other than T that needed a kick) is
sent as "full". A hold inserts the garbage waiting for the player before the held piece
enters (a bot of the protocol cannot know that garbage): the front-end reads a bot's hold move
as meant on the stack the bot was given, so it lifts the location by that garbage. A suggested move whose location is reachable but whose spin no path gives is
played at that location with the spin a path gives: the rules differ from bot to bot in what
they call a spin, and the location is what the move places.

Messages handled by the bot side: `rules` (answered `ready`; `error` with reason
"unsupported_rules" for a randomizer other than "seven_bag" or "general"), `start`, `suggest`
(answered `suggestion`), `play`, `new_piece`, `stop` and `quit`. Unknown messages and fields
are ignored; a line that is not a JSON object gets one line on standard error and is skipped.
"""

from __future__ import annotations

import json
import queue as queue_module
import random
import shlex
import subprocess
import sys
import threading
from typing import IO, Any, Callable, Dict, FrozenSet, List, Optional, Sequence, Tuple, Union

from corvelle_vim import GameStatePy

from . import _batch, bytestate, seeded_bot
from .placement import KINDS, Placement, placements

__all__ = [
    "CENTRES",
    "ORIENTATIONS",
    "BotSession",
    "Frontend",
    "FrontendError",
    "GameResult",
    "TbpPlayer",
    "engine_chooser",
    "grid_origin",
    "location",
    "serve",
]

ORIENTATIONS = ("north", "east", "south", "west")

# The cell (row, column) of each kind's grid that is the protocol's centre, by rotation.
_THREE = ((1, 1),) * 4
CENTRES: Dict[str, Tuple[Tuple[int, int], ...]] = {
    "I": ((2, 1), (2, 2), (1, 2), (1, 1)),
    "O": ((0, 0), (1, 0), (1, 1), (0, 1)),
    "L": _THREE,
    "J": _THREE,
    "T": _THREE,
    "S": _THREE,
    "Z": _THREE,
}

# The engine's shapes: [rotation][kind index] -> (grid size, covered (row, column) cells).
_SHAPES = _batch.shapes()
_PROTOCOL_SPIN = {"none": "none", "mini": "mini", "spin": "full", "full": "full"}
_RANDOMIZERS = ("seven_bag", "general")
_CELL_CODES: Dict[Optional[str], int] = {
    None: 0, "G": bytestate.CELL_GARBAGE, **{k: i + 1 for i, k in enumerate(KINDS)}
}
_CELL_NAMES = {code: name for name, code in _CELL_CODES.items()}


def _is_kind(value: Any) -> bool:
    return isinstance(value, str) and len(value) == 1 and value in KINDS


def location(kind: str, rotation: int, row: int, column: int) -> Dict[str, Any]:
    """The protocol's location of a piece whose grid cell (0, 0) lies on (row, column)."""
    centre_row, centre_column = CENTRES[kind][rotation]
    return {
        "type": kind,
        "orientation": ORIENTATIONS[rotation],
        "x": column + centre_column,
        "y": row + centre_row,
    }


def grid_origin(loc: Dict[str, Any]) -> Tuple[str, int, int, int]:
    """(kind, rotation, row, column) of a protocol location; ValueError when malformed."""
    try:
        kind, orientation, x, y = loc["type"], loc["orientation"], loc["x"], loc["y"]
    except (KeyError, TypeError):
        raise ValueError(f"a location has type, orientation, x and y: {loc!r}") from None
    if kind not in CENTRES or orientation not in ORIENTATIONS:
        raise ValueError(f"unknown piece type or orientation in {loc!r}")
    if not (isinstance(x, int) and isinstance(y, int)) or isinstance(x, bool) or isinstance(y, bool):
        raise ValueError(f"x and y of a location are integers: {loc!r}")
    rotation = ORIENTATIONS.index(orientation)
    centre_row, centre_column = CENTRES[kind][rotation]
    return kind, rotation, y - centre_row, x - centre_column


def _cells(kind: str, rotation: int, row: int, column: int) -> FrozenSet[Tuple[int, int]]:
    """The board cells a piece covers. Placements are told apart by their cells: some kinds
    cover the same cells in two rotations, and the placement search keeps one of them."""
    shape = _SHAPES[rotation][KINDS.index(kind)][1]
    return frozenset((row + i, column + j) for i, j in shape)


def move_of(placement: Placement) -> Dict[str, Any]:
    """The protocol's move for one of our placements."""
    return {
        "location": location(placement.kind, placement.rotation, placement.row, placement.column),
        "spin": _PROTOCOL_SPIN[placement.spin],
    }


def find_placement(state: GameStatePy, move: Any) -> Optional[Placement]:
    """Our placement that makes the protocol move `move` on `state`: the same kind, hold and
    cells, with the same spin where a path gives it. None when no path reaches the location
    or the move is malformed."""
    try:
        kind, rotation, row, column = grid_origin(move["location"])
    except (ValueError, TypeError, KeyError):
        return None
    spin = move.get("spin", "none") if isinstance(move, dict) else "none"
    current = state.current_pcs[0] if state.current_pcs is not None else None
    d = bytestate.decode(bytes(state))
    # Hold inserts the garbage waiting for the player before the held piece comes in, which
    # a protocol bot does not know about: its hold moves are meant on the stack as it stands,
    # which that garbage lifts.
    lift = (d.garbage_recv - d.garbage_applied) & 0xFFFF
    target = _cells(kind, rotation, row, column)
    found = [
        p
        for p in placements(state, hold=True)
        if p.kind == kind
        and _cells(p.kind, p.rotation, p.row - (lift if p.hold else 0), p.column) == target
        # The same kind held and falling: play it without the hold.
        and not (p.hold and kind == current)
    ]
    for p in found:
        if _PROTOCOL_SPIN[p.spin] == spin:
            return p
    return found[0] if found else None


# ---- The bot side ---------------------------------------------------------------------------

# Chooses the moves to suggest on a state, best first.
Chooser = Callable[[GameStatePy], List[Placement]]


def engine_chooser(bot: str, rng: random.Random, **settings: Any) -> Chooser:
    """The bot `bot` ("wordpress", "random" or "beam") as a chooser: the placement its chain
    locks, or the beam bot's placement, with ties (the beam bot's seed) drawn from `rng` by
    the seeded rule of `corvelle.seeded_bot`. `settings` (width, depth, weights) go to the
    beam bot."""
    if bot not in seeded_bot.BOTS:
        raise ValueError(f"bot must be one of {', '.join(seeded_bot.BOTS)}, not {bot!r}")
    chains = GameStatePy.get_all_move_chains()

    def choose(state: GameStatePy) -> List[Placement]:
        origin = bytes(state)
        if bot == "beam":
            placement = seeded_bot.choose_placement(origin, rng, **settings)
            return [] if placement is None else [placement]
        chain = seeded_bot.choose_chain(origin, bot, rng)
        if chain is None:
            return []
        return [_lock_of(state, origin, tuple(chains[chain]))]

    return choose


def _lock_of(state: GameStatePy, origin: bytes, keys: Tuple[str, ...]) -> Placement:
    """The placement the key path `keys` (ending with a hard drop) locks."""
    before = bytestate.decode(_batch.play_keys(origin, keys[:-1]))
    piece = before.current_pcs
    assert piece is not None
    rotation = piece.rotation
    shape = _SHAPES[rotation][KINDS.index(piece.kind)][1]
    own = {(piece.row + i, piece.column + j) for i, j in shape}

    def fits(row: int) -> bool:
        for i, j in shape:
            r, c = row + i, piece.column + j
            if r < 0 or ((r, c) not in own and 0 < before.cell(r, c) <= bytestate.CELL_GARBAGE):
                return False
        return True

    row = piece.row
    while fits(row - 1):
        row -= 1
    spin = "none"
    if row == piece.row:
        spin = {(True, True): "full", (False, True): "mini", (True, False): "spin"}.get(
            (before.is_t_spin, before.is_t_mini_spin), "none"
        )
    hold = "Hold" in keys
    target = _cells(piece.kind, rotation, row, piece.column)
    for p in placements(state, hold=hold):
        if p.hold == hold and p.spin == spin and _cells(p.kind, p.rotation, p.row, p.column) == target:
            return p
    raise RuntimeError(f"the bot's keys {keys} lock nowhere the placement search reaches")


class BotSession:
    """One protocol bot's state between messages: the position the front-end gave it and
    what has been played since. `handle(message)` returns the messages to answer with."""

    def __init__(
        self, chooser: Chooser, *, name: str = "corvelle", version: str = "", depth: int = 1
    ) -> None:
        self.chooser = chooser
        self.depth = depth
        self.name = name
        self.version = version
        self.running = False
        self.board: bytearray = bytearray(bytestate.ROWS * bytestate.COLUMNS)
        self.queue: List[str] = []
        self.hold: Optional[str] = None
        self.combo = 0
        self.back_to_back = False

    def info(self) -> Dict[str, Any]:
        return {
            "type": "info",
            "name": self.name,
            "version": self.version,
            "author": "corvelle developers",
            "features": [],
        }

    def handle(self, message: Dict[str, Any]) -> List[Dict[str, Any]]:
        kind = message.get("type")
        if kind == "rules":
            randomizer = message.get("randomizer", "seven_bag")
            if randomizer not in _RANDOMIZERS:
                return [{"type": "error", "reason": "unsupported_rules"}]
            return [{"type": "ready"}]
        if kind == "start":
            self._start(message)
        elif kind == "stop":
            self.running = False
        elif kind == "new_piece":
            piece = message.get("piece")
            if isinstance(piece, str) and _is_kind(piece):
                self.queue.append(piece)
        elif kind == "suggest":
            return [self._suggest()]
        elif kind == "play":
            self._play(message.get("move"))
        return []

    def _start(self, message: Dict[str, Any]) -> None:
        board = message.get("board")
        rows = bytestate.ROWS
        if not (isinstance(board, list) and len(board) == rows and all(
            isinstance(r, list) and len(r) == bytestate.COLUMNS for r in board
        )):
            raise ValueError(f"start: board must be {rows} rows of {bytestate.COLUMNS} cells")
        cells = bytearray()
        for row in board:
            for cell in row:
                if not (cell is None or isinstance(cell, str)) or cell not in _CELL_CODES:
                    raise ValueError(f"start: unknown cell {cell!r}")
                cells.append(_CELL_CODES[cell])
        pieces = message.get("queue", [])
        hold = message.get("hold")
        if not isinstance(pieces, list) or not all(_is_kind(p) for p in pieces):
            raise ValueError("start: queue must be a list of piece letters")
        if hold is not None and not _is_kind(hold):
            raise ValueError(f"start: unknown hold piece {hold!r}")
        combo, b2b = message.get("combo", 0), message.get("back_to_back", False)
        if not isinstance(combo, int) or isinstance(combo, bool) or combo < 0:
            raise ValueError(f"start: combo must be a count, not {combo!r}")
        self.board, self.queue, self.hold = cells, list(pieces), hold
        self.combo, self.back_to_back = combo, bool(b2b)
        self.running = True

    def state(self) -> Optional[GameStatePy]:
        """Our state for the position, or None when it cannot be played (no piece known, or
        the piece's spawn cells are taken)."""
        if not self.queue:
            return None
        try:
            raw = bytestate.encode_position(
                self.board,
                self.queue[0],
                "".join(self.queue[1:]),
                self.hold,
                combo_counter=min(self.combo, 128) - 1,
                is_b2b=self.back_to_back,
            )
        except ValueError:
            return None
        return GameStatePy.state_from_bytes(raw)

    def _suggest(self) -> Dict[str, Any]:
        state = self.state() if self.running else None
        chosen = self.chooser(state) if state is not None else []
        # nodes: the placements of the position itself, each of which the bot weighs.
        nodes = len(placements(state)) if state is not None else 0
        return {
            "type": "suggestion",
            "moves": [move_of(p) for p in chosen],
            "move_info": {"nodes": nodes, "depth": self.depth},
        }

    def _play(self, move: Any) -> None:
        state = self.state() if self.running else None
        placement = find_placement(state, move) if state is not None else None
        if state is None or placement is None:
            raise ValueError(f"play: no path places {move!r}")
        after = bytestate.decode(_batch.play_keys(bytes(state), placement.keys))
        # The board after the lock, without the next piece the engine drew.
        board = bytearray(after.cells)
        if after.current_pcs is not None and not after.game_over:
            piece = after.current_pcs
            for i, j in _SHAPES[piece.rotation][KINDS.index(piece.kind)][1]:
                board[(piece.row + i) * bytestate.COLUMNS + piece.column + j] = 0
        self.board = bytearray(0 if c == bytestate.CELL_GHOST else c for c in board)
        if placement.hold and self.hold is None:
            # The falling piece goes to hold and the next one is played.
            self.hold, self.queue = self.queue[0], self.queue[2:]
        elif placement.hold:
            self.hold, self.queue = self.queue[0], self.queue[1:]
        else:
            self.queue = self.queue[1:]
        self.combo = after.combo_counter + 1
        self.back_to_back = after.is_b2b


def serve(session: BotSession, stdin: IO[str], stdout: IO[str], stderr: IO[str]) -> int:
    """Runs `session` as a protocol bot over the given streams until `quit` or the end of
    input. Returns the exit status (0)."""

    def send(message: Dict[str, Any]) -> None:
        stdout.write(json.dumps(message, separators=(",", ":")) + "\n")
        stdout.flush()

    send(session.info())
    for line in stdin:
        if not line.strip():
            continue
        try:
            message = json.loads(line)
        except ValueError as e:
            print(f"corvelle tbp: ignored a line that is not JSON ({e})", file=stderr, flush=True)
            continue
        if not isinstance(message, dict):
            print("corvelle tbp: ignored a message that is not a JSON object", file=stderr, flush=True)
            continue
        if message.get("type") == "quit":
            break
        try:
            answers = session.handle(message)
        except (ValueError, TypeError) as e:
            print(f"corvelle tbp: ignored {message.get('type')!r}: {e}", file=stderr, flush=True)
            continue
        for answer in answers:
            send(answer)
    return 0


# ---- The front-end side ---------------------------------------------------------------------


class FrontendError(RuntimeError):
    """The protocol bot broke the protocol: it ended, timed out or sent something we cannot
    read where an answer was due."""


class GameResult:
    """A single game played through a front-end: the states after each placement (the first
    is the start), the placements, and whether the bot forfeited (no reachable move)."""

    def __init__(self, states: List[GameStatePy], played: List[Placement], forfeit: bool) -> None:
        self.states = states
        self.played = played
        self.forfeit = forfeit

    @property
    def state(self) -> GameStatePy:
        """The last state."""
        return self.states[-1]


def _position(state: GameStatePy) -> Dict[str, Any]:
    """The `start` message for `state`: its locked board, queue (the falling piece, then the
    preview), hold, combo and back-to-back."""
    d = bytestate.decode(bytes(state))
    cells = bytearray(0 if c == bytestate.CELL_GHOST else c for c in d.cells)
    piece = d.current_pcs
    assert piece is not None
    for i, j in _SHAPES[piece.rotation][KINDS.index(piece.kind)][1]:
        cells[(piece.row + i) * bytestate.COLUMNS + piece.column + j] = 0
    board = [
        [_CELL_NAMES.get(cells[r * bytestate.COLUMNS + c]) for c in range(bytestate.COLUMNS)]
        for r in range(bytestate.ROWS)
    ]
    return {
        "type": "start",
        "hold": d.hold.kind if d.hold is not None else None,
        "queue": [piece.kind, *d.next_pcs],
        "combo": max(d.combo_counter + 1, 0),
        "back_to_back": d.is_b2b,
        "board": board,
    }


class Frontend:
    """Runs a protocol bot (`command`: an argument list, or a command line split as a shell
    would) as a subprocess and plays its moves in our engine.

    On start it reads the bot's `info`, sends `rules` and waits for `ready`; FrontendError
    when the bot refuses the rules, ends or does not answer within `timeout` seconds. Use it
    as a context manager, or call `close()` (sends `quit`, then ends the process)."""

    def __init__(self, command: Union[str, Sequence[str]], *, timeout: float = 30.0) -> None:
        argv = shlex.split(command) if isinstance(command, str) else list(command)
        if not argv:
            raise ValueError("the bot's command is empty")
        self.timeout = timeout
        try:
            self._process = subprocess.Popen(
                argv,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
                encoding="utf-8",
                bufsize=1,
            )
        except OSError as e:
            raise FrontendError(f"cannot start the bot {argv[0]!r}: {e.strerror or e}") from None
        self._lines: "queue_module.Queue[Optional[str]]" = queue_module.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self._known: List[str] = []
        # The position the bot holds, as its `start` message would give it.
        self._synced_to: Optional[Dict[str, Any]] = None
        try:
            self.info = self._expect("info")
            self._send({"type": "rules"})
            answer = self._expect("ready", "error")
            if answer["type"] == "error":
                raise FrontendError(f"the bot refused the rules: {answer.get('reason')!r}")
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "Frontend":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _read(self) -> None:
        assert self._process.stdout is not None
        for line in self._process.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def _send(self, message: Dict[str, Any]) -> None:
        assert self._process.stdin is not None
        try:
            self._process.stdin.write(json.dumps(message, separators=(",", ":")) + "\n")
            self._process.stdin.flush()
        except (BrokenPipeError, OSError):
            raise FrontendError("the bot ended (its input is closed)") from None

    def _expect(self, *kinds: str) -> Dict[str, Any]:
        """The next message of one of `kinds`; messages of other kinds are skipped."""
        while True:
            try:
                line = self._lines.get(timeout=self.timeout)
            except queue_module.Empty:
                raise FrontendError(f"the bot sent no {'/'.join(kinds)} within {self.timeout} s") from None
            if line is None:
                raise FrontendError(f"the bot ended before sending {'/'.join(kinds)}")
            try:
                message = json.loads(line)
            except ValueError:
                raise FrontendError(f"the bot sent a line that is not JSON: {line.strip()[:80]!r}") from None
            if isinstance(message, dict) and message.get("type") in kinds:
                return message

    def close(self) -> None:
        """Sends `quit` and ends the bot's process (killed if it does not end in a second)."""
        process = getattr(self, "_process", None)
        if process is None or process.poll() is not None:
            return
        try:
            self._send({"type": "quit"})
        except FrontendError:
            pass
        try:
            process.wait(timeout=1.0)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for stream in (process.stdin, process.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass

    # ---- Playing ------------------------------------------------------------------------

    def start(self, state: GameStatePy) -> None:
        """Gives the bot the position of `state` (a new `start`, after a `stop` if a game was
        running)."""
        if self._synced_to is not None:
            self._send({"type": "stop"})
        message = _position(state)
        self._send(message)
        self._known = list(message["queue"])
        self._synced_to = message

    def stop(self) -> None:
        """Ends the bot's game (`stop`)."""
        if self._synced_to is not None:
            self._send({"type": "stop"})
        self._synced_to = None

    def suggest(self) -> List[Any]:
        """The bot's suggested moves, best first."""
        self._send({"type": "suggest"})
        moves = self._expect("suggestion").get("moves", [])
        return moves if isinstance(moves, list) else []

    def turn(self, state: GameStatePy) -> Optional[Placement]:
        """The bot's placement on `state`: its first suggested move that a path reaches (sent
        back as `play`). None when none does: the bot forfeits. The bot is given the position
        anew whenever `state` is not the one its own moves lead to (garbage, another game)."""
        if self._synced_to != _position(state):
            self.start(state)
        for move in self.suggest():
            found = find_placement(state, move)
            if found is not None:
                self._send({"type": "play", "move": move})
                self._after_play(state, found)
                return found
        return None

    def _after_play(self, state: GameStatePy, played: Placement) -> None:
        """Keeps the bot's queue in step with the state the placement leads to: the pieces the
        lock revealed are sent as `new_piece`."""
        had_hold = bytestate.decode(bytes(state)).hold is not None
        used = 2 if played.hold and not had_hold else 1
        known = self._known[used:]
        after = played.state
        d = bytestate.decode(bytes(after))
        if d.game_over or d.current_pcs is None:
            self._synced_to = None
            return
        visible = [d.current_pcs.kind, *d.next_pcs]
        if visible[: len(known)] != known or d.garbage_applied != bytestate.decode(bytes(state)).garbage_applied:
            self._synced_to = None  # garbage came in or the queue disagrees: start anew
            return
        for piece in visible[len(known):]:
            self._send({"type": "new_piece", "piece": piece})
        self._known = visible
        self._synced_to = _position(after)

    def play_game(self, start: GameStatePy, pieces: int) -> GameResult:
        """Plays `start` with the bot's moves for at most `pieces` placements, or until the game
        ends or the bot forfeits."""
        states: List[GameStatePy] = [start]
        played: List[Placement] = []
        state = start
        forfeit = False
        while not state.game_over and len(played) < pieces:
            found = self.turn(state)
            if found is None:
                forfeit = True
                break
            played.append(found)
            state = found.state
            states.append(state)
        self.stop()
        return GameResult(states, played, forfeit)


class TbpPlayer:
    """A protocol bot as a player of `corvelle.versus.play_match`: each turn is the key path of
    the bot's placement on the player's state, None (a forfeit) when no path reaches it."""

    def __init__(self, frontend: Frontend) -> None:
        self.frontend = frontend

    def turn(self, match: Any, player: int) -> Optional[List[str]]:
        found = self.frontend.turn(match.state(player))
        return None if found is None else list(found.keys)
