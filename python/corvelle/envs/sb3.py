"""Stable-Baselines3 over the native vector envs: `make_vec_env` gives an SB3 `VecEnv` whose
games step natively, with the masks `MaskablePPO` (sb3-contrib) asks for.

    from sb3_contrib import MaskablePPO
    from corvelle.envs.sb3 import make_vec_env

    env = make_vec_env("corvelle/Placement-v0", num_envs=16, reward="shaped")
    MaskablePPO("MultiInputPolicy", env).learn(100_000)

Needs stable-baselines3 (the `rl` extra).
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Sequence

import gymnasium as gym
import numpy as np
from gymnasium.vector import AutoresetMode

try:
    from stable_baselines3.common.vec_env.base_vec_env import (
        VecEnv,
        VecEnvIndices,
        VecEnvObs,
        VecEnvStepReturn,
    )
except ImportError as error:  # pragma: no cover - depends on what is installed
    raise ImportError(
        "corvelle.envs.sb3 needs stable-baselines3: pip install 'corvelle-vim[rl]'"
    ) from error

from .vector import NativeVectorEnv

__all__ = ["NativeSB3VecEnv", "make_vec_env"]


def make_vec_env(
    env_id: str, num_envs: int = 1, seed: Optional[int] = None, **env_kwargs: Any
) -> "NativeSB3VecEnv":
    """An SB3 VecEnv of `num_envs` games of `env_id` ("corvelle/Placement-v0" or
    "corvelle/Key-v0") stepped by the native vector env; `env_kwargs` go to that env (reward,
    moves, max_episode_steps, num_threads, ...). `seed` seeds game i with seed + i at the first
    reset, as SB3's own `make_vec_env` does."""
    if "autoreset_mode" in env_kwargs:
        raise ValueError("an SB3 VecEnv resets games on the step they end: leave autoreset_mode out")
    import corvelle.envs  # noqa: F401  (registers the ids)

    venv = gym.make_vec(
        env_id,
        num_envs=num_envs,
        vectorization_mode="vector_entry_point",
        autoreset_mode=AutoresetMode.SAME_STEP,
        **env_kwargs,
    )
    env = NativeSB3VecEnv(venv)
    if seed is not None:
        env.seed(seed)
    return env


class NativeSB3VecEnv(VecEnv):
    """A native vector env (same-step autoreset) seen as an SB3 `VecEnv`.

    Steps return SB3's forms: dict observations, float32 rewards, `dones` = terminated or
    truncated, and one info dict per game, empty except where an episode ended: there it holds
    `terminal_observation`, `TimeLimit.truncated` and `episode` (`r`, `l`, `lines`, `pieces`,
    `score` of that episode, read by SB3's logger as a Monitor's). `env_method("action_masks")`
    gives each game's mask as bools, which is how `MaskablePPO` reads them; other methods and
    attributes are the vector env's, a per-game result split by game.
    """

    def __init__(self, venv: Any) -> None:
        venv = getattr(venv, "unwrapped", venv)
        if not isinstance(venv, NativeVectorEnv):
            raise TypeError(f"expected a native corvelle vector env, not {type(venv).__name__}")
        if venv.autoreset_mode != AutoresetMode.SAME_STEP:
            raise ValueError("the vector env must reset games on the step they end (SAME_STEP)")
        self.venv = venv
        super().__init__(venv.num_envs, venv.single_observation_space, venv.single_action_space)
        self._actions: Optional[np.ndarray] = None

    def reset(self) -> VecEnvObs:
        """Starts every game: with the seeds `seed()` set, if any (used once)."""
        seeds = None if all(s is None for s in self._seeds) else list(self._seeds)
        obs, _ = self.venv.reset(seed=seeds)
        self.reset_infos = [{} for _ in range(self.num_envs)]
        self._reset_seeds()
        self._reset_options()
        return obs

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = np.asarray(actions, dtype=np.int64).reshape(self.num_envs)

    def step_wait(self) -> VecEnvStepReturn:
        assert self._actions is not None, "step_async comes first"
        obs, rewards, terminated, truncated, info = self.venv.step(self._actions)
        self._actions = None
        dones = terminated | truncated
        infos: List[Dict[str, Any]] = [{} for _ in range(self.num_envs)]
        if dones.any():
            episode = info["episode"]
            for i in np.flatnonzero(dones):
                infos[i] = {
                    "terminal_observation": info["final_obs"][i],
                    "TimeLimit.truncated": bool(truncated[i] and not terminated[i]),
                    "episode": {k: v[i].item() for k, v in episode.items()},
                }
        return obs, rewards.astype(np.float32), dones, infos

    def action_masks(self) -> np.ndarray:
        """Every game's mask as bools, shape (num_envs, A)."""
        masks: np.ndarray = self.venv.action_masks()
        return masks

    def close(self) -> None:
        self.venv.close()

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> List[Any]:
        """The vector env's attribute, once per game asked for (split by game when it holds
        one entry per game)."""
        return self._per_game(getattr(self.venv, attr_name), indices)

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        setattr(self.venv, attr_name, value)

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> List[Any]:
        """The vector env's method called once, its result split by game when it holds one
        entry per game (as `action_masks` does), else repeated for each game asked for."""
        result = getattr(self.venv, method_name)(*method_args, **method_kwargs)
        return self._per_game(result, indices)

    def env_is_wrapped(self, wrapper_class: type, indices: VecEnvIndices = None) -> List[bool]:
        return [False for _ in self._get_indices(indices)]

    def get_images(self) -> Sequence[Optional[np.ndarray]]:
        frames = self.venv.render()
        return [None] * self.num_envs if frames is None else list(frames)

    def _per_game(self, value: Any, indices: VecEnvIndices) -> List[Any]:
        which: Iterable[int] = self._get_indices(indices)
        per_game = isinstance(value, (np.ndarray, tuple, list)) and len(value) == self.num_envs
        return [value[i] if per_game else value for i in which]

