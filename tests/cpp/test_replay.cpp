// Accepting one replay slice: the sequence checks, the refused action, the local values.
#include <doctest/doctest.h>

#include <span>
#include <vector>

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

namespace {

struct Played {
    bool ok;
    std::vector<GameState> states;
};

// Playback one segment at a time: the reference for play_segments.
Played one_by_one(std::span<const GameReplaySegment> segments) {
    Played p{false, {}};
    GameState current;
    if (!detail::start_playback(segments, current)) return p;
    p.states.push_back(current);
    for (std::size_t i = 1; i < segments.size(); ++i) {
        if (!detail::apply_segment(segments[i], current)) return p;
        p.states.push_back(current);
    }
    p.ok = true;
    return p;
}

Played played(std::span<const GameReplaySegment> segments) {
    Played p{false, {}};
    p.ok = play_segments(segments, [&](std::size_t i, const GameState& s) {
        REQUIRE(i == p.states.size());
        p.states.push_back(s);
        return true;
    });
    return p;
}

// A recorded game of random actions at random times, some with garbage received.
std::vector<GameReplaySegment> random_replay(std::uint32_t& x, std::size_t actions) {
    auto next = [&] { return x = x * 1664525u + 1013904223u; };
    Seed32 seed;
    for (auto& b : seed) b = static_cast<std::uint8_t>(next() >> 24);
    const auto ts = static_cast<std::int64_t>(next());
    std::vector<GameReplaySegment> segs{GameSeed{seed, ts}};
    GameState s = GameState::new_game(seed, ts);
    while (segs.size() <= actions && !s.is_over()) {
        if (next() % 16 == 0) s.garbage_recv = static_cast<std::uint16_t>(s.garbage_recv + next() % 3);
        const TetAction a = action_from_index(static_cast<int>(next() >> 29));
        auto r = s.try_action(a, ts + static_cast<std::int64_t>(segs.size()) * 1000);
        if (r.failed()) continue;
        s = r.value;
        segs.push_back(std::get<GameReplaySlice>(s.last_segment));
    }
    return segs;
}

}  // namespace

TEST_CASE("playing slices ahead gives the states of one-by-one playback") {
    std::uint32_t x = 99;
    int mismatched_seeds = 0, refused = 0;
    for (int game = 0; game < 60; ++game) {
        std::vector<GameReplaySegment> segs = random_replay(x, 40 + x % 200);
        const std::size_t n = segs.size();
        REQUIRE(n > 2);
        const std::size_t at = 1 + x % (n - 1);
        const int kind = game % 6;
        CAPTURE(game);
        CAPTURE(kind);
        CAPTURE(at);
        auto& slice = std::get<GameReplaySlice>(segs[at]);
        switch (kind) {
            case 0: break;  // as recorded
            case 1: slice.new_seed[x % 32] ^= 1; ++mismatched_seeds; break;  // local seeds win
            case 2: slice.new_garbage_applied ^= 1; break;                  // only a diagnostic
            case 3: slice.idx = static_cast<std::uint16_t>(slice.idx + 1); ++refused; break;
            case 4: segs.insert(segs.begin() + static_cast<std::ptrdiff_t>(at), GameOverReason::Forfeit); break;
            case 5: segs.insert(segs.begin() + static_cast<std::ptrdiff_t>(at), segs.front()); ++refused; break;
        }
        const Played want = one_by_one(segs), got = played(segs);
        CHECK(got.ok == want.ok);
        REQUIRE(got.states.size() == want.states.size());
        for (std::size_t i = 0; i < want.states.size(); ++i) {
            CAPTURE(i);
            CHECK(got.states[i] == want.states[i]);
        }
    }
    CHECK(mismatched_seeds > 0);
    CHECK(refused > 0);
}
