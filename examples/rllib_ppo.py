"""RLlib PPO with action masking on the placement env.

    python examples/rllib_ppo.py --iterations 20

The env is the placement env with a flat observation and its action mask beside it
(`corvelle.envs.rllib`), the policy RLlib's action-masking PPO module, so invalid placements
are never sampled. Prints the mean episode return and length after each iteration.
"""

from __future__ import annotations

import argparse
from typing import List, Optional

import ray
from ray.rllib.algorithms.ppo import PPOConfig
from ray.rllib.core.rl_module.rl_module import RLModuleSpec
from ray.rllib.examples.rl_modules.classes.action_masking_rlm import ActionMaskingTorchRLModule

from corvelle.envs import rllib


def main(argv: Optional[List[str]] = None) -> List[dict]:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--iterations", type=int, default=20)
    p.add_argument("--batch", type=int, default=4000, help="env steps per iteration")
    p.add_argument("--reward", default="lines", help="the env's reward option")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args(argv)

    name = rllib.register()
    config = (
        PPOConfig()
        .environment(name, env_config={"reward": args.reward})
        .env_runners(num_env_runners=0)
        .rl_module(
            rl_module_spec=RLModuleSpec(
                module_class=ActionMaskingTorchRLModule,
                model_config={"fcnet_hiddens": [128, 128], "head_fcnet_hiddens": [64]},
            )
        )
        .training(train_batch_size_per_learner=args.batch, minibatch_size=min(512, args.batch),
                   num_epochs=4, lr=3e-4)
        .debugging(seed=args.seed)
    )
    ray.init(num_cpus=1, include_dashboard=False, ignore_reinit_error=True, log_to_driver=False)
    algo = config.build_algo()
    results = []
    try:
        for i in range(args.iterations):
            result = algo.train()
            runners = result["env_runners"]
            print(i, round(runners.get("episode_return_mean", float("nan")), 3),
                  round(runners.get("episode_len_mean", float("nan")), 1), flush=True)
            results.append(result)
    finally:
        algo.stop()
        ray.shutdown()
    return results


if __name__ == "__main__":
    main()
