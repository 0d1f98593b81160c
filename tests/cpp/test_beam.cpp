// The beam search bot: its lock model against the engine's own locks, its choices played back
// with the engine's actions on games and on decoded-looking states, the same choice for the
// same state and settings, and a prepared T-spin double taken.
#include <doctest/doctest.h>

#include <vector>

#include "bot/beam.hpp"
#include "tet/movegen.hpp"
#include "tet/state.hpp"

using namespace game;
using namespace game::tet;
using game::bot::BeamChoice;
using game::bot::BeamSearch;
using game::bot::BeamSettings;

namespace {

struct Lcg {
    std::uint32_t x;
    std::uint32_t next() { return x = x * 1664525u + 1013904223u; }
    int below(int n) { return static_cast<int>((next() >> 8) % static_cast<std::uint32_t>(n)); }
    Seed32 seed() {
        Seed32 out{};
        for (auto& b : out) b = static_cast<std::uint8_t>(next() >> 24);
        return out;
    }
};

std::vector<TetAction> keys_of(const PlacementList& list, int i) {
    std::vector<TetAction> keys(list.items[static_cast<std::size_t>(i)].key_nb);
    list.keys(i, keys.data());
    return keys;
}

// Plays the bot's choice on `s`; false when it has none. The keys must be accepted.
bool play_choice(BeamSearch& bot, GameState& s, const BeamSettings& st) {
    const BeamChoice c = bot.choose(s, st);
    if (c.index < 0) return false;
    REQUIRE(c.index < bot.root_placements().count);
    const auto keys = keys_of(bot.root_placements(), c.index);
    if (st.max_keys > 0) CHECK(static_cast<int>(keys.size()) <= st.max_keys);
    const auto end = play_keys(s, keys);
    REQUIRE(end.ok());
    CHECK(end.value.current_id != s.current_id);  // one piece locked
    s = end.value;
    return true;
}

// A random mess: `rows` rows of scattered cells under the falling piece.
GameState messy(Lcg& rng, int rows) {
    GameState s = GameState::new_game(rng.seed(), 0);
    const CurrentPcsInfo piece = *s.current_pcs;
    BoardMatrix b;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < BoardMatrix::COLS; ++x)
            if (rng.below(3) && !(y < rows && x == rng.below(10))) b.set(y, x, CellValue::Garbage);
    s.main_board = b;
    if (s.main_board.spawn_piece(piece).failed()) return GameState::new_game(rng.seed(), 0);
    s.put_ghost();
    return s;
}

}  // namespace

TEST_CASE("the lock model leaves the board the engine's lock leaves") {
    Lcg rng{7};
    static PlacementList list;
    for (int round = 0; round < 30; ++round) {
        const GameState s = messy(rng, rng.below(12));
        list_placements(s, true, list);
        const SolidRows base = solid_rows(s.board_without_falling_piece());
        SolidRows held_base = base;
        if (const auto h = s.try_action(TetAction::Hold, 0); h.ok()) held_base = solid_rows(h.value.board_without_falling_piece());
        for (int i = 0; i < list.count; ++i) {
            const Placement& p = list.items[static_cast<std::size_t>(i)];
            SolidRows out;
            int lines = -1;
            REQUIRE(bot::lock_rows(p.hold ? held_base : base, p, out, lines));
            CHECK(lines == p.lines);
            const auto end = play_keys(s, keys_of(list, i));
            REQUIRE(end.ok());
            if (end.value.is_over()) continue;
            CHECK(out == solid_rows(end.value.board_without_falling_piece()));
        }
    }
}

