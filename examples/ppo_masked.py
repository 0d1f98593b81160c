"""Masked PPO on the native placement vector env, in one file of PyTorch (after CleanRL's
ppo.py): an MLP policy over the observation, invalid placements masked out of the policy's
logits, generalised advantage estimates, clipped updates.

    python examples/ppo_masked.py --total-steps 5000000 --seed 1 --csv run.csv
    python examples/ppo_masked.py --afterstates --reward shaped --total-steps 1000000
    python examples/ppo_masked.py --random --total-steps 200000 --csv random.csv

Every `--log-every` steps it appends a row to the CSV (and prints it): the steps so far, the
episodes finished, over the episodes finished since the last row their mean lines, pieces and
return (nan when none finished), the seconds so far, and the lines cleared per piece over all
steps since the last row (finished episodes or not).

`--random` plays a uniformly random placement among the valid ones instead of learning, for a
baseline. `--afterstates` scores each placement by what it leaves (the env's
`afterstates=True` features: lines, holes, height, bumpiness, wells, ...) with one small MLP
shared by all placements, the usual form of placement-level agents; the value still reads the
observation. The env's next-step autoreset is honoured: the step that only starts a new game
after an episode ended is left out of the loss.
"""

from __future__ import annotations

import argparse
import csv
import time
from typing import Dict, List, Optional

import gymnasium as gym
import numpy as np
import torch
from torch import nn

import corvelle.envs  # noqa: F401  (registers the envs)

KINDS = 7


def features(obs: Dict[str, np.ndarray]) -> np.ndarray:
    """One float32 row per game: the visible board, the falling kind, the preview and the hold
    one-hot, whether Hold may be used, and the combo, back-to-back and garbage counters."""
    n = obs["board"].shape[0]
    eye = np.eye(KINDS + 1, dtype=np.float32)
    parts = [
        obs["board"].reshape(n, -1).astype(np.float32),
        eye[obs["piece"][:, 0]][:, :KINDS],
        eye[obs["next"]][:, :, :KINDS].reshape(n, -1),
        eye[obs["hold"][:, 0]],
        obs["hold"][:, 1:2].astype(np.float32),
        np.clip(obs["counters"][:, [0, 1, 3]].astype(np.float32), -1, 20) / 10.0,
    ]
    return np.concatenate(parts, axis=1)


class Agent(nn.Module):
    def __init__(self, n_features: int, n_actions: int, hidden: int = 256) -> None:
        super().__init__()

        def layer(i: int, o: int, std: float = np.sqrt(2)) -> nn.Linear:
            lin = nn.Linear(i, o)
            nn.init.orthogonal_(lin.weight, std)
            nn.init.zeros_(lin.bias)
            return lin

        self.trunk = nn.Sequential(
            layer(n_features, hidden), nn.ReLU(), layer(hidden, hidden), nn.ReLU()
        )
        self.actor = layer(hidden, n_actions, 0.01)
        self.critic = layer(hidden, 1, 1.0)

    def value(self, x: torch.Tensor) -> torch.Tensor:
        return self.critic(self.trunk(x)).squeeze(-1)

    def act(self, x: torch.Tensor, mask: torch.Tensor, action: Optional[torch.Tensor] = None):
        h = self.trunk(x)
        logits = self.actor(h).masked_fill(~mask, -1e8)
        dist = torch.distributions.Categorical(logits=logits)
        if action is None:
            action = dist.sample()
        return action, dist.log_prob(action), dist.entropy(), self.critic(h).squeeze(-1)


# Scales that bring each after-state feature (lines, holes, height, aggregate height,
# bumpiness, wells, row transitions, topped out) near 0..1 on boards worth playing.
AFTERSTATE_SCALE = np.array([4, 20, 20, 100, 30, 20, 60, 1], dtype=np.float32)


