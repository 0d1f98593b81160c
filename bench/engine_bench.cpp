// Engine benchmarks: actions, new games, bot decisions, the byte form and replay playback,
// on the fixed inputs of bench/inputs/ (fresh.txt, midgame.txt, replay.txt.gz).
//
//     engine_bench [Google Benchmark flags]
//     engine_bench --print_inputs    (the byte form of each input state, in hex)
//
// bench/run.sh runs it with repetitions and reads the medians; it first compares the
// --print_inputs lines with the states the Python benchmarks build from the same files.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bot/bot.hpp"
#include "game_script.hpp"
#include "random.hpp"
#include "random_detail.hpp"
#include "tet/codec.hpp"
#include "tet/movegen.hpp"
#include "tet/replay.hpp"
#include "tet/state.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

using game::tet::GameReplaySegment;
using game::tet::GameState;
using game::tet::TetAction;

constexpr std::size_t REPLAY_ACTIONS = 10'000;

struct Inputs {
    bench::GameScript fresh_script;
    GameState fresh;
    GameState midgame;
    // States of the replay game just before each of its hard drops.
    std::vector<GameState> before_hard_drops;
    GameState replay_end;
    std::vector<GameReplaySegment> replay;
    std::vector<std::uint8_t> replay_bytes;
};

Inputs load_inputs() {
    Inputs in;
    in.fresh_script = bench::load_script("fresh.txt");
    in.fresh = in.fresh_script.final_state();
    in.midgame = bench::load_script("midgame.txt").final_state();

    const bench::GameScript replay = bench::load_script("replay.txt.gz");
    if (replay.actions.size() < REPLAY_ACTIONS)
        throw std::runtime_error("bench input replay.txt.gz: fewer than 10,000 actions");
    const std::vector<GameState> states = replay.play(REPLAY_ACTIONS);
    for (std::size_t k = 0; k < REPLAY_ACTIONS; ++k)
        if (replay.actions[k] == TetAction::HardDrop) in.before_hard_drops.push_back(states[k]);
    in.replay_end = states.back();
    in.replay = bench::replay_segments(states);
    in.replay_bytes = game::tet::encode_replay_segments(in.replay);
    return in;
}

void new_game(benchmark::State& st, const Inputs& in) {
    for (auto _ : st) {
        GameState g = GameState::new_game(in.fresh_script.seed, in.fresh_script.ts);
        benchmark::DoNotOptimize(g);
    }
}

void try_action(benchmark::State& st, const GameState& s, TetAction action) {
    for (auto _ : st) {
        auto r = s.try_action(action, 0);
        benchmark::DoNotOptimize(r);
    }
    if (s.try_action(action, 0).failed()) st.SetLabel("refused");
}

// The seed step every accepted action ends with (accept_event), on its own: the floor under
// try_action. `chained` feeds each call the seed the one before it left, as play does, so the
// calls cannot overlap.
void seed_step(benchmark::State& st, const GameState& s, bool chained) {
    const game::tet::GameReplayEvent event{TetAction::MoveLeft};
    game::tet::Seed32 seed = s.seed;
    for (auto _ : st) {
        const game::tet::Seed32 next =
            game::random::accept_event(seed, event, 0, s.last_segment_idx);
        benchmark::DoNotOptimize(next);
        if (chained) seed = next;
    }
}

#if defined(__x86_64__)
// The core's clock, read off a chain of dependent one-cycle vector adds. The seed step is such a
// chain too (its rounds' adds, xors and rotates), so its time follows the clock, which a shared
// host may lower by a fifth for many minutes: this row tells that apart from a slower build.
constexpr int CLOCK_ADDS = 1000;
static_assert(CLOCK_ADDS % 4 == 0);

