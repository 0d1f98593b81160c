"""Two-player matches with garbage exchange, their metrics, match files and seeded bot play.

    from corvelle.versus import Match
    m = Match(seed_a, seed_b, attack="guideline", delay=1)
    while m.winner is None:
        m.step("HardDrop", ["MoveLeft", "HardDrop"])
    m.winner, m.metrics(), m.replay_bytes(0)

Each step both players take a turn from the states at the start of the step: one engine
action (its name, as `ACTIONS` spells it) or a list of them (a move chain, or a placement's key
path from `corvelle.placements`). The native match
(`corvelle._batch.Match`) prices every lock with its attack table, cancels the sender's own
queued garbage first, queues the rest against the opponent and delivers it once the receiver
has locked `delay` more pieces, by raising the receiver's `garbage_recv`; the receiver's next
lock inserts it. The actions of step k are played at `start time + k * step_us`.

A match file pairs both players' replay streams with the match settings:

    8 bytes   b"CVMATCH1"
    u32       length of the header, then the header: UTF-8 JSON with "attack", "delay",
              "max_steps", "step_us", "steps" and "winner" (null, 0, 1 or "draw"), and
              "forfeit" (0 or 1) when a player forfeited
    u64       length of player 0's replay stream, then the stream
    u64       length of player 1's replay stream, then the stream

Each stream is an ordinary replay: it plays back alone with
`GameStatePy.load_replay_from_bytes`, its slices carrying the garbage the player received.
`load_match` plays a match file back and checks both streams against its settings.
"""

from __future__ import annotations

import hashlib
import json
import math
import operator
import random
import struct
from typing import Any, Dict, List, NamedTuple, Optional, Protocol, Sequence, Tuple, Union

import corvelle_vim
from corvelle_vim import GameSeedPy, GameStatePy

from . import _batch, seeded_bot
from ._files import write_whole
from .bytestate import ACTIONS, SEGMENT_GAME_OVER, SEGMENT_INIT, SEGMENT_UPDATE, as_bytes, decode
from .replay import read_segments

__all__ = [
    "ATTACK_TABLES",
    "BOTS",
    "DEFAULT_STEP_US",
    "MATCH_MAGIC",
    "Match",
    "MatchFile",
    "MatchFrame",
    "PLAYER_COUNTS",
    "Winner",
    "bot_keys",
    "bot_turn",
    "load_match",
    "match_metrics",
    "match_seeds",
    "per_piece_and_minute",
    "play_bot_match",
    "play_match",
    "Player",
    "wilson_interval",
]

ATTACK_TABLES = ("engine", "guideline")
BOTS = seeded_bot.BOTS
DEFAULT_STEP_US = 16667
MATCH_MAGIC = b"CVMATCH1"
MAX_DELAY = 60
# Chain 0 of the move-chain list: a plain hard drop, the turn of a bot with no better move.
HARD_DROP_CHAIN = 0

Winner = Union[None, int, str]
SeedLike = Union[GameSeedPy, bytes, bytearray, memoryview]
Turn = Union[str, int, Sequence[Union[str, int]]]

_ACTION_INDEX = {name: i for i, name in enumerate(ACTIONS)}
_CHAINS: Tuple[Tuple[str, ...], ...] = tuple(tuple(c) for c in GameStatePy.get_all_move_chains())
_RESULTS: Tuple[Winner, ...] = (None, 0, 1, "draw")
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
# A player's counts in a match's figures, in the order VersusBatch's `stats` field holds them.
PLAYER_COUNTS = (
    "pieces",
    "attack",
    "lines_sent",
    "lines_cancelled",
    "lines_received",
    "lines_cleared",
)
_HEADER_KEYS = ("attack", "delay", "max_steps", "step_us", "steps", "winner")


def per_piece_and_minute(attack: Any, pieces: Any, minutes: Any) -> Tuple[Any, Any, Any]:
    """(app, apm, ppm): attack per piece, attack and pieces per minute of game time, each 0
    where its divisor is 0. Takes numbers, or numpy arrays to compute many at once."""

    def ratio(a: Any, d: Any) -> Any:
        # d + (d == 0) is d where d is not 0 and 1 where it is; (d != 0) zeroes those.
        return (d != 0) * a / (d + (d == 0))

    return ratio(attack, pieces), ratio(attack, minutes), ratio(pieces, minutes)


