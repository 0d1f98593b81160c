// Accepting one replay slice: the sequence checks, the refused action, the local values.
#include <doctest/doctest.h>

#include "tet/replay.hpp"

using namespace game;
using namespace game::tet;

namespace {

GameReplaySlice recorded(const GameState& before, TetAction a, std::int64_t t) {
    const auto r = before.try_action(a, t);
    REQUIRE(r.ok());
    return std::get<GameReplaySlice>(r.value.last_segment);
}

}  // namespace

TEST_CASE("a recorded slice plays back to the recording's state") {
    const GameState s = GameState::new_game(Seed32{}, 5);
    GameState played = s;
    REQUIRE(accept_replay_slice(played, recorded(s, TetAction::MoveLeft, 77)).ok());
    CHECK(played == s.try_action(TetAction::MoveLeft, 77).value);
}

TEST_CASE("out-of-order slices are refused and change nothing") {
    const GameState s = GameState::new_game(Seed32{}, 0);
    GameReplaySlice first = recorded(s, TetAction::Nothing, 0);
    first.idx = 1;
    GameState a = s;
    const Error e = accept_replay_slice(a, first);
    CHECK(e.message() == "first slice mismatch: got slice 1 expected slice 0");
    CHECK(a == s);

    GameState b = s;
    const GameReplaySlice zero = recorded(s, TetAction::Nothing, 0);
    REQUIRE(accept_replay_slice(b, zero).ok());
    const GameState after_one = b;
    CHECK(accept_replay_slice(b, zero).message() == "duplicate slice mismatch");
    CHECK(b == after_one);
}

TEST_CASE("a refused action keeps only the received garbage count") {
    GameState s = GameState::new_game(Seed32{}, 0);
    s.game_over_reason = GameOverReason::Knockout;
    GameReplaySlice slice = recorded(GameState::new_game(Seed32{}, 0), TetAction::Nothing, 0);
    slice.new_garbage_recv = 3;
    GameState t = s;
    CHECK(accept_replay_slice(t, slice).message() == "game over");
    GameState expected = s;
    expected.garbage_recv = 3;
    CHECK(t == expected);
}

TEST_CASE("recorded values that differ are not copied in") {
    const GameState s = GameState::new_game(Seed32{}, 0);
    GameReplaySlice slice = recorded(s, TetAction::Nothing, 0);
    slice.new_seed[0] ^= 0xFF;
    slice.new_garbage_applied = 9;
    GameState t = s;
    REQUIRE(accept_replay_slice(t, slice).ok());
    CHECK(t == s.try_action(TetAction::Nothing, 0).value);
}
