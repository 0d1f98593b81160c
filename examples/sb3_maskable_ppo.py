"""MaskablePPO (sb3-contrib) on the native vector env: one piece per step, the shaped reward,
invalid placements masked out. Prints lines and pieces per episode as training goes, then
plays the trained policy for a few episodes.

    pip install 'corvelle-vim[rl]'
    python examples/sb3_maskable_ppo.py --steps 1000000 --envs 16
    python examples/sb3_maskable_ppo.py --smoke     # a few thousand steps, as the tests run it
"""

from __future__ import annotations

import argparse

import numpy as np
from sb3_contrib import MaskablePPO
from stable_baselines3.common.callbacks import BaseCallback

from corvelle.envs.sb3 import make_vec_env


class EpisodeReport(BaseCallback):
    """Prints the mean lines and pieces of the episodes finished since the last rollout."""

    def __init__(self) -> None:
        super().__init__()
        self.lines: list = []
        self.pieces: list = []

    def _on_step(self) -> bool:
        for info in self.locals["infos"]:
            if "episode" in info:
                self.lines.append(info["episode"]["lines"])
                self.pieces.append(info["episode"]["pieces"])
        return True

    def _on_rollout_end(self) -> None:
        if self.lines:
            print(
                f"{self.num_timesteps:>9} steps  {len(self.lines):>4} episodes  "
                f"lines per episode {np.mean(self.lines):6.2f}  "
                f"pieces per episode {np.mean(self.pieces):6.1f}",
                flush=True,
            )
        self.lines, self.pieces = [], []


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=1_000_000, help="placements to train on")
    parser.add_argument("--envs", type=int, default=16, help="games stepped together")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--smoke", action="store_true", help="a short run (tests)")
    args = parser.parse_args()
    steps, n_steps = (4096, 64) if args.smoke else (args.steps, 256)

    env = make_vec_env("corvelle/Placement-v0", args.envs, seed=args.seed, reward="shaped")
    model = MaskablePPO(
        "MultiInputPolicy",
        env,
        n_steps=n_steps,
        batch_size=256,
        n_epochs=2 if args.smoke else 4,
        gamma=0.99,
        seed=args.seed,
        verbose=0,
    )
    model.learn(steps, callback=EpisodeReport())

    # The trained policy, deterministic and masked, for a few episodes of each game.
    obs = env.reset()
    finished: list = []
    while len(finished) < args.envs:
        actions, _ = model.predict(obs, action_masks=env.action_masks(), deterministic=True)
        obs, _, dones, infos = env.step(actions)
        finished += [info["episode"] for info, done in zip(infos, dones) if done]
    print(
        f"trained policy: lines per episode {np.mean([e['lines'] for e in finished]):.2f}, "
        f"pieces per episode {np.mean([e['pieces'] for e in finished]):.1f}"
    )


if __name__ == "__main__":
    main()