def match_metrics(info: Dict[str, Any]) -> Dict[str, Any]:
    """A match's figures from its native info (`corvelle._batch.Match.info()` or
    `VersusBatch.match_info(i)`): 'winner', 'steps', 'minutes' of game time, and per player
    ('players', a pair of dicts) pieces, attack, lines_sent, lines_cancelled, lines_received,
    lines_cleared, app (attack per piece), apm and ppm (attack and pieces per minute of game
    time)."""
    minutes = info["steps"] * info["step_us"] / 60e6
    players = []
    for p in info["players"]:
        app, apm, ppm = per_piece_and_minute(p["attack"], p["pieces"], minutes)
        players.append(
            {
                **{k: p[k] for k in PLAYER_COUNTS},
                "app": float(app),
                "apm": float(apm),
                "ppm": float(ppm),
            }
        )
    return {
        "winner": _RESULTS[info["result"]],
        "steps": info["steps"],
        "minutes": minutes,
        "players": tuple(players),
    }


def _seed_record(seed: SeedLike, which: str) -> bytes:
    """The 40-byte seed record of a GameSeedPy, of 32 seed bytes (start time 0) or of a
    record itself."""
    if isinstance(seed, (bytes, bytearray, memoryview)):
        raw = bytes(seed)
        if len(raw) == 32:
            return raw + bytes(8)
        if len(raw) == 40:
            return raw
        raise ValueError(f"{which} must be 32 seed bytes or a 40-byte record, not {len(raw)} bytes")
    if isinstance(seed, GameSeedPy):
        return bytes(seed.seed) + int(seed.ts).to_bytes(8, "little", signed=True)
    raise TypeError(f"{which} must be a GameSeedPy or bytes, not {type(seed).__name__}")


def _turn_indices(turn: Turn, player: int) -> List[int]:
    """A turn as action indices: an action name or index, or a sequence of them."""
    items = [turn] if isinstance(turn, (str, int)) else turn
    if not isinstance(items, (list, tuple)):
        try:
            items = list(items)
        except TypeError:
            raise TypeError(
                f"player {player}: a turn is an action name or a list of them, "
                f"not {type(turn).__name__}"
            ) from None
    out = []
    for item in items:
        if isinstance(item, str):
            if item not in _ACTION_INDEX:
                raise ValueError(
                    f"player {player}: unknown action {item!r}; actions are {', '.join(ACTIONS)}"
                )
            out.append(_ACTION_INDEX[item])
        else:
            try:
                out.append(operator.index(item))
            except TypeError:
                raise TypeError(
                    f"player {player}: an action is a name or an index, not {type(item).__name__}"
                ) from None
    return out


