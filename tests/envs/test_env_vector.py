"""PlacementVectorEnv: the same games as PlacementEnv, autoreset, seeding, truncation, options,
the arrays it returns."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import hashlib

import gymnasium as gym
import numpy as np
from envs_support import masked_choices, reference_mask
from gymnasium.error import ResetNeeded
from gymnasium.vector import AutoresetMode, SyncVectorEnv
from gymnasium.wrappers import TimeLimit
from gymnasium.wrappers.vector import RecordEpisodeStatistics

import corvelle_vim
from corvelle.envs import OBS_KEYS, KeyEnv, PlacementEnv, PlacementVectorEnv
from corvelle.envs.vector import default_threads


def assert_same_step(a, b, step):
    obs_a, rew_a, term_a, trunc_a, info_a = a
    obs_b, rew_b, term_b, trunc_b, info_b = b
    for k in obs_b:
        np.testing.assert_array_equal(obs_a[k], obs_b[k], err_msg=f"{k} at step {step}")
        assert obs_a[k].dtype == obs_b[k].dtype
    np.testing.assert_array_equal(rew_a, rew_b, err_msg=f"reward at step {step}")
    np.testing.assert_array_equal(term_a, term_b, err_msg=f"terminated at step {step}")
    np.testing.assert_array_equal(trunc_a, trunc_b, err_msg=f"truncated at step {step}")
    for k in ("action_mask", "invalid_action"):
        np.testing.assert_array_equal(info_a[k], info_b[k], err_msg=f"{k} at step {step}")
        assert info_a[k].dtype == info_b[k].dtype


class TestSameGamesAsPlacementEnv:
    @pytest.mark.parametrize("threads", [1, 2])
    @pytest.mark.parametrize("reward", ["score", "lines"])
    def test_step_by_step_against_sync_vector_env(self, threads, reward):
        n = 6
        vec = PlacementVectorEnv(n, reward=reward, num_threads=threads)
        ref = SyncVectorEnv([lambda: PlacementEnv(reward=reward) for _ in range(n)])
        rng = np.random.default_rng(21)
        out_v = vec.reset(seed=100)
        out_r = ref.reset(seed=100)
        assert_same_step((*out_v[:1], 0, 0, 0, out_v[1]), (*out_r[:1], 0, 0, 0, out_r[1]), 0)
        info = out_v[1]
        ended = 0
        for step in range(1, 400):
            actions = masked_choices(rng, info["action_mask"])
            # Now and then a masked-out action.
            if step % 7 == 0:
                actions[step % n] = int(np.flatnonzero(info["action_mask"][step % n] == 0)[0])
            a = vec.step(actions)
            b = ref.step(actions)
            assert_same_step(a, b, step)
            ended += int(a[2].sum())
            info = a[4]
            for i in range(n):
                assert vec.state(i).to_bytes() == ref.envs[i].unwrapped.state.to_bytes()
        assert ended >= 3  # several autoresets happened

    def test_game_i_is_placement_env_seeded_s_plus_i(self):
        vec = PlacementVectorEnv(3)
        vec.reset(seed=40)
        for i in range(3):
            env = PlacementEnv()
            env.reset(seed=40 + i)
            assert vec.state(i).to_bytes() == env.state.to_bytes()

    def test_masks_match_get_valid_move_chains(self):
        vec = PlacementVectorEnv(4)
        rng = np.random.default_rng(2)
        _, info = vec.reset(seed=2)
        for _ in range(80):
            for i in range(4):
                np.testing.assert_array_equal(info["action_mask"][i], reference_mask(vec.state(i)))
            _, _, _, _, info = vec.step(masked_choices(rng, info["action_mask"]))


class TestAutoreset:
    def test_next_step_autoreset(self):
        vec = PlacementVectorEnv(2)
        _, info = vec.reset(seed=0)
        rng = np.random.default_rng(0)
        while True:
            obs, rew, term, trunc, info = vec.step(masked_choices(rng, info["action_mask"]))
            if term[0]:
                break
        assert not info["action_mask"][0].any()
        # The next step ignores game 0's action and starts its next game.
        expected = PlacementEnv()
        expected.reset(seed=0)
        expected.reset()
        obs, rew, term, trunc, info = vec.step(np.array([5, 0]))
        assert rew[0] == 0.0 and not term[0] and not trunc[0] and not info["invalid_action"][0]
        assert vec.state(0).to_bytes() == expected.state.to_bytes()
        assert info["action_mask"][0].any()

    def test_metadata(self):
        assert PlacementVectorEnv.metadata["autoreset_mode"] is AutoresetMode.NEXT_STEP


class TestSeeding:
    def states(self, vec):
        return [bytes(vec.state(i).to_bytes()) for i in range(vec.num_envs)]

    def test_seed_list(self):
        vec = PlacementVectorEnv(2)
        vec.reset(seed=[7, 3])
        ref = PlacementVectorEnv(2)
        ref.reset(seed=3)
        assert self.states(vec)[1] == self.states(ref)[0]

    def test_reset_without_seed_continues_each_stream(self):
        vec = PlacementVectorEnv(2)
        vec.reset(seed=1)
        vec.reset()
        env = PlacementEnv()
        env.reset(seed=2)
        env.reset()
        assert self.states(vec)[1] == bytes(env.state.to_bytes())

    def test_unseeded_games_differ(self):
        vec = PlacementVectorEnv(3)
        vec.reset()
        assert len(set(self.states(vec))) == 3

    def test_seed_list_length(self):
        with pytest.raises(ValueError, match="seed must list 2 seeds, one per game, not 3"):
            PlacementVectorEnv(2).reset(seed=[1, 2, 3])


class TestOptions:
    def test_reset_mask(self):
        vec = PlacementVectorEnv(3)
        vec.reset(seed=0)
        vec.step(np.zeros(3, dtype=np.int64))
        before = TestSeeding().states(vec)
        vec.reset(seed=50, options={"reset_mask": np.array([False, True, False])})
        after = TestSeeding().states(vec)
        assert after[0] == before[0] and after[2] == before[2]
        env = PlacementEnv()
        env.reset(seed=51)
        assert after[1] == bytes(env.state.to_bytes())

    @pytest.mark.parametrize("mask", [np.array([True, False]), np.array([1, 0, 1])])
    def test_bad_reset_mask(self, mask):
        vec = PlacementVectorEnv(3)
        vec.reset()
        with pytest.raises(
            ValueError, match="options\\['reset_mask'\\] must be a bool array of shape \\(3,\\)"
        ):
            vec.reset(options={"reset_mask": mask})

    def test_first_reset_resets_everything(self):
        with pytest.raises(ResetNeeded):
            PlacementVectorEnv(2).reset(options={"reset_mask": np.array([True, False])})

    def test_game_seed(self):
        vec = PlacementVectorEnv(2)
        given = corvelle_vim.generate_seed(-3, bytes(range(32)))
        vec.reset(seed=4, options={"game_seed": [None, given]})
        assert vec.state(1).to_bytes() == corvelle_vim.GameStatePy(given).to_bytes()
        env = PlacementEnv()
        env.reset(seed=4)
        assert vec.state(0).to_bytes() == env.state.to_bytes()

    def test_bad_game_seed(self):
        vec = PlacementVectorEnv(2)
        with pytest.raises(
            TypeError, match="options\\['game_seed'\\]\\[1\\] must be a GameSeedPy or None, not int"
        ):
            vec.reset(options={"game_seed": [None, 5]})
        with pytest.raises(
            ValueError, match="options\\['game_seed'\\] must list 2 seeds, one per game"
        ):
            vec.reset(options={"game_seed": [None]})


class TestTruncation:
    def test_max_episode_steps_as_time_limit(self):
        n, limit = 3, 5
        vec = PlacementVectorEnv(n, max_episode_steps=limit)
        ref = SyncVectorEnv(
            [lambda: gym.wrappers.TimeLimit(PlacementEnv(), limit) for _ in range(n)]
        )
        _, info = vec.reset(seed=9)
        ref.reset(seed=9)
        rng = np.random.default_rng(9)
        truncations = 0
        for step in range(1, 30):
            actions = masked_choices(rng, info["action_mask"])
            a = vec.step(actions)
            assert_same_step(a, ref.step(actions), step)
            truncations += int(a[3].sum())
            info = a[4]
        assert truncations >= n * 4

    def test_make_vec_passes_it_on(self):
        vec = gym.make_vec("corvelle/Placement-v0", num_envs=2, max_episode_steps=2)
        vec.reset(seed=0)
        vec.step(np.zeros(2, dtype=np.int64))
        _, _, _, trunc, _ = vec.step(np.zeros(2, dtype=np.int64))
        assert trunc.all()


class TestArrays:
    def test_copies_by_default(self):
        vec = PlacementVectorEnv(2)
        obs, info = vec.reset(seed=0)
        board = obs["board"].copy()
        mask = info["action_mask"].copy()
        vec.step(np.zeros(2, dtype=np.int64))
        np.testing.assert_array_equal(obs["board"], board)
        np.testing.assert_array_equal(info["action_mask"], mask)

    def test_views_without_copy(self):
        vec = PlacementVectorEnv(2, copy=False)
        obs, info = vec.reset(seed=0)
        obs2, rew, term, trunc, info2 = vec.step(np.zeros(2, dtype=np.int64))
        assert obs2["board"] is obs["board"] and info2["action_mask"] is info["action_mask"]
        assert not obs["board"].flags.owndata

    def test_spaces(self):
        vec = PlacementVectorEnv(4)
        obs, info = vec.reset(seed=0)
        assert vec.observation_space.contains(obs)
        assert vec.action_space == gym.spaces.MultiDiscrete([96] * 4)
        assert info["_action_mask"].all() and info["_invalid_action"].all()
        np.testing.assert_array_equal(vec.action_masks(), info["action_mask"] == 1)

    @pytest.mark.parametrize(
        "actions, error, message",
        [
            (
                np.zeros(3, dtype=np.int64),
                ValueError,
                "actions must have shape \\(2,\\), not \\(3,\\)",
            ),
            (np.array([0, 96]), ValueError, "actions\\[1\\] = 96 is out of range 0..95"),
            (np.zeros(2), TypeError, "actions must hold integers"),
        ],
    )
    def test_bad_actions(self, actions, error, message):
        vec = PlacementVectorEnv(2)
        vec.reset(seed=0)
        with pytest.raises(error, match=message):
            vec.step(actions)

    def test_refused_actions_draw_no_extra_game(self):
        # A step refused for its actions leaves the autoreset where it was: the games
        # stay those of PlacementEnv.
        vec = PlacementVectorEnv(1)
        _, info = vec.reset(seed=3)
        rng = np.random.default_rng(3)
        terminated = False
        while not terminated:
            _, _, term, _, info = vec.step(masked_choices(rng, info["action_mask"]))
            terminated = bool(term[0])
        with pytest.raises(ValueError):
            vec.step(np.array([100]))
        vec.step(np.array([0]))
        env = PlacementEnv()
        env.reset(seed=3)
        env.reset()
        assert vec.state(0).to_bytes() == env.state.to_bytes()

    def test_step_before_reset(self):
        with pytest.raises(ResetNeeded):
            PlacementVectorEnv(2).step(np.zeros(2, dtype=np.int64))


class TestThreads:
    def test_default(self):
        assert default_threads(1) == 1
        assert PlacementVectorEnv(1).num_threads == 1

    def test_one_or_two_threads_same_games(self):
        def run(threads):
            vec = PlacementVectorEnv(50, num_threads=threads, copy=False)
            _, info = vec.reset(seed=0)
            rng = np.random.default_rng(0)
            h = hashlib.sha256()
            for _ in range(50):
                obs, rew, term, trunc, info = vec.step(masked_choices(rng, info["action_mask"]))
                for k in sorted(obs):
                    h.update(obs[k].tobytes())
                h.update(rew.tobytes() + term.tobytes() + info["action_mask"].tobytes())
            return h.hexdigest()

        assert run(1) == run(2)


def test_determinism_signature():
    """Fixed seeds and a fixed rule for the actions: every observation, reward, flag and mask
    hashed into one digest. It changes only when the games do; update it on purpose."""
    vec = PlacementVectorEnv(8, copy=False)
    _, info = vec.reset(seed=2024)
    h = hashlib.sha256()
    for step in range(300):
        # The (step mod count)-th playable chain of each game.
        masks = info["action_mask"]
        actions = np.array(
            [np.flatnonzero(m)[step % max(1, int(m.sum()))] if m.any() else 0 for m in masks]
        )
        obs, rew, term, trunc, info = vec.step(actions)
        for k in sorted(obs):
            h.update(obs[k].tobytes())
        h.update(rew.tobytes() + term.tobytes() + trunc.tobytes() + masks.tobytes())
    assert h.hexdigest()[:16] == SIGNATURE


SIGNATURE = "847edb7b9425f69e"


class TestAutoresetAndEpisodeStatistics:
    """Against SyncVectorEnv of the single envs under the same autoreset mode, wrapped in
    Gymnasium's RecordEpisodeStatistics: the same steps, final observations and infos, and
    episode statistics."""

    @pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
    @pytest.mark.parametrize(
        "env_id, single, limit, steps",
        [("corvelle/Placement-v0", PlacementEnv, 60, 300), ("corvelle/Key-v0", KeyEnv, 150, 700)],
    )
    def test_step_by_step_against_recorded_sync_vector_env(self, mode, env_id, single, limit, steps):
        n = 4
        vec = gym.make_vec(
            env_id,
            num_envs=n,
            vectorization_mode="vector_entry_point",
            autoreset_mode=mode,
            reward="shaped",
            max_episode_steps=limit,
        )
        assert vec.metadata["autoreset_mode"] == mode
        ref = RecordEpisodeStatistics(
            SyncVectorEnv(
                [lambda: TimeLimit(single(reward="shaped"), limit) for _ in range(n)],
                autoreset_mode=mode,
            )
        )
        rng = np.random.default_rng(8)
        same_step = mode == AutoresetMode.SAME_STEP
        _, info = vec.reset(seed=30)
        ref.reset(seed=30)
        # Placements played in each game's running episode, and the games whose next step
        # (under NEXT_STEP) only starts the next episode.
        pieces, restarting = np.zeros(n, dtype=int), np.zeros(n, dtype=bool)
        # Gymnasium's RecordEpisodeStatistics counts episodes as next-step autoreset runs them
        # (it drops the first step after a same-step reset), so under SAME_STEP the returns
        # and lengths are summed here from the reference's own steps.
        returns, lengths = np.zeros(n), np.zeros(n, dtype=int)
        ended = 0
        for step in range(steps):
            actions = masked_choices(rng, info["action_mask"])
            a, b = vec.step(actions), ref.step(actions)
            assert_same_step(a, b, step)
            returns += b[1]
            lengths += 1
            obs, _, term, trunc, info = a
            ref_info = b[4]
            done = term | trunc
            invalid = info["invalid_action"].copy()
            if same_step and done.any():
                invalid[done] = info["final_info"]["invalid_action"][done]
            pieces = np.where(restarting, 0, pieces + ~invalid)
            restarting = done & (not same_step)

            assert ("episode" in info) == bool(done.any()) == ("episode" in ref_info)
            if not done.any():
                continue
            ended += int(done.sum())
            np.testing.assert_array_equal(info["_episode"], done)
            if same_step:
                np.testing.assert_allclose(info["episode"]["r"][done], returns[done], atol=1e-9)
                np.testing.assert_array_equal(info["episode"]["l"][done], lengths[done])
                returns[done], lengths[done] = 0.0, 0
            else:
                for k in ("r", "l"):
                    np.testing.assert_array_equal(info["episode"][k], ref_info["episode"][k])
            for i in range(n):
                if not done[i]:
                    assert info["episode"]["lines"][i] == info["episode"]["score"][i] == 0
                    assert not same_step or info["final_obs"][i] is None
                    continue
                last = info["final_obs"][i] if same_step else {k: v[i] for k, v in obs.items()}
                assert info["episode"]["lines"][i] == last["counters"][2]
                final_state = ref.env.envs[i].unwrapped.state if not same_step else None
                if final_state is not None:
                    assert info["episode"]["score"][i] == final_state.score
                if single is PlacementEnv:
                    assert info["episode"]["pieces"][i] == pieces[i]
                if same_step:
                    for k in OBS_KEYS:
                        np.testing.assert_array_equal(last[k], ref_info["final_obs"][i][k])
            if same_step:
                pieces[done] = 0
                np.testing.assert_array_equal(info["_final_obs"], done)
                for k in ("action_mask", "invalid_action"):
                    np.testing.assert_array_equal(info["final_info"][k], ref_info["final_info"][k])
                    np.testing.assert_array_equal(info["final_info"]["_" + k], done)
        assert ended >= 3

    def test_disabled_autoreset_waits_for_reset_mask(self):
        vec = PlacementVectorEnv(3, autoreset_mode="DISABLED")
        ref = [PlacementEnv() for _ in range(3)]
        _, info = vec.reset(seed=12)
        for i, env in enumerate(ref):
            env.reset(seed=12 + i)
        rng = np.random.default_rng(12)
        while True:
            actions = masked_choices(rng, info["action_mask"])
            _, _, term, _, info = vec.step(actions)
            if term.any():
                break
        done = term.copy()
        for _ in range(3):  # a finished game stays finished, every action masked out
            _, reward, term, _, info = vec.step(masked_choices(rng, info["action_mask"]))
            assert term[done].all() and not info["action_mask"][done].any()
            assert (reward[done] == 0).all()
        obs, info = vec.reset(options={"reset_mask": done})
        # The restarted games play their streams' next games, as a PlacementEnv's next reset.
        for i in np.flatnonzero(done):
            ref[i].reset()
            assert vec.state(i).to_bytes() == ref[i].state.to_bytes()
            assert info["action_mask"][i].any()
        with pytest.raises(ValueError, match="autoreset_mode must be an AutoresetMode"):
            PlacementVectorEnv(2, autoreset_mode="sometimes")
