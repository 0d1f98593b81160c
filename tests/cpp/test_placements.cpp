// Every placement of a piece: the classic counts on an empty board, a T-spin double slot that
// only a soft drop and a last turn reach, and the search against a plain breadth-first search
// over whole states played with try_action, on states of play and on decoded-looking ones.
#include <doctest/doctest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "tet/movegen.hpp"
#include "tet/state.hpp"

using namespace game;
using namespace game::tet;

namespace {

using enum TetAction;

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

// A placement as the plain search finds it, with the state its keys lead to.
struct RefPlacement {
    std::vector<TetAction> keys;
    bool hold;
    Tet kind;
    RotState rs;
    int row, col;
    SpinKind spin;
    int lines;
    GameState end;
};

// The placements by their definition: from the state (and after a first Hold), every node
// (rotation, row, column, spin flags) reachable with try_action by the five actions in their
// order, breadth first; each node's HardDrop, its landing found by one-row soft drops, kept
// when its cells and spin kind are new.
std::vector<RefPlacement> plain_placements(const GameState& s, bool with_hold) {
    std::vector<RefPlacement> out;
    const TetAction order[] = {MoveLeft, MoveRight, RotateRight, RotateLeft, SoftDrop};
    auto group = [&](const GameState& root, std::vector<TetAction> prefix, bool hold) {
        if (root.is_over() || !root.current_pcs) return;
        auto node = [](const GameState& g) {
            const CurrentPcsInfo& c = *g.current_pcs;
            return std::make_tuple(rot::index(c.rs), c.pos.y, c.pos.x, g.is_t_spin, g.is_t_mini_spin);
        };
        std::set<decltype(node(root))> seen{node(root)};
        std::set<std::pair<std::vector<std::pair<int, int>>, SpinKind>> placed;
        std::deque<std::pair<GameState, std::vector<TetAction>>> queue{{root, prefix}};
        while (!queue.empty()) {
            const auto [g, path] = queue.front();
            queue.pop_front();
            const auto dropped = g.try_action(HardDrop, 0);
            if (dropped.ok()) {
                GameState low = g;
                for (;;) {
                    const auto n = low.try_action(SoftDrop, 0);
                    if (n.failed() || n.value.current_id != low.current_id) break;
                    low = n.value;
                }
                const CurrentPcsInfo& c = *low.current_pcs;
                std::vector<std::pair<int, int>> cells;
                for (const ShapeCell& k : shape(c.rs, c.tet).cells)
                    cells.emplace_back(c.pos.y + k.i, c.pos.x + k.j);
                std::sort(cells.begin(), cells.end());
                const SpinKind spin = c.pos.y == g.current_pcs->pos.y
                                          ? spin_kind(g.is_t_spin, g.is_t_mini_spin)
                                          : SpinKind::None;
                if (placed.insert({cells, spin}).second) {
                    std::vector<TetAction> keys = path;
                    keys.push_back(HardDrop);
                    out.push_back({keys, hold, c.tet, c.rs, c.pos.y, c.pos.x, spin,
                                   static_cast<std::uint16_t>(dropped.value.total_lines - g.total_lines),
                                   dropped.value});
                }
            }
            for (const TetAction a : order) {
                const auto n = g.try_action(a, 0);
                if (n.failed() || n.value.current_id != g.current_id || n.value.is_over()) continue;
                if (!seen.insert(node(n.value)).second) continue;
                std::vector<TetAction> next_path = path;
                next_path.push_back(a);
                queue.emplace_back(n.value, next_path);
            }
        }
    };
    group(s, {}, false);
    if (with_hold) {
        const auto h = s.try_action(Hold, 0);
        if (h.ok()) group(h.value, {Hold}, true);
    }
    return out;
}

std::vector<TetAction> keys_of(const PlacementList& list, int i) {
    std::vector<TetAction> keys(list.items[static_cast<std::size_t>(i)].key_nb);
    list.keys(i, keys.data());
    return keys;
}

// The engine's list equals the plain search's, field by field, and each placement's keys
// played with try_action give the plain search's state. Returns how many placements.
int check_against_plain(const GameState& s, PlacementList& list, bool exact_form) {
    const std::vector<RefPlacement> ref = plain_placements(s, true);
    if (exact_form) tet::detail::list_placements_exact(s, true, list);
    else list_placements(s, true, list);
    REQUIRE(list.count == static_cast<int>(ref.size()));
    for (int i = 0; i < list.count; ++i) {
        CAPTURE(i);
        const Placement& p = list.items[static_cast<std::size_t>(i)];
        const RefPlacement& r = ref[static_cast<std::size_t>(i)];
        const std::vector<TetAction> keys = keys_of(list, i);
        REQUIRE(keys == r.keys);
        REQUIRE(p.hold == r.hold);
        REQUIRE(p.kind == r.kind);
        REQUIRE(p.rs == r.rs);
        REQUIRE(p.row == r.row);
        REQUIRE(p.col == r.col);
        REQUIRE(p.spin == r.spin);
        REQUIRE(p.lines == r.lines);
        const auto played = play_keys(s, keys);
        REQUIRE(played.ok());
        REQUIRE(played.value == r.end);
    }
    return list.count;
}

// A state whose falling piece is `kind` at its spawn position, on an empty board or `board`.
GameState with_piece(Tet kind, const BoardMatrix& board = {}) {
    GameState s = GameState::new_game(Seed32{}, 0);
    s.main_board = board;
    s.current_pcs = CurrentPcsInfo{spawn_pos(kind), kind, RotState::R0, s.current_pcs->id};
    REQUIRE(s.main_board.spawn_piece(*s.current_pcs).ok());
    s.put_ghost();
    return s;
}

}  // namespace

