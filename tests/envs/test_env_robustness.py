"""Environments used as libraries use them: stepped after close, copied for planning, forked,
handed hostile action masks."""

from __future__ import annotations

import copy
import subprocess
import sys
from typing import Any, List, Tuple

import gymnasium as gym
import numpy as np
import pytest
from envs_support import masked_choice
from gymnasium.error import ClosedEnvironmentError

from corvelle.envs import KeyEnv, PlacementEnv


def placement_vector(num_envs: int = 4, **kwargs: Any) -> Any:
    return gym.make_vec("corvelle/Placement-v0", num_envs=num_envs,
                        vectorization_mode="vector_entry_point", **kwargs)


class TestClosed:
    @pytest.mark.parametrize("make", [PlacementEnv, KeyEnv, placement_vector])
    def test_step_and_reset_after_close_raise(self, make: Any) -> None:
        env = make()
        env.reset(seed=0)
        env.close()
        env.close()  # closing again does nothing
        with pytest.raises(ClosedEnvironmentError, match=r"step\(\) after .*close\(\)"):
            env.step(env.action_space.sample())
        with pytest.raises(ClosedEnvironmentError, match=r"reset\(\) after .*close\(\)"):
            env.reset()


def drive(env: Any, rng: np.random.Generator, steps: int) -> List[Tuple[Any, ...]]:
    """Plays masked random actions, every fifth one masked out, resetting (from the env's own
    generator) when a game ends; returns every step's results."""
    results = []
    for k in range(steps):
        mask = env.action_masks()
        if k % 5 == 4 and not mask.all():
            action = int(np.flatnonzero(~mask)[0])
        else:
            action = masked_choice(rng, mask.astype(np.int8))
        obs, reward, terminated, truncated, info = env.step(action)
        results.append((obs, reward, terminated, info))
        if terminated:
            results.append(env.reset())
    return results


def same(a: Any, b: Any) -> bool:
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return bool(np.array_equal(a, b))


class TestCopies:
    @pytest.mark.parametrize("make, steps", [(PlacementEnv, 400), (KeyEnv, 1500)])
    def test_a_copy_goes_on_as_the_original_and_apart_from_it(self, make: Any, steps: int) -> None:
        env = make()
        env.reset(seed=3)
        drive(env, np.random.default_rng(1), steps // 2)
        twin = copy.deepcopy(env)
        assert type(env.clone()) is make
        # The copy wanders off; the original does not notice.
        before = env.state.to_bytes()
        drive(copy.deepcopy(env), np.random.default_rng(9), 50)
        assert env.state.to_bytes() == before
        # Driven alike (episodes ending and new games drawn included), the two stay alike.
        assert same(drive(env, np.random.default_rng(2), steps), drive(twin, np.random.default_rng(2), steps))

    def test_a_vector_copy_goes_on_as_the_original_and_apart_from_it(self) -> None:
        envs = placement_vector(8, max_episode_steps=30).unwrapped
        envs.reset(seed=4)

        def play(e: Any, seed: int, steps: int) -> List[Tuple[Any, ...]]:
            rng = np.random.default_rng(seed)
            return [e.step((rng.random((8, 96)) + e.action_masks()).argmax(axis=1))
                    for _ in range(steps)]

        play(envs, 1, 20)
        twin = envs.clone()
        before = [envs.state(i).to_bytes() for i in range(8)]
        play(copy.deepcopy(envs), 9, 40)  # episodes end and restart in the copy alone
        assert [envs.state(i).to_bytes() for i in range(8)] == before
        assert same(play(envs, 2, 60), play(twin, 2, 60))

    def test_a_copy_writes_no_replay_files(self, tmp_path) -> None:
        env = PlacementEnv(replay_dir=tmp_path)
        env.reset(seed=0)
        twin = env.clone()
        drive(twin, np.random.default_rng(0), 5)
        twin.close()
        assert twin.replays is None and list(tmp_path.iterdir()) == []


# Forks a process holding a vector env of 256 games (two threads): one child exits at once,
# one steps the env as the parent then does, printing whether the two agree. The children
# exit through the interpreter's normal shutdown, which frees the env they inherited.
_FORK = """
import os, signal, sys
import gymnasium as gym
import numpy as np
import corvelle.envs

envs = gym.make_vec("corvelle/Placement-v0", num_envs=256, vectorization_mode="vector_entry_point",
                    num_threads=2)
assert envs.unwrapped.num_threads == 2
envs.reset(seed=0)
envs.step(np.zeros(256, dtype=np.int64))

def play():
    rng = np.random.default_rng(5)
    steps = [envs.step((rng.random((256, 96)) + envs.action_masks()).argmax(axis=1)) for _ in range(40)]
    return sum(float(step[1].sum()) for step in steps)

# A child that only frees what it inherited.
if os.fork() == 0:
    signal.alarm(60)
    sys.exit(0)
print("idle child", os.waitstatus_to_exitcode(os.wait()[1]))

read, write = os.pipe()
child = os.fork()
if child == 0:
    signal.alarm(60)  # a hung child ends rather than outlive the test
    os.close(read)
    os.write(write, repr(play()).encode())
    sys.exit(0)
os.close(write)
got = os.fdopen(read, "rb").read()
print("child", os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]), "agrees", float(got) == play())
"""


def test_a_forked_child_steps_and_exits() -> None:
    result = subprocess.run([sys.executable, "-c", _FORK], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "idle child 0\nchild 0 agrees True\n"


def test_steps_go_by_the_engine_not_by_a_mask_the_caller_wrote() -> None:
    """With copy=False the mask handed out is the native buffer itself, which a caller can
    write: game 0 is given an illegal chain marked playable, game 1 a legal one marked out."""
    envs = placement_vector(64, copy=False)
    obs, info = envs.reset(seed=4)
    mask, rng = info["action_mask"], np.random.default_rng(0)
    actions = np.array([masked_choice(rng, m) for m in mask])
    actions[0] = illegal = int(np.flatnonzero(mask[0] == 0)[0])
    mask[0, illegal] = 1
    mask[1, :] = 0
    board_before = obs["board"][0].copy()
    reference = PlacementEnv()
    reference.reset(seed=5)
    want = reference.step(int(actions[1]))
    obs, reward, _, _, info = envs.step(actions)
    assert info["invalid_action"].tolist() == [True] + [False] * 63
    assert reward[0] == 0.0 and np.array_equal(obs["board"][0], board_before)
    assert reward[1] == want[1] and all(np.array_equal(obs[k][1], want[0][k]) for k in want[0])
    # Later steps go on as usual.
    actions = np.array([masked_choice(rng, m) for m in envs.action_masks().astype(np.int8)])
    assert not envs.step(actions)[4]["invalid_action"].any()
