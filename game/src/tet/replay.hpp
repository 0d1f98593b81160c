// Replay playback: accepting recorded slices and turning a stream into the states it passes.
#pragma once

#include <span>
#include <vector>

#include "error.hpp"
#include "tet/records.hpp"
#include "tet/state.hpp"

namespace game::tet {

// Performs the slice's action on `state` after the sequence check; recorded values that differ
// from the local ones are only a diagnostic. On error only garbage_recv may have changed.
Error accept_replay_slice(GameState& state, const GameReplaySlice& slice);

// The state after each segment, the Init state first; empty when playback fails.
std::vector<GameState> segments_to_states(std::span<const GameReplaySegment> segments);

// Plays the segments back, handing each state (the Init state first, then the state after
// each further segment) to `on_state(std::size_t segment_index, const GameState&)` as it is
// reached, so a caller can build its own list without a second copy. `on_state` returns false
// to stop early. Returns false when playback fails (the states handed over so far are then
// not a valid result) or was stopped.
template <class OnState>
bool play_segments(std::span<const GameReplaySegment> segments, OnState&& on_state);

namespace detail {
bool start_playback(std::span<const GameReplaySegment> segments, GameState& current);
bool apply_segment(const GameReplaySegment& seg, GameState& current);
}  // namespace detail

template <class OnState>
bool play_segments(std::span<const GameReplaySegment> segments, OnState&& on_state) {
    GameState current;
    if (!detail::start_playback(segments, current)) return false;
    if (!on_state(std::size_t{0}, static_cast<const GameState&>(current))) return false;
    for (std::size_t i = 1; i < segments.size(); ++i) {
        if (!detail::apply_segment(segments[i], current)) return false;
        if (!on_state(i, static_cast<const GameState&>(current))) return false;
    }
    return true;
}

// Debug rendering of a slice, naming the record and every field.
std::string debug_string(const GameReplaySlice& slice);

}  // namespace game::tet
