// Writes the fuzzers' seed inputs: byte forms of states along a few scripted games and the
// replay streams of those games.
//   make_corpus <corpus dir>
#include <cstdio>
#include <string>
#include <vector>

#include "tet/codec.hpp"
#include "tet/state.hpp"

using namespace game::tet;

namespace {

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus <dir>\n");
        return 2;
    }
    const std::string dir = argv[1];
    unsigned x = 12345;
    for (int game = 0; game < 4; ++game) {
        Seed32 seed{};
        for (auto& b : seed) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
        GameState s = GameState::new_game(seed, game * 1'000'003);
        std::vector<GameReplaySegment> segs{s.last_segment};
        for (int step = 0; step < 300 && !s.is_over(); ++step) {
            const auto a = action_from_index(static_cast<int>(((x = x * 1103515245 + 12345) >> 16) % 8));
            if (s.apply_action_if_works(a, step * 16'667).ok()) segs.push_back(s.last_segment);
            if (step % 60 == 0)
                write_file(dir + "/fuzz_state/g" + std::to_string(game) + "_" + std::to_string(step),
                           encode_game_state(s));
        }
        segs.push_back(GameOverReason::Knockout);
        if (segs.size() > 40) segs.resize(40);
        write_file(dir + "/fuzz_replay/g" + std::to_string(game), encode_replay_segments(segs));
    }
    return 0;
}