class Match:
    """A two-player match: both games, the garbage between them and both replay streams.

    `seed_a` and `seed_b` are GameSeedPy values, 32 seed bytes (start time 0) or 40-byte seed
    records. `attack` is "engine" (each lock sends what it adds to the engine's
    total_garbage_sent) or "guideline" (see the README's table). `delay` is the number of
    pieces the receiver locks before queued garbage is delivered (0 to 60); `max_steps` ends the
    match in a draw after that many steps (0: no limit); `step_us` is the game time of a step
    in microseconds (at least 1).
    """

    def __init__(
        self,
        seed_a: SeedLike,
        seed_b: SeedLike,
        *,
        attack: str = "engine",
        delay: int = 0,
        max_steps: int = 0,
        step_us: int = DEFAULT_STEP_US,
    ) -> None:
        if attack not in ATTACK_TABLES:
            raise ValueError(f"attack must be 'engine' or 'guideline', not {attack!r}")
        delay, max_steps, step_us = (
            operator.index(delay),
            operator.index(max_steps),
            operator.index(step_us),
        )
        if step_us < 1:
            raise ValueError(f"step_us must be at least 1, not {step_us}")
        self.attack = attack
        self.delay = delay
        self.max_steps = max_steps
        self.step_us = step_us
        self._forfeit: Optional[int] = None
        self._native = _batch.Match(
            _seed_record(seed_a, "seed_a"),
            _seed_record(seed_b, "seed_b"),
            attack=attack,
            delay=delay,
            max_steps=max_steps,
            step_us=step_us,
        )

    # ---- Playing --------------------------------------------------------------------------

    def step(self, action_a: Turn, action_b: Turn) -> None:
        """One step: each player's turn is an action name (or index), or a list of them (a
        move chain, or a placement's key path).

        ValueError names the player and the action for a refused or unknown action, and the
        match is then unchanged; RuntimeError once the match is over."""
        if self.winner is not None:
            raise RuntimeError("the match is over")
        self._native.step(_turn_indices(action_a, 0), _turn_indices(action_b, 1))

    def step_chains(self, chain_a: int, chain_b: int) -> None:
        """One step in which each player plays a move chain by its index (0 to 95)."""
        if self.winner is not None:
            raise RuntimeError("the match is over")
        self._native.step_chains(chain_a, chain_b)

    def forfeit(self, player: int) -> None:
        """Ends the running match with `player` forfeiting (a bot with no move it may play):
        the other player wins. The match file records it."""
        if player not in (0, 1):
            raise ValueError(f"player must be 0 or 1, not {player!r}")
        if self.winner is not None:
            raise RuntimeError("the match is over")
        self._forfeit = player

    # ---- Reading --------------------------------------------------------------------------

    @property
    def states(self) -> Tuple[GameStatePy, GameStatePy]:
        """Both players' states (new objects on every access)."""
        return (self.state(0), self.state(1))

    def state(self, player: int) -> GameStatePy:
        return GameStatePy.state_from_bytes(self._native.state_bytes(player))

    def state_bytes(self, player: int) -> bytes:
        return bytes(self._native.state_bytes(player))

    @property
    def winner(self) -> Winner:
        """None while the match runs, then 0 or 1 for the winner, or "draw"."""
        if self._forfeit is not None:
            return 1 - self._forfeit
        result: int = self._native.info()["result"]
        return _RESULTS[result]

    @property
    def steps(self) -> int:
        return int(self._native.info()["steps"])

    def replay_bytes(self, player: int) -> bytes:
        """The player's replay stream so far."""
        return bytes(self._native.replay_bytes(player))

    def placement_mask(self, player: int) -> bytes:
        """96 bytes of 0 and 1: the move chains the player can play now."""
        return bytes(self._native.placement_mask(player))

    def key_mask(self, player: int) -> bytes:
        """8 bytes of 0 and 1: the actions the player's state accepts now."""
        return bytes(self._native.key_mask(player))

    def garbage(self, player: int) -> Dict[str, Any]:
        """Garbage against the player: 'incoming' (all not yet in its board) and 'queued'
        ((lines, pieces still to wait) per entry, oldest first)."""
        p = self._native.info()["players"][player]
        return {"incoming": p["incoming"], "queued": list(p["queued"])}

    def metrics(self) -> Dict[str, Any]:
        """The match's figures (see `match_metrics`); the winner counts a forfeit."""
        return {**match_metrics(self._native.info()), "winner": self.winner}

    # ---- Match files ----------------------------------------------------------------------

    def settings(self) -> Dict[str, Any]:
        out = {
            "attack": self.attack,
            "delay": self.delay,
            "max_steps": self.max_steps,
            "step_us": self.step_us,
            "steps": self.steps,
            "winner": self.winner,
        }
        if self._forfeit is not None:
            out["forfeit"] = self._forfeit
        return out

    def to_bytes(self) -> bytes:
        """The match file: header and both replay streams."""
        header = json.dumps(self.settings(), sort_keys=True).encode()
        out = [MATCH_MAGIC, _U32.pack(len(header)), header]
        for p in (0, 1):
            stream = self.replay_bytes(p)
            out += [_U64.pack(len(stream)), stream]
        return b"".join(out)

    def save(self, path: str) -> None:
        """Writes the match file whole (see `corvelle._files`)."""
        write_whole(path, self.to_bytes())


# ---- Playing a match file back --------------------------------------------------------------


class MatchFrame(NamedTuple):
    """Both players after one step of a match (the start first): their states' byte forms and
    the garbage against each not yet in its board."""

    states: Tuple[bytes, bytes]
    incoming: Tuple[int, int]


