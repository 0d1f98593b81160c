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

// The running seed is a chain of dependent steps, but a replay records every link of it. So
// playback can take each slice's recorded seed as the one its action leaves, play a run of
// slices ahead on that assumption, and then check all of the run's seeds side by side: every
// slice up to the first whose recorded seed is not the one it makes was played exactly as the
// one-by-one playback plays it.
inline constexpr std::size_t PLAY_AHEAD = 16;
// Plays the slices from segments[i] on after `from` into out[0], out[1], ... (at most
// PLAY_AHEAD, ending before any segment that is not a slice, is refused, or whose record
// differs from the one its action makes) and returns how many matched their records, seeds
// included; those states are the exact ones. Fewer than were played means a seed differed.
struct PlayedAhead {
    std::size_t matched;
    bool seed_differed;
};
PlayedAhead play_ahead(std::span<const GameReplaySegment> segments, std::size_t i,
                       const GameState& from, GameState* out);
}  // namespace detail

template <class OnState>
bool play_segments(std::span<const GameReplaySegment> segments, OnState&& on_state) {
    GameState current;
    if (!detail::start_playback(segments, current)) return false;
    if (!on_state(std::size_t{0}, static_cast<const GameState&>(current))) return false;
    GameState ahead[detail::PLAY_AHEAD];
    // After a recorded seed that the playback does not make, segments go one by one for a
    // while: a replay whose seeds differ throughout would otherwise play everything twice.
    constexpr std::size_t ONE_BY_ONE_AFTER_MISMATCH = 4 * detail::PLAY_AHEAD;
    std::size_t one_by_one = 0;
    for (std::size_t i = 1; i < segments.size();) {
        if (one_by_one == 0) {
            const detail::PlayedAhead run = detail::play_ahead(segments, i, current, ahead);
            if (run.seed_differed) one_by_one = ONE_BY_ONE_AFTER_MISMATCH;
            for (std::size_t k = 0; k < run.matched; ++k)
                if (!on_state(i + k, static_cast<const GameState&>(ahead[k]))) return false;
            if (run.matched > 0) {
                current = ahead[run.matched - 1];
                i += run.matched;
                continue;
            }
        } else {
            --one_by_one;
        }
        if (!detail::apply_segment(segments[i], current)) return false;
        if (!on_state(i, static_cast<const GameState&>(current))) return false;
        ++i;
    }
    return true;
}

// Debug rendering of a slice, naming the record and every field.
std::string debug_string(const GameReplaySlice& slice);

}  // namespace game::tet
