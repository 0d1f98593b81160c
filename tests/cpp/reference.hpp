// Literal forms of rules the engine takes shortcuts for: the hard drop, the chain sweep and
// the chain search.
// The engine tests and the differential fuzzer check the fast forms against them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bot/bot.hpp"
#include "bot/random_choice_bot.hpp"
#include "error.hpp"
#include "random.hpp"
#include "tet/board.hpp"
#include "tet/state.hpp"
#include "tet/state_detail.hpp"

namespace reference {

using game::bot::MoveChain;
using game::tet::BoardMatrix;
using game::tet::CellValue;
using game::tet::GameState;
using game::tet::TetAction;

// A hard drop at time t as the rule reads, on a state with a falling piece: one-row soft drops
// until one fails or a new piece is spawned, then the 10 points less 2 for every row fallen; then
// the step record of every action.
inline GameState literal_hard_drop(const GameState& s, std::int64_t t = 0) {
    GameState n = s;
    const std::uint16_t spawned = n.current_id;
    int runs = 0;
    for (;;) {
        ++runs;
        if (game::tet::detail::carry_out(n, TetAction::SoftDrop, t).failed()) break;
        if (!n.current_pcs || n.current_id != spawned || n.is_over()) break;
    }
    n.last_action = TetAction::HardDrop;
    n.score = static_cast<std::int32_t>(static_cast<std::uint32_t>(n.score) + 10u -
                                        2u * static_cast<std::uint32_t>(runs - 1));
    const std::uint16_t i = n.last_segment_idx;
    n.seed = game::random::accept_event(n.seed, game::tet::GameReplayEvent{TetAction::HardDrop}, t, i);
    n.last_segment = game::tet::GameReplaySlice{t, n.seed, n.garbage_recv, n.garbage_applied, i,
                                                game::tet::GameReplayEvent{TetAction::HardDrop}};
    n.last_segment_idx = static_cast<std::uint16_t>(i + 1);
    for (int y = 0; y < BoardMatrix::ROWS; ++y)
        for (int x = 0; x < BoardMatrix::COLS; ++x)
            if (n.main_board.get(y, x) == CellValue::Ghost) n.main_board.set(y, x, CellValue::Empty);
    if (!n.is_over()) n.put_ghost();
    ++n.total_moves;
    return n;
}

// Each listed chain all of whose actions are accepted, applied action by action to its own
// copy of s: (chain number, final state), in list order.
inline std::vector<std::pair<int, GameState>> valid_chains_one_by_one(const GameState& s) {
    const auto& chains = game::bot::random_choice_bot::all_move_chains();
    std::vector<std::pair<int, GameState>> out;
    for (int c = 0; c < static_cast<int>(chains.size()); ++c) {
        GameState one = s;
        bool plays = true;
        for (TetAction a : chains[static_cast<std::size_t>(c)])
            plays = plays && one.apply_action_if_works(a, 0).ok();
        if (plays) out.emplace_back(c, one);
    }
    return out;
}

// The chain search as literally described: a fresh copy of the list, Fisher-Yates, a stable
// sort by length, and a hash map from every action prefix to its outcome, filled chain by
// chain.

struct ChainHash {
    std::size_t operator()(const MoveChain& c) const {
        std::size_t h = c.size();
        for (TetAction a : c) h = h * 31 + static_cast<std::size_t>(game::tet::index(a));
        return h;
    }
};

inline MoveChain reference_search(const GameState& s, game::bot::ScoreFn score,
                                  game::random::WordSource& rng) {
    if (s.game_over_reason) return {};

    std::vector<MoveChain> chains = game::bot::random_choice_bot::get_all_move_chains();
    for (std::size_t i = chains.size() - 1; i >= 1; --i) {
        const std::uint32_t j = game::random::bounded_index(rng, static_cast<std::uint32_t>(i + 1));
        std::swap(chains[i], chains[j]);
    }
    std::stable_sort(chains.begin(), chains.end(),
                     [](const MoveChain& a, const MoveChain& b) { return a.size() < b.size(); });

    double best_score = std::numeric_limits<double>::lowest();
    MoveChain best_chain = {TetAction::SoftDrop};
    std::unordered_map<MoveChain, game::Result<GameState>, ChainHash> cache;
    cache.emplace(MoveChain{}, game::Result<GameState>{s, game::ok()});

    for (const MoveChain& c : chains) {
        for (std::size_t k = 1; k <= c.size(); ++k) {
            const MoveChain q(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(k));
            if (cache.count(q)) continue;
            const MoveChain prior_key(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(k - 1));
            const auto prior = cache.find(prior_key);
            if (prior == cache.end()) game::internal_failure("prev chain must exist");
            game::Result<GameState> out;
            if (prior->second.failed()) {
                out.error = prior->second.error;
            } else {
                const GameState from = prior->second.value;
                out = from.try_action(c[k - 1], 0);
                if (out.ok() && out.value.game_over_reason)
                    out.error = game::fail(game::ErrorCode::GameOver);
            }
            cache.emplace(q, out);
        }
        const auto found = cache.find(c);
        if (found == cache.end())
            game::internal_failure("result not found in cache after iterating");
        if (found->second.failed()) continue;
        GameState t = found->second.value;
        if (!t.current_pcs) continue;
        if (t.main_board.delete_piece(*t.current_pcs).failed()) continue;
        const game::Result<double> sc = score(s, game::bot::candidate_of(t));
        if (sc.failed()) continue;
        if (sc.value > best_score) {
            best_score = sc.value;
            best_chain = c;
        }
    }
    return best_chain;
}

}  // namespace reference
