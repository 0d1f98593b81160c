"""The versus environments: PettingZoo's parallel API test and Gymnasium's checker at both
levels, refusals of bad actions, repeatable resets and the end of a match."""

from __future__ import annotations

import gymnasium
import numpy as np
import pytest

import corvelle.envs
from corvelle.envs import VersusEnv, versus_env

pettingzoo_test = pytest.importorskip("pettingzoo.test")


@pytest.mark.parametrize("mode", ["placement", "keys"])
def test_parallel_api(mode: str) -> None:
    pettingzoo_test.parallel_api_test(
        versus_env(mode=mode, attack="guideline", delay=1, max_steps=200), num_cycles=300
    )


@pytest.mark.parametrize("mode", ["placement", "keys"])
def test_check_env(mode: str) -> None:
    from gymnasium.utils.env_checker import check_env

    env = gymnasium.make("corvelle/Versus-v0", opponent="wordpress", mode=mode)
    check_env(env.unwrapped, skip_render_check=True)


def play_out(env, seed: int):
    obs, _ = env.reset(seed=seed)
    rng = np.random.default_rng(seed)
    history = []
    while env.agents:
        actions = {
            a: int(rng.choice(np.flatnonzero(obs[a]["action_mask"]))) for a in env.agents
        }
        obs, rewards, terms, truncs, infos = env.step(actions)
        history.append((actions, rewards))
    return history, terms, truncs, infos


class TestParallel:
    def test_observations_hold_both_boards_and_both_garbage_counts(self) -> None:
        env = versus_env()
        obs, _ = env.reset(seed=3)
        o = obs["player_0"]["observation"]
        assert set(o) >= {"board", "opponent_board", "garbage", "next", "hold"}
        assert env.observation_space("player_0")["observation"].contains(o)
        assert obs["player_0"]["action_mask"].shape == (96,)

    def test_a_match_repeats_from_its_seed_and_ends_for_both(self) -> None:
        one = play_out(versus_env(attack="guideline"), 11)
        two = play_out(versus_env(attack="guideline"), 11)
        assert one[0] == two[0]
        history, terms, truncs, infos = one
        assert terms == {"player_0": True, "player_1": True} and not any(truncs.values())
        final = history[-1][1]
        assert sorted(final.values()) in ([-1.0, 1.0], [0.0, 0.0])
        winner = infos["player_0"]["metrics"]["winner"]
        if winner != "draw":
            assert final[f"player_{winner}"] == 1.0

    def test_the_step_limit_truncates(self) -> None:
        _, terms, truncs, infos = play_out(versus_env(mode="keys", max_steps=5), 1)
        assert truncs == {"player_0": True, "player_1": True} and not any(terms.values())
        assert infos["player_1"]["metrics"]["winner"] == "draw"

    def test_bad_actions_are_refused_by_agent(self) -> None:
        env = versus_env(mode="keys")
        obs, _ = env.reset(seed=0)
        # Moving left until the wall: MoveLeft (2) is then masked out.
        while obs["player_1"]["action_mask"][2]:
            obs, *_ = env.step({"player_0": 7, "player_1": 2})
        steps = env.match.steps
        masked = 2
        with pytest.raises(ValueError, match="player_1: action .* is masked out"):
            env.step({"player_0": 0, "player_1": masked})
        with pytest.raises(ValueError, match="player_0: action 8 is out of range"):
            env.step({"player_0": 8, "player_1": 0})
        with pytest.raises(ValueError, match="player_1: no action given"):
            env.step({"player_0": 0})
        with pytest.raises(ValueError, match="'player_2' is not a live agent"):
            env.step({"player_0": 0, "player_1": 0, "player_2": 0})
        assert env.match.steps == steps
        with pytest.raises(ValueError, match="unknown agent"):
            env.action_space("nobody")

    def test_a_step_after_the_end_is_refused(self) -> None:
        env = versus_env(max_steps=1)
        env.reset(seed=0)
        env.step({"player_0": 0, "player_1": 0})
        assert env.agents == []
        with pytest.raises(RuntimeError, match="the match is over"):
            env.step({"player_0": 0, "player_1": 0})


