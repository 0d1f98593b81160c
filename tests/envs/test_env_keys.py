"""KeyEnv: one engine action a step, played exactly as the engine plays it."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import masked_choice
from gymnasium.error import ResetNeeded

import corvelle_vim
from corvelle import load
from corvelle.bytestate import ACTIONS
from corvelle.envs import KeyEnv, PlacementEnv

NOTHING = ACTIONS.index("Nothing")


def accepted_actions(state):
    """Indices of the actions the engine accepts from `state`."""
    names = {name for name, _ in state.next_actions_and_states}
    if not state.game_over:
        names.add("Nothing")
    return sorted(ACTIONS.index(n) for n in names)


class TestSteps:
    def test_each_action_as_next_actions_and_states(self):
        env = KeyEnv()
        _, info = env.reset(seed=6)
        rng = np.random.default_rng(6)
        for _ in range(400):
            before = env.state
            successors = dict(before.next_actions_and_states)
            assert np.flatnonzero(info["action_mask"]).tolist() == accepted_actions(before)
            a = (
                masked_choice(rng, info["action_mask"])
                if rng.random() < 0.9
                else int(rng.integers(8))
            )
            _, reward, terminated, _, info = env.step(a)
            if info["invalid_action"]:
                assert env.state.to_bytes() == before.to_bytes() and reward == 0.0
            elif a != NOTHING:
                assert env.state.to_bytes() == successors[ACTIONS[a]].to_bytes()
                assert reward == env.state.score - before.score
            if terminated:
                break

    def test_games_replay_through_the_engine(self, tmp_path):
        # Nothing has no successor list to compare with; the replay file, played back by
        # the engine, checks every action, Nothing included.
        env = KeyEnv(replay_dir=tmp_path)
        _, info = env.reset(seed=1)
        rng = np.random.default_rng(1)
        actions = []
        for _ in range(300):
            a = NOTHING if rng.random() < 0.3 else masked_choice(rng, info["action_mask"])
            _, _, terminated, _, info = env.step(a)
            actions.append(ACTIONS[a])
            if terminated:
                break
        final = env.state
        env.close()
        _, steps = load(env.replays.paths[0])
        assert [name for name, _ in steps] == actions
        assert steps[-1][1].to_bytes() == final.to_bytes()

    def test_refused_action(self):
        env = KeyEnv()
        env.reset(seed=0)
        env.step(ACTIONS.index("Hold"))
        before = env.state.to_bytes()
        obs, reward, terminated, truncated, info = env.step(ACTIONS.index("Hold"))
        assert (reward, terminated, truncated, info["invalid_action"]) == (0.0, False, False, True)
        assert env.state.to_bytes() == before
        assert info["action_mask"][ACTIONS.index("Hold")] == 0

    def test_finished_game(self):
        env = KeyEnv()
        env.reset(seed=0)
        terminated = False
        while not terminated:
            _, _, terminated, _, info = env.step(0)
        assert not info["action_mask"].any() and not env.action_masks().any()
        before = env.state.to_bytes()
        _, reward, terminated, _, info = env.step(NOTHING)
        assert (reward, terminated, info["invalid_action"]) == (0.0, True, True)
        assert env.state.to_bytes() == before

    @pytest.mark.parametrize("action", [8, -1])
    def test_out_of_space(self, action):
        env = KeyEnv()
        env.reset(seed=0)
        with pytest.raises(ValueError, match=f"action {action} is out of range 0..7"):
            env.step(action)

    def test_step_before_reset(self):
        with pytest.raises(ResetNeeded):
            KeyEnv().step(0)


class TestSeeding:
    def test_same_games_as_placement_env(self):
        keys, placement = KeyEnv(), PlacementEnv()
        for seed in (0, 1, None):
            keys.reset(seed=seed)
            placement.reset(seed=seed)
            assert keys.state.to_bytes() == placement.state.to_bytes()

    def test_given_game_seed(self):
        env = KeyEnv()
        given = corvelle_vim.generate_seed(5, bytes(range(32)))
        env.reset(options={"game_seed": given})
        assert env.state.to_bytes() == corvelle_vim.GameStatePy(given).to_bytes()

    @pytest.mark.parametrize("kind", ["score", "lines"])
    def test_reward_kinds(self, kind):
        env = KeyEnv(reward=kind)
        env.reset(seed=2)
        total = 0.0
        for _ in range(200):
            _, reward, terminated, _, _ = env.step(0)
            total += reward
            if terminated:
                break
        assert total == (env.state.score if kind == "score" else env.state.total_lines)
