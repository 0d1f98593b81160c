// Replay playback: each recorded action replayed and its record compared, several at a time
// where the recorded seeds can be checked side by side.
#include "tet/replay.hpp"

#include <cstdio>
#include <string>

#include "log.hpp"
#include "random.hpp"
#include "tet/state_detail.hpp"

namespace game::tet {

namespace {

std::string seed_debug(const Seed32& s) {
    std::string out = "[";
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(s[i]);
    }
    return out + "]";
}

}  // namespace

std::string debug_string(const GameReplaySlice& s) {
    return "GameReplaySlice { event_timestamp: " + std::to_string(s.event_timestamp) +
           ", new_seed: " + seed_debug(s.new_seed) +
           ", new_garbage_recv: " + std::to_string(s.new_garbage_recv) +
           ", new_garbage_applied: " + std::to_string(s.new_garbage_applied) +
           ", idx: " + std::to_string(s.idx) + ", event: GameReplayEvent { action: " +
           name(s.event.action) + " } }";
}

namespace {

// accept_replay_slice with the action carried out on `state` itself: on a refused action the
// state is left half-done, which playback (all or nothing) never keeps.
Error accept_slice_in_place(GameState& state, const GameReplaySlice& slice) {
    // Step 1. Sequence check against the segment that produced the state.
    if (const auto* prev = std::get_if<GameReplaySlice>(&state.last_segment)) {
        if (slice.idx != static_cast<std::uint16_t>(prev->idx + 1))
            return fail(ErrorCode::DuplicateSliceMismatch);
    } else if (slice.idx != 0) {
        return fail(ErrorCode::FirstSliceMismatch, slice.idx);
    }

    // Step 2. Garbage received, then the action.
    state.garbage_recv = slice.new_garbage_recv;
    if (Error e = detail::act_in_place(state, slice.event.action, slice.event_timestamp); e.failed())
        return e;

    // Step 3. Compare; the local values always win.
    const auto& local = std::get<GameReplaySlice>(state.last_segment);
    if (!(local == slice)) {
        log::write(log::Level::Warn, [&] {
            return "no  match in last slicec:  recieved == " + debug_string(slice) +
                   ",  rebuildt locally == =" + debug_string(local);
        });
    }
    return ok();
}

}  // namespace

Error accept_replay_slice(GameState& state, const GameReplaySlice& slice) {
    GameState next = state;
    const Error e = accept_slice_in_place(next, slice);
    if (e.ok()) {
        state = next;
    } else if (e.code != ErrorCode::DuplicateSliceMismatch &&
               e.code != ErrorCode::FirstSliceMismatch) {
        // A refused action: only the received garbage, set before it, stays.
        state.garbage_recv = slice.new_garbage_recv;
    }
    return e;
}

namespace detail {

bool start_playback(std::span<const GameReplaySegment> segments, GameState& current) {
    if (segments.empty() || !std::holds_alternative<GameSeed>(segments.front())) {
        log::write(log::Level::Info, [] { return std::string("got no init segment"); });
        return false;
    }
    const GameSeed& init = std::get<GameSeed>(segments.front());
    current = GameState::new_game(init.seed, init.ts);
    return true;
}

bool apply_segment(const GameReplaySegment& seg, GameState& current) {
    if (const auto* slice = std::get_if<GameReplaySlice>(&seg)) {
        if (Error e = accept_slice_in_place(current, *slice); e.failed()) {
            log::write(log::Level::Error,
                       [&] { return "failed to accept replay slice: " + e.message(); });
            return false;
        }
    } else if (const auto* reason = std::get_if<GameOverReason>(&seg)) {
        // Only the reason changes; the replay record stays as it was.
        current.game_over_reason = *reason;
    } else {
        log::write(log::Level::Error, [] { return std::string("got two init segments"); });
        return false;
    }
    return true;
}

PlayedAhead play_ahead(std::span<const GameReplaySegment> segments, std::size_t i,
                       const GameState& from, GameState* out) {
    random::AcceptEventInput in[PLAY_AHEAD];
    Seed32 left[PLAY_AHEAD];  // the seed each action leaves, before its own step
    const GameReplaySlice* recorded[PLAY_AHEAD];
    std::size_t n = 0;
    for (; n < PLAY_AHEAD && i + n < segments.size(); ++n) {
        const auto* slice = std::get_if<GameReplaySlice>(&segments[i + n]);
        if (!slice) break;
        const GameState& before = n == 0 ? from : out[n - 1];
        // The sequence check of accept_slice_in_place; a failure is left to it.
        if (const auto* prev = std::get_if<GameReplaySlice>(&before.last_segment)) {
            if (slice->idx != static_cast<std::uint16_t>(prev->idx + 1)) break;
        } else if (slice->idx != 0) {
            break;
        }
        GameState& s = out[n];
        s = before;
        s.garbage_recv = slice->new_garbage_recv;
        if (tet::detail::carry_out(s, slice->event.action, slice->event_timestamp).failed()) break;
        left[n] = s.seed;
        in[n] = {&left[n], slice->event, slice->event_timestamp, s.last_segment_idx};
        tet::detail::record_accepted(s, slice->event.action, slice->event_timestamp, slice->new_seed);
        // Any other difference from the record is left to the one-by-one playback, which
        // reports it.
        if (!(std::get<GameReplaySlice>(s.last_segment) == *slice)) break;
        recorded[n] = slice;
    }
    Seed32 made[PLAY_AHEAD];
    random::accept_events({in, n}, made);
    for (std::size_t k = 0; k < n; ++k)
        if (made[k] != recorded[k]->new_seed) return {k, true};
    return {n, false};
}

}  // namespace detail

std::vector<GameState> segments_to_states(std::span<const GameReplaySegment> segments) {
    std::vector<GameState> states;
    const bool ok = play_segments(segments, [&](std::size_t, const GameState& s) {
        states.push_back(s);
        return true;
    });
    if (!ok) states.clear();
    return states;
}

}  // namespace game::tet
