"""The versus environments: PettingZoo's parallel API test and Gymnasium's checker at both
levels, refusals of bad actions, repeatable resets and the end of a match."""

from __future__ import annotations

import gymnasium
import numpy as np
import pytest

import corvelle
import corvelle.envs
from corvelle import placement as pl
from corvelle.envs import PlacementEnv, VersusEnv, versus_env

pettingzoo_test = pytest.importorskip("pettingzoo.test")


SPACES = [("placement", "chains"), ("keys", "chains"), ("placement", "all")]


@pytest.mark.parametrize("mode, moves", SPACES)
def test_parallel_api(mode: str, moves: str) -> None:
    pettingzoo_test.parallel_api_test(
        versus_env(mode=mode, moves=moves, attack="guideline", delay=1, max_steps=200),
        num_cycles=300,
    )


@pytest.mark.parametrize("mode, moves", SPACES)
def test_check_env(mode: str, moves: str) -> None:
    from gymnasium.utils.env_checker import check_env

    env = gymnasium.make("corvelle/Versus-v0", opponent="wordpress", mode=mode, moves=moves)
    check_env(env.unwrapped, skip_render_check=True)


def test_every_placement_space_is_the_single_player_one() -> None:
    env = versus_env(moves="all")
    obs, _ = env.reset(seed=4)
    assert env.action_space("player_0") == PlacementEnv(moves="all").action_space
    for p, agent in enumerate(("player_0", "player_1")):
        mask = np.zeros(pl.ACTION_NB, dtype=np.int8)
        mask[[q.action for q in corvelle.placements(env.match.state(p))]] = 1
        np.testing.assert_array_equal(obs[agent]["action_mask"], mask)
    with pytest.raises(ValueError, match="moves='all' needs mode='placement'"):
        versus_env(mode="keys", moves="all")
    with pytest.raises(ValueError, match="moves must be 'chains' or 'all'"):
        VersusEnv(moves="every")
    with pytest.raises(ValueError, match="moves='all' needs mode='placement'"):
        corvelle.envs.versus_vector_env(2, mode="keys", moves="all")


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


def seeded_batch(n: int, mode: str, **kwargs):
    """A VersusBatch whose matches start from the seeds of `match_seeds`, and the Python
    matches of the same seeds and settings."""
    from corvelle._batch import VersusBatch
    from corvelle.envs.arena import arena_views
    from corvelle.versus import Match, match_seeds

    batch = VersusBatch(n, mode=mode, autoreset=False, **kwargs)
    views = arena_views(batch)
    seeds = [match_seeds(bytes(32), 40 + i) for i in range(n)]
    views["seeds"][:] = np.frombuffer(
        b"".join(s + bytes(8) for pair in seeds for s in pair), dtype=np.uint8
    ).reshape(2 * n, 40)
    views["use_seed"][:] = True
    batch.reset()
    return batch, views, [Match(*pair, **kwargs) for pair in seeds]


class TestVectorAllPlacements:
    def test_native_matches_play_as_the_match_type_plays_the_key_paths(self) -> None:
        n = 3
        batch, views, matches = seeded_batch(
            n, "all_placements", attack="guideline", delay=1, max_steps=150
        )
        mask = views["mask"].reshape(n, 2, pl.ACTION_NB)
        rng = np.random.default_rng(1)
        longest = 0
        while any(m.winner is None for m in matches):
            # Deep placements first, so that tucks and spins (long key paths) get played.
            listed = [[{p.action: p for p in corvelle.placements(m.state(q))} for q in (0, 1)]
                      for m in matches]
            actions = np.zeros((n, 2), dtype=np.int64)
            for i, m in enumerate(matches):
                for q in (0, 1):
                    want = np.zeros(pl.ACTION_NB, dtype=np.int8)
                    if m.winner is None:  # an ended match masks every action
                        want[list(listed[i][q])] = 1
                    np.testing.assert_array_equal(mask[i, q], want)
                    if listed[i][q]:
                        keys = {a: len(p.keys) for a, p in listed[i][q].items()}
                        pick = max(keys, key=keys.get) if rng.random() < 0.3 else None
                        actions[i, q] = pick if pick is not None else rng.choice(list(keys))
            batch.step(actions)
            for i, m in enumerate(matches):
                if m.winner is not None:
                    assert views["invalid"][i]
                    continue
                turns = [listed[i][q][int(actions[i, q])].keys for q in (0, 1)]
                longest = max(longest, *map(len, turns))
                m.step(*turns)
                for q in (0, 1):
                    assert batch.state_bytes(i, q) == m.state_bytes(q)
                    assert views["garbage"][2 * i + q, 0] == m.garbage(q)["incoming"]
                assert views["winner"][i] == {None: -1, 0: 0, 1: 1, "draw": 2}[m.winner]
                assert batch.match_info(i) == m._native.info()
        assert longest > 9  # longer than any move chain

    def test_a_code_that_is_no_placement_leaves_its_match(self) -> None:
        batch, views, _ = seeded_batch(2, "all_placements")
        mask = views["mask"].reshape(2, 2, pl.ACTION_NB)
        good = np.argmax(mask, axis=-1)
        bad = good.copy()
        bad[1, 0] = int(np.flatnonzero(mask[1, 0] == 0)[0])
        before = batch.state_bytes(1, 0), batch.state_bytes(1, 1)
        batch.step(bad)
        assert views["invalid"].tolist() == [False, True]
        assert (batch.state_bytes(1, 0), batch.state_bytes(1, 1)) == before

    def test_a_rewritten_chain_mask_is_refused_not_played(self) -> None:
        batch, views, _ = seeded_batch(1, "placement")
        mask = views["mask"]
        chain = int(np.flatnonzero(mask[0] == 0)[0])  # a chain into the wall
        mask[0, chain] = 1
        before = batch.state_bytes(0, 0)
        batch.step(np.array([[chain, 0]]))
        assert views["invalid"][0] and batch.state_bytes(0, 0) == before


