// The bot that scores boards with a weighted heuristic of lines, height, holes and bumpiness.
#pragma once

#include "bot/bot.hpp"

namespace game::bot::wordpress_blog_bot {

// ((lines * 0.76 - height * 0.51) + holes * -0.35) + bumpiness * -0.18
Result<double> score(const GameState& input, const Candidate& candidate);

class WordpressBlogBot final : public TetBot {
public:
    Result<MoveChain> choose_move(const GameState& state) override;
    Result<MoveChain> choose_move_with(const GameState& state, random::WordSource& rng) override;
};

}  // namespace game::bot::wordpress_blog_bot
