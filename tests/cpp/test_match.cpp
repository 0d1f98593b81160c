// Two-player matches: the attack tables, the garbage queue, the lock-step turn and its replay
// streams.
#include <doctest/doctest.h>

#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "bot/bot.hpp"
#include "tet/match.hpp"
#include "tet/movegen.hpp"
#include "tet/replay.hpp"

using namespace game;
using namespace game::tet;

namespace {

LockOutcome clear(int lines, Tet kind = Tet::I, bool spin = false, bool mini = false,
                  std::int8_t combo = 0) {
    LockOutcome o;
    o.lines = lines;
    o.kind = kind;
    o.t_spin = spin;
    o.t_mini_spin = mini;
    o.combo = combo;
    return o;
}

GameSeed seed_of(std::uint8_t first, std::int64_t ts) {
    GameSeed s;
    s.seed[0] = first;
    s.ts = ts;
    return s;
}

// The first chain of the wordpress bot's tied choice, or a hard drop when none qualifies.
std::span<const TetAction> bot_turn(const GameState& s) {
    static const ChainSpec drop = [] {
        ChainSpec c;
        c.push(TetAction::HardDrop);
        return c;
    }();
    const bot::TiedChains ties = bot::best_chains(s, bot::bot_score("wordpress"));
    if (ties.count == 0) return drop.view();
    return chain_table()[ties.chain[0]].view();
}

}  // namespace

TEST_CASE("the guideline table prices lines, T-spins, back-to-back, combos and perfect clears") {
    const auto g = [](const LockOutcome& o) { return attack_of(AttackTable::Guideline, o); };
    CHECK(g(clear(0)) == 0);
    CHECK(g(clear(1)) == 0);
    CHECK(g(clear(2)) == 1);
    CHECK(g(clear(3)) == 2);
    CHECK(g(clear(4)) == 4);
    CHECK(g(clear(1, Tet::T, true, true)) == 2);
    CHECK(g(clear(2, Tet::T, true, true)) == 4);
    CHECK(g(clear(3, Tet::T, true, true)) == 6);
    CHECK(g(clear(1, Tet::T, false, true)) == 0);
    CHECK(g(clear(2, Tet::T, false, true)) == 1);
    // A kicked piece other than T is priced as a plain clear.
    CHECK(g(clear(2, Tet::S, true, false)) == 1);
    LockOutcome b2b = clear(4);
    b2b.back_to_back = true;
    CHECK(g(b2b) == 5);
    CHECK(g(clear(1, Tet::I, false, false, 2)) == 1);
    CHECK(g(clear(1, Tet::I, false, false, 12)) == 5);
    CHECK(g(clear(1, Tet::I, false, false, 100)) == 5);
    LockOutcome pc = clear(4, Tet::I, false, false, 1);
    pc.perfect_clear = true;
    CHECK(g(pc) == 10);

    LockOutcome e = clear(4);
    e.engine_garbage = 3;
    CHECK(attack_of(AttackTable::Engine, e) == 3);
}

TEST_CASE("cancelling takes the oldest queued garbage first") {
    GarbageQueue q;
    q.entries[0] = {3, 0};
    q.entries[1] = {2, 1};
    q.count = 2;
    CHECK(q.cancel(4) == 4);
    REQUIRE(q.count == 1);
    CHECK(q.entries[0].lines == 1);
    CHECK(q.entries[0].pieces_left == 1);
    CHECK(q.cancel(9) == 1);
    CHECK(q.count == 0);
    CHECK(q.total() == 0);
}

TEST_CASE("lock outcomes: only a lock counts, and a plain drop on an empty board clears nothing") {
    const GameState s = GameState::new_game(Seed32{}, 0);
    bool chain = true;
    LockOutcome o;
    const GameState moved = s.try_action(TetAction::MoveLeft, 0).value;
    CHECK_FALSE(lock_outcome(s, TetAction::MoveLeft, moved, chain, o));
    const GameState held = s.try_action(TetAction::Hold, 0).value;
    CHECK_FALSE(lock_outcome(s, TetAction::Hold, held, chain, o));
    const GameState dropped = s.try_action(TetAction::HardDrop, 0).value;
    REQUIRE(lock_outcome(s, TetAction::HardDrop, dropped, chain, o));
    CHECK(o.lines == 0);
    CHECK(o.kind == s.current_pcs->tet);
    CHECK_FALSE(o.perfect_clear);
    CHECK(chain);  // a lock without lines leaves the back-to-back run as it was
}

