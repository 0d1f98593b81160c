"""A Python module implemented in C++."""

from typing import Callable, Literal, NoReturn, Sequence, final

__all__ = [
    "sum_as_string",
    "generate_seed",
    "generate_random_seed",
    "GameStatePy",
    "GameSeedPy",
]

# The engine's bots: 'wordpress' scores boards by height, holes and bumpiness; 'random' by
# lines cleared and height alone.
_BotName = Literal["wordpress", "random"]

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string."""

def generate_seed(ts: int, seed: Sequence[int]) -> GameSeedPy:
    """A GameSeedPy from a start time `ts` (signed 64-bit, microseconds since the Unix epoch by
    convention) and 32 seed bytes `seed` (any sequence of 32 ints 0..255), taken as given.
    """
def generate_random_seed() -> GameSeedPy:
    """A GameSeedPy from the current time (microseconds since the Unix epoch) and 32 fresh
    random bytes.
    """
@final
class GameStatePy:
    """One game state, immutable: every attribute is read-only and every method that plays
    returns new states. Built from a GameSeedPy (a new game) or from a byte form
    (GameStatePy.state_from_bytes). States compare, hash and pickle by their byte form;
    bytes(state) is that byte form.
    """

    def __new__(cls, value: GameSeedPy) -> GameStatePy: ...
    @property
    def main_board(self) -> list[list[bool]]:
        """Board rows 19 down to 0 as 20 lists of 10 bools, True for a solid cell (the falling
        piece shows).
        """
    @property
    def next_pcs(self) -> list[str]:
        """The next five piece kinds, as letters ('I', 'L', 'J', 'T', 'S', 'Z', 'O')."""
    @property
    def total_lines(self) -> int:
        """Lines cleared since the game began."""
    @property
    def is_t_spin(self) -> bool:
        """Whether the last lock was a T-spin."""
    @property
    def is_t_mini_spin(self) -> bool:
        """Whether the last lock was a mini T-spin."""
    @property
    def is_b2b(self) -> bool:
        """Whether the back-to-back bonus is active."""
    @property
    def combo_counter(self) -> int:
        """The combo counter: -1 after a lock that cleared nothing, then 0, 1, ... for each
        clearing lock in a row.
        """
    @property
    def total_garbage_sent(self) -> int:
        """Garbage rows sent since the game began."""
    @property
    def garbage_recv(self) -> int:
        """Garbage rows received since the game began (counted up to 65535, then wrapping)."""
    @property
    def bumpi(self) -> int:
        """Bumpiness of the board without the falling piece: the largest height difference
        between neighbouring columns.
        """
    @property
    def holes(self) -> int:
        """Holes in the board without the falling piece: the free cells below each column's
        height, summed over the columns.
        """
    @property
    def height(self) -> int:
        """Height of the board without the falling piece: one more than the row index of its
        highest solid cell (1 for an empty board too).
        """
    @property
    def matrix_txt(self) -> str:
        """A text report: the lower 20 board rows beside facts about the state (runs both bots)."""
    @property
    def html(self) -> str:
        """matrix_txt inside <code><pre>."""
    @property
    def total_move_count(self) -> int:
        """Actions applied since the game began."""
    @property
    def hold(self) -> str | None:
        """The held piece's kind, or None."""
    @property
    def game_over(self) -> bool:
        """Whether the game is over."""
    @property
    def score(self) -> int:
        """The score."""
    @property
    def debug_current_pcs_info(self) -> str:
        """The falling piece as a debug text (position, kind, rotation, id), or 'None'."""
    @property
    def current_pcs_rotation(self) -> tuple[str, int, tuple[int, int]]:
        """Same as current_pcs."""
    @property
    def current_pcs(self) -> tuple[str, int, tuple[int, int]]:
        """The falling piece as (kind, rotation 0..3, (row, column)), or ('', -666, (-127,
        -127)) without one.
        """
    @property
    def next_actions_and_states(self) -> list[tuple[str, GameStatePy]]:
        """[(action name, state after it)] for every single action the engine accepts now, in
        action order.
        """
    def bot_moves_raw(self, bot_type: _BotName) -> list[str]:
        """The actions the bot named `bot_type` ('wordpress' or 'random') would play now, not
        applied. The engine's bots break ties at random.
        """
    def generate_bot_episode(
        self, bot_type: _BotName, max_episode_len: int
    ) -> list[tuple[str, GameStatePy]]:
        """The bot named `bot_type` plays from this state: [(action name, state after it)] for
        up to `max_episode_len` actions, ending early when the game ends.
        """
    @staticmethod
    def get_all_move_chains() -> list[list[str]]:
        """The 96 move chains (hold, rotations, shifts, hard drop) as lists of action names, in
        their fixed order.
        """
    def get_valid_move_chains(self) -> list[tuple[list[str], GameStatePy]]:
        """[(chain, final state)] for every move chain all of whose actions the engine accepts
        from this state, in chain order.
        """
    def to_bytes(self) -> list[int]:
        """The state's byte form as a list of ints 0..255 (bytes(state) gives it as bytes)."""
    @staticmethod
    def state_from_bytes(bytes: Sequence[int]) -> GameStatePy:
        """The state decoded from the start of a byte form (bytes, bytearray or a sequence of
        ints 0..255); ValueError when it does not decode.
        """
    @staticmethod
    def load_replay_from_bytes(
        data: Sequence[int],
    ) -> tuple[GameStatePy, list[tuple[str, GameStatePy]]]:
        """Plays a replay stream back: (initial state, [(action name, state after it)] for every
        Update segment). ValueError for a stream that does not decode or play back.
        """
    def __bytes__(self) -> bytes: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Callable[[bytes], GameStatePy], tuple[bytes]]: ...

@final
class GameSeedPy:
    """A game's seed record: a start time and 32 seed bytes. Made only by generate_seed and
    generate_random_seed; compares, hashes and pickles by both values.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn: ...
    @property
    def ts(self) -> int:
        """The start time: a signed 64-bit integer."""
    @property
    def seed(self) -> list[int]:
        """The 32 seed bytes, as a new list of ints on every access."""
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Callable[[int, bytes], GameSeedPy], tuple[int, bytes]]: ...
