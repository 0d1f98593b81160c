"""The envs for RLlib: a flat observation with the action mask beside it, registered by name.

RLlib's action-masking modules (`ActionMaskingTorchRLModule` of its examples) read a Dict
observation of two keys: "observations" (what the policy sees) and "action_mask" (1 for an
action the env accepts). `masked_env(env_id, **kwargs)` makes one of the package's envs in that
form: the env's own observation flattened into one float32 vector (gymnasium's
`flatten`), and its `info["action_mask"]` as a float32 vector. `register()` registers it with
Ray Tune's registry so that `config.environment("corvelle/Placement-masked", env_config={...})`
builds it, `env_config` holding the env's keyword arguments (and optionally "env_id").
"""

from __future__ import annotations

from typing import Any, Dict, Tuple

import gymnasium as gym
import numpy as np
from gymnasium import spaces

import corvelle.envs  # noqa: F401  (registers the envs)

__all__ = ["MaskedObservation", "masked_env", "register"]


class MaskedObservation(gym.Wrapper, gym.utils.RecordConstructorArgs):
    """An env whose observation is {"observations": the flattened observation, "action_mask":
    the mask of `info["action_mask"]`}, both float32."""

    def __init__(self, env: "gym.Env[Any, Any]") -> None:
        gym.utils.RecordConstructorArgs.__init__(self)
        gym.Wrapper.__init__(self, env)
        inner = env.observation_space
        flat = spaces.flatten_space(inner)
        assert isinstance(flat, spaces.Box) and isinstance(env.action_space, spaces.Discrete)
        self.observation_space = spaces.Dict(
            {
                "observations": spaces.Box(
                    flat.low.astype(np.float32), flat.high.astype(np.float32), dtype=np.float32
                ),
                "action_mask": spaces.Box(0.0, 1.0, (int(env.action_space.n),), np.float32),
            }
        )

    def _wrap(self, obs: Any, info: Dict[str, Any]) -> Dict[str, np.ndarray]:
        return {
            "observations": np.asarray(
                spaces.flatten(self.env.observation_space, obs), dtype=np.float32
            ),
            "action_mask": np.asarray(info["action_mask"], dtype=np.float32),
        }

    def reset(self, **kwargs: Any) -> Tuple[Dict[str, np.ndarray], Dict[str, Any]]:
        obs, info = self.env.reset(**kwargs)
        return self._wrap(obs, info), info

    def step(self, action: Any) -> Tuple[Dict[str, np.ndarray], float, bool, bool, Dict[str, Any]]:
        obs, reward, terminated, truncated, info = self.env.step(action)
        return self._wrap(obs, info), float(reward), terminated, truncated, info


def masked_env(env_id: str = "corvelle/Placement-v0", **kwargs: Any) -> MaskedObservation:
    """`gymnasium.make(env_id, **kwargs)` with the masked flat observation."""
    return MaskedObservation(gym.make(env_id, **kwargs))


def register(name: str = "corvelle/Placement-masked") -> str:
    """Registers `masked_env` with Ray Tune under `name` (needs ray); returns the name. The env
    config is the env's keyword arguments, with "env_id" choosing the env (default
    corvelle/Placement-v0)."""
    from ray.tune.registry import register_env

    def create(config: Dict[str, Any]) -> MaskedObservation:
        settings = dict(config)
        return masked_env(settings.pop("env_id", "corvelle/Placement-v0"), **settings)

    register_env(name, create)
    return name