// A game whose T stands in R2 with its flat side on row `y + 1` and its stem on row `y`,
// columns 3 to 5 and 4, over rows 0 and 1 filled but for the T's cells; `overhang` fills cell
// (2, 3) as well, `stray` cell (2, 9). The spin flags are set as a turn into the slot would set
// them.
GameState t_slot(int y, bool overhang, bool stray = false) {
    GameState s = GameState::new_game(Seed32{}, 0);
    s.main_board = BoardMatrix{};
    for (int row = 0; row < 2; ++row)
        for (int x = 0; x < BoardMatrix::COLS; ++x) s.main_board.set(row, x, CellValue::Garbage);
    for (const auto& [cy, cx] : {std::pair{1, 3}, {1, 4}, {1, 5}, {0, 4}})
        s.main_board.set(cy, cx, CellValue::Empty);
    if (overhang) s.main_board.set(2, 3, CellValue::Garbage);
    if (stray) s.main_board.set(2, 9, CellValue::Garbage);
    // The piece's position: the R2 shape's stem cell lands on (y, 4).
    const Shape& t = shape(RotState::R2, Tet::T);
    int stem = 0;
    for (int k = 0; k < 4; ++k)
        if (t.cells[k].i < t.cells[stem].i) stem = k;
    CurrentPcsInfo piece{Pos{static_cast<std::int8_t>(y - t.cells[stem].i),
                             static_cast<std::int8_t>(4 - t.cells[stem].j)},
                         Tet::T, RotState::R2, static_cast<std::uint16_t>(s.current_id - 1)};
    s.current_pcs = piece;
    REQUIRE(s.main_board.spawn_piece(piece).ok());
    s.is_t_spin = true;
    s.is_t_mini_spin = true;
    return s;
}

TEST_CASE("lock outcomes of a T-spin double, a perfect clear and a drop that clears the flags") {
    bool chain = false;
    LockOutcome o;

    const GameState tsd = t_slot(0, true);
    const GameState after = tsd.try_action(TetAction::HardDrop, 0).value;
    REQUIRE(lock_outcome(tsd, TetAction::HardDrop, after, chain, o));
    CHECK(o.lines == 2);
    CHECK(o.kind == Tet::T);
    CHECK((o.t_spin && o.t_mini_spin));
    CHECK_FALSE(o.perfect_clear);
    CHECK_FALSE(o.back_to_back);
    CHECK(chain);
    CHECK(attack_of(AttackTable::Guideline, o) == 4);
    CHECK(attack_of(AttackTable::Engine, o) == 0);

    // The same clear again with the run of difficult clears going on: back-to-back.
    const GameState again = t_slot(0, true);
    REQUIRE(lock_outcome(again, TetAction::HardDrop, again.try_action(TetAction::HardDrop, 0).value,
                         chain, o));
    CHECK(o.back_to_back);
    CHECK(attack_of(AttackTable::Guideline, o) == 5);

    // Without the overhang the clear empties the board.
    chain = false;
    const GameState pc = t_slot(0, false);
    REQUIRE(lock_outcome(pc, TetAction::HardDrop, pc.try_action(TetAction::HardDrop, 0).value,
                         chain, o));
    CHECK(o.perfect_clear);
    CHECK(attack_of(AttackTable::Guideline, o) == 10);

    // Dropped from three rows up, the piece moves before it locks: a plain double.
    chain = false;
    const GameState high = t_slot(3, false, true);
    REQUIRE(lock_outcome(high, TetAction::HardDrop, high.try_action(TetAction::HardDrop, 0).value,
                         chain, o));
    CHECK(o.lines == 2);
    CHECK_FALSE(o.t_spin);
    CHECK_FALSE(chain);
    CHECK(attack_of(AttackTable::Guideline, o) == 1);
}