void core_clock(benchmark::State& st) {
    __m128i x = _mm_set1_epi32(1);
    const __m128i step = _mm_set1_epi32(2);
    for (auto _ : st) {
        for (int i = 0; i < CLOCK_ADDS; i += 4)
            asm volatile("paddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0\n\tpaddd %1, %0"
                         : "+x"(x)
                         : "x"(step));
        benchmark::DoNotOptimize(x);
    }
}
#endif

// A hard drop with its lock, line clears, bag refills and next piece in the proportions one
// long game has them, cycling through the states before each hard drop of the replay.
void hard_drop_mix(benchmark::State& st, const Inputs& in) {
    const std::vector<GameState>& states = in.before_hard_drops;
    std::size_t i = 0;
    for (auto _ : st) {
        auto r = states[i].try_action(TetAction::HardDrop, 0);
        benchmark::DoNotOptimize(r);
        if (++i == states.size()) i = 0;
    }
    st.counters["states"] = static_cast<double>(states.size());
}

void decision(benchmark::State& st, game::bot::TetBot* bot, const GameState& s) {
    for (auto _ : st) {
        auto chain = bot->choose_move(s);
        benchmark::DoNotOptimize(chain);
    }
}

void encode(benchmark::State& st, const GameState& s) {
    std::array<std::uint8_t, game::tet::STATE_MAX_SIZE> buf{};
    for (auto _ : st) {
        game::tet::encode_game_state_into(s, buf.data());
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() *
                                                   game::tet::encoded_size(s)));
}

void decode(benchmark::State& st, const GameState& s) {
    const std::vector<std::uint8_t> bytes = game::tet::encode_game_state(s);
    for (auto _ : st) {
        auto d = game::tet::decode_game_state(bytes);
        benchmark::DoNotOptimize(d);
    }
    if (!game::tet::decode_game_state(bytes).ok()) st.SkipWithError("decode failed");
}

void valid_chains(benchmark::State& st, const GameState& s) {
    int valid = 0;
    for (auto _ : st) {
        valid = 0;
        game::tet::for_each_valid_chain(s, [&](int, const GameState& end) {
            benchmark::DoNotOptimize(&end);
            ++valid;
        });
    }
    st.counters["valid"] = valid;
}

// Every placement of the falling piece (with_hold: and after Hold), key paths and spin kinds,
// without the states they lead to.
void placements(benchmark::State& st, const GameState& s, bool with_hold) {
    static game::tet::PlacementList list;
    for (auto _ : st) {
        game::tet::list_placements(s, with_hold, list);
        benchmark::DoNotOptimize(list.count);
        benchmark::ClobberMemory();
    }
    st.counters["placements"] = list.count;
}

// The state one placement leads to: its key path played with try_action (the last and longest
// placement of the list).
void placement_state(benchmark::State& st, const GameState& s) {
    static game::tet::PlacementList list;
    game::tet::list_placements(s, true, list);
    if (list.count == 0) {
        st.SkipWithError("no placement");
        return;
    }
    std::vector<TetAction> keys(list.items[static_cast<std::size_t>(list.count - 1)].key_nb);
    list.keys(list.count - 1, keys.data());
    for (auto _ : st) {
        auto r = game::tet::play_keys(s, keys);
        benchmark::DoNotOptimize(r);
    }
    st.counters["keys"] = static_cast<double>(keys.size());
}

void replay_decode(benchmark::State& st, const Inputs& in) {
    for (auto _ : st) {
        auto d = game::tet::decode_replay_segments(in.replay_bytes);
        benchmark::DoNotOptimize(d);
    }
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * REPLAY_ACTIONS));
}

void replay_playback(benchmark::State& st, const Inputs& in) {
    const auto decoded = game::tet::decode_replay_segments(in.replay_bytes);
    if (!decoded.ok()) {
        st.SkipWithError("the replay does not decode");
        return;
    }
    for (auto _ : st) {
        auto states = game::tet::segments_to_states(decoded.value);
        benchmark::DoNotOptimize(states);
    }
    if (game::tet::segments_to_states(decoded.value).size() != in.replay.size())
        st.SkipWithError("the replay does not play back");
    st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * REPLAY_ACTIONS));
}

