"""Gymnasium environments on the corvelle_vim engine.

Importing this package registers them:

    id                       single environment   vector environment (gymnasium.make_vec)
    corvelle/Placement-v0    PlacementEnv         PlacementVectorEnv (native, batched)
    corvelle/Key-v0          KeyEnv               SyncVectorEnv / AsyncVectorEnv of KeyEnv

so `gymnasium.make("corvelle.envs:corvelle/Placement-v0")`, `gymnasium.register_envs(corvelle.envs)`
and `gymnasium.make_vec("corvelle/Placement-v0", num_envs=256)` all work. Needs the `gym`
extra (gymnasium and numpy).
"""

from gymnasium.envs.registration import register, registry

from .keys import KeyEnv
from .obs import COUNTERS, NO_HOLD, OBS_KEYS, observation_space, observations_from_bytes
from .placement import ALL_CHAINS, PlacementEnv
from .vector import PlacementVectorEnv

__all__ = [
    "ALL_CHAINS",
    "COUNTERS",
    "NO_HOLD",
    "OBS_KEYS",
    "KeyEnv",
    "PlacementEnv",
    "PlacementVectorEnv",
    "observation_space",
    "observations_from_bytes",
]

if "corvelle/Placement-v0" not in registry:
    register(
        id="corvelle/Placement-v0",
        entry_point="corvelle.envs.placement:PlacementEnv",
        vector_entry_point="corvelle.envs.vector:PlacementVectorEnv",
    )
if "corvelle/Key-v0" not in registry:
    register(id="corvelle/Key-v0", entry_point="corvelle.envs.keys:KeyEnv")