TEST_CASE("the same state and settings give the same choice; the seed draws only among ties") {
    Lcg rng{11};
    BeamSearch a, b;
    BeamSettings st;
    st.width = 8;
    st.depth = 3;
    for (int round = 0; round < 12; ++round) {
        const GameState s = messy(rng, rng.below(8));
        const BeamChoice x = a.choose(s, st);
        const BeamChoice y = b.choose(s, st);
        CHECK(x.index == y.index);
        CHECK(x.value == y.value);
        CHECK(x.nodes == y.nodes);
        // Searching another state in between changes nothing.
        (void)a.choose(messy(rng, 4), st);
        CHECK(a.choose(s, st).index == x.index);
    }
    // An empty board and an O: every column of the flat lines is worth the same, so seeds
    // spread the choice over the tied placements, each seed always the same one.
    GameState o = GameState::new_game(Seed32{}, 0);
    while (o.current_pcs->tet != Tet::O) o = o.try_action(TetAction::HardDrop, 0).value;
    o.main_board = BoardMatrix{};
    REQUIRE(o.main_board.spawn_piece(*o.current_pcs).ok());
    st.depth = 1;
    for (std::uint64_t seed = 1; seed < 6; ++seed) {
        st.seed = seed;
        CHECK(a.choose(o, st).index == b.choose(o, st).index);
    }
}

TEST_CASE("positions reached two ways are searched once") {
    // Holding a T for a T: every placement after Hold leaves the position the same placement
    // leaves without it. Merged, the twins are one position, listed under the placement
    // without Hold, so no seed draws a Hold among equal values.
    GameState s = GameState::new_game(Seed32{5}, 0);
    while (s.current_pcs->tet != Tet::T) s = s.try_action(TetAction::HardDrop, 0).value;
    s.hold_pcs = HoldPcsInfo{true, Tet::T};
    BeamSearch bot;
    BeamSettings st;
    st.depth = 1;
    int holds = 0, listed = 0;
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        st.seed = seed;
        const BeamChoice c = bot.choose(s, st);
        REQUIRE(c.index >= 0);
        holds += bot.root_placements().items[static_cast<std::size_t>(c.index)].hold;
    }
    for (const Placement& p : bot.root_placements().view()) listed += p.hold;
    CHECK(listed > 0);
    CHECK(holds == 0);
}

TEST_CASE("games of the bot play only moves the engine accepts and do not top out") {
    BeamSearch bot;
    BeamSettings st;
    st.width = 8;
    st.depth = 3;
    Lcg rng{3};
    for (int game = 0; game < 3; ++game) {
        GameState s = GameState::new_game(rng.seed(), 0);
        int pieces = 0;
        for (; pieces < 150 && !s.is_over(); ++pieces) {
            // Garbage arrives now and then, and long key paths are refused half the time.
            if (pieces % 17 == 16) s.garbage_recv = static_cast<std::uint16_t>(s.garbage_recv + 2);
            st.max_keys = game == 1 ? 16 : 0;
            REQUIRE(play_choice(bot, s, st));
        }
        CHECK_FALSE(s.is_over());
        CHECK(pieces == 150);
    }
}

TEST_CASE("decoded-looking states: no piece, a finished game, a queue past its end, hold used") {
    BeamSearch bot;
    BeamSettings st;
    st.width = 4;
    st.depth = 7;
    GameState s = GameState::new_game(Seed32{1}, 0);
    GameState none = s;
    none.current_pcs.reset();
    CHECK(bot.choose(none, st).index == -1);
    GameState over = s;
    over.game_over_reason = GameOverReason::Knockout;
    CHECK(bot.choose(over, st).index == -1);
    for (const std::uint8_t idx : {0, 9, 12, 13, 14, 200}) {
        GameState q = s;
        q.next_pcs_idx = idx;
        const BeamChoice c = bot.choose(q, st);
        if (c.index >= 0) CHECK(play_keys(q, keys_of(bot.root_placements(), c.index)).ok());
    }
    GameState used = s.try_action(TetAction::Hold, 0).value;
    REQUIRE_FALSE(used.hold_pcs->can_use);
    const BeamChoice c = bot.choose(used, st);
    REQUIRE(c.index >= 0);
    CHECK_FALSE(bot.root_placements().items[static_cast<std::size_t>(c.index)].hold);
    // Settings out of range are clamped; a key limit of one leaves the plain hard drop.
    st.width = -5;
    st.depth = 99;
    CHECK(bot.choose(s, st).index >= 0);
    st.max_keys = 1;
    const BeamChoice drop = bot.choose(s, st);
    REQUIRE(drop.index >= 0);
    CHECK(bot.root_placements().items[static_cast<std::size_t>(drop.index)].key_nb == 1);
    // A board stacked to the spawn rows: every placement ends the game, one is still chosen.
    GameState full = s;
    for (int y = 0; y < 19; ++y)
        for (int x = 0; x < BoardMatrix::COLS; ++x)
            if (x != y % 10) full.main_board.set(y, x, CellValue::Garbage);
    st.max_keys = 0;
    const BeamChoice last = bot.choose(full, st);
    REQUIRE(last.index >= 0);
    CHECK(play_keys(full, keys_of(bot.root_placements(), last.index)).ok());
}

