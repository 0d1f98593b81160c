// The move-chain list as the module hands it out, and the bot that scores lines and height.
#include "bot/random_choice_bot.hpp"

#include "tet/board.hpp"

// The score rounds each product and each sum to double: no fused multiply-add.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace game::bot::random_choice_bot {

namespace {

// Cleared lines earn points.
constexpr double LINES_WEIGHT = 0.76;
// Every row of stack height costs points.
constexpr double HEIGHT_WEIGHT = -0.51;

}  // namespace

const std::vector<MoveChain>& all_move_chains() {
    // Built by the first caller; other threads arriving meanwhile wait for it.
    static const std::vector<MoveChain> ALL_MOVE_CHAINS = [] {
        std::vector<MoveChain> chains;
        chains.reserve(CHAIN_NB);
        for (const tet::ChainSpec& c : tet::chain_table())
            chains.emplace_back(c.view().begin(), c.view().end());
        return chains;
    }();
    return ALL_MOVE_CHAINS;
}

std::vector<MoveChain> get_all_move_chains() { return all_move_chains(); }

Result<double> score(const GameState& input, const Candidate& candidate) {
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const double lines = lines_cleared(input, candidate);
    const double height = candidate.metrics.height;
    return {lines * LINES_WEIGHT + height * HEIGHT_WEIGHT, ok()};
}

Result<MoveChain> RandomChoiceBot::choose_move(const GameState& state) {
    return choose_move_with(state, random::thread_rng());
}

Result<MoveChain> RandomChoiceBot::choose_move_with(const GameState& state,
                                                    random::WordSource& rng) {
    return {get_best_move_for_score_fn(state, score, rng), ok()};
}

}  // namespace game::bot::random_choice_bot