class TestSingleAgent:
    def test_registered(self) -> None:
        env = gymnasium.make("corvelle/Versus-v0", opponent="random", attack="guideline")
        assert isinstance(env.unwrapped, VersusEnv)
        with pytest.raises(ValueError, match="opponent must be"):
            VersusEnv(opponent="nobody")

    def test_a_masked_action_changes_nothing(self) -> None:
        env = VersusEnv(mode="keys")
        _, info = env.reset(seed=5)
        while info["action_mask"][3]:
            _, _, _, _, info = env.step(3)
        masked = 3
        before = env.match.to_bytes()
        _, reward, terminated, truncated, info = env.step(masked)
        assert info["invalid_action"] and reward == 0.0 and not (terminated or truncated)
        assert env.match.to_bytes() == before

    def test_the_bot_wins_against_hard_drops(self) -> None:
        env = VersusEnv(opponent="wordpress", attack="guideline")
        env.reset(seed=2)
        terminated = truncated = False
        while not (terminated or truncated):
            _, reward, terminated, truncated, info = env.step(0)
        assert terminated and reward == -1.0 and info["metrics"]["winner"] == 1


class TestVectorEnv:
    def test_matches_play_as_the_match_type_plays_them(self) -> None:
        from corvelle._batch import VersusBatch
        from corvelle.envs.arena import arena_views
        from corvelle.versus import Match, match_seeds

        n = 3
        batch = VersusBatch(n, attack="guideline", delay=1, max_steps=100, autoreset=False)
        views = arena_views(batch)
        seeds = [match_seeds(bytes(32), i) for i in range(n)]
        views["seeds"][:] = np.frombuffer(
            b"".join(s + bytes(8) for pair in seeds for s in pair), dtype=np.uint8
        ).reshape(2 * n, 40)
        views["use_seed"][:] = True
        batch.reset()
        matches = [Match(*pair, attack="guideline", delay=1, max_steps=100) for pair in seeds]
        rng = np.random.default_rng(0)
        while any(m.winner is None for m in matches):
            mask = views["mask"].reshape(n, 2, 96)
            actions = np.argmax(rng.random(mask.shape) * mask, axis=-1).astype(np.int64)
            batch.step(actions)
            for i, m in enumerate(matches):
                if m.winner is not None:
                    assert views["invalid"][i]  # an ended match masks every action
                    continue
                m.step_chains(int(actions[i, 0]), int(actions[i, 1]))
                for p in (0, 1):
                    assert batch.state_bytes(i, p) == m.state_bytes(p)
                    assert views["garbage"][2 * i + p, 0] == m.garbage(p)["incoming"]
                winner = {None: -1, 0: 0, 1: 1, "draw": 2}[m.winner]
                assert views["winner"][i] == winner
                if winner in (0, 1):
                    assert views["terminated"][i]
                    assert views["reward"][2 * i + winner] == 1.0
                    assert views["reward"][2 * i + 1 - winner] == -1.0

    def test_a_masked_action_leaves_its_match_and_bad_shapes_are_refused(self) -> None:
        env = corvelle.envs.versus_vector_env(2, mode="keys")
        _, info = env.reset(seed=1)
        # MoveLeft (2) until player 1 of match 0 reaches the wall.
        while info["action_mask"][0, 1, 2]:
            _, _, _, _, info = env.step(np.array([[7, 2], [7, 7]]))
        before = env.state(0, 0).to_bytes()
        _, _, _, _, info = env.step(np.array([[7, 2], [7, 7]]))
        assert info["invalid_action"].tolist() == [True, False]
        assert env.state(0, 0).to_bytes() == before
        with pytest.raises(ValueError, match=r"actions must have shape \(2, 2\)"):
            env.step(np.zeros(4, dtype=np.int64))
        with pytest.raises(ValueError, match=r"actions\[1, 0\] = 8 is out of range 0..7"):
            env.step(np.array([[0, 0], [8, 0]]))

    def test_reset_repeats(self) -> None:
        a = corvelle.envs.versus_vector_env(2)
        b = corvelle.envs.versus_vector_env(2)
        oa, _ = a.reset(seed=9)
        ob, _ = b.reset(seed=9)
        assert all(np.array_equal(oa[k], ob[k]) for k in oa)
        assert oa["board"].shape == (2, 2, 20, 10) and oa["garbage"].shape == (2, 2, 2)
