// The fixed move-chain list and the bot that scores cleared lines and stack height.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "bot/bot.hpp"

namespace game::bot::random_choice_bot {

using tet::CHAIN_NB;
using tet::MAX_CHAIN_LEN;

// The 96 chains of the list (see tet::chain_table), built once and only read.
const std::vector<MoveChain>& all_move_chains();
// A fresh copy the caller owns.
std::vector<MoveChain> get_all_move_chains();

// score = lines * 0.76 + height * (-0.51)
Result<double> score(const GameState& input, const Candidate& candidate);

class RandomChoiceBot final : public TetBot {
public:
    Result<MoveChain> choose_move(const GameState& state) override;
    Result<MoveChain> choose_move_with(const GameState& state, random::WordSource& rng) override;
};

}  // namespace game::bot::random_choice_bot
