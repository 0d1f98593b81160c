// The fixed move-chain list and the bot that scores cleared lines and stack height.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "bot/bot.hpp"

namespace game::bot::random_choice_bot {

inline constexpr int CHAIN_NB = 96;      // 8 prefixes x 12 suffixes
inline constexpr int MAX_CHAIN_LEN = 9;  // Hold, RotateRight x2, MoveLeft x5, HardDrop

// The 96 chains: 8 prefixes x 12 suffixes, built once and only read.
const std::vector<MoveChain>& all_move_chains();
// A fresh copy the caller owns.
std::vector<MoveChain> get_all_move_chains();

// The chains as a prefix tree. Node 0 is the empty prefix; every other node is one distinct
// non-empty prefix, entered from its parent by one action. Parents are numbered before their
// children, the inner nodes shallower before deeper, and the nodes that no chain continues
// (the leaves: every one ends a chain with HardDrop) after all others, from LEAF_BEGIN on.
// Fixed at compile time.
struct ChainTree {
    static constexpr int NODE_NB = 176;     // the root and 175 distinct non-empty prefixes
    static constexpr int LEAF_BEGIN = 88;   // the root and the 87 prefixes a chain continues
    static constexpr int LEAF_NB = NODE_NB - LEAF_BEGIN;
    static constexpr std::int16_t NO_NODE = -1;

    std::array<std::uint8_t, NODE_NB> parent{};
    std::array<TetAction, NODE_NB> action{};
    std::array<std::array<std::int16_t, tet::ACTION_NB>, NODE_NB> child{};
    // The node of each chain's whole action list, and the list's length.
    std::array<std::uint8_t, CHAIN_NB> chain_node{};
    std::array<std::uint8_t, CHAIN_NB> chain_size{};
    // How many chains are shorter than each length: where that length's chains start when
    // the list is sorted by length.
    std::array<std::uint8_t, MAX_CHAIN_LEN + 1> shorter{};
};
const ChainTree& move_chain_tree();

// score = lines * 0.76 + height * (-0.51)
Result<double> score(const GameState& input, const Candidate& candidate);

class RandomChoiceBot final : public TetBot {
public:
    Result<MoveChain> choose_move(const GameState& state) override;
    Result<MoveChain> choose_move_with(const GameState& state, random::WordSource& rng) override;
};

}  // namespace game::bot::random_choice_bot