// Prints "<label> <hex>" for each input state: the fresh and the mid-game state and the
// replay game's state after its 10,000th action.
void print_inputs(const Inputs& in) {
    const std::pair<const char*, const GameState*> states[] = {
        {"fresh", &in.fresh}, {"midgame", &in.midgame}, {"replay10k", &in.replay_end}};
    for (const auto& [label, s] : states) {
        std::printf("%s ", label);
        for (std::uint8_t b : game::tet::encode_game_state(*s)) std::printf("%02x", b);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool print_only = argc == 2 && std::string(argv[1]) == "--print_inputs";
    if (!print_only) {
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    }

    Inputs in;
    try {
        in = load_inputs();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    if (print_only) {
        print_inputs(in);
        return 0;
    }
    std::vector<std::unique_ptr<game::bot::TetBot>> bots;

    // The ChaCha kernels this processor runs: the seed steps' cost depends on them.
    constexpr const char* KERNEL_NAMES[] = {"portable", "AVX2", "AVX-512VL"};
    benchmark::AddCustomContext(
        "seed_kernels", KERNEL_NAMES[static_cast<int>(game::random::detail::kernels())]);

    benchmark::RegisterBenchmark("new_game", new_game, std::cref(in));
    const std::pair<const char*, const GameState*> states[] = {{"fresh", &in.fresh},
                                                               {"midgame", &in.midgame}};
    for (const auto& [label, s] : states)
        for (int a = 0; a < game::tet::ACTION_NB; ++a) {
            const TetAction action = game::tet::action_from_index(a);
            const std::string title =
                std::string("try_action/") + label + "/" + game::tet::name(action);
            benchmark::RegisterBenchmark(title.c_str(), try_action, std::cref(*s), action);
        }
    benchmark::RegisterBenchmark("seed_step/independent", seed_step, std::cref(in.midgame), false);
    benchmark::RegisterBenchmark("seed_step/chained", seed_step, std::cref(in.midgame), true);
#if defined(__x86_64__)
    benchmark::RegisterBenchmark("core_clock", core_clock);
#endif
    benchmark::RegisterBenchmark("hard_drop/replay_mix", hard_drop_mix, std::cref(in));
    for (const char* name : {"wordpress", "random"}) {
        auto bot = game::bot::get_bot(name);
        if (bot.failed()) {
            std::fprintf(stderr, "bot %s: %s\n", name, bot.error.message().c_str());
            return 1;
        }
        bots.push_back(std::move(bot.value));
        for (const auto& [label, s] : states) {
            const std::string title = std::string("decision/") + name + "/" + label;
            benchmark::RegisterBenchmark(title.c_str(), decision, bots.back().get(),
                                         std::cref(*s));
        }
    }
    for (const auto& [label, s] : states) {
        benchmark::RegisterBenchmark((std::string("encode/") + label).c_str(), encode,
                                     std::cref(*s));
        benchmark::RegisterBenchmark((std::string("decode/") + label).c_str(), decode,
                                     std::cref(*s));
    }
    for (const auto& [label, s] : states)
        benchmark::RegisterBenchmark((std::string("valid_chains/") + label).c_str(),
                                     valid_chains, std::cref(*s));
    for (const auto& [label, s] : states) {
        benchmark::RegisterBenchmark((std::string("placements/") + label).c_str(), placements,
                                     std::cref(*s), false);
        benchmark::RegisterBenchmark((std::string("placements_hold/") + label).c_str(),
                                     placements, std::cref(*s), true);
    }
    benchmark::RegisterBenchmark("placement_state/midgame", placement_state, std::cref(in.midgame));
    benchmark::RegisterBenchmark("replay/decode_10k", replay_decode, std::cref(in));
    benchmark::RegisterBenchmark("replay/playback_10k", replay_playback, std::cref(in))
        ->Unit(benchmark::kMillisecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
