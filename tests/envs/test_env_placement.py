"""PlacementEnv: steps, masks, invalid actions, observations, rewards, seeding, replays."""

from __future__ import annotations

import pytest

pytest.importorskip("gymnasium")

import numpy as np
from envs_support import ALL_CHAINS, masked_choice, new_game, reference_mask
from gymnasium.error import ResetNeeded

import corvelle_vim
from corvelle import load
from corvelle.bytestate import KINDS, decode
from corvelle.envs import PlacementEnv
from corvelle.envs.obs import NO_HOLD, SHAPE_CELLS, observation_from_state, observation_space
from corvelle.envs.placement import wrap_int32


def play(env: PlacementEnv, rng: np.random.Generator, steps: int):
    """Yields (obs, reward, terminated, truncated, info) of up to `steps` masked random steps,
    stopping at a knockout."""
    obs, info = env.reset()
    for _ in range(steps):
        out = env.step(masked_choice(rng, info["action_mask"]))
        yield out
        obs, _, terminated, _, info = out
        if terminated:
            return


def assert_obs_equal(a, b):
    assert a.keys() == b.keys()
    for k in a:
        np.testing.assert_array_equal(a[k], b[k], err_msg=k)
        assert a[k].dtype == b[k].dtype, k


class TestSteps:
    def test_a_step_plays_the_chain_as_get_valid_move_chains_does(self):
        env = PlacementEnv()
        env.reset(seed=3)
        rng = np.random.default_rng(3)
        for _ in range(60):
            before = env.state
            mask = reference_mask(before)
            a = masked_choice(rng, mask)
            kept = {tuple(c): s for c, s in before.get_valid_move_chains()}
            _, _, terminated, _, info = env.step(a)
            assert env.state.to_bytes() == kept[ALL_CHAINS[a]].to_bytes()
            if terminated:
                break

    def test_masks_match_get_valid_move_chains(self):
        env = PlacementEnv()
        _, info = env.reset(seed=11)
        assert info["action_mask"].dtype == np.int8 and info["action_mask"].shape == (96,)
        rng = np.random.default_rng(11)
        for _ in range(3):
            for _, _, terminated, _, info in play(env, rng, 10_000):
                np.testing.assert_array_equal(info["action_mask"], reference_mask(env.state))
                np.testing.assert_array_equal(env.action_masks(), info["action_mask"] == 1)
            assert terminated

    def test_the_mask_samples(self):
        env = PlacementEnv()
        _, info = env.reset(seed=0)
        env.action_space.seed(0)
        for _ in range(20):
            assert info["action_mask"][env.action_space.sample(mask=info["action_mask"])]

    def test_knockout_terminates_and_masks_everything(self):
        env = PlacementEnv()
        rng = np.random.default_rng(5)
        for out in play(env, rng, 10_000):
            pass
        _, _, terminated, truncated, info = out
        assert terminated and not truncated and env.state.game_over
        assert not info["action_mask"].any()


class TestInvalidAction:
    @pytest.fixture()
    def env(self):
        env = PlacementEnv()
        env.reset(seed=2)
        return env

    def test_changes_nothing_and_is_reported(self, env):
        _, info = env.reset(seed=2)
        masked_out = np.flatnonzero(info["action_mask"] == 0)
        assert len(masked_out) > 0
        before = env.state.to_bytes()
        obs_before = observation_from_state(decode(before))
        for a in masked_out:
            obs, reward, terminated, truncated, info2 = env.step(int(a))
            assert (reward, terminated, truncated, info2["invalid_action"]) == (
                0.0,
                False,
                False,
                True,
            )
            assert_obs_equal(obs, obs_before)
            np.testing.assert_array_equal(info2["action_mask"], info["action_mask"])
            assert env.state.to_bytes() == before

    def test_played_actions_are_not_invalid(self, env):
        _, _, _, _, info = env.step(0)
        assert info["invalid_action"] is False

    def test_on_a_finished_game(self):
        env = PlacementEnv()
        for out in play(env, np.random.default_rng(1), 10_000):
            pass
        before = env.state.to_bytes()
        obs, reward, terminated, truncated, info = env.step(0)
        assert (reward, terminated, truncated, info["invalid_action"]) == (0.0, True, False, True)
        assert env.state.to_bytes() == before

    @pytest.mark.parametrize(
        "action, error, message",
        [
            (96, ValueError, "action 96 is out of range 0..95"),
            (-1, ValueError, "action -1 is out of range 0..95"),
            (1.0, TypeError, "action must be an integer, not float"),
            ("0", TypeError, "action must be an integer, not str"),
        ],
    )
    def test_out_of_space(self, env, action, error, message):
        before = env.state.to_bytes()
        with pytest.raises(error, match=f"^{message}$"):
            env.step(action)
        assert env.state.to_bytes() == before

    def test_numpy_integers(self, env):
        env.step(np.int64(0))
        env.step(np.array(0))

    def test_step_before_reset(self):
        with pytest.raises(ResetNeeded):
            PlacementEnv().step(0)