class MatchFile(NamedTuple):
    """A match file played back and checked: its settings, the match replayed from them, each
    player's replay (the new game and the (action, state) steps), and a frame per step."""

    settings: Dict[str, Any]
    match: Match
    replays: Tuple[Tuple[GameStatePy, List[Tuple[str, GameStatePy]]], ...]
    frames: List[MatchFrame]


def match_frame(match: Match) -> MatchFrame:
    return MatchFrame(
        (match.state_bytes(0), match.state_bytes(1)),
        (match.garbage(0)["incoming"], match.garbage(1)["incoming"]),
    )


def _bad(message: str) -> ValueError:
    return ValueError(f"match file: {message}")


def _read_header(raw: bytes) -> Tuple[Dict[str, Any], List[bytes]]:
    if raw[: len(MATCH_MAGIC)] != MATCH_MAGIC:
        raise _bad("does not start with the match file mark")
    pos = len(MATCH_MAGIC)
    if pos + 4 > len(raw):
        raise _bad("ends inside the header length")
    (n,) = _U32.unpack_from(raw, pos)
    pos += 4
    if pos + n > len(raw):
        raise _bad("ends inside the header")
    try:
        settings = json.loads(raw[pos : pos + n].decode())
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise _bad(f"the header is not JSON: {e}") from None
    pos += n
    if not isinstance(settings, dict) or set(settings) - {"forfeit"} != set(_HEADER_KEYS):
        raise _bad(f"the header must hold exactly {', '.join(_HEADER_KEYS)} (and forfeit)")
    if settings.get("forfeit", 0) not in (0, 1) or isinstance(settings.get("forfeit"), bool):
        raise _bad(f"forfeit must be 0 or 1, not {settings['forfeit']!r}")
    for key in ("delay", "max_steps", "step_us", "steps"):
        if type(settings[key]) is not int or settings[key] < 0:
            raise _bad(f"{key} must be a whole number, not {settings[key]!r}")
    if settings["winner"] not in _RESULTS:
        raise _bad(f"winner must be null, 0, 1 or \"draw\", not {settings['winner']!r}")
    streams = []
    for p in (0, 1):
        if pos + 8 > len(raw):
            raise _bad(f"ends inside the length of player {p}'s stream")
        (n,) = _U64.unpack_from(raw, pos)
        pos += 8
        if pos + n > len(raw):
            raise _bad(f"ends inside player {p}'s stream")
        streams.append(raw[pos : pos + n])
        pos += n
    return settings, streams


def _turns(stream: bytes, player: int, step_us: int) -> Tuple[bytes, List[List[int]]]:
    """The Init seed record of a stream and its actions grouped by step, from the slices'
    timestamps (step k's actions are at start + k * step_us)."""
    try:
        segments = read_segments(stream)
    except ValueError as e:
        raise _bad(f"player {player}'s stream: {e}") from None
    if not segments or segments[0].variant != SEGMENT_INIT:
        raise _bad(f"player {player}'s stream does not start with its Init segment")
    record = segments[0].data[4:44]
    start = int.from_bytes(record[32:], "little", signed=True)
    turns: List[List[int]] = []
    for k, seg in enumerate(segments[1:], 1):
        if seg.variant == SEGMENT_GAME_OVER:
            if any(s.variant == SEGMENT_UPDATE for s in segments[k:]):
                raise _bad(f"player {player}'s stream goes on after its GameOver")
            break
        if seg.variant != SEGMENT_UPDATE:
            raise _bad(f"player {player}'s stream has a second Init")
        ts = int.from_bytes(seg.data[4:12], "little", signed=True)
        step, rest = divmod(ts - start, step_us)
        if rest or step < 1 or step > len(turns) + 1 or step < len(turns):
            raise _bad(
                f"player {player}'s action {k - 1} is at time {ts}, not on step {len(turns)} "
                f"or {len(turns) + 1}"
            )
        if step == len(turns) + 1:
            turns.append([])
        if seg.action not in _ACTION_INDEX:
            raise _bad(f"player {player}'s action {k - 1} is not an action: {seg.action}")
        turns[-1].append(_ACTION_INDEX[seg.action])
    return record, turns


