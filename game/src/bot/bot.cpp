// The bot registry and the chain search: every chain's landing scored, the best drawn.
#include "bot/bot.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <utility>

#include "bot/random_choice_bot.hpp"
#include "bot/wordpress_blog_bot.hpp"

namespace game::bot {

namespace {

using tet::CHAIN_NB;
using tet::ChainTree;
using tet::MAX_CHAIN_LEN;

// Each distinct chain's score (by leaf), and whether it has one.
struct LeafScores {
    std::array<bool, ChainTree::LEAF_NB> scored{};
    std::array<double, ChainTree::LEAF_NB> score{};
};

// Every chain's landing scored; a chain that is refused, ends the game or whose score fails has
// none.
LeafScores score_leaves(const GameState& state, ScoreFn score) {
    LeafScores out;
    tet::for_each_landing(state, [&](int k, const Candidate& landing) {
        const Result<double> s = score(state, landing);
        out.scored[k] = s.ok();
        out.score[k] = s.value;
    });
    return out;
}

// The chain numbers in a uniformly shuffled order (Fisher-Yates from the last position down),
// then stably sorted by chain length.
template <class Source>
std::array<std::uint8_t, CHAIN_NB> shuffled_by_length(const ChainTree& tree, Source& rng) {
    std::array<std::uint8_t, CHAIN_NB> order;
    for (int c = 0; c < CHAIN_NB; ++c) order[c] = static_cast<std::uint8_t>(c);
    for (std::uint32_t i = CHAIN_NB - 1; i >= 1; --i)
        std::swap(order[i], order[random::bounded_index_of(rng, i + 1)]);

    std::array<std::uint8_t, CHAIN_NB> sorted;
    std::array<std::uint8_t, MAX_CHAIN_LEN + 1> next = tree.shorter;
    for (std::uint8_t c : order) sorted[next[tree.chain_size[c]]++] = c;
    return sorted;
}

// The shuffle with the calling thread's generator drawn without a virtual call per word.
std::array<std::uint8_t, CHAIN_NB> shuffled_by_length(const ChainTree& tree,
                                                      random::WordSource& rng) {
    if (auto* own = dynamic_cast<random::ThreadRng*>(&rng)) return shuffled_by_length(tree, *own);
    return shuffled_by_length<random::WordSource>(tree, rng);
}

}  // namespace

Result<std::unique_ptr<TetBot>> get_bot(std::string_view name) {
    if (name == "wordpress")
        return {std::make_unique<wordpress_blog_bot::WordpressBlogBot>(), ok()};
    if (name == "random") return {std::make_unique<random_choice_bot::RandomChoiceBot>(), ok()};
    return {nullptr, fail(ErrorCode::BotNameNotFound)};
}

ScoreFn bot_score(std::string_view name) {
    if (name == "wordpress") return wordpress_blog_bot::score;
    if (name == "random") return random_choice_bot::score;
    return nullptr;
}

MoveChain get_best_move_for_score_fn(const GameState& state, ScoreFn score,
                                     random::WordSource& rng) {
    // Step 1. A finished game has no move.
    if (state.is_over()) return {};

    // Step 2. The chains in random order, shortest first.
    const ChainTree& tree = tet::chain_tree();
    const std::array<std::uint8_t, CHAIN_NB> order = shuffled_by_length(tree, rng);

    // Step 3. Every chain's score.
    const LeafScores leaves = score_leaves(state, score);

    // Step 4. The first chain in order with a strictly higher score than all before it.
    double best_score = std::numeric_limits<double>::lowest();
    int best = -1;
    for (std::uint8_t c : order) {
        const int k = tree.leaf_of(c);
        if (leaves.scored[k] && leaves.score[k] > best_score) {
            best_score = leaves.score[k];
            best = c;
        }
    }
    if (best < 0) return {TetAction::SoftDrop};
    return random_choice_bot::all_move_chains()[best];
}

TiedChains best_chains(const GameState& state, ScoreFn score) {
    TiedChains out;
    if (state.is_over()) return out;
    const ChainTree& tree = tet::chain_tree();
    const LeafScores leaves = score_leaves(state, score);
    double best_score = std::numeric_limits<double>::lowest();
    int shortest = 0;
    for (int c = 0; c < CHAIN_NB; ++c) {
        const int k = tree.leaf_of(c);
        if (!leaves.scored[k]) continue;
        const double s = leaves.score[k];
        const int size = tree.chain_size[c];
        if (out.count == 0 || s > best_score || (s == best_score && size < shortest)) {
            best_score = s;
            shortest = size;
            out.count = 0;
        } else if (s < best_score || size > shortest) {
            continue;
        }
        out.chain[out.count++] = static_cast<std::uint8_t>(c);
    }
    return out;
}

}  // namespace game::bot