class TestObservation:
    def test_in_space_and_read_from_the_state(self, played_states):
        space = observation_space()
        for state in played_states:
            obs = observation_from_state(decode(state.to_bytes()))
            assert space.contains(obs)
            kind, rotation, (row, col) = state.current_pcs
            assert obs["piece"].tolist() == [KINDS.index(kind), rotation, row, col]
            assert obs["next"].tolist() == [KINDS.index(k) for k in state.next_pcs]
            hold = [NO_HOLD, 1] if state.hold is None else [KINDS.index(state.hold), obs["hold"][1]]
            assert obs["hold"].tolist() == hold
            assert obs["counters"].tolist() == [
                state.combo_counter,
                state.is_b2b,
                state.total_lines,
                state.garbage_recv,
            ]
            board = np.array(state.main_board, dtype=np.int8)
            if not state.game_over:
                # main_board shows the falling piece; the observation leaves it out.
                for i, j in SHAPE_CELLS[KINDS.index(kind)][rotation]:
                    if row + i < 20:
                        assert board[19 - (row + i), col + j] == 1
                        board[19 - (row + i), col + j] = 0
            np.testing.assert_array_equal(obs["board"], board)

    def test_hold_usable_flag(self):
        state = dict(new_game().next_actions_and_states)["Hold"]
        obs = observation_from_state(decode(state.to_bytes()))
        assert obs["hold"].tolist() == [KINDS.index("Z"), 0]
        fresh = observation_from_state(decode(new_game().to_bytes()))
        assert fresh["hold"].tolist() == [NO_HOLD, 1]

    @pytest.mark.parametrize("kind", range(7))
    def test_shape_cells_match_the_engine(self, kind):
        # A game whose first piece is `kind`, turned through all four rotations.
        seed = next(
            bytes([s]) * 32
            for s in range(256)
            if new_game(0, bytes([s]) * 32).current_pcs[0] == KINDS[kind]
        )
        state = new_game(0, seed)
        for rotation in range(4):
            k, r, (row, col) = state.current_pcs
            assert (k, r) == (KINDS[kind], rotation)
            cells = {(row + i, col + j) for i, j in SHAPE_CELLS[kind][rotation]}
            codes = decode(state.to_bytes()).cells
            drawn = {(y, x) for y in range(40) for x in range(10) if codes[10 * y + x] == kind + 1}
            assert cells == drawn
            state = dict(state.next_actions_and_states)["RotateRight"]


