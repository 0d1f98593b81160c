// Playing the whole move-chain list on one state with the exact actions.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

#include "bot/random_choice_bot.hpp"
#include "tet/search_state.hpp"
#include "tet/state.hpp"

namespace game::bot {

namespace detail {

// for_each_valid_chain on a board with cells of the codes 10 to 15: which of those cells a
// chain's final state keeps depends on the ghosts of its prefixes, so each prefix is played
// whole, ghost and seed included, one after another.
template <class PlaceLeaf, class OnValid>
void for_each_valid_chain_with_ghosts(const GameState& state, PlaceLeaf& place_leaf,
                                      OnValid& on_valid) {
    using random_choice_bot::ChainTree;
    const ChainTree& tree = random_choice_bot::move_chain_tree();
    using Slot = detail::Slot<GameState>;
    std::array<Slot, ChainTree::LEAF_BEGIN> inner;
    ::new (&inner[0].v) GameState(state);
    std::array<bool, ChainTree::LEAF_BEGIN> accepted{};
    accepted[0] = true;
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n) {
        const int parent = tree.parent[n];
        if (!accepted[parent]) continue;
        ::new (&inner[n].v) GameState(inner[parent].v);
        accepted[n] = inner[n].v.act_in_place(tree.action[n], 0).ok();
    }
    std::array<const GameState*, ChainTree::LEAF_NB> leaf{};
    for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
        const int node = ChainTree::LEAF_BEGIN + k;
        const int parent = tree.parent[node];
        if (!accepted[parent]) continue;
        void* room = place_leaf(k);
        if (!room) continue;
        GameState& last = *::new (room) GameState(inner[parent].v);
        if (last.act_in_place(tree.action[node], 0).ok()) leaf[k] = &last;
    }
    for (int c = 0; c < random_choice_bot::CHAIN_NB; ++c) {
        const int k = tree.chain_node[c] - ChainTree::LEAF_BEGIN;
        if (leaf[k]) on_valid(c, k, *leaf[k]);
    }
}

}  // namespace detail

