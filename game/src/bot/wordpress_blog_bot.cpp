// The 'wordpress' bot's board score: lines, height, holes and bumpiness.
#include "bot/wordpress_blog_bot.hpp"

#include "tet/board.hpp"

// The score rounds each product and each sum to double: no fused multiply-add.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace game::bot::wordpress_blog_bot {

namespace {

// Cleared lines earn points.
constexpr double LINES_WEIGHT = 0.76;
// Every row of stack height costs points (subtracted).
constexpr double HEIGHT_WEIGHT = 0.51;
// Every free cell under a column's top costs points.
constexpr double HOLES_WEIGHT = -0.35;
// The largest step between neighbouring columns costs points.
constexpr double BUMPINESS_WEIGHT = -0.18;

}  // namespace

Result<double> score(const GameState& input, const Candidate& candidate) {
#if defined(__clang__)
#pragma clang fp contract(off)
#endif
    const double lines = lines_cleared(input, candidate);
    const tet::BoardMetrics& m = candidate.metrics;
    const double height = m.height;
    const double holes = m.holes;
    const double bumpiness = m.bumpi;
    const double s = ((lines * LINES_WEIGHT - height * HEIGHT_WEIGHT) + holes * HOLES_WEIGHT) +
                     bumpiness * BUMPINESS_WEIGHT;
    return {s, ok()};
}

Result<MoveChain> WordpressBlogBot::choose_move(const GameState& state) {
    return choose_move_with(state, random::thread_rng());
}

Result<MoveChain> WordpressBlogBot::choose_move_with(const GameState& state,
                                                     random::WordSource& rng) {
    return {get_best_move_for_score_fn(state, score, rng), ok()};
}

}  // namespace game::bot::wordpress_blog_bot