class TestReward:
    @pytest.mark.parametrize("kind", ["score", "lines"])
    def test_change_of_the_counter(self, kind):
        env = PlacementEnv(reward=kind)
        rng = np.random.default_rng(4)
        env.reset(seed=4)
        total = 0.0
        for _, reward, _, _, _ in play(env, rng, 200):
            total += reward
        counter = env.state.score if kind == "score" else env.state.total_lines
        assert total == counter

    @pytest.mark.parametrize("kind", ["score", "lines"])
    def test_with_lines_cleared(self, kind):
        # The wordpress bot's placements clear lines, so line clears are scored too.
        env = PlacementEnv(reward=kind)
        env.reset(seed=0)
        total = 0.0
        for _ in range(60):
            chain = tuple(env.state.bot_moves_raw("wordpress"))
            _, reward, terminated, _, _ = env.step(ALL_CHAINS.index(chain))
            total += reward
            assert not terminated
        assert env.state.total_lines > 0
        assert total == (env.state.score if kind == "score" else env.state.total_lines)

    @pytest.mark.parametrize(
        "v, wrapped", [(0, 0), (2**31 - 1, 2**31 - 1), (2**31, -(2**31)), (-(2**31) - 1, 2**31 - 1)]
    )
    def test_wrap_int32(self, v, wrapped):
        assert wrap_int32(v) == wrapped

    def test_bad_reward_kind(self):
        with pytest.raises(ValueError, match="reward must be 'score', 'lines', 'shaped' or a callable"):
            PlacementEnv(reward="fun")


class TestSeeding:
    def episode_bytes(self, env, seed, episodes):
        out = []
        rng = np.random.default_rng(0)
        env.reset(seed=seed)
        for e in range(episodes):
            out.append(env.state.to_bytes())
            for _ in range(5):
                env.step(masked_choice(rng, env.action_masks()))
            out.append(env.state.to_bytes())
            env.reset()
        return out

    def test_same_seed_same_games(self):
        assert self.episode_bytes(PlacementEnv(), 9, 3) == self.episode_bytes(PlacementEnv(), 9, 3)

    def test_other_seed_other_games(self):
        a = self.episode_bytes(PlacementEnv(), 9, 2)
        b = self.episode_bytes(PlacementEnv(), 10, 2)
        assert a[0] != b[0]

    def test_episodes_of_one_seed_differ(self):
        games = self.episode_bytes(PlacementEnv(), 9, 3)[::2]
        assert len({bytes(g) for g in games}) == 3

    def test_the_game_comes_from_np_random(self):
        env = PlacementEnv()
        env.reset(seed=5)
        words = np.random.default_rng(5).bit_generator.random_raw(5)
        seed = b"".join(int(w).to_bytes(8, "little") for w in words[:4])
        ts = int(words[4]) >> 12
        assert env.state.to_bytes() == new_game(ts, seed).to_bytes()
        assert 0 <= ts < 2**52

    def test_given_game_seed(self):
        env = PlacementEnv()
        game_seed = corvelle_vim.generate_seed(123, bytes(range(32)))
        env.reset(seed=1, options={"game_seed": game_seed})
        assert env.state.to_bytes() == corvelle_vim.GameStatePy(game_seed).to_bytes()

    def test_given_game_seed_must_be_a_seed(self):
        with pytest.raises(
            TypeError, match="options\\['game_seed'\\] must be a GameSeedPy, not bytes"
        ):
            PlacementEnv().reset(options={"game_seed": bytes(32)})


class TestReplays:
    def test_episodes_open_as_replays(self, tmp_path):
        env = PlacementEnv(replay_dir=tmp_path, replay_prefix="run")
        rng = np.random.default_rng(8)
        initials, finals = [], []
        for _ in range(2):
            _, info = env.reset()
            initials.append(env.state)
            terminated = False
            while not terminated:
                _, _, terminated, _, info = env.step(masked_choice(rng, info["action_mask"]))
            finals.append(env.state)
        # A third episode, left after a few steps.
        env.reset()
        for _ in range(3):
            env.step(0)
        left = env.state
        env.close()

        assert env.replays.paths == [str(tmp_path / f"run-{k:06d}.cvr") for k in range(3)]
        for path, initial, final in zip(env.replays.paths, initials, finals):
            start, steps = load(path)
            assert start.to_bytes() == initial.to_bytes()
            assert steps[-1][1].to_bytes() == final.to_bytes()
        _, steps = load(env.replays.paths[2])
        assert steps[-1][1].to_bytes() == left.to_bytes()
        assert [a for a, _ in steps] == ["HardDrop"] * 3

    def test_too_short_episodes_are_not_written(self, tmp_path):
        env = PlacementEnv(replay_dir=tmp_path)
        env.reset(seed=0)
        env.step(0)
        env.reset()
        env.close()
        assert env.replays.paths == []
