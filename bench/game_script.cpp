#include "game_script.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace bench {

using game::tet::GameState;
using game::tet::TetAction;

namespace {

[[noreturn]] void fail(const std::string& name, const std::string& what) {
    throw std::runtime_error("bench input " + name + ": " + what);
}

// The whole file, decompressed; gzread passes a plain file through unchanged.
std::string read_file(const std::string& name) {
    const std::string path = inputs_dir() + "/" + name;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) fail(name, "cannot open " + path);
    std::string text;
    char buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    const bool failed = n < 0;
    gzclose(f);
    if (failed) fail(name, "cannot read " + path);
    return text;
}

bool parse_action(const std::string& word, TetAction& out) {
    for (int i = 0; i < game::tet::ACTION_NB; ++i)
        if (word == game::tet::name(game::tet::action_from_index(i))) {
            out = game::tet::action_from_index(i);
            return true;
        }
    return false;
}

bool parse_seed(const std::string& hex, game::tet::Seed32& out) {
    if (hex.size() != 2 * out.size()) return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        char* end = nullptr;
        const std::string byte = hex.substr(2 * i, 2);
        const unsigned long v = std::strtoul(byte.c_str(), &end, 16);
        if (end != byte.c_str() + 2) return false;
        out[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

}  // namespace

GameState GameScript::new_game() const { return GameState::new_game(seed, ts); }

std::vector<GameState> GameScript::play(std::size_t limit) const {
    std::vector<GameState> states;
    states.reserve(std::min(limit, actions.size()) + 1);
    states.push_back(new_game());
    for (std::size_t k = 0; k < limit && k < actions.size(); ++k) {
        auto next = states.back().try_action(actions[k], 0);
        if (next.failed())
            throw std::runtime_error("action " + std::to_string(k) + " (" +
                                     game::tet::name(actions[k]) +
                                     ") is refused: " + next.error.message());
        states.push_back(next.value);
    }
    return states;
}

std::string inputs_dir() {
    if (const char* dir = std::getenv("CORVELLE_BENCH_INPUTS"); dir && *dir) return dir;
    return CORVELLE_BENCH_INPUTS;
}

GameScript load_script(const std::string& name) {
    std::istringstream in(read_file(name));
    GameScript script;
    bool have_seed = false, have_ts = false, in_actions = false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string word;
        if (in_actions) {
            while (words >> word) {
                TetAction a;
                if (!parse_action(word, a)) fail(name, "unknown action " + word);
                script.actions.push_back(a);
            }
            continue;
        }
        words >> word;
        if (word == "seed") {
            std::string hex;
            words >> hex;
            if (!parse_seed(hex, script.seed)) fail(name, "bad seed " + hex);
            have_seed = true;
        } else if (word == "ts") {
            if (!(words >> script.ts)) fail(name, "bad ts");
            have_ts = true;
        } else if (word == "actions") {
            in_actions = true;
        } else {
            fail(name, "unknown line " + line);
        }
    }
    if (!have_seed || !have_ts) fail(name, "needs a seed and a ts");
    return script;
}

std::vector<game::tet::GameReplaySegment> replay_segments(const std::vector<GameState>& states) {
    std::vector<game::tet::GameReplaySegment> segments;
    segments.reserve(states.size() + 1);
    for (const GameState& s : states) segments.push_back(s.last_segment);
    segments.emplace_back(game::tet::GameOverReason::Knockout);
    return segments;
}

}  // namespace bench
