#include "bot/bot.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "bot/random_choice_bot.hpp"
#include "bot/wordpress_blog_bot.hpp"

namespace game::bot {

namespace {

using random_choice_bot::CHAIN_NB;
using random_choice_bot::ChainTree;
using random_choice_bot::MAX_CHAIN_LEN;
using StateResult = Result<GameState>;

static_assert(std::is_trivially_destructible_v<StateResult>);

// Room for one prefix's outcome, left uninitialised until try_action's result is built in it.
union StateSlot {
    StateSlot() {}
    StateResult r;
};

// The outcome of every prefix of the chain list for one decision, indexed by tree node; owned
// by the call and never on the heap. A node's state is meaningful only while its error is ok.
// Leaves are never continued, so they share one slot and keep only their score.
struct SearchCache {
    std::array<Error, ChainTree::NODE_NB> error;
    std::array<StateSlot, ChainTree::LEAF_BEGIN> inner;  // inner[0] unused: the root is the input
    StateSlot leaf;
    std::array<double, ChainTree::LEAF_NB> leaf_score;
};

// Plays the node's action on its parent's outcome, building the result in `slot`; returns the
// node's error: the parent's, the action's, or "game over" when the action ended the game.
// With `shortcut` the action skips the running seed, replay record and ghost, which nothing
// the search reads depends on from such an input.
Error play_node(const ChainTree& tree, int node, const GameState& input, SearchCache& cache,
                StateSlot& slot, bool shortcut) {
    const int parent = tree.parent[node];
    if (cache.error[parent].failed()) return cache.error[parent];
    const GameState& from = parent == 0 ? input : cache.inner[parent].r.value;
    StateResult* r;
    if (shortcut) {
        r = ::new (&slot.r) StateResult{from, {}};
        r->error = r->value.act_for_search(tree.action[node]);
    } else {
        r = ::new (&slot.r) StateResult(from.try_action(tree.action[node], 0));
    }
    if (r->failed()) return r->error;
    if (r->value.is_over()) return fail(ErrorCode::GameOver);
    return ok();
}

// The chain numbers in a uniformly shuffled order (Fisher-Yates from the last position down),
// then stably sorted by chain length.
std::array<std::uint8_t, CHAIN_NB> shuffled_by_length(const ChainTree& tree,
                                                      random::WordSource& rng) {
    std::array<std::uint8_t, CHAIN_NB> order;
    for (int c = 0; c < CHAIN_NB; ++c) order[c] = static_cast<std::uint8_t>(c);
    for (std::uint32_t i = CHAIN_NB - 1; i >= 1; --i)
        std::swap(order[i], order[random::bounded_index(rng, i + 1)]);

    std::array<std::uint8_t, CHAIN_NB> sorted;
    int n = 0;
    for (int size = 1; size <= MAX_CHAIN_LEN; ++size)
        for (std::uint8_t c : order)
            if (tree.chain_size[c] == size) sorted[n++] = c;
    return sorted;
}

}  // namespace

Result<std::unique_ptr<TetBot>> get_bot(std::string_view name) {
    if (name == "wordpress")
        return {std::make_unique<wordpress_blog_bot::WordpressBlogBot>(), ok()};
    if (name == "random") return {std::make_unique<random_choice_bot::RandomChoiceBot>(), ok()};
    return {nullptr, fail(ErrorCode::BotNameNotFound)};
}

// Every distinct prefix is played once, parents before children, whatever the chain order:
// a prefix's outcome depends only on the input state, so the order of the chains decides
// nothing but ties.
MoveChain get_best_move_for_score_fn(const GameState& state, ScoreFn score,
                                     random::WordSource& rng) {
    // Step 1. A finished game has no move.
    if (state.is_over()) return {};

    // Step 2. The chains in random order, shortest first.
    const ChainTree& tree = random_choice_bot::move_chain_tree();
    const std::array<std::uint8_t, CHAIN_NB> order = shuffled_by_length(tree, rng);

    // Step 3. The prefixes that chains continue.
    SearchCache cache;
    const bool shortcut = state.search_shortcut_ok();
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n)
        cache.error[n] = play_node(tree, n, state, cache, cache.inner[n], shortcut);

    // Step 4. Each chain's final state, its falling piece erased, and its score.
    for (int n = ChainTree::LEAF_BEGIN; n < ChainTree::NODE_NB; ++n) {
        Error e = play_node(tree, n, state, cache, cache.leaf, shortcut);
        if (e.ok()) {
            GameState& last = cache.leaf.r.value;
            if (!last.current_pcs) e = fail(ErrorCode::ErrorInGeneratingBoard);
            else e = last.main_board.delete_piece(*last.current_pcs);
        }
        if (e.ok()) {
            const Result<double> s = score(state, cache.leaf.r.value);
            e = s.error;
            cache.leaf_score[n - ChainTree::LEAF_BEGIN] = s.value;
        }
        cache.error[n] = e;
    }

    // Step 5. The first chain in order with a strictly higher score than all before it.
    double best_score = std::numeric_limits<double>::lowest();
    int best = -1;
    for (std::uint8_t c : order) {
        const int node = tree.chain_node[c];
        if (cache.error[node].failed()) continue;
        const double s = cache.leaf_score[node - ChainTree::LEAF_BEGIN];
        if (s > best_score) {
            best_score = s;
            best = c;
        }
    }
    if (best < 0) return {TetAction::SoftDrop};
    return random_choice_bot::all_move_chains()[best];
}

}  // namespace game::bot