class AfterstateAgent(Agent):
    """Logits from each placement's after-state row (the last n_actions x 8 values of a
    feature row, see `observe`), through one MLP shared by all of them; the value from the rest
    of the row, as `Agent`'s."""

    def __init__(self, n_features: int, n_actions: int, hidden: int = 256) -> None:
        self.after_size = n_actions * len(AFTERSTATE_SCALE)
        super().__init__(n_features - self.after_size, n_actions, hidden)
        self.scorer = nn.Sequential(
            nn.Linear(len(AFTERSTATE_SCALE), 32), nn.ReLU(),
            nn.Linear(32, 32), nn.ReLU(), nn.Linear(32, 1),
        )

    def value(self, x: torch.Tensor) -> torch.Tensor:
        return super().value(x[:, : -self.after_size])

    def act(self, x: torch.Tensor, mask: torch.Tensor, action: Optional[torch.Tensor] = None):
        after = x[:, -self.after_size :].reshape(x.shape[0], mask.shape[1], -1)
        logits = self.scorer(after).squeeze(-1).masked_fill(~mask, -1e8)
        dist = torch.distributions.Categorical(logits=logits)
        if action is None:
            action = dist.sample()
        return action, dist.log_prob(action), dist.entropy(), self.value(x)


def observe(obs: Dict[str, np.ndarray]) -> np.ndarray:
    """`features`, followed by the scaled after-state rows when the observation has them."""
    x = features(obs)
    if "afterstates" not in obs:
        return x
    after = obs["afterstates"] / AFTERSTATE_SCALE
    return np.concatenate([x, after.reshape(x.shape[0], -1)], axis=1)