TEST_CASE("an empty board gives each kind its classic count of final cell sets") {
    const std::pair<Tet, int> counts[] = {{Tet::O, 9},  {Tet::I, 17}, {Tet::S, 17}, {Tet::Z, 17},
                                          {Tet::T, 34}, {Tet::L, 34}, {Tet::J, 34}};
    static PlacementList list;
    for (const auto& [kind, expected] : counts) {
        CAPTURE(letter(kind));
        list_placements(with_piece(kind), false, list);
        std::set<std::vector<std::pair<int, int>>> cells;
        for (const Placement& p : list.view()) {
            std::vector<std::pair<int, int>> c;
            for (const ShapeCell& k : shape(p.rs, p.kind).cells) c.emplace_back(p.row + k.i, p.col + k.j);
            std::sort(c.begin(), c.end());
            cells.insert(c);
        }
        CHECK(static_cast<int>(cells.size()) == expected);
    }
}

TEST_CASE("a T-spin double slot under an overhang is reached by a soft drop and a last turn") {
    // Row 0 full but column 4, row 1 full but columns 3 to 5, and an overhang at (2, 3): a T
    // pointing down fits in the slot only by turning into it from below the overhang.
    BoardMatrix board;
    for (int x = 0; x < BoardMatrix::COLS; ++x) {
        if (x != 4) board.set(0, x, CellValue::Garbage);
        if (x < 3 || x > 5) board.set(1, x, CellValue::Garbage);
    }
    board.set(2, 3, CellValue::Garbage);
    const GameState s = with_piece(Tet::T, board);
    static PlacementList list;
    list_placements(s, false, list);
    const Placement* tsd = nullptr;
    int index = -1;
    for (int i = 0; i < list.count; ++i)
        if (list.items[static_cast<std::size_t>(i)].lines == 2) {
            REQUIRE(!tsd);
            tsd = &list.items[static_cast<std::size_t>(i)];
            index = i;
        }
    REQUIRE(tsd);
    CHECK(tsd->spin == SpinKind::Full);
    CHECK(tsd->rs == RotState::R2);
    CHECK(tsd->row == 0);
    CHECK(tsd->col == 3);
    const std::vector<TetAction> keys = keys_of(list, index);
    REQUIRE(keys.size() >= 3);
    CHECK(std::count(keys.begin(), keys.end(), SoftDrop) > 0);
    CHECK(keys.back() == HardDrop);
    const TetAction turn = keys[keys.size() - 2];
    CHECK((turn == RotateLeft || turn == RotateRight));
    // The lock scores the spin double: 80 for the lines and 3666 for the spin, the hard drop's
    // 10, on top of 2 for each row soft-dropped.
    const auto end = play_keys(s, keys);
    REQUIRE(end.ok());
    const auto soft = std::count(keys.begin(), keys.end(), SoftDrop);
    CHECK(end.value.score - s.score == 2 * soft + 80 + 3666 + 10);
    CHECK(end.value.total_lines == s.total_lines + 2);
    CHECK(end.value.is_b2b);
    check_against_plain(s, list, false);
}