TEST_CASE("a refused action leaves the whole match unchanged, and an ended match takes no step") {
    Match m = Match::start(seed_of(1, 0), seed_of(2, 0), {});
    const Match before = m;
    const TetAction ok[] = {TetAction::MoveLeft};
    const TetAction bad[] = {TetAction::MoveLeft, TetAction::MoveLeft, TetAction::MoveLeft,
                             TetAction::MoveLeft, TetAction::MoveLeft};
    const MatchError e = m.step(ok, bad);
    CHECK(e.kind == MatchErrorKind::Refused);
    CHECK(e.player == 1);
    CHECK(e.action_index == 3);
    CHECK(std::memcmp(&m, &before, sizeof m) == 0);
    CHECK(m.step({}, ok).kind == MatchErrorKind::BadTurn);

    MatchOptions limited;
    limited.max_steps = 2;
    Match short_match = Match::start(seed_of(1, 0), seed_of(2, 0), limited);
    const TetAction nothing[] = {TetAction::Nothing};
    REQUIRE(short_match.step(nothing, nothing).ok());
    REQUIRE(short_match.step(nothing, nothing).ok());
    CHECK(short_match.result == MatchResult::Draw);
    CHECK(short_match.step(nothing, nothing).kind == MatchErrorKind::MatchOver);
}

TEST_CASE("bot matches exchange garbage, end in a knockout, and replay player by player") {
    for (const AttackTable table : {AttackTable::Engine, AttackTable::Guideline}) {
        for (const std::uint8_t delay : {0, 2}) {
            MatchOptions o;
            o.attack = table;
            o.delay = delay;
            o.max_steps = 3000;
            MatchLog log;
            Match m = Match::start(seed_of(7, 100), seed_of(9, 200), o, &log);
            while (!m.over()) {
                const MatchError e = m.step(bot_turn(m.states[0]), bot_turn(m.states[1]), &log);
                INFO("step ", m.steps, " player ", e.player, " action ", e.action_index, ": ",
                     e.error.message());
                REQUIRE(e.ok());
            }
            // Everything sent is delivered to the other side, still queued there, or cancelled
            // by the other side's attack.
            for (int p = 0; p < 2; ++p) {
                const int q = 1 - p;
                CHECK(m.stats[p].lines_sent == m.stats[q].lines_received + m.stats[q].lines_cancelled +
                                                   static_cast<std::uint32_t>(m.queued[q].total()));
                CHECK(m.stats[p].attack == m.stats[p].lines_sent + m.stats[p].lines_cancelled);
            }
            CHECK(m.stats[0].pieces == m.steps);
            if (table == AttackTable::Guideline)
                CHECK(m.states[0].garbage_applied + m.states[1].garbage_applied > 0);
            for (int p = 0; p < 2; ++p) {
                const std::vector<GameState> played = segments_to_states(log.streams[p]);
                REQUIRE(played.size() == log.streams[p].size());
                CHECK(played.back() == m.states[p]);
                CHECK(m.states[p].garbage_applied <= m.stats[p].lines_received);
            }
        }
    }
}

TEST_CASE("a placement's whole key path is one turn; a refusal late in a long turn logs nothing") {
    // Bot play until player 0 has a placement whose key path is longer than any chain (a tuck
    // under an overhang).
    MatchLog log;
    Match m = Match::start(seed_of(3, 0), seed_of(4, 0), {}, &log);
    auto list = std::make_unique<PlacementList>();
    int longest = -1;
    while (!m.over() && longest < 0) {
        list_placements(m.states[0], false, *list);
        for (int i = 0; i < list->count; ++i)
            if (list->items[i].key_nb > MAX_CHAIN_LEN) longest = i;
        if (longest < 0) REQUIRE(m.step(bot_turn(m.states[0]), bot_turn(m.states[1]), &log).ok());
    }
    REQUIRE(longest >= 0);
    std::vector<TetAction> path(list->items[longest].key_nb);
    list->keys(longest, path.data());

    const Match before = m;
    const MatchLog log_before = log;
    std::vector<TetAction> refused(path.begin(), path.end() - 1);
    refused.push_back(TetAction::MoveLeft);
    for (int k = 0; k < 10; ++k) refused.push_back(TetAction::MoveLeft);  // into the wall
    const TetAction drop[] = {TetAction::HardDrop};
    CHECK(m.step(drop, refused, &log).kind == MatchErrorKind::Refused);
    CHECK(std::memcmp(&m, &before, sizeof m) == 0);
    for (int p = 0; p < 2; ++p) CHECK(log.streams[p] == log_before.streams[p]);

    REQUIRE(m.step(path, drop, &log).ok());
    // The same lock as the keys played at time 0 (only the seeds and the record differ).
    CHECK(m.states[0].board_without_falling_piece() ==
          play_keys(before.states[0], path).value.board_without_falling_piece());
    CHECK(log.streams[0].size() == log_before.streams[0].size() + path.size());
    CHECK(m.stats[0].pieces == before.stats[0].pieces + 1);
}
