// The move-chain list and its prefix tree, the chain search (checked against a literal
// hash-map search), the two board scores and the bot registry.
#include <doctest/doctest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bot/bot.hpp"
#include "bot/random_choice_bot.hpp"
#include "bot/wordpress_blog_bot.hpp"
#include "error.hpp"
#include "random.hpp"
#include "reference.hpp"
#include "tet/board.hpp"
#include "tet/movegen.hpp"
#include "tet/state.hpp"

using game::ErrorCode;
using game::Result;
using game::bot::get_best_move_for_score_fn;
using game::bot::get_bot;
using game::bot::MoveChain;
using game::bot::Candidate;
using game::bot::ScoreFn;
using game::bot::random_choice_bot::all_move_chains;
using game::tet::ChainTree;
using game::bot::random_choice_bot::get_all_move_chains;
using game::random::bounded_index;
using game::random::SeededStream;
using game::random::WordSource;
using game::tet::BoardMatrix;
using game::tet::CellValue;
using game::tet::CurrentPcsInfo;
using game::tet::GameState;
using game::tet::Seed32;
using game::tet::Tet;
using game::tet::TetAction;
using reference::reference_search;

using enum game::tet::TetAction;

namespace wordpress = game::bot::wordpress_blog_bot;
namespace random_bot = game::bot::random_choice_bot;