def main(argv: Optional[List[str]] = None) -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--total-steps", type=int, default=1_000_000)
    p.add_argument("--num-envs", type=int, default=64)
    p.add_argument("--num-steps", type=int, default=128, help="steps per env between updates")
    p.add_argument("--reward", default="lines", help="the env's reward option")
    p.add_argument("--lr", type=float, default=2.5e-4)
    p.add_argument("--gamma", type=float, default=0.99)
    p.add_argument("--gae-lambda", type=float, default=0.95)
    p.add_argument("--epochs", type=int, default=4)
    p.add_argument("--minibatches", type=int, default=4)
    p.add_argument("--clip", type=float, default=0.2)
    p.add_argument("--ent-coef", type=float, default=0.01)
    p.add_argument("--vf-coef", type=float, default=0.5)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--threads", type=int, default=1, help="torch threads")
    p.add_argument("--log-every", type=int, default=50_000)
    p.add_argument("--csv", help="append the log rows to this CSV file")
    p.add_argument("--random", action="store_true", help="a random valid placement, no learning")
    p.add_argument("--afterstates", action="store_true",
                   help="score each placement by the after-state features it leaves")
    args = p.parse_args(argv)

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    rng = np.random.default_rng(args.seed)
    envs = gym.make_vec(
        "corvelle/Placement-v0", num_envs=args.num_envs, vectorization_mode="vector_entry_point",
        reward=args.reward, afterstates=args.afterstates,
    )
    n, steps = args.num_envs, args.num_steps
    obs, info = envs.reset(seed=args.seed)
    x = observe(obs)
    mask = info["action_mask"].astype(bool)
    n_actions = mask.shape[1]
    agent = (AfterstateAgent if args.afterstates else Agent)(x.shape[1], n_actions)
    optimizer = torch.optim.Adam(agent.parameters(), lr=args.lr, eps=1e-5)

    buf_x = torch.zeros((steps, n, x.shape[1]))
    buf_mask = torch.zeros((steps, n, n_actions), dtype=torch.bool)
    buf_a = torch.zeros((steps, n), dtype=torch.long)
    buf_logp, buf_r, buf_v = (torch.zeros((steps, n)) for _ in range(3))
    buf_done = torch.zeros((steps, n))
    buf_valid = torch.zeros((steps, n), dtype=torch.bool)

    ended = np.zeros(n, dtype=bool)  # the last step ended the episode: this one only resets
    ep_return, ep_pieces = np.zeros(n), np.zeros(n, dtype=np.int64)
    lines_seen = obs["counters"][:, 2].astype(np.int64)  # each game's lines so far
    window_lines = window_steps = 0
    window: List[tuple] = []
    episodes, done_steps, next_log = 0, 0, args.log_every
    writer = None
    if args.csv:
        handle = open(args.csv, "a", newline="")
        writer = csv.writer(handle)
        if handle.tell() == 0:
            writer.writerow(["steps", "episodes", "lines_per_episode", "pieces_per_episode",
                             "return_per_episode", "seconds", "lines_per_piece"])
    start = time.time()

    while done_steps < args.total_steps:
        for t in range(steps):
            xt, mt = torch.from_numpy(x), torch.from_numpy(mask)
            if args.random:
                # A game with no valid placement (its step only resets it) takes action 0.
                scores = np.where(mask, rng.random(mask.shape), -1.0)
                action = scores.argmax(1)
            else:
                with torch.no_grad():
                    a, logp, _, v = agent.act(xt, mt)
                buf_x[t], buf_mask[t], buf_a[t], buf_logp[t], buf_v[t] = xt, mt, a, logp, v
                action = a.numpy()
            buf_valid[t] = torch.from_numpy(~ended)
            obs, reward, terminated, truncated, info = envs.step(action)
            done = terminated | truncated
            buf_r[t] = torch.from_numpy(reward.astype(np.float32))
            buf_done[t] = torch.from_numpy(done.astype(np.float32))
            live = ~ended
            ep_return[live] += reward[live]
            ep_pieces[live] += 1
            lines_now = obs["counters"][:, 2].astype(np.int64)
            window_lines += int((lines_now - lines_seen)[live].sum())
            window_steps += int(live.sum())
            lines_seen = lines_now
            for i in np.flatnonzero(done & live):
                window.append((int(obs["counters"][i, 2]), int(ep_pieces[i]), float(ep_return[i])))
                ep_return[i], ep_pieces[i] = 0.0, 0
                episodes += 1
            ended = done
            x, mask = observe(obs), info["action_mask"].astype(bool)
            done_steps += int(live.sum())
            if done_steps >= next_log:
                next_log += args.log_every
                lines, pieces, ret = (
                    (float(np.mean(c)) for c in zip(*window)) if window else [float("nan")] * 3
                )
                row = [done_steps, episodes, round(lines, 3), round(pieces, 2), round(ret, 3),
                       round(time.time() - start, 1), round(window_lines / max(window_steps, 1), 4)]
                print(*row, flush=True)
                if writer:
                    writer.writerow(row)
                    handle.flush()
                window.clear()
                window_lines = window_steps = 0
        if args.random:
            continue

        with torch.no_grad():
            next_v = agent.value(torch.from_numpy(x))
        adv = torch.zeros((steps, n))
        last = torch.zeros(n)
        for t in reversed(range(steps)):
            v_next = next_v if t == steps - 1 else buf_v[t + 1]
            nonterminal = 1.0 - buf_done[t]
            delta = buf_r[t] + args.gamma * v_next * nonterminal - buf_v[t]
            last = delta + args.gamma * args.gae_lambda * nonterminal * last
            adv[t] = last
        ret = adv + buf_v

        valid = buf_valid.reshape(-1)
        bx, bm, ba = buf_x.reshape(-1, x.shape[1])[valid], buf_mask.reshape(-1, n_actions)[valid], buf_a.reshape(-1)[valid]
        blogp, badv, bret = buf_logp.reshape(-1)[valid], adv.reshape(-1)[valid], ret.reshape(-1)[valid]
        size = bx.shape[0]
        batch = max(1, size // args.minibatches)
        for _ in range(args.epochs):
            order = torch.randperm(size)
            for s in range(0, size - batch + 1, batch):  # whole minibatches only
                idx = order[s : s + batch]
                _, logp, entropy, v = agent.act(bx[idx], bm[idx], ba[idx])
                ratio = (logp - blogp[idx]).exp()
                a = badv[idx]
                a = (a - a.mean()) / (a.std() + 1e-8)
                pg = torch.max(-a * ratio, -a * ratio.clamp(1 - args.clip, 1 + args.clip)).mean()
                vf = 0.5 * ((v - bret[idx]) ** 2).mean()
                loss = pg + args.vf_coef * vf - args.ent_coef * entropy.mean()
                optimizer.zero_grad()
                loss.backward()
                nn.utils.clip_grad_norm_(agent.parameters(), 0.5)
                optimizer.step()
    envs.close()
    if writer:
        handle.close()


if __name__ == "__main__":
    main()
