// Median time of one try_action per action on a fresh and on a mid-game state.
#include <cstdio>
#include <string>

#include "bench_util.hpp"
#include "tet/state.hpp"

using namespace game::tet;

namespace {

// A mid-game state: a fixed seed and a fixed cycle of placements.
GameState mid_game() {
    Seed32 seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(7 * i + 3);
    GameState s = GameState::new_game(seed, 1'700'000'000'000'000);
    const TetAction script[] = {TetAction::MoveLeft,  TetAction::MoveLeft,   TetAction::HardDrop,
                                TetAction::MoveRight, TetAction::MoveRight,  TetAction::HardDrop,
                                TetAction::RotateRight, TetAction::HardDrop, TetAction::MoveLeft,
                                TetAction::RotateLeft, TetAction::MoveLeft,  TetAction::MoveLeft,
                                TetAction::MoveLeft,  TetAction::HardDrop,   TetAction::MoveRight,
                                TetAction::MoveRight, TetAction::MoveRight,  TetAction::MoveRight,
                                TetAction::HardDrop};
    for (TetAction a : script) (void)s.apply_action_if_works(a, 0);
    return s;
}

void bench_state(const char* label, const GameState& s) {
    for (int a = 0; a < ACTION_NB; ++a) {
        const TetAction action = action_from_index(a);
        const double ns = bench::median_ns(
            [&](long n) {
                for (long i = 0; i < n; ++i) {
                    auto r = s.try_action(action, 0);
                    bench::keep(r);
                }
            },
            100'000);
        bench::report((std::string(label) + " try_action " + name(action)).c_str(), ns);
    }
}

}  // namespace

int main() {
    const Seed32 zero{};
    bench_state("fresh", GameState::new_game(zero, 0));
    bench_state("mid-game", mid_game());
    const double ns = bench::median_ns(
        [&](long n) {
            for (long i = 0; i < n; ++i) {
                GameState g = GameState::new_game(zero, i);
                bench::keep(g);
            }
        },
        50'000);
    bench::report("new_game", ns);
    return 0;
}
