// Playing the whole move-chain list on one state with the exact actions.
#pragma once

#include <array>
#include <new>

#include "bot/random_choice_bot.hpp"
#include "tet/state.hpp"

namespace game::bot {

// Plays every chain of the list on copies of `state` with the exact actions at time 0,
// playing each distinct prefix once, and calls on_valid(chain number, final state) for every
// chain all of whose actions are accepted, in list order (a chain whose last action ends the
// game included). The same as applying each chain to its own copy with
// apply_action_if_works.
template <class OnValid>
void for_each_valid_chain(const GameState& state, OnValid&& on_valid) {
    using random_choice_bot::ChainTree;
    const ChainTree& tree = random_choice_bot::move_chain_tree();

    // The prefixes that chains continue; the root is the state itself.
    union Slot {
        Slot() {}
        GameState v;
    };
    std::array<Slot, ChainTree::LEAF_BEGIN> inner;
    std::array<bool, ChainTree::LEAF_BEGIN> accepted{};
    accepted[0] = true;
    auto from = [&](int node) -> const GameState& {
        return node == 0 ? state : inner[node].v;
    };
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n) {
        const int parent = tree.parent[n];
        if (!accepted[parent]) continue;
        ::new (&inner[n].v) GameState(from(parent));
        accepted[n] = inner[n].v.act_in_place(tree.action[n], 0).ok();
    }

    // Each chain's last action, in list order.
    Slot leaf;
    for (int c = 0; c < random_choice_bot::CHAIN_NB; ++c) {
        const int node = tree.chain_node[c];
        const int parent = tree.parent[node];
        if (!accepted[parent]) continue;
        ::new (&leaf.v) GameState(from(parent));
        if (leaf.v.act_in_place(tree.action[node], 0).ok()) on_valid(c, static_cast<const GameState&>(leaf.v));
    }
}

}  // namespace game::bot