// Plays every chain of the list on copies of `state` with the exact actions at time 0,
// playing each distinct prefix once, and calls on_valid(chain number, leaf number, final state)
// for every chain all of whose actions are accepted, in list order (a chain whose last action
// ends the game included; identical chains share their leaf). The same as applying each chain
// to its own copy with apply_action_if_works; the running seeds of independent prefixes are
// computed side by side.
//
// Each leaf's final state is built in the storage that place_leaf(leaf number) gives (room
// for a GameState, suitably aligned, never constructed there before): a caller that hands the
// states on can have them made where they are to stay. place_leaf is asked at most once per
// leaf, only for leaves whose prefix is accepted; a leaf it gives nullptr for is left out as if
// refused. What it gives stays the caller's: a leaf reported to on_valid holds its final state,
// any other holds some state or nothing.
template <class PlaceLeaf, class OnValid>
void for_each_valid_chain(const GameState& state, PlaceLeaf&& place_leaf, OnValid&& on_valid) {
    if (tet::has_free_codes(state.main_board)) {
        detail::for_each_valid_chain_with_ghosts(state, place_leaf, on_valid);
        return;
    }
    using random_choice_bot::ChainTree;
    const ChainTree& tree = random_choice_bot::move_chain_tree();
    constexpr std::size_t BATCH = 16;

    using Slot = detail::Slot<GameState>;
    // Actions whose own step is done and whose seeds and records are still to come. The
    // prefixes' own states are never handed out, so they go without a ghost.
    GameState* pending[BATCH];
    TetAction pending_action[BATCH];
    std::size_t pending_n = 0;
    auto flush = [&] {
        GameState::record_all_accepted({pending, pending_n}, {pending_action, pending_n}, 0,
                                       GameState::GhostWork::Skip);
        pending_n = 0;
    };

    // The leaves in the order of their parents: those whose parent is recorded fill up the
    // batches of the prefixes, whose sizes the depths of the tree set.
    static const std::array<std::uint8_t, ChainTree::LEAF_NB> by_parent = [&] {
        std::array<std::uint8_t, ChainTree::LEAF_NB> order;
        for (int k = 0; k < ChainTree::LEAF_NB; ++k) order[k] = static_cast<std::uint8_t>(k);
        std::stable_sort(order.begin(), order.end(), [&](std::uint8_t x, std::uint8_t y) {
            return tree.parent[ChainTree::LEAF_BEGIN + x] < tree.parent[ChainTree::LEAF_BEGIN + y];
        });
        return order;
    }();

    // Step 1. The prefixes that chains continue; the root is the state itself with its ghost
    // cells erased (the records of the chains' last actions would erase them anyway, and no
    // rule reads them), so that those records need not look for any. A node waits for its
    // parent's record before it starts from the parent.
    std::array<Slot, ChainTree::LEAF_BEGIN> inner;
    GameState& root = *::new (&inner[0].v) GameState(state);
    tet::erase_ghosts(root.main_board);
    std::array<bool, ChainTree::LEAF_BEGIN> accepted{};
    accepted[0] = true;

    // Step 2, one leaf: its chain's last action. Every prefix's board holds the input's solid
    // cells without its falling piece plus the prefix's own piece when no row of them is full
    // and no garbage waits (a hold then changes nothing else), so the hard drops can land and
    // lock from those cells' masks, and the ghosts of the pieces that come next land on the
    // locked masks.
    tet::LockSearch base;
    tet::LockSearch::Piece root_piece;
    const bool planned = tet::LockSearch::from(state, base, root_piece);
    constexpr int UNKNOWN_ROW = -1000;
    std::array<GameState*, ChainTree::LEAF_NB> leaf;
    std::array<bool, ChainTree::LEAF_NB> valid{};
    std::array<int, ChainTree::LEAF_NB> ghost_row;
    auto play_leaf = [&](int k) {
        const int node = ChainTree::LEAF_BEGIN + k;
        const int parent = tree.parent[node];
        if (!accepted[parent]) return;
        void* room = place_leaf(k);
        if (!room) return;
        GameState& last = *::new (room) GameState(inner[parent].v);
        leaf[k] = &last;
        ghost_row[k] = UNKNOWN_ROW;
        Error e;
        if (planned && tree.action[node] == TetAction::HardDrop && last.can_drop_planned()) {
            const tet::CurrentPcsInfo piece = *last.current_pcs;
            const tet::LockPlan plan = base.plan(piece);
            last.hard_drop_planned(plan, 0);
            if (last.current_pcs && !last.is_over()) {
                const tet::CurrentPcsInfo& next = *last.current_pcs;
                ghost_row[k] = next.pos.y - tet::fall_distance(base.locked_cols(piece, plan), next);
            }
        } else {
            e = last.carry_out(tree.action[node], 0);
        }
        if (e.failed()) return;
        valid[k] = true;
        pending[pending_n] = &last;
        pending_action[pending_n++] = tree.action[node];
    };
    // The leaves whose parents come before `recorded` (and so have their records), as long as
    // the batch has room.
    std::size_t next_leaf = 0;
    auto play_ready_leaves = [&](int recorded) {
        while (pending_n < BATCH && next_leaf < by_parent.size() &&
               tree.parent[ChainTree::LEAF_BEGIN + by_parent[next_leaf]] < recorded)
            play_leaf(by_parent[next_leaf++]);
    };

    int first_pending = ChainTree::LEAF_BEGIN;
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n) {
        const int parent = tree.parent[n];
        if (!accepted[parent]) continue;
        if (parent >= first_pending) {
            play_ready_leaves(first_pending);
            flush();
            first_pending = ChainTree::LEAF_BEGIN;
        }
        ::new (&inner[n].v) GameState(inner[parent].v);
        accepted[n] = inner[n].v.carry_out(tree.action[n], 0).ok();
        if (!accepted[n]) continue;
        if (pending_n == 0) first_pending = n;
        pending[pending_n] = &inner[n].v;
        pending_action[pending_n++] = tree.action[n];
        if (pending_n == BATCH) {
            flush();
            first_pending = ChainTree::LEAF_BEGIN;
        }
    }
    play_ready_leaves(first_pending);
    flush();

    // Step 2. The other leaves, a batch at a time; then every chain in list order (identical
    // chains share their leaf).
    while (next_leaf < by_parent.size()) {
        play_leaf(by_parent[next_leaf++]);
        if (pending_n == BATCH) flush();
    }
    flush();
    // The board holds no ghost cell (the root's were erased, the records skipped theirs).
    for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
        if (!valid[k] || leaf[k]->is_over()) continue;
        if (ghost_row[k] != UNKNOWN_ROW) leaf[k]->put_ghost_at(ghost_row[k]);
        else leaf[k]->put_ghost();
    }
    for (int c = 0; c < random_choice_bot::CHAIN_NB; ++c) {
        const int k = tree.chain_node[c] - ChainTree::LEAF_BEGIN;
        if (valid[k]) on_valid(c, k, static_cast<const GameState&>(*leaf[k]));
    }
}

// The same with the final states kept here: on_valid(chain number, final state).
template <class OnValid>
void for_each_valid_chain(const GameState& state, OnValid&& on_valid) {
    using random_choice_bot::ChainTree;
    using Slot = detail::Slot<GameState>;
    std::array<Slot, ChainTree::LEAF_NB> leaf;
    for_each_valid_chain(
        state, [&](int k) -> void* { return &leaf[static_cast<std::size_t>(k)].v; },
        [&](int c, int, const GameState& end) { on_valid(c, end); });
}

}  // namespace game::bot