def _same_end(alone: bytes, in_match: bytes, forfeit: bool) -> bool:
    """Whether a stream played back alone ends in the match's state. A forfeit ends a match
    between steps, after the last step delivered its garbage: that garbage is in the match's
    state, but a stream records garbage with the next action, and there is none."""
    if alone == in_match:
        return True
    if not forfeit:
        return False
    return decode(alone)._replace(garbage_recv=0) == decode(in_match)._replace(garbage_recv=0)


def load_match(data: Union[bytes, bytearray, memoryview]) -> MatchFile:
    """Plays a match file back: replays the match from both Init seeds and the settings, one
    step per recorded step, and checks that it makes both streams byte for byte, reaches the
    recorded steps and winner, and that each stream alone plays back to the same final state.
    ValueError("match file: ...") names the first disagreement."""
    raw = as_bytes(data)
    settings, streams = _read_header(raw)
    if settings["attack"] not in ATTACK_TABLES:
        raise _bad(f"attack must be 'engine' or 'guideline', not {settings['attack']!r}")
    if settings["delay"] > MAX_DELAY or settings["step_us"] < 1:
        raise _bad("delay must be 0 to 60 and step_us at least 1")
    seeds, turns = zip(*(_turns(s, p, settings["step_us"]) for p, s in enumerate(streams)))
    if len(turns[0]) != len(turns[1]):
        raise _bad(f"the players' streams hold {len(turns[0])} and {len(turns[1])} steps")
    if len(turns[0]) != settings["steps"]:
        raise _bad(f"the streams hold {len(turns[0])} steps, the header {settings['steps']}")
    try:
        match = Match(
            seeds[0],
            seeds[1],
            attack=settings["attack"],
            delay=settings["delay"],
            max_steps=settings["max_steps"],
            step_us=settings["step_us"],
        )
    except ValueError as e:
        raise _bad(str(e)) from None
    frames = [match_frame(match)]
    for k, (a, b) in enumerate(zip(*turns), 1):
        try:
            match._native.step(a, b)
        except (ValueError, RuntimeError) as e:
            raise _bad(f"step {k}: {e}") from None
        frames.append(match_frame(match))
    for p in (0, 1):
        if match.replay_bytes(p) != streams[p]:
            raise _bad(f"player {p}'s stream is not the one the match makes from its settings")
    if "forfeit" in settings:
        if match.winner is not None:
            raise _bad("the header records a forfeit in a match that had ended")
        match.forfeit(settings["forfeit"])
    if match.winner != settings["winner"]:
        raise _bad(f"the match ends with winner {match.winner!r}, the header says "
                   f"{settings['winner']!r}")
    replays = []
    for p in (0, 1):
        if len(read_segments(streams[p])) < 3:
            # Too short for load_replay_from_bytes (a match of one step, or of none when a
            # player forfeited at once): the match itself made this stream, and its state is
            # the one after the step.
            replays.append(
                (GameStatePy.state_from_bytes(frames[0].states[p]),
                 [(ACTIONS[a], match.state(p)) for a in turns[p][0]][-1:] if turns[p] else [])
            )
            continue
        try:
            initial, steps = GameStatePy.load_replay_from_bytes(streams[p])
        except ValueError as e:
            raise _bad(f"player {p}'s stream does not play back alone: {e}") from None
        final = steps[-1][1] if steps else initial
        if not _same_end(bytes(final.to_bytes()), match.state_bytes(p), "forfeit" in settings):
            raise _bad(f"player {p}'s stream alone plays back to another state")
        replays.append((initial, steps))
    return MatchFile(settings, match, tuple(replays), frames)


# ---- Bots -----------------------------------------------------------------------------------


def match_seeds(master_seed: bytes, index: int) -> Tuple[bytes, bytes]:
    """The 32 seed bytes of both players of match `index`: SHA-256 of a tag, the master seed,
    the match index and the player. Both games start at time 0."""
    if len(master_seed) != 32:
        raise ValueError(f"master seed must be 32 bytes, got {len(master_seed)}")
    return tuple(  # type: ignore[return-value]
        hashlib.sha256(
            b"corvelle.versus" + master_seed + index.to_bytes(8, "little") + bytes([p])
        ).digest()
        for p in (0, 1)
    )