namespace {

// ---------------------------------------------------------------------------------------------
// States.

Seed32 key_for(std::uint32_t n, std::uint8_t salt = 0) {
    Seed32 k{};
    for (std::size_t i = 0; i < 4; ++i) k[i] = static_cast<std::uint8_t>(n >> (8 * i));
    k[31] = salt;
    return k;
}

GameState new_game(std::uint32_t n) {
    SeededStream src(key_for(n, 1));
    return GameState::new_game(src.next_bytes<32>(), static_cast<std::int64_t>(n) * 1000);
}

void clear_ghosts(BoardMatrix& b) {
    for (int y = 0; y < BoardMatrix::ROWS; ++y)
        for (int x = 0; x < BoardMatrix::COLS; ++x)
            if (b.get(y, x) == CellValue::Ghost) b.set(y, x, CellValue::Empty);
}

// The state with its falling piece replaced by a piece of kind `t` at its spawn position.
GameState with_falling(GameState s, Tet t) {
    REQUIRE(s.current_pcs);
    REQUIRE(s.main_board.delete_piece(*s.current_pcs).ok());
    clear_ghosts(s.main_board);
    s.current_pcs = CurrentPcsInfo{game::tet::spawn_pos(t), t, game::rot::RotState::R0,
                                   s.current_pcs->id};
    REQUIRE(s.main_board.spawn_piece(*s.current_pcs).ok());
    s.put_ghost();
    return s;
}

// Fills the board with garbage around the falling piece, leaving column 9 and row 39 free:
// the piece cannot move, turn or lock without the next piece being blocked.
GameState walled_in(GameState s) {
    for (int y = 0; y < BoardMatrix::ROWS - 1; ++y)
        for (int x = 0; x < BoardMatrix::COLS - 1; ++x)
            if (!s.main_board.solid(y, x)) s.main_board.set(y, x, CellValue::Garbage);
    return s;
}

// Plays uniformly random actions, keeping every state passed.
void add_random_play(std::vector<GameState>& out, std::uint32_t game, int steps,
                     bool drops_only) {
    SeededStream src(key_for(game, 2));
    GameState s = new_game(game);
    out.push_back(s);
    for (int i = 0; i < steps && !s.is_over(); ++i) {
        static constexpr std::array<TetAction, 4> DROPS = {HardDrop, Hold, RotateRight, HardDrop};
        const TetAction a = drops_only ? DROPS[bounded_index(src, 4)]
                                       : game::tet::ALL_ACTIONS[bounded_index(src, 7)];
        (void)s.apply_action_if_works(a, 0);
        out.push_back(s);
    }
}

// Plays the search's own choices with a seeded shuffle, keeping the state after each chain.
void add_bot_play(std::vector<GameState>& out, std::uint32_t game, int decisions, ScoreFn score) {
    SeededStream rng(key_for(game, 3));
    GameState s = new_game(game);
    for (int i = 0; i < decisions && !s.is_over(); ++i) {
        for (TetAction a : get_best_move_for_score_fn(s, score, rng))
            if (s.apply_action_if_works(a, 0).failed()) break;
        out.push_back(s);
    }
}

struct Samples {
    std::vector<GameState> states;
    int garbage = 0;
    int high = 0;
    int finished = 0;
    int same_id = 0;
};

const Samples& samples() {
    static const Samples all = [] {
        Samples sm;
        std::vector<GameState>& v = sm.states;
        for (std::uint32_t g = 0; g < 24; ++g) add_random_play(v, g, 200, false);
        for (std::uint32_t g = 100; g < 112; ++g) add_random_play(v, g, 120, true);
        for (std::uint32_t g = 200; g < 204; ++g) add_bot_play(v, g, 150, wordpress::score);
        for (std::uint32_t g = 300; g < 302; ++g) add_bot_play(v, g, 60, random_bot::score);

        // Pending garbage, from a row up to more rows than the board holds.
        const std::size_t played = v.size();
        for (std::size_t i = 0; i < played; i += 4) {
            if (v[i].is_over()) continue;
            GameState s = v[i];
            s.garbage_recv = static_cast<std::uint16_t>(s.garbage_applied + 1 + i % 9);
            if (i % 40 == 0) s.garbage_recv = static_cast<std::uint16_t>(s.garbage_applied + 45);
            v.push_back(s);
            ++sm.garbage;
        }
        // Boards no engine game reaches (decoded states): a full row left standing, and
        // cells in the top row, which a clear copies into the rows it frees.
        for (std::size_t i = 0; i < played; i += 6) {
            if (v[i].is_over()) continue;
            GameState full = v[i];
            for (int x = 0; x < BoardMatrix::COLS; ++x) full.main_board.set(0, x, CellValue::Garbage);
            v.push_back(full);
            GameState top = v[i];
            for (int x = 0; x < BoardMatrix::COLS; x += 1 + static_cast<int>(i % 3))
                top.main_board.set(BoardMatrix::ROWS - 1, x, CellValue::Garbage);
            v.push_back(top);
        }
        // The next piece numbered as the falling one (only a decoded state has this): a hard
        // drop goes on with the next piece and locks it too.
        for (std::size_t i = 3; i < played; i += 10) {
            if (v[i].is_over() || !v[i].current_pcs) continue;
            GameState s = v[i];
            s.current_id = s.current_pcs->id;
            v.push_back(s);
            ++sm.same_id;
        }
        // Walled in: every chain fails.
        for (std::uint32_t g = 0; g < 14; ++g) v.push_back(walled_in(new_game(g)));
        for (Tet t : {Tet::I, Tet::O, Tet::T, Tet::S})
            v.push_back(walled_in(with_falling(new_game(500), t)));
        // No falling piece while running (possible only in decoded states).
        for (std::uint32_t g = 0; g < 4; ++g) {
            GameState s = new_game(g);
            REQUIRE(s.main_board.delete_piece(*s.current_pcs).ok());
            s.current_pcs.reset();
            v.push_back(s);
        }
        for (const GameState& s : v) {
            if (s.is_over()) ++sm.finished;
            else if (game::tet::get_height(s.board_without_falling_piece()) >= 14) ++sm.high;
        }
        return sm;
    }();
    return all;
}

bool is_listed_chain(const MoveChain& c) {
    const auto& chains = all_move_chains();
    return std::find(chains.begin(), chains.end(), c) != chains.end();
}

// Replays a chain; true when every action is accepted and the game still runs.
bool chain_plays(GameState s, const MoveChain& c) {
    for (TetAction a : c)
        if (s.apply_action_if_works(a, 0).failed()) return false;
    return !s.is_over();
}

Result<double> constant_score(const GameState&, const Candidate&) { return {1.0, game::ok()}; }

Result<double> failing_score(const GameState&, const Candidate&) {
    return {0.0, game::fail(ErrorCode::ErrorInGeneratingBoard)};
}

// Rewards a piece resting on column 6 of the bottom row.
Result<double> column6_score(const GameState&, const Candidate& t) {
    return {t.cols[6] & 1 ? 1.0 : 0.0, game::ok()};
}

// Rewards a piece resting on column 3 or column 6 of the bottom row, not both.
Result<double> column3_or_6_score(const GameState&, const Candidate& t) {
    return {(t.cols[3] & 1) != (t.cols[6] & 1) ? 1.0 : 0.0, game::ok()};
}

// An O piece on an empty board with hold refused.
GameState lone_o_piece() {
    GameState s = with_falling(new_game(7), Tet::O);
    s.hold_pcs = game::tet::HoldPcsInfo{false, Tet::I};
    return s;
}

std::string chain_text(const MoveChain& c) {
    std::string out;
    for (TetAction a : c) {
        if (!out.empty()) out += ',';
        out += game::tet::name(a);
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TEST_SUITE("move chains") {

TEST_CASE("the list has 96 chains in the fixed order") {
    const std::vector<MoveChain>& chains = all_move_chains();
    REQUIRE(chains.size() == 96);
    CHECK(chains[0] == MoveChain{HardDrop});
    CHECK(chains[1] == MoveChain{MoveRight, HardDrop});
    CHECK(chains[6] == MoveChain{HardDrop});
    CHECK(chains[12] == MoveChain{RotateLeft, HardDrop});
    CHECK(chains[95] == MoveChain{Hold, RotateRight, RotateRight, MoveLeft, MoveLeft, MoveLeft,
                                  MoveLeft, MoveLeft, HardDrop});
    CHECK(chains[95].size() == 9);
}

TEST_CASE("chain n is prefix n / 12 followed by suffix n % 12") {
    const std::vector<MoveChain> prefixes = {
        {},     {RotateLeft},       {RotateRight},       {RotateRight, RotateRight},
        {Hold}, {Hold, RotateLeft}, {Hold, RotateRight}, {Hold, RotateRight, RotateRight},
    };
    const std::vector<MoveChain> suffixes = {
        {HardDrop},
        {MoveRight, HardDrop},
        {MoveRight, MoveRight, HardDrop},
        {MoveRight, MoveRight, MoveRight, HardDrop},
        {MoveRight, MoveRight, MoveRight, MoveRight, HardDrop},
        {MoveRight, MoveRight, MoveRight, MoveRight, MoveRight, HardDrop},
        {HardDrop},
        {MoveLeft, HardDrop},
        {MoveLeft, MoveLeft, HardDrop},
        {MoveLeft, MoveLeft, MoveLeft, HardDrop},
        {MoveLeft, MoveLeft, MoveLeft, MoveLeft, HardDrop},
        {MoveLeft, MoveLeft, MoveLeft, MoveLeft, MoveLeft, HardDrop},
    };
    const std::vector<MoveChain>& chains = all_move_chains();
    for (std::size_t n = 0; n < 96; ++n) {
        CAPTURE(n);
        MoveChain expected = prefixes[n / 12];
        expected.insert(expected.end(), suffixes[n % 12].begin(), suffixes[n % 12].end());
        CHECK(chains[n] == expected);
    }
}

TEST_CASE("every chain ends with its only HardDrop and never soft-drops") {
    std::set<std::size_t> sizes;
    for (const MoveChain& c : all_move_chains()) {
        REQUIRE(!c.empty());
        CHECK(c.back() == HardDrop);
        CHECK(std::count(c.begin(), c.end(), HardDrop) == 1);
        CHECK(std::count(c.begin(), c.end(), SoftDrop) == 0);
        CHECK(std::count(c.begin(), c.end(), Nothing) == 0);
        sizes.insert(c.size());
    }
    CHECK(*sizes.begin() == 1);
    CHECK(*sizes.rbegin() == 9);
}

TEST_CASE("each group of twelve holds exactly one duplicate pair") {
    const std::vector<MoveChain>& chains = all_move_chains();
    for (std::size_t p = 0; p < 8; ++p) {
        CAPTURE(p);
        const std::set<MoveChain> group(chains.begin() + static_cast<std::ptrdiff_t>(12 * p),
                                        chains.begin() + static_cast<std::ptrdiff_t>(12 * p + 12));
        CHECK(group.size() == 11);
        CHECK(chains[12 * p] == chains[12 * p + 6]);
    }
    CHECK(std::set<MoveChain>(chains.begin(), chains.end()).size() == 88);
}

TEST_CASE("the chains have 175 distinct non-empty prefixes") {
    std::set<MoveChain> prefixes;
    for (const MoveChain& c : all_move_chains())
        for (std::size_t k = 1; k <= c.size(); ++k)
            prefixes.emplace(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(k));
    CHECK(prefixes.size() == 175);
}

TEST_CASE("a changed copy leaves later copies and the shared list alone") {
    std::vector<MoveChain> first = get_all_move_chains();
    first[0].push_back(Hold);
    std::reverse(first.begin(), first.end());
    first.pop_back();
    const std::vector<MoveChain> second = get_all_move_chains();
    CHECK(second.size() == 96);
    CHECK(second == all_move_chains());
    CHECK(second[0] == MoveChain{HardDrop});
    CHECK(&all_move_chains() == &all_move_chains());
}

TEST_CASE("copies taken on several threads at once are equal") {
    std::vector<std::vector<MoveChain>> seen(4);
    std::vector<std::thread> threads;
    for (auto& v : seen) threads.emplace_back([&v] { v = get_all_move_chains(); });
    for (auto& t : threads) t.join();
    for (const auto& v : seen) CHECK(v == all_move_chains());
}

TEST_CASE("the prefix tree spells every chain and nothing else") {
    const ChainTree& tree = game::tet::chain_tree();
    const std::vector<MoveChain>& chains = all_move_chains();
    std::set<int> reached;
    for (std::size_t c = 0; c < chains.size(); ++c) {
        CAPTURE(c);
        std::size_t node = 0;
        for (TetAction a : chains[c]) {
            const int next = tree.child[node][static_cast<std::size_t>(game::tet::index(a))];
            REQUIRE(next != ChainTree::NO_NODE);
            node = static_cast<std::size_t>(next);
            reached.insert(next);
        }
        CHECK(tree.chain_node[c] == node);
        CHECK(tree.chain_size[c] == chains[c].size());
        CHECK(node >= static_cast<std::size_t>(ChainTree::LEAF_BEGIN));
    }
    CHECK(reached.size() == 175);
    CHECK(*reached.begin() == 1);
    CHECK(*reached.rbegin() == ChainTree::NODE_NB - 1);
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        CAPTURE(n);
        CHECK(tree.parent[static_cast<std::size_t>(n)] < n);
        const bool leaf = std::all_of(tree.child[static_cast<std::size_t>(n)].begin(),
                                      tree.child[static_cast<std::size_t>(n)].end(),
                                      [](std::int16_t ch) { return ch == ChainTree::NO_NODE; });
        CHECK(leaf == (n >= ChainTree::LEAF_BEGIN));
    }
}

}  // TEST_SUITE("move chains")

// ---------------------------------------------------------------------------------------------

TEST_SUITE("chain search") {

TEST_CASE("the sample covers garbage, high stacks, finished games and walled-in pieces") {
    const Samples& sm = samples();
    INFO("states " << sm.states.size() << " garbage " << sm.garbage << " high " << sm.high
                   << " finished " << sm.finished << " same id " << sm.same_id);
    CHECK(sm.states.size() >= 3000);
    CHECK(sm.garbage >= 500);
    CHECK(sm.high >= 200);
    CHECK(sm.finished >= 30);
    CHECK(sm.same_id >= 200);
}

TEST_CASE("the tree search answers exactly as the hash-map search") {
    const Samples& sm = samples();
    for (ScoreFn score : {ScoreFn{wordpress::score}, ScoreFn{random_bot::score},
                          ScoreFn{column3_or_6_score}}) {
        int soft_drops = 0, empties = 0, chains = 0;
        for (std::size_t i = 0; i < sm.states.size(); ++i) {
            const GameState& s = sm.states[i];
            const Seed32 key = key_for(static_cast<std::uint32_t>(i), 9);
            SeededStream fast_rng(key), ref_rng(key);
            const MoveChain fast = get_best_move_for_score_fn(s, score, fast_rng);
            const MoveChain ref = reference_search(s, score, ref_rng);
            if (fast != ref) {
                CAPTURE(i);
                CHECK(chain_text(fast) == chain_text(ref));
            }
            // Both drew the same number of words.
            CHECK(fast_rng.next_u32() == ref_rng.next_u32());

            if (fast.empty()) {
                ++empties;
                CHECK(s.is_over());
            } else if (fast == MoveChain{SoftDrop}) {
                ++soft_drops;
            } else {
                ++chains;
                CHECK(is_listed_chain(fast));
                CHECK(chain_plays(s, fast));
            }
        }
        INFO("chains " << chains << " soft drops " << soft_drops << " empty " << empties);
        CHECK(empties == sm.finished);
        CHECK(soft_drops >= 18);
        CHECK(chains >= 2500);
    }
}

// Checks the batched sweep against each chain applied action by action on its own copy;
// returns the number of valid chains.
int check_sweep(const GameState& s) {
    std::vector<std::pair<int, GameState>> got;
    game::tet::for_each_valid_chain(s, [&](int c, const GameState& end) { got.emplace_back(c, end); });
    const auto want = reference::valid_chains_one_by_one(s);
    REQUIRE(got.size() == want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        CAPTURE(want[k].first);
        CHECK(got[k].first == want[k].first);
        CHECK(got[k].second == want[k].second);
    }
    return static_cast<int>(got.size());
}

TEST_CASE("the mask and the landings read off solid cells agree with the chain sweep") {
    // Garbage waiting, broken queues and finished games take the exact path, the rest the
    // solid-cell walk; both must answer as the sweep does.
    const Samples& sm = samples();
    for (std::size_t i = 0; i < sm.states.size(); i += 3) {
        CAPTURE(i);
        const GameState& s = sm.states[i];
        game::tet::ChainMask swept{};
        game::tet::for_each_valid_chain(s, [&](int c, const GameState&) { swept[c] = true; });
        CHECK(game::tet::valid_chains(s) == swept);

        std::array<std::optional<Candidate>, ChainTree::LEAF_NB> fast, exact;
        game::tet::for_each_landing(s, [&](int k, const Candidate& l) { fast[k] = l; });
        game::tet::detail::for_each_landing_exact(s, [&](int k, const Candidate& l) { exact[k] = l; });
        for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
            REQUIRE(fast[k].has_value() == exact[k].has_value());
            if (!fast[k]) continue;
            CHECK(fast[k]->total_lines == exact[k]->total_lines);
            CHECK(fast[k]->cols == exact[k]->cols);
        }
    }
}

TEST_CASE("the batched chain sweep gives each chain's own action-by-action result") {
    // Every fifth sample, and each once more with stray ghost cells painted over empty ones
    // (as a decoded state may hold): the sweep plays prefixes without their ghosts.
    const Samples& sm = samples();
    int valid = 0;
    for (std::size_t i = 0; i < sm.states.size(); i += 5) {
        GameState stray = sm.states[i];
        for (int y = 0; y < BoardMatrix::ROWS; y += 3)
            for (int x = static_cast<int>(i % 4); x < BoardMatrix::COLS; x += 4)
                if (stray.main_board.get(y, x) == CellValue::Empty)
                    stray.main_board.set(y, x, CellValue::Ghost);
        CAPTURE(i);
        valid += check_sweep(sm.states[i]);
        valid += check_sweep(stray);
    }
    CHECK(valid > 20000);
}

TEST_CASE("the chain sweep keeps the cells of codes 10 to 15 that the chains' own ghosts keep") {
    // Those codes read as empty; a prefix's ghost painted over one turns it into a ghost cell,
    // which the prefix's next action erases. Every 25th sample, with such cells on the rows
    // just above the stack, where the prefixes' ghosts fall.
    const Samples& sm = samples();
    int valid = 0;
    for (std::size_t i = 0; i < sm.states.size(); i += 25) {
        GameState s = sm.states[i];
        int cells = 0;
        const int top = game::tet::get_height(s.board_without_falling_piece());
        for (int y = std::max(0, top - 2); y < std::min(BoardMatrix::ROWS, top + 3); ++y)
            for (int x = static_cast<int>(i % 2); x < BoardMatrix::COLS; x += 2)
                if (s.main_board.get(y, x) == CellValue::Empty) {
                    s.main_board.set(y, x, static_cast<CellValue>(10 + (x + y) % 6));
                    ++cells;
                }
        CHECK(game::tet::has_free_codes(s.main_board) == (cells > 0));
        CAPTURE(i);
        valid += check_sweep(s);
    }
    CHECK(valid > 2000);
}

TEST_CASE("the chain sweep builds each leaf where it is told, and leaves out those it is refused room for") {
    // Room for every third leaf refused: exactly the chains ending there drop out, the rest
    // are reported from the caller's own storage with the same states as the plain sweep.
    const Samples& sm = samples();
    const ChainTree& tree = game::tet::chain_tree();
    for (std::size_t i = 0; i < sm.states.size(); i += 37) {
        const GameState& s = sm.states[i];
        std::vector<std::pair<int, GameState>> plain;
        game::tet::for_each_valid_chain(s, [&](int c, const GameState& end) { plain.emplace_back(c, end); });
        union Room {
            Room() {}
            GameState v;
        };
        std::vector<Room> rooms(ChainTree::LEAF_NB);
        std::vector<int> asked(ChainTree::LEAF_NB, 0);
        std::vector<std::pair<int, GameState>> placed;
        game::tet::for_each_valid_chain(
            s,
            [&](int k) -> void* {
                ++asked[static_cast<std::size_t>(k)];
                return k % 3 == 1 ? nullptr : &rooms[static_cast<std::size_t>(k)].v;
            },
            [&](int c, int k, const GameState& end) {
                CHECK(k == tree.chain_node[static_cast<std::size_t>(c)] - ChainTree::LEAF_BEGIN);
                CHECK(&end == &rooms[static_cast<std::size_t>(k)].v);
                placed.emplace_back(c, end);
            });
        CAPTURE(i);
        CHECK(std::all_of(asked.begin(), asked.end(), [](int n) { return n <= 1; }));
        std::vector<std::pair<int, GameState>> expected;
        for (const auto& [c, end] : plain)
            if ((tree.chain_node[static_cast<std::size_t>(c)] - ChainTree::LEAF_BEGIN) % 3 != 1)
                expected.emplace_back(c, end);
        CHECK(placed == expected);
    }
}

TEST_CASE("the chain sweep clears lines and scores perfect clears as the actions do") {
    // Every kind over the bottom rows filled but for a well: chains that fill the well clear
    // up to four rows, and those that clear every row leave an empty board.
    int perfect = 0, clears = 0;
    for (int k = 0; k < game::tet::TET_NB; ++k)
        for (int depth = 1; depth <= 4; ++depth)
            for (int width = 1; width <= 4; ++width)
                for (int well = 0; well + width <= BoardMatrix::COLS; ++well) {
                    GameState s = with_falling(new_game(static_cast<std::uint32_t>(k)),
                                               game::tet::tet_from_index(k));
                    for (int y = 0; y < depth; ++y)
                        for (int x = 0; x < BoardMatrix::COLS; ++x)
                            if (x < well || x >= well + width) s.main_board.set(y, x, CellValue::Garbage);
                    CAPTURE(k);
                    CAPTURE(depth);
                    CAPTURE(well);
                    CAPTURE(width);
                    check_sweep(s);
                    game::tet::for_each_valid_chain(s, [&](int, const GameState& end) {
                        clears += end.total_lines != s.total_lines;
                        const auto rows = game::tet::solid_rows(end.board_without_falling_piece());
                        perfect += std::all_of(rows.begin(), rows.end(), [](auto r) { return r == 0; });
                    });
                }
    INFO("clears " << clears << " perfect " << perfect);
    CHECK(clears > 1000);
    CHECK(perfect > 100);
}

TEST_CASE("a finished game gets an empty chain and draws nothing") {
    GameState s = new_game(3);
    s.game_over_reason = game::tet::GameOverReason::Forfeit;
    for (ScoreFn f : {ScoreFn{wordpress::score}, ScoreFn{random_bot::score}}) {
        SeededStream rng(key_for(1)), untouched(key_for(1));
        CHECK(get_best_move_for_score_fn(s, f, rng).empty());
        CHECK(rng.next_u32() == untouched.next_u32());
    }
}

TEST_CASE("a walled-in piece gets the default SoftDrop") {
    for (std::uint32_t g = 0; g < 7; ++g) {
        const GameState s = walled_in(new_game(g));
        for (ScoreFn f : {ScoreFn{wordpress::score}, ScoreFn{random_bot::score}}) {
            SeededStream rng(key_for(g));
            CHECK(get_best_move_for_score_fn(s, f, rng) == MoveChain{SoftDrop});
        }
    }
}

TEST_CASE("a score that always fails leaves the default SoftDrop") {
    SeededStream rng(key_for(4));
    CHECK(get_best_move_for_score_fn(new_game(4), failing_score, rng) == MoveChain{SoftDrop});
}

TEST_CASE("among equal scores the shortest chain wins") {
    for (std::uint32_t k = 0; k < 32; ++k) {
        CAPTURE(k);
        SeededStream a(key_for(k)), b(key_for(k));
        CHECK(get_best_move_for_score_fn(new_game(k), constant_score, a) == MoveChain{HardDrop});
        // Four chains reach column 6; only one of them has two actions.
        CHECK(get_best_move_for_score_fn(lone_o_piece(), column6_score, b) ==
              MoveChain{MoveRight, HardDrop});
    }
}

TEST_CASE("among equal scores and lengths the shuffle decides") {
    std::set<MoveChain> answers;
    for (std::uint32_t k = 0; k < 64; ++k) {
        SeededStream rng(key_for(k));
        answers.insert(get_best_move_for_score_fn(lone_o_piece(), column3_or_6_score, rng));
    }
    CHECK(answers == std::set<MoveChain>{{MoveLeft, HardDrop}, {MoveRight, HardDrop}});
}

TEST_CASE("the tied chains are exactly the moves the shuffled search can draw") {
    // The search takes the first strictly best chain of a length-sorted shuffle, so every
    // move it plays is a shortest best chain, and each of them comes up for some shuffle.
    const Samples& sm = samples();
    for (ScoreFn score : {ScoreFn{wordpress::score}, ScoreFn{column3_or_6_score}}) {
        for (std::size_t i = 0; i < sm.states.size(); i += 7) {
            CAPTURE(i);
            const GameState& s = sm.states[i];
            const game::bot::TiedChains tied = game::bot::best_chains(s, score);
            std::set<MoveChain> listed;
            for (int k = 0; k < tied.count; ++k) {
                if (k) CHECK(tied.chain[k - 1] < tied.chain[k]);
                listed.insert(all_move_chains()[tied.chain[k]]);
            }
            std::set<MoveChain> drawn;
            for (std::uint32_t r = 0; r < (listed.size() > 1 ? 64u : 1u); ++r) {
                SeededStream rng(key_for(r, 3));
                drawn.insert(get_best_move_for_score_fn(s, score, rng));
            }
            if (tied.count == 0) {
                CHECK(drawn.size() == 1);
                CHECK((*drawn.begin()).size() <= 1);  // SoftDrop, or nothing for a finished game
            } else {
                CHECK(std::includes(listed.begin(), listed.end(), drawn.begin(), drawn.end()));
                // 64 draws miss one of up to four ties with odds below 1 in 10^7.
                if (listed.size() <= 4) CHECK(drawn == listed);
            }
        }
    }
    CHECK((game::bot::bot_score("wordpress") == ScoreFn{wordpress::score}));
    CHECK((game::bot::bot_score("random") == ScoreFn{random_bot::score}));
    CHECK((game::bot::bot_score("Random") == nullptr));
}

}  // TEST_SUITE("chain search")

// ---------------------------------------------------------------------------------------------

TEST_SUITE("board scores") {

// Row 0 garbage except the columns an I piece dropped from its spawn covers (3 to 6), and
// optionally column 9 too, so that the drop does or does not complete the row.
GameState i_over_gap(bool row_completes) {
    GameState s = with_falling(new_game(11), Tet::I);
    for (int x : {0, 1, 2, 7, 8}) s.main_board.set(0, x, CellValue::Garbage);
    if (row_completes) s.main_board.set(0, 9, CellValue::Garbage);
    clear_ghosts(s.main_board);
    s.put_ghost();
    return s;
}

GameState dropped_and_erased(const GameState& s) {
    Result<GameState> r = s.try_action(HardDrop, 0);
    REQUIRE(r.ok());
    REQUIRE(r.value.current_pcs);
    REQUIRE(r.value.main_board.delete_piece(*r.value.current_pcs).ok());
    return r.value;
}

TEST_CASE("a line clear raises the score by exactly 0.76") {
    const GameState with_clear = i_over_gap(true);
    const GameState without_clear = i_over_gap(false);
    const GameState t1 = dropped_and_erased(with_clear);
    const GameState t0 = dropped_and_erased(without_clear);
    REQUIRE(t1.total_lines == with_clear.total_lines + 1);
    REQUIRE(t0.total_lines == without_clear.total_lines);

    const double wp1 = wordpress::score(with_clear, game::bot::candidate_of(t1)).value;
    const double wp0 = wordpress::score(without_clear, game::bot::candidate_of(t0)).value;
    CHECK(wp1 == 0.76);
    CHECK(wp0 == 0.0);
    CHECK(wp1 - wp0 == 0.76);
    CHECK(random_bot::score(with_clear, game::bot::candidate_of(t1)).value - random_bot::score(without_clear, game::bot::candidate_of(t0)).value ==
          0.76);

    // The one-action chain that clears beats every other chain, whatever the shuffle.
    for (std::uint32_t k = 0; k < 8; ++k) {
        SeededStream rng(key_for(k));
        CHECK(get_best_move_for_score_fn(with_clear, wordpress::score, rng) ==
              MoveChain{HardDrop});
    }
}

// Evaluates the weighted sum one rounded step at a time.
double stepwise(double lines, double height, double holes, double bumpi) {
    volatile double a = lines * 0.76;
    volatile double b = height * 0.51;
    volatile double c = a - b;
    volatile double d = holes * -0.35;
    volatile double e = c + d;
    volatile double f = bumpi * -0.18;
    volatile double g = e + f;
    return g;
}

TEST_CASE("the heuristic rounds each product and sum in order") {
    SeededStream src(key_for(77));
    int differs_from_other_orders = 0;
    for (int round = 0; round < 400; ++round) {
        CAPTURE(round);
        GameState input = new_game(static_cast<std::uint32_t>(round));
        GameState t = input;
        t.main_board = BoardMatrix{};
        const int fill = static_cast<int>(bounded_index(src, 30));
        for (int y = 0; y < fill; ++y)
            for (int x = 0; x < BoardMatrix::COLS; ++x)
                if (bounded_index(src, 3) != 0) t.main_board.set(y, x, CellValue::Garbage);
        const std::uint16_t lines = static_cast<std::uint16_t>(bounded_index(src, 5));
        input.total_lines = static_cast<std::uint16_t>(65534 + bounded_index(src, 4));
        t.total_lines = static_cast<std::uint16_t>(input.total_lines + lines);

        const double height = game::tet::get_height(t.main_board);
        const double holes = game::tet::board_holes(t.main_board);
        const double bumpi = game::tet::board_bumpi(t.main_board);
        const Result<double> wp = wordpress::score(input, game::bot::candidate_of(t));
        REQUIRE(wp.ok());
        CHECK(wp.value == stepwise(lines, height, holes, bumpi));
        const double other = lines * 0.76 + (holes * -0.35 + (bumpi * -0.18 - height * 0.51));
        differs_from_other_orders += other != wp.value;

        volatile double rl = lines * 0.76;
        volatile double rh = height * -0.51;
        const Result<double> rb = random_bot::score(input, game::bot::candidate_of(t));
        REQUIRE(rb.ok());
        CHECK(rb.value == rl + rh);
    }
    CHECK(differs_from_other_orders > 0);
}

TEST_CASE("cleared lines count as a wrapping 16-bit difference") {
    GameState input = new_game(1);
    GameState t = input;
    t.main_board = BoardMatrix{};
    input.total_lines = 65535;
    t.total_lines = 2;
    CHECK(wordpress::score(input, game::bot::candidate_of(t)).value == 3 * 0.76);
    CHECK(random_bot::score(input, game::bot::candidate_of(t)).value == 3 * 0.76);
}

}  // TEST_SUITE("board scores")

// ---------------------------------------------------------------------------------------------

TEST_SUITE("bot registry") {

TEST_CASE("known names give their bot") {
    auto wp = get_bot("wordpress");
    REQUIRE(wp.ok());
    REQUIRE(wp.value);
    CHECK(dynamic_cast<wordpress::WordpressBlogBot*>(wp.value.get()) != nullptr);
    auto rb = get_bot("random");
    REQUIRE(rb.ok());
    REQUIRE(rb.value);
    CHECK(dynamic_cast<random_bot::RandomChoiceBot*>(rb.value.get()) != nullptr);
}

TEST_CASE("other names are refused") {
    using namespace std::string_view_literals;
    for (std::string_view name : {"Random"sv, "random "sv, ""sv, " random"sv, "WORDPRESS"sv,
                                  "wordpres"sv, "random\0"sv, "wordpress\0x"sv}) {
        const std::string shown(name);
        CAPTURE(shown);
        auto r = get_bot(name);
        CHECK(r.failed());
        CHECK(r.error.code == ErrorCode::BotNameNotFound);
        CHECK(r.error.message() == "bot name not found.");
        CHECK(r.value == nullptr);
    }
}

TEST_CASE("each bot runs the search with its own score") {
    const std::vector<std::pair<std::string_view, ScoreFn>> bots = {
        {"wordpress", wordpress::score}, {"random", random_bot::score}};
    const Samples& sm = samples();
    for (const auto& [name, score] : bots) {
        auto bot = get_bot(name);
        REQUIRE(bot.ok());
        for (std::size_t i = 0; i < sm.states.size(); i += 97) {
            SeededStream a(key_for(static_cast<std::uint32_t>(i))),
                b(key_for(static_cast<std::uint32_t>(i)));
            const Result<MoveChain> chosen = bot.value->choose_move_with(sm.states[i], a);
            REQUIRE(chosen.ok());
            CHECK(chosen.value == get_best_move_for_score_fn(sm.states[i], score, b));
        }
        // The thread's own generator: any valid answer.
        const Result<MoveChain> any = bot.value->choose_move(new_game(5));
        REQUIRE(any.ok());
        CHECK(is_listed_chain(any.value));
        CHECK(bot.value->choose_move(walled_in(new_game(5))).value == MoveChain{SoftDrop});
    }
}

}  // TEST_SUITE("bot registry")
