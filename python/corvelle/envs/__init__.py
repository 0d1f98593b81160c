"""Gymnasium environments on the corvelle_vim engine.

Importing this package registers them:

    id                       single environment   vector environment (gymnasium.make_vec)
    corvelle/Placement-v0    PlacementEnv         PlacementVectorEnv (native, batched)
    corvelle/Key-v0          KeyEnv               KeyVectorEnv (native, batched)
    corvelle/Versus-v0       VersusEnv            (a match against one of the engine's bots)

so `gymnasium.make("corvelle.envs:corvelle/Placement-v0")`, `gymnasium.register_envs(corvelle.envs)`
and `gymnasium.make_vec("corvelle/Placement-v0", num_envs=256)` all work (`autoreset_mode=`
picks next-step, same-step or no autoreset for the native vector envs). Needs the `gym`
extra (gymnasium and numpy). `versus_env(...)` makes the two-player PettingZoo ParallelEnv
(needs pettingzoo), `versus_vector_env(num_matches=N)` N matches stepped natively for
self-play.
"""

from typing import TYPE_CHECKING, Any

from gymnasium.envs.registration import register, registry

from .keys import KeyEnv
from .obs import COUNTERS, NO_HOLD, OBS_KEYS, observation_space, observations_from_bytes
from .placement import ALL_CHAINS, PlacementEnv
from .vector import KeyVectorEnv, PlacementVectorEnv
from .versus import VersusEnv

if TYPE_CHECKING:
    from .versus_parallel import VersusParallelEnv
    from .versus_vector import VersusVectorEnv

__all__ = [
    "ALL_CHAINS",
    "COUNTERS",
    "NO_HOLD",
    "OBS_KEYS",
    "KeyEnv",
    "KeyVectorEnv",
    "PlacementEnv",
    "PlacementVectorEnv",
    "VersusEnv",
    "versus_env",
    "versus_vector_env",
    "observation_space",
    "observations_from_bytes",
]



def versus_env(**kwargs: Any) -> "VersusParallelEnv":
    """A two-player match as a PettingZoo ParallelEnv (agents "player_0" and "player_1");
    keyword arguments as `VersusParallelEnv`: mode, moves, attack, delay, max_steps, reward,
    render_mode."""
    from .versus_parallel import VersusParallelEnv

    return VersusParallelEnv(**kwargs)


def versus_vector_env(num_matches: int = 1, **kwargs: Any) -> "VersusVectorEnv":
    """N two-player matches stepped together natively, actions of shape (N, 2); keyword
    arguments as `VersusVectorEnv`: mode, moves, attack, delay, max_steps, reward,
    num_threads, copy."""
    from .versus_vector import VersusVectorEnv

    return VersusVectorEnv(num_matches, **kwargs)


if "corvelle/Placement-v0" not in registry:
    register(
        id="corvelle/Placement-v0",
        entry_point="corvelle.envs.placement:PlacementEnv",
        vector_entry_point="corvelle.envs.vector:PlacementVectorEnv",
    )
if "corvelle/Key-v0" not in registry:
    register(
        id="corvelle/Key-v0",
        entry_point="corvelle.envs.keys:KeyEnv",
        vector_entry_point="corvelle.envs.vector:KeyVectorEnv",
    )
if "corvelle/Versus-v0" not in registry:
    register(id="corvelle/Versus-v0", entry_point="corvelle.envs.versus:VersusEnv")
