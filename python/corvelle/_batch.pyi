"""Many games stepped in one call: the native core of the batched environments; and a
state's placement mask, the chains tied for a bot's choice, and the piece shapes, from the
engine."""

from typing import Dict, List, Optional, Tuple

PLACEMENT_ACTION_NB: int
KEY_ACTION_NB: int
SEED_RECORD_SIZE: int

class Batch:
    """N games and the arena of their observations, rewards, flags and masks (buffer protocol)."""

    def __init__(
        self,
        num_envs: int,
        mode: str = ...,
        reward: str = ...,
        max_episode_steps: int = ...,
        autoreset: bool = ...,
        num_threads: int = ...,
    ) -> None: ...
    @property
    def num_envs(self) -> int: ...
    @property
    def action_nb(self) -> int: ...
    @property
    def num_threads(self) -> int: ...
    @property
    def layout(self) -> Dict[str, Tuple[int, str, Tuple[int, ...]]]: ...
    # `which` and `actions`: any object exporting a contiguous buffer of the right size.
    def reset(self, which: Optional[object] = None) -> None: ...
    def step(self, actions: object) -> int: ...
    def state_bytes(self, index: int) -> bytes: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def placement_mask(state: object) -> bytes: ...
def bot_choices(state: object, bot: str) -> List[int]: ...
# [rotation][kind] -> (grid size, ((row, column), ...) of the four covered cells).
def shapes() -> Tuple[Tuple[Tuple[int, Tuple[Tuple[int, int], ...]], ...], ...]: ...
