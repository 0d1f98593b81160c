// The bot interface, the registry and the chain search shared by both bots: every chain's
// landing scored, the best chain drawn.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "random.hpp"
#include "tet/movegen.hpp"
#include "tet/state.hpp"

namespace game::bot {

using tet::GameState;
using tet::TetAction;
using MoveChain = std::vector<TetAction>;

// A bot answers a state with the actions to play for the current piece.
class TetBot {
public:
    virtual ~TetBot() = default;
    // Uses the calling thread's generator for tie-breaking.
    virtual Result<MoveChain> choose_move(const GameState& state) = 0;
    // Same, with the tie-breaking shuffle drawn from `rng`.
    virtual Result<MoveChain> choose_move_with(const GameState& state,
                                               random::WordSource& rng) = 0;
};

// "wordpress" or "random"; anything else is "bot name not found.".
Result<std::unique_ptr<TetBot>> get_bot(std::string_view name);

// What a score sees of a chain's final state: its line count and the solid cells of its board
// with the falling piece erased, by column, with their metrics.
using Candidate = tet::Landing;
// The candidate of a final state whose falling piece has already been erased.
inline Candidate candidate_of(const GameState& final_state) {
    const tet::SolidCols cols = tet::solid_cols(tet::solid_rows(final_state.main_board));
    return {final_state.total_lines, cols, tet::board_metrics(cols)};
}

// Score of a candidate against the input state.
using ScoreFn = Result<double> (*)(const GameState& input, const Candidate& candidate);

// Lines the candidate has cleared since the input state: the 16-bit difference (wrapping).
double lines_cleared(const GameState& input, const Candidate& candidate);

// The score function of a bot name ("wordpress", "random"), or nullptr.
ScoreFn bot_score(std::string_view name);

// The chains tied for a bot's choice on `state`: every chain whose score is the highest, and
// of those the ones with the fewest actions, by chain number ascending (identical chains both
// listed). A bot's move is one of them drawn uniformly; count == 0 when no chain can be scored
// (a finished game, or every chain refused or ending the game).
struct TiedChains {
    std::array<std::uint8_t, tet::CHAIN_NB> chain{};
    int count = 0;
};
TiedChains best_chains(const GameState& state, ScoreFn score);

// The best chain of the shuffled, length-sorted chain list: the first with the strictly
// highest score; [SoftDrop] when none scores; empty for a finished game.
MoveChain get_best_move_for_score_fn(const GameState& state, ScoreFn score,
                                     random::WordSource& rng);

inline double lines_cleared(const GameState& input, const Candidate& candidate) {
    return static_cast<std::uint16_t>(candidate.total_lines - input.total_lines);
}

}  // namespace game::bot
