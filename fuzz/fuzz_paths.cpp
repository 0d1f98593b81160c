// Decodes arbitrary bytes as a game state and checks the engine's fast paths on it against
// their plain forms. Any difference aborts:
// - every action under each set of seed kernels and board-pass width, against the portable
//   kernels with 16-byte passes;
// - all actions tried side by side, against one at a time;
// - an accepted hard drop, against one-row soft drops until the lock;
// - the chain sweep, against each listed chain played action by action on its own copy;
// - the chain mask and the bots' landings on solid cells, against the exact walk;
// - every placement on solid cells, against the search on whole states with the exact actions,
//   and each placement's key path played with try_action, against its kind and place;
// - the chain search with each bot's score, against the literal hash-map search, with the
//   same shuffle and the same number of words drawn.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "bot/bot.hpp"
#include "bot/random_choice_bot.hpp"
#include "bot/wordpress_blog_bot.hpp"
#include "random.hpp"
#include "random_detail.hpp"
#include "reference.hpp"
#include "tet/board_detail.hpp"
#include "tet/codec.hpp"
#include "tet/movegen.hpp"
#include "tet/state.hpp"

using namespace game;
using namespace game::tet;

namespace {

[[noreturn]] void differs(const char* what, int which) {
    std::fprintf(stderr, "fast path differs from its plain form: %s (%d)\n", what, which);
    std::abort();
}

bool same(const Result<GameState>& a, const Result<GameState>& b) {
    return a.error == b.error && (a.failed() || a.value == b.value);
}

// The kernels and board passes the process started with, put back after each comparison.
struct Restore {
    random::detail::Kernels kernels = random::detail::kernels();
    bool wide = detail::use_board_avx2(true);
    ~Restore() {
        random::detail::use_kernels(kernels);
        (void)detail::use_board_avx2(wide);
    }
};

void check_kernels(const GameState& s, std::int64_t t) {
    using random::detail::Kernels;
    const Restore restore;
    for (int a = 0; a < ACTION_NB; ++a) {
        const TetAction action = action_from_index(a);
        random::detail::use_kernels(Kernels::portable);
        (void)detail::use_board_avx2(false);
        const Result<GameState> want = s.try_action(action, t);
        for (const Kernels k : {Kernels::portable, Kernels::avx2, Kernels::avx512}) {
            if (k > restore.kernels) continue;
            for (const bool wide : {false, true}) {
                random::detail::use_kernels(k);
                (void)detail::use_board_avx2(wide && restore.wide);
                if (!same(s.try_action(action, t), want)) differs("kernels", a);
            }
        }
    }
}

void check_side_by_side(const GameState& s, std::int64_t t) {
    TetAction actions[ACTION_NB];
    for (int a = 0; a < ACTION_NB; ++a) actions[a] = action_from_index(a);
    GameState together[ACTION_NB];
    GameState* out[ACTION_NB];
    Error errors[ACTION_NB];
    for (int a = 0; a < ACTION_NB; ++a) out[a] = &together[a];
    s.try_actions(actions, t, out, errors);
    for (int a = 0; a < ACTION_NB; ++a)
        if (!same({together[a], errors[a]}, s.try_action(action_from_index(a), t)))
            differs("side by side", a);
}

void check_hard_drop(const GameState& s, std::int64_t t) {
    const Result<GameState> fast = s.try_action(TetAction::HardDrop, t);
    if (fast.ok() && !(fast.value == reference::literal_hard_drop(s, t))) differs("hard drop", 0);
}

void check_sweep(const GameState& s) {
    std::vector<std::pair<int, GameState>> got;
    for_each_valid_chain(s, [&](int c, const GameState& end) { got.emplace_back(c, end); });
    const auto want = reference::valid_chains_one_by_one(s);
    if (got.size() != want.size()) differs("sweep, chains", static_cast<int>(got.size()));
    for (std::size_t k = 0; k < got.size(); ++k)
        if (got[k].first != want[k].first || !(got[k].second == want[k].second))
            differs("sweep", want[k].first);
}

// The chain mask and the bots' landings, against the exact walk.
void check_chain_walk(const GameState& s) {
    if (valid_chains(s) != detail::valid_chains_exact(s)) differs("chain mask", 0);
    std::array<std::optional<Landing>, ChainTree::LEAF_NB> fast, exact;
    for_each_landing(s, [&](int k, const Landing& l) { fast[k] = l; });
    detail::for_each_landing_exact(s, [&](int k, const Landing& l) { exact[k] = l; });
    for (int k = 0; k < ChainTree::LEAF_NB; ++k)
        if (fast[k].has_value() != exact[k].has_value() ||
            (fast[k] && (fast[k]->total_lines != exact[k]->total_lines || fast[k]->cols != exact[k]->cols)))
            differs("landing", k);
}

// Every placement, against the exact search: the same list, key paths and all; and each key
// path accepted, locking the piece it names where it names.
void check_placements(const GameState& s) {
    static PlacementList fast, exact;
    list_placements(s, true, fast);
    detail::list_placements_exact(s, true, exact);
    if (fast.count != exact.count) differs("placement count", fast.count - exact.count);
    std::vector<TetAction> keys_fast, keys_exact;
    for (int i = 0; i < fast.count; ++i) {
        const Placement& a = fast.items[static_cast<std::size_t>(i)];
        const Placement& b = exact.items[static_cast<std::size_t>(i)];
        if (a.hold != b.hold || a.kind != b.kind || a.rs != b.rs || a.row != b.row || a.col != b.col ||
            a.spin != b.spin || a.lines != b.lines || a.key_nb != b.key_nb)
            differs("placement", i);
        keys_fast.resize(a.key_nb);
        keys_exact.resize(b.key_nb);
        fast.keys(i, keys_fast.data());
        exact.keys(i, keys_exact.data());
        if (keys_fast != keys_exact) differs("placement keys", i);
        // The state before the last key holds the piece where the placement starts its drop.
        const auto before = play_keys(s, {keys_fast.data(), keys_fast.size() - 1});
        if (before.failed() || !before.value.current_pcs || before.value.current_pcs->tet != a.kind ||
            before.value.current_pcs->rs != a.rs || before.value.current_pcs->pos.x != a.col)
            differs("placement path", i);
        if (play_keys(before.value, {keys_fast.data() + keys_fast.size() - 1, 1}).failed())
            differs("placement drop", i);
    }
}

void check_search(const GameState& s, std::uint8_t salt) {
    int n = 0;
    for (const bot::ScoreFn score :
         {bot::ScoreFn{bot::wordpress_blog_bot::score}, bot::ScoreFn{bot::random_choice_bot::score}}) {
        Seed32 key{};
        key[0] = salt;
        key[1] = static_cast<std::uint8_t>(n);
        random::SeededStream fast_rng(key), ref_rng(key);
        if (bot::get_best_move_for_score_fn(s, score, fast_rng) !=
            reference::reference_search(s, score, ref_rng))
            differs("search", n);
        if (fast_rng.next_u32() != ref_rng.next_u32()) differs("search, words drawn", n);
        ++n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto d = decode_game_state(ByteSpan(data, size));
    if (!d.ok()) return 0;
    const GameState& s = d.value;
    // The time of the actions tried: any value the input's first bytes give.
    const std::int64_t t = size >= 2 ? static_cast<std::int64_t>(data[0] | data[1] << 8) * 977 : 0;
    check_kernels(s, t);
    check_side_by_side(s, t);
    check_hard_drop(s, t);
    check_sweep(s);
    check_chain_walk(s);
    check_placements(s);
    check_search(s, size > 0 ? data[size - 1] : 0);
    return 0;
}
