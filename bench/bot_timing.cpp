// Median time of one bot decision on a fresh and on a mid-game state, for both bots.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "bot/bot.hpp"
#include "random.hpp"
#include "tet/board.hpp"
#include "tet/state.hpp"

using game::bot::MoveChain;
using game::bot::TetBot;
using game::tet::GameState;
using game::tet::Seed32;

namespace {

constexpr int SAMPLES = 2001;

Seed32 fixed_seed(int salt) {
    Seed32 seed{};
    for (std::size_t i = 0; i < seed.size(); ++i)
        seed[i] = static_cast<std::uint8_t>(11 * i + static_cast<std::size_t>(salt));
    return seed;
}

// A state after `decisions` placements by the bot, its shuffle drawn from a fixed stream.
GameState played(TetBot& bot, int decisions) {
    game::random::SeededStream rng(fixed_seed(5));
    GameState s = GameState::new_game(fixed_seed(3), 1'700'000'000'000'000);
    for (int i = 0; i < decisions && !s.is_over(); ++i)
        for (game::tet::TetAction a : bot.choose_move_with(s, rng).value)
            if (s.apply_action_if_works(a, 0).failed()) break;
    return s;
}

// Median nanoseconds of single choose_move calls (the thread's generator, as Python calls it).
double median_decision_ns(TetBot& bot, const GameState& s) {
    std::vector<double> ns;
    ns.reserve(SAMPLES);
    for (int i = 0; i < SAMPLES; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        auto chosen = bot.choose_move(s);
        const auto t1 = std::chrono::steady_clock::now();
        bench::keep(chosen);
        ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::nth_element(ns.begin(), ns.begin() + SAMPLES / 2, ns.end());
    return ns[SAMPLES / 2];
}

void bench_bot(const char* name) {
    auto bot = game::bot::get_bot(name);
    if (bot.failed()) {
        std::printf("%s: %s\n", name, bot.error.message().c_str());
        return;
    }
    const GameState fresh = GameState::new_game(fixed_seed(3), 1'700'000'000'000'000);
    const GameState mid = played(*bot.value, 60);
    for (const auto& [label, s] : {std::pair{"fresh", &fresh}, std::pair{"mid-game", &mid}}) {
        const double ns = median_decision_ns(*bot.value, *s);
        const std::string title = std::string(name) + " decision, " + label;
        bench::report(title.c_str(), ns);
        std::printf("%-40s %10.0f decisions/s (%d decisions, stack height %d, %u moves)\n", "",
                    1e9 / ns, SAMPLES, game::tet::get_height(s->board_without_falling_piece()),
                    s->total_moves);
    }
}

}  // namespace

int main() {
    bench_bot("wordpress");
    bench_bot("random");
    return 0;
}
