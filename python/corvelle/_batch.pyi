"""Many games stepped in one call, outside the interpreter lock; two-player matches, one
at a time or many at once; and what the package reads from the engine one state at a time:
a state's placement mask, every placement with its key path, the state a key path leads
to, the chains tied for a bot's choice, the beam search bot's placement and games,
observations of stored states, and the piece shapes."""

from typing import Any, Dict, List, Literal, Optional, Sequence, Tuple, Union

PLACEMENT_ACTION_NB: int
KEY_ACTION_NB: int
ALL_PLACEMENT_ACTION_NB: int
SEED_RECORD_SIZE: int

class Batch:
    """N games stepped together; its buffer is the arena of their outputs (observations,
    rewards, flags and masks)."""

    def __init__(
        self,
        num_envs: int,
        mode: Literal["placement", "keys", "all_placements"] = ...,
        reward: Literal["score", "lines", "shaped"] = ...,
        max_episode_steps: int = ...,
        autoreset: bool = ...,
        num_threads: int = ...,
        hidden_rows: int = ...,
    ) -> None: ...
    @property
    def num_envs(self) -> int:
        """Number of games."""
    @property
    def action_nb(self) -> int:
        """Actions per game: 96, 8 or ALL_PLACEMENT_ACTION_NB."""
    @property
    def num_threads(self) -> int:
        """Threads a step runs on."""
    @property
    def layout(self) -> Dict[str, Tuple[int, str, Tuple[int, ...]]]:
        """{name: (offset, format, shape)} of every field of the exported arena."""
    # `which` and `actions`: any object exporting a contiguous buffer of the right size.
    def reset(self, which: Optional[object] = None) -> None:
        """Starts the next game of every game (or of those flagged in `which`): its 'seeds'
        record where 'use_seed' is set, else drawn from its 'streams' generator."""
    def step(self, actions: object) -> int:
        """Plays one step of every game and returns how many episodes ended."""
    def state_bytes(self, index: int) -> bytes:
        """The byte form of one game's state."""
    def afterstates(self) -> bytearray:
        """What each action leaves in every game (see the module's afterstates): a bytearray of
        float32, num_envs blocks of action_nb rows of 8. Placement batches only."""
    def set_state(self, index: int, state: bytes) -> None:
        """Game `index` continues from a state given in its byte form, as after a reset: its
        observation and mask are written, its reward, flags and step count cleared."""
    def copy(self) -> Batch:
        """A new Batch in the same games at the same point (states, arena, streams), stepped
        apart from this one."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

class VersusBatch:
    """N two-player matches stepped together; its buffer is the arena of their outputs."""

    def __init__(
        self,
        num_matches: int,
        mode: str = ...,
        attack: str = ...,
        delay: int = ...,
        max_steps: int = ...,
        reward: str = ...,
        autoreset: bool = ...,
        num_threads: int = ...,
    ) -> None: ...
    @property
    def num_matches(self) -> int:
        """Number of matches."""
    @property
    def action_nb(self) -> int:
        """Actions per agent: 96, 8 or ALL_PLACEMENT_ACTION_NB."""
    @property
    def num_threads(self) -> int:
        """Threads a step runs on."""
    @property
    def step_us(self) -> int:
        """Game time of one step in microseconds."""
    @property
    def layout(self) -> Dict[str, Tuple[int, str, Tuple[int, ...]]]:
        """{name: (offset, format, shape)} of every field of the exported arena."""
    def reset(self, which: Optional[object] = None) -> None:
        """Starts the next match of every match (or of those flagged in `which`)."""
    # `actions`: a contiguous buffer of shape (num_matches, 2).
    def step(self, actions: object) -> int:
        """One lock-step turn of every match, actions of shape (num_matches, 2); returns how many
        matches ended."""
    def state_bytes(self, match: int, player: int) -> bytes:
        """The byte form of one player's state."""
    def match_info(self, match: int) -> Dict[str, Any]:
        """Steps, step time, result and per-player garbage counts of one match, as Match.info()
        gives them."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

class Match:
    """Two games stepped in lock-step with garbage sent between them."""

    def __init__(
        self,
        seed_a: bytes,
        seed_b: bytes,
        attack: str = ...,
        delay: int = ...,
        max_steps: int = ...,
        step_us: int = ...,
    ) -> None: ...
    # Each turn: an action index, or a sequence of 1 to 7217 of them.
    def step(self, turn_a: Union[int, Sequence[int]], turn_b: Union[int, Sequence[int]]) -> None:
        """One step of both players: each turn an action index or a sequence of them (a move
        chain, or a placement's key path). A refused action changes nothing."""
    def step_chains(self, chain_a: int, chain_b: int) -> None:
        """One step in which each player plays a move chain by its index."""
    def state_bytes(self, player: int) -> bytes:
        """The byte form of a player's state."""
    def replay_bytes(self, player: int) -> bytes:
        """A player's replay stream so far."""
    def placement_mask(self, player: int) -> bytes:
        """The 96 chain flags of a player's state."""
    def key_mask(self, player: int) -> bytes:
        """The 8 action flags of a player's state."""
    def info(self) -> Dict[str, Any]:
        """Steps, step time, result and per-player garbage counts."""


def placement_mask(state: object) -> bytes:
    """The 96 chain flags of a state given in its byte form, as bytes of 0 and 1."""

def afterstates(state: object, moves: Literal["chains", "all"] = ...) -> bytes:
    """What each action leaves on the state of byte form `state`: bytes of float32, one row of 8
    per action (96 chains, or every placement code with moves='all'): lines cleared, holes,
    height, aggregate height, bumpiness, well depth, row transitions, topped out. Rows of
    actions the state does not take are zero."""

def step_reward(reward: Literal["score", "lines", "shaped"], before: object, after: object) -> float:
    """The reward of a step between two states given in their byte form, as a Batch of reward
    kind `reward` ('score', 'lines' or 'shaped') counts it."""

def placements(
    state: object, hold: bool = ...
) -> List[Tuple[Tuple[str, ...], bool, int, int, int, int, int, int, int]]:
    """Every placement of a state given in its byte form, in order: (keys, hold, kind, rotation,
    row, column, spin, lines, code)."""

def play_keys(state: object, keys: Sequence[str]) -> bytes:
    """The byte form of the state after playing the named actions with try_action at time 0
    from a state given in its byte form."""

def bot_choices(state: object, bot: str) -> List[int]:
    """The chain numbers tied for the choice of the engine's bot `bot` ('wordpress' or
    'random') on a state given in its byte form: the best score, then the fewest actions, in
    chain order; empty when no chain qualifies."""

def beam_move(
    state: object,
    *,
    width: int = ...,
    depth: int = ...,
    weights: Union[str, Dict[str, float]] = ...,
    seed: int = ...,
    incoming: int = ...,
    back_to_back: bool = ...,
    max_keys: int = ...,
) -> Optional[Tuple[Tuple[str, ...], bool, int, int, int, int, int, int, int]]:
    """The beam search's placement for a state given in its byte form, as placements() lists
    it: (keys, hold, kind, rotation, row, column, spin, lines, code); None when the state has
    none. width: positions kept per level; depth: placements looked ahead; weights: a named
    weight set, or a dict of weights by name (those left out from 'default'); seed: draws
    among placements of equal value; incoming: garbage queued against
    the player outside the state; back_to_back: the player's last clear was difficult;
    max_keys: the longest key path of any placement searched (0: any)."""

def beam_play(
    state: object,
    pieces: int,
    *,
    width: int = ...,
    depth: int = ...,
    weights: Union[str, Dict[str, float]] = ...,
    seed: int = ...,
) -> Tuple[bytes, Dict[str, int]]:
    """The beam search playing up to `pieces` placements from a state given in its byte form,
    each key at time 0: (byte form of the last state, figures), the figures a dict of pieces,
    lines, attack (guideline table), t_spins, back_to_back, longest_back_to_back and
    max_combo."""

def beam_weights(name: str) -> Dict[str, float]:
    """The weights of the beam search's named weight set `name`, as a dict by weight name."""

def observations(
    states: Sequence[bytes | bytearray | memoryview],
    board: object,
    piece: object,
    next: object,
    hold: object,
    counters: object,
    hidden_rows: int = ...,
) -> None:
    """Writes the observation of every state of `states` (byte forms) into row k of the five
    writable C-contiguous buffers: board int8 [n, 20 + hidden_rows, 10], piece int8 [n, 4],
    next int8 [n, 5], hold int8 [n, 2], counters int32 [n, 4]."""

def shapes() -> Tuple[Tuple[Tuple[int, Tuple[Tuple[int, int], ...]], ...], ...]:
    """The engine's piece shapes: [rotation 0-3][kind 0-6, I L J T S Z O] -> (grid size,
    ((row, column), ...) of the four covered cells, row 0 at the bottom)."""