TEST_CASE("placements equal the plain search over whole states, keys and states included") {
    // States of play, each also with garbage waiting, a queue past its first bag or run out,
    // a next piece taking the falling one's serial, cells of codes that read as empty, and a
    // hold already used; the fast search and the exact one both.
    static PlacementList list;
    Lcg rng{7};
    long placements = 0, spins = 0, tucks = 0;
    int states = 0;
    for (int game_no = 0; game_no < 40; ++game_no) {
        GameState s = GameState::new_game(rng.seed(), game_no * 1000);
        for (int step = 0; step < 60 && !s.is_over(); ++step) {
            const int r = rng.below(10);
            const TetAction a = r < 4 ? HardDrop : action_from_index(rng.below(7));
            (void)s.apply_action_if_works(a, 0);
            if (s.is_over() || step % 3) continue;
            std::vector<GameState> variants{s};
            GameState g = s;
            g.garbage_recv = static_cast<std::uint16_t>(g.garbage_applied + 1 + rng.below(3));
            variants.push_back(g);
            GameState q = s;
            q.next_pcs_idx = static_cast<std::uint8_t>(8 + rng.below(9));
            variants.push_back(q);
            GameState id = s;
            if (id.current_pcs) id.current_id = id.current_pcs->id;
            variants.push_back(id);
            GameState odd = s;
            for (int k = 0; k < 6; ++k) {
                CellValuePairByte& b = odd.main_board.rows[static_cast<std::size_t>(rng.below(20))].v_r[static_cast<std::size_t>(rng.below(5))];
                if (b.code0() == 0) b.v = static_cast<std::uint8_t>(b.v | (10 + rng.below(6)) << 4);
            }
            variants.push_back(odd);
            GameState held = s;
            if (held.hold_pcs) held.hold_pcs->can_use = false;
            variants.push_back(held);
            for (std::size_t v = 0; v < variants.size(); ++v) {
                CAPTURE(game_no);
                CAPTURE(step);
                CAPTURE(v);
                placements += check_against_plain(variants[v], list, false);
                for (const Placement& p : list.view()) {
                    spins += p.spin != SpinKind::None;
                    tucks += p.key_nb > 2 + p.hold &&
                             [&] {
                                 std::vector<TetAction> k(p.key_nb);
                                 list.keys(static_cast<int>(&p - list.items.data()), k.data());
                                 return std::count(k.begin(), k.end(), SoftDrop) > 0;
                             }();
                }
                if (v % 2 == 0) check_against_plain(variants[v], list, true);
                ++states;
            }
        }
    }
    INFO("states " << states << " placements " << placements << " spins " << spins << " tucks " << tucks);
    CHECK(states > 1000);
    CHECK(spins > 100);
    CHECK(tucks > 100);
}

TEST_CASE("no placements once the game is over or without a falling piece") {
    static PlacementList list;
    GameState s = GameState::new_game(Seed32{}, 0);
    GameState none = s;
    (void)none.main_board.delete_piece(*none.current_pcs);
    none.current_pcs.reset();
    list_placements(none, true, list);
    CHECK(list.count == 0);
    GameState over = s;
    over.game_over_reason = GameOverReason::Knockout;
    list_placements(over, true, list);
    CHECK(list.count == 0);
    // A falling piece with cells off the board is refused every action.
    GameState off = s;
    off.current_pcs->pos.x = -5;
    list_placements(off, true, list);
    CHECK(list.count == 0);
}
