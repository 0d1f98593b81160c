// The benchmarks' fixed inputs: game scripts (a seed record and actions played at time 0)
// read from bench/inputs/, in the text form described in bench/game_scripts.py.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tet/records.hpp"
#include "tet/state.hpp"

namespace bench {

struct GameScript {
    game::tet::Seed32 seed{};
    std::int64_t ts = 0;
    std::vector<game::tet::TetAction> actions;

    game::tet::GameState new_game() const;
    // The new game, then the state after each of the first `limit` actions.
    std::vector<game::tet::GameState> play(std::size_t limit) const;
    game::tet::GameState final_state() const { return play(actions.size()).back(); }
};

// The directory of the inputs: $CORVELLE_BENCH_INPUTS, else the one the build was made for.
std::string inputs_dir();
// Reads bench/inputs/<name> (gzip-compressed when the name ends in ".gz"). Throws
// std::runtime_error naming the file on any fault, and when an action is refused in play.
GameScript load_script(const std::string& name);

// The replay stream of the states' last segments: Init, one Update per action, GameOver.
std::vector<game::tet::GameReplaySegment> replay_segments(
    const std::vector<game::tet::GameState>& states);

}  // namespace bench
