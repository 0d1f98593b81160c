#include "bot/bot.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "bot/random_choice_bot.hpp"
#include "bot/wordpress_blog_bot.hpp"
#include "tet/search_state.hpp"

namespace game::bot {

namespace {

using random_choice_bot::CHAIN_NB;
using random_choice_bot::ChainTree;
using random_choice_bot::MAX_CHAIN_LEN;
static_assert(std::is_trivially_destructible_v<GameState>);

using detail::Slot;

// The outcome of every prefix of the chain list for one decision, indexed by tree node; owned
// by the call and never on the heap. A node's state is meaningful only while its error is ok.
// Leaves are never continued, so they share one slot and keep only their score. `State` is
// GameState (the exact actions) or SearchState (the same answers on solid-cell masks).
template <class State>
struct SearchCache {
    std::array<Error, ChainTree::NODE_NB> error;
    std::array<Slot<State>, ChainTree::LEAF_BEGIN> inner;  // inner[0] unused: the root is the input
    Slot<State> leaf;
    std::array<double, ChainTree::LEAF_NB> leaf_score;
};

// Plays the node's action on its parent's outcome, building the result in `slot`; returns the
// node's error: the parent's, the action's, or "game over" when the action ended the game.
Error play_node(const ChainTree& tree, int node, const GameState& input,
                SearchCache<GameState>& cache, Slot<GameState>& slot) {
    const int parent = tree.parent[node];
    if (cache.error[parent].failed()) return cache.error[parent];
    const GameState& from = parent == 0 ? input : cache.inner[parent].v;
    ::new (&slot.v) GameState(from);
    if (Error e = slot.v.act_in_place(tree.action[node], 0); e.failed()) return e;
    if (slot.v.is_over()) return fail(ErrorCode::GameOver);
    return ok();
}

Error play_node(const ChainTree& tree, int node, const tet::SearchState& input,
                SearchCache<tet::SearchState>& cache, Slot<tet::SearchState>& slot) {
    const int parent = tree.parent[node];
    if (cache.error[parent].failed()) return cache.error[parent];
    const tet::SearchState& from = parent == 0 ? input : cache.inner[parent].v;
    ::new (&slot.v) tet::SearchState(from);
    if (Error e = slot.v.act(tree.action[node]); e.failed()) return e;
    if (slot.v.over) return fail(ErrorCode::GameOver);
    return ok();
}

// The final state of a chain as a score sees it, or the reason it cannot be scored.
Error candidate_from(GameState& last, Candidate& out) {
    if (!last.current_pcs) return fail(ErrorCode::ErrorInGeneratingBoard);
    if (Error e = last.main_board.delete_piece(*last.current_pcs); e.failed()) return e;
    out = candidate_of(last);
    return ok();
}

Error candidate_from(tet::SearchState& last, Candidate& out) {
    if (!last.has_piece) return fail(ErrorCode::ErrorInGeneratingBoard);
    last.erase_piece();
    out = Candidate{last.total_lines, last.cols, tet::board_metrics(last.cols)};
    return ok();
}

// Every distinct prefix is played once, parents before children, whatever the chain order:
// a prefix's outcome depends only on the input state, so the order of the chains decides
// nothing but ties. Fills cache.error and cache.leaf_score.
template <class State>
void play_tree(const ChainTree& tree, const GameState& input, const State& root, ScoreFn score,
               SearchCache<State>& cache) {
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n)
        cache.error[n] = play_node(tree, n, root, cache, cache.inner[n]);
    for (int n = ChainTree::LEAF_BEGIN; n < ChainTree::NODE_NB; ++n) {
        Error e = play_node(tree, n, root, cache, cache.leaf);
        Candidate c;
        if (e.ok()) e = candidate_from(cache.leaf.v, c);
        if (e.ok()) {
            const Result<double> s = score(input, c);
            e = s.error;
            cache.leaf_score[n - ChainTree::LEAF_BEGIN] = s.value;
        }
        cache.error[n] = e;
    }
}

// The outcomes of the prefixes for one piece on a board fixed until each chain's lock: an
// inner node keeps only its Piece, a leaf its score.
struct LockCache {
    std::array<Error, ChainTree::NODE_NB> error;
    std::array<tet::LockSearch::Piece, ChainTree::LEAF_BEGIN> inner;
    std::array<double, ChainTree::LEAF_NB> leaf_score;
};

void play_tree(const ChainTree& tree, const GameState& input, const tet::LockSearch& board,
               const tet::LockSearch::Piece& root, ScoreFn score, LockCache& cache) {
    cache.inner[0] = root;
    cache.error[0] = ok();
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n) {
        const int parent = tree.parent[n];
        if (cache.error[parent].failed()) {
            cache.error[n] = cache.error[parent];
            continue;
        }
        cache.inner[n] = cache.inner[parent];
        cache.error[n] = board.act(cache.inner[n], tree.action[n]) ? ok() : fail(ErrorCode::CellTaken);
    }
    Candidate c;
    for (int n = ChainTree::LEAF_BEGIN; n < ChainTree::NODE_NB; ++n) {
        const int parent = tree.parent[n];
        Error e = cache.error[parent];
        if (e.ok() && !board.hard_drop(cache.inner[parent], c.total_lines, c.cols, c.metrics))
            e = fail(ErrorCode::GameOver);
        if (e.ok()) {
            const Result<double> s = score(input, c);
            e = s.error;
            cache.leaf_score[n - ChainTree::LEAF_BEGIN] = s.value;
        }
        cache.error[n] = e;
    }
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

namespace {

// Each distinct chain's score (by leaf), and whether it has one.
struct LeafScores {
    std::array<bool, ChainTree::LEAF_NB> scored{};
    std::array<double, ChainTree::LEAF_NB> score{};
};

template <class Cache>
void copy_scores(const Cache& cache, LeafScores& out) {
    for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
        out.scored[k] = cache.error[ChainTree::LEAF_BEGIN + k].ok();
        out.score[k] = cache.leaf_score[k];
    }
}

// Every chain's outcome and score: on solid-cell masks when nothing the search reads depends on
// the running seed (on the board without the falling piece, untouched until each chain's lock,
// when no row is full without it), with the exact actions otherwise.
LeafScores score_leaves(const GameState& state, ScoreFn score) {
    const ChainTree& tree = random_choice_bot::move_chain_tree();
    LeafScores out;
    tet::LockSearch board;
    tet::LockSearch::Piece root;
    if (tet::LockSearch::from(state, board, root)) {
        LockCache cache;
        play_tree(tree, state, board, root, score, cache);
        copy_scores(cache, out);
    } else if (state.search_shortcut_ok()) {
        SearchCache<tet::SearchState> cache;
        play_tree(tree, state, tet::SearchState::from(state), score, cache);
        copy_scores(cache, out);
    } else {
        SearchCache<GameState> cache;
        play_tree(tree, state, state, score, cache);
        copy_scores(cache, out);
    }
    return out;
}

}  // namespace

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
    const ChainTree& tree = random_choice_bot::move_chain_tree();
    const std::array<std::uint8_t, CHAIN_NB> order = shuffled_by_length(tree, rng);

    // Step 3. Every chain's score.
    const LeafScores leaves = score_leaves(state, score);

    // Step 4. The first chain in order with a strictly higher score than all before it.
    double best_score = std::numeric_limits<double>::lowest();
    int best = -1;
    for (std::uint8_t c : order) {
        const int k = tree.chain_node[c] - ChainTree::LEAF_BEGIN;
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
    const ChainTree& tree = random_choice_bot::move_chain_tree();
    const LeafScores leaves = score_leaves(state, score);
    double best_score = std::numeric_limits<double>::lowest();
    int shortest = 0;
    for (int c = 0; c < CHAIN_NB; ++c) {
        const int k = tree.chain_node[c] - ChainTree::LEAF_BEGIN;
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