class TestVectorEnvApi:
    def test_is_a_gymnasium_vector_env_over_matches(self) -> None:
        from gymnasium.vector import AutoresetMode, VectorEnv
        from gymnasium.wrappers.vector import DictInfoToList, FlattenObservation

        env = corvelle.envs.versus_vector_env(3, moves="all")
        assert isinstance(env, VectorEnv) and env.num_envs == 3
        assert env.metadata["autoreset_mode"] == AutoresetMode.NEXT_STEP
        assert env.agent_action_space == PlacementEnv(moves="all").action_space
        assert env.single_action_space == gymnasium.spaces.MultiDiscrete([pl.ACTION_NB] * 2)
        assert env.action_space.shape == (3, 2) and env.action_space.contains(
            env.action_space.sample()
        )
        obs, info = env.reset(seed=0)
        assert env.observation_space.contains(obs)
        assert env.single_observation_space.contains({k: v[1] for k, v in obs.items()})
        assert env.agent_observation_space.contains({k: v[1, 0] for k, v in obs.items()})
        assert info["action_mask"].shape == (3, 2, pl.ACTION_NB)
        flat, _ = FlattenObservation(corvelle.envs.versus_vector_env(3)).reset(seed=0)
        assert flat.shape[0] == 3
        _, infos = DictInfoToList(corvelle.envs.versus_vector_env(3)).reset(seed=0)
        assert len(infos) == 3 and infos[2]["action_mask"].shape == (2, 96)
        env.close()
        with pytest.raises(gymnasium.error.ClosedEnvironmentError):
            env.step(np.zeros((3, 2), dtype=np.int64))

    def test_metrics_come_with_the_step_a_match_ends(self) -> None:
        from corvelle.versus import match_metrics

        env = corvelle.envs.versus_vector_env(4, attack="guideline", max_steps=60, copy=False)
        _, info = env.reset(seed=3)
        rng = np.random.default_rng(3)
        ended = 0
        for _ in range(400):
            m = info["action_mask"]
            _, _, terminated, truncated, info = env.step(np.argmax(rng.random(m.shape) * m, -1))
            done = terminated | truncated
            assert ("metrics" in info) == done.any()
            if not done.any():
                continue
            metrics = info["metrics"]
            np.testing.assert_array_equal(info["_metrics"], done)
            np.testing.assert_array_equal(metrics["_app"], done)
            for i in np.flatnonzero(done):
                ended += 1
                want = match_metrics(env._batch.match_info(int(i)))
                assert metrics["winner"][i] == {0: 0, 1: 1, "draw": 2}[want["winner"]]
                assert metrics["winner"][i] == info["winner"][i]
                assert metrics["steps"][i] == want["steps"]
                assert metrics["minutes"][i] == pytest.approx(want["minutes"])
                for p in (0, 1):
                    for k, v in want["players"][p].items():
                        assert metrics[k][i, p] == pytest.approx(v), k
                    pieces, attack = metrics["pieces"][i, p], metrics["attack"][i, p]
                    assert metrics["app"][i, p] == pytest.approx(attack / pieces)
                    assert metrics["ppm"][i, p] == pytest.approx(
                        pieces / (metrics["steps"][i] * 16667 / 60e6)
                    )
                    assert attack == metrics["lines_sent"][i, p] + metrics["lines_cancelled"][i, p]
        assert ended >= 4