TEST_CASE("a prepared T-spin double slot is taken with a T") {
    // Row 0 full but column 4, row 1 full but columns 3 to 5, an overhang at (2, 3).
    GameState s = GameState::new_game(Seed32{}, 0);
    while (s.current_pcs->tet != Tet::T) s = s.try_action(TetAction::HardDrop, 0).value;
    BoardMatrix board;
    for (int x = 0; x < BoardMatrix::COLS; ++x) {
        if (x != 4) board.set(0, x, CellValue::Garbage);
        if (x < 3 || x > 5) board.set(1, x, CellValue::Garbage);
    }
    board.set(2, 3, CellValue::Garbage);
    s.main_board = board;
    REQUIRE(s.main_board.spawn_piece(*s.current_pcs).ok());
    BeamSearch bot;
    BeamSettings st;
    st.width = 16;
    st.depth = 2;
    const BeamChoice c = bot.choose(s, st);
    REQUIRE(c.index >= 0);
    const Placement& p = bot.root_placements().items[static_cast<std::size_t>(c.index)];
    CHECK(p.kind == Tet::T);
    CHECK(p.lines == 2);
    CHECK(p.spin == SpinKind::Full);
}

TEST_CASE("the board evaluation: an empty board is worth nothing, a hole costs its weight") {
    const bot::BeamWeights& w = *bot::beam_weights("default");
    SolidRows rows{};
    CHECK(bot::evaluate_board(rows, w, 0) == 0.0f);
    // One hole under a full-width flat row 1: one hole, ten covered cells capped, height 2.
    rows[0] = static_cast<std::uint16_t>(FULL_ROW & ~1u);
    rows[1] = FULL_ROW;
    const float holed = bot::evaluate_board(rows, w, 0);
    rows[0] = FULL_ROW;
    const float solid = bot::evaluate_board(rows, w, 0);
    // The hole costs its weight, one covered cell and two row transitions.
    CHECK(holed - solid == doctest::Approx(w.holes + w.covered + 2 * w.row_transitions));
    // Waiting garbage counts as height once the stack is past the safe rows.
    CHECK(bot::evaluate_board(rows, w, 20) < bot::evaluate_board(rows, w, 0));
    CHECK(bot::beam_weights("nope") == nullptr);
    // Each name reaches its own weight.
    bot::BeamWeights v{};
    for (int i = 0; i < bot::BEAM_WEIGHT_NB; ++i) bot::weight_at(v, i) = static_cast<float>(i + 1);
    float sum = 0;
    for (int i = 0; i < bot::BEAM_WEIGHT_NB; ++i) {
        CHECK(bot::weight_at(v, i) == static_cast<float>(i + 1));
        sum += bot::weight_at(v, i);
    }
    CHECK(sum == static_cast<float>(bot::BEAM_WEIGHT_NB * (bot::BEAM_WEIGHT_NB + 1) / 2));
    CHECK(v.combo == static_cast<float>(bot::BEAM_WEIGHT_NB));
    CHECK(v.clear[4] == 18.0f);
    for (const auto name : bot::beam_weight_names()) CHECK(bot::beam_weights(name) != nullptr);
}