def tie_break_rng(seed: bytes, player: int) -> random.Random:
    """The generator a bot draws among tied chains with, seeded from its game's seed."""
    return random.Random(hashlib.sha256(b"corvelle.versus tie-break" + seed + bytes([player])).digest())


def bot_turn(match: Match, player: int, bot: str, rng: random.Random) -> int:
    """The chain the engine's bot `bot` plays for `player`: one of the chains tied for its
    choice (`corvelle._batch.bot_choices`) drawn with `rng`, or a plain hard drop when none
    qualifies."""
    chain = seeded_bot.choose_chain(match.state_bytes(player), bot, rng)
    return HARD_DROP_CHAIN if chain is None else chain


def bot_keys(match: Match, player: int, bot: str, rng: random.Random) -> List[int]:
    """The actions (by index) of the turn bot `bot` plays for `player`: an engine bot's chain
    (`bot_turn`), or the key path of the 'beam' bot's placement
    (`corvelle.seeded_bot.choose_placement`), searched with the garbage queued against the
    player and its back-to-back run; a plain hard drop when no move qualifies."""
    if bot != "beam":
        return [_ACTION_INDEX[a] for a in _CHAINS[bot_turn(match, player, bot, rng)]]
    info = match._native.info()["players"][player]
    placement = seeded_bot.choose_placement(
        match.state_bytes(player),
        rng,
        incoming=sum(lines for lines, _ in info["queued"]),
        back_to_back=bool(info["back_to_back"]),
    )
    if placement is None:
        return [_ACTION_INDEX["HardDrop"]]
    return [_ACTION_INDEX[a] for a in placement.keys]


def play_bot_match(
    bot_a: str,
    bot_b: str,
    seed_a: bytes,
    seed_b: bytes,
    *,
    attack: str = "engine",
    delay: int = 0,
    max_steps: int = 0,
) -> Match:
    """A match between two bots, one move (a chain, or the beam bot's placement) per step,
    repeatable from the seeds."""
    return play_match((bot_a, bot_b), seed_a, seed_b, attack=attack, delay=delay, max_steps=max_steps)


class Player(Protocol):
    """A player of `play_match` other than an engine bot: `turn` gives its turn on the match's
    state (an action name or a list of them), or None to forfeit."""

    def turn(self, match: Match, player: int) -> Optional[Turn]: ...


def play_match(
    players: Sequence[Union[str, Player]],
    seed_a: bytes,
    seed_b: bytes,
    *,
    attack: str = "engine",
    delay: int = 0,
    max_steps: int = 0,
) -> Match:
    """A match between two players, each a bot by name (`bot_keys`: an engine bot's chain or
    the beam bot's key path per step, drawn as in `play_bot_match`) or a `Player`; a player
    whose turn is None forfeits."""
    if len(players) != 2:
        raise ValueError(f"a match has two players, not {len(players)}")
    for player in players:
        if isinstance(player, str) and player not in BOTS:
            raise ValueError(f"bot must be one of {', '.join(BOTS)}, not {player!r}")
    match = Match(seed_a, seed_b, attack=attack, delay=delay, max_steps=max_steps)
    rngs = (tie_break_rng(bytes(seed_a), 0), tie_break_rng(bytes(seed_b), 1))
    while match.winner is None:
        turns: List[Turn] = []
        for p, player in enumerate(players):
            if isinstance(player, str):
                turns.append(bot_keys(match, p, player, rngs[p]))
                continue
            turn = player.turn(match, p)
            if turn is None:
                match.forfeit(p)
                break
            turns.append(turn)
        if match.winner is None:
            match.step(*turns)
    return match


def wilson_interval(successes: float, n: int, z: float = 1.96) -> Tuple[float, float]:
    """The Wilson score interval of a proportion (95 % for z = 1.96)."""
    if n == 0:
        return (0.0, 1.0)
    p = successes / n
    centre = p + z * z / (2 * n)
    spread = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
    scale = 1 + z * z / n
    return (max(0.0, (centre - spread) / scale), min(1.0, (centre + spread) / scale))
