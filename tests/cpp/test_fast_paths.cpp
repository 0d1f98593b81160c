// The engine's fast paths against literal forms of the same rules.
#include <doctest/doctest.h>

#include <algorithm>
#include <bit>
#include <optional>
#include <cstring>
#include <vector>

#include "random.hpp"
#include "random_detail.hpp"
#include "reference.hpp"
#include "tet/board_detail.hpp"
#include "tet/movegen.hpp"
#include "tet/state.hpp"
#include "tet/state_detail.hpp"

using namespace game;
using namespace game::tet;
using reference::literal_hard_drop;

namespace {

// The ghost as the rule reads: erase the piece from a copy, lower it one row at a time while
// it fits, then paint from the landing row until the first off-board or solid cell.
BoardMatrix literal_ghost(const GameState& s) {
    BoardMatrix board = s.main_board;
    if (!s.current_pcs) return board;
    const CurrentPcsInfo piece = *s.current_pcs;
    BoardMatrix scratch = board;
    REQUIRE(scratch.delete_piece(piece).ok());
    int r = piece.pos.y;
    for (;;) {
        if (r < -2) return board;
        CurrentPcsInfo lower = piece;
        lower.pos.y = static_cast<std::int8_t>(r - 1);
        if (scratch.spawn_piece(lower).failed()) break;
        REQUIRE(scratch.delete_piece(lower).ok());
        r -= 1;
    }
    for (const ShapeCell& c : shape(piece.rs, piece.tet).cells) {
        const int y = r + c.i, x = piece.pos.x + c.j;
        if (!BoardMatrix::on_board(y, x) || board.solid(y, x)) break;
        board.set(y, x, CellValue::Ghost);
    }
    return board;
}

struct Lcg {
    std::uint32_t x;
    std::uint32_t next() { return x = x * 1664525u + 1013904223u; }
    Seed32 seed() {
        Seed32 out{};
        for (auto& b : out) b = static_cast<std::uint8_t>(next() >> 24);
        return out;
    }
};

// Runs body with the 32-byte whole-board passes (where the processor has them), then with the
// 16-byte ones.
template <class F>
void for_each_board_width(F&& body) {
    for (bool wide : {true, false}) {
        struct Restore {
            bool was;
            ~Restore() { game::tet::detail::use_board_avx2(was); }
        } restore{game::tet::detail::use_board_avx2(wide)};
        CAPTURE(wide);
        body();
    }
}

}  // namespace

TEST_CASE("vector and portable ChaCha20 blocks agree") {
    Lcg rng{7};
    for (int it = 0; it < 20000; ++it) {
        std::array<std::uint32_t, 16> in;
        for (auto& w : in) w = rng.next();
        if (it % 3 == 0) in[12] = 0xffffffffu;  // the counter carries into word 13
        std::uint32_t a[32], b[32];
        random::detail::chacha20_two_blocks(in, a);
        random::detail::scalar_two_blocks(in, b);
        REQUIRE(std::memcmp(a, b, sizeof a) == 0);
        random::detail::chacha20_block(in, a);
        random::detail::scalar_block(in, b);
        REQUIRE(std::memcmp(a, b, 64) == 0);
        // Four ChaCha12 blocks against the 12-round block function, one counter step apart.
        std::uint32_t four[64];
        random::detail::chacha12_four_blocks(in, four);
        std::array<std::uint32_t, 16> at = in, block;
        for (int n = 0; n < 4; ++n) {
            random::detail::chacha_block(at, block, 12);
            REQUIRE(std::memcmp(four + 16 * n, block.data(), 64) == 0);
            const std::uint64_t counter = (std::uint64_t(at[13]) << 32 | at[12]) + 1;
            at[12] = static_cast<std::uint32_t>(counter);
            at[13] = static_cast<std::uint32_t>(counter >> 32);
        }
    }
}

TEST_CASE("ghost landing row matches lowering the piece row by row") {
    Lcg rng{11};
    int checked = 0;
    for (int game_no = 0; game_no < 60; ++game_no) {
        GameState s = GameState::new_game(rng.seed(), game_no);
        for (int step = 0; step < 400 && !s.is_over(); ++step) {
            // Mostly sideways moves and rotations, so pieces land on varied stacks.
            const std::uint32_t r = rng.next() >> 16;
            const TetAction a = r % 9 == 0 ? TetAction::HardDrop : action_from_index(2 + r % 5);
            if (s.apply_action_if_works(a, 0).failed()) continue;
            if (s.is_over()) break;
            GameState bare = s;
            for (int y = 0; y < BoardMatrix::ROWS; ++y)
                for (int x = 0; x < BoardMatrix::COLS; ++x)
                    if (bare.main_board.get(y, x) == CellValue::Ghost)
                        bare.main_board.set(y, x, CellValue::Empty);
            REQUIRE(literal_ghost(bare) == s.main_board);
            ++checked;
        }
    }
    CHECK(checked > 5000);
}

TEST_CASE("every action gives the same state with each set of seed kernels and board width") {
    // The ghost is repainted between the seed step's rounds where the kernels allow: each
    // combination against the portable kernels with 16-byte board passes, on states with
    // stray ghost cells and garbage waiting too.
    using random::detail::Kernels;
    struct Restore {
        Kernels kernels = random::detail::kernels();
        bool wide = game::tet::detail::use_board_avx2(true);
        ~Restore() {
            random::detail::use_kernels(kernels);
            game::tet::detail::use_board_avx2(wide);
        }
    } restore;
    auto tried = [](const GameState& s, TetAction a, Kernels k, bool wide) {
        random::detail::use_kernels(k);
        game::tet::detail::use_board_avx2(wide);
        return s.try_action(a, 12345);
    };
    Lcg rng{31};
    int compared = 0;
    for (int game_no = 0; game_no < 40; ++game_no) {
        GameState s = GameState::new_game(rng.seed(), game_no);
        if (game_no % 3 == 0) s.garbage_recv = 3;
        for (int step = 0; step < 200 && !s.is_over(); ++step) {
            if (step % 17 == 0) s.main_board.set(static_cast<int>(rng.next() >> 28) + 5, step % 10, CellValue::Ghost);
            const TetAction a = action_from_index(static_cast<int>(rng.next() >> 16) % ACTION_NB);
            const auto want = tried(s, a, Kernels::portable, false);
            for (const Kernels k : {Kernels::portable, Kernels::avx2, Kernels::avx512})
                for (bool wide : {false, true}) {
                    if (k > restore.kernels) continue;
                    CAPTURE(static_cast<int>(k));
                    CAPTURE(wide);
                    const auto got = tried(s, a, k, wide);
                    REQUIRE(got.error.code == want.error.code);
                    if (want.ok()) REQUIRE(got.value == want.value);
                    ++compared;
                }
            if (want.ok()) s = want.value;
        }
    }
    CHECK(compared > 10000);
}

TEST_CASE("hard drop matches one-row soft drops until the lock") {
    for_each_board_width([&] {
        Lcg rng{23};
        int checked = 0;
        for (int game_no = 0; game_no < 150; ++game_no) {
            GameState s = GameState::new_game(rng.seed(), game_no);
            if (game_no % 4 == 0) s.garbage_recv = static_cast<std::uint16_t>(game_no / 4);
            for (int step = 0; step < 300 && !s.is_over(); ++step) {
                const std::uint32_t r = rng.next() >> 16;
                if (r % 4 == 0) {
                    const auto fast = s.try_action(TetAction::HardDrop, 0);
                    REQUIRE(fast.ok());
                    REQUIRE(fast.value == literal_hard_drop(s));
                    ++checked;
                    // The same drop over cells of the codes 10 to 15, which read as empty: the
                    // rows the piece passes are drawn and erased, and left empty there.
                    GameState free = s;
                    for (int y = 0; y < BoardMatrix::ROWS; ++y)
                        for (int x = 0; x < BoardMatrix::COLS; ++x)
                            if ((x + y + step) % 3 == 0 && free.main_board.code_at(y, x) == 0) {
                                const auto code = static_cast<CellValue>(10 + (x * 7 + y) % 6);
                                free.main_board.set(y, x, code);
                            }
                    const auto over_free = free.try_action(TetAction::HardDrop, 0);
                    REQUIRE(over_free.value == literal_hard_drop(free));
                    // The next piece numbered as this one: the drops go on and lock it too.
                    GameState same_id = s;
                    same_id.current_id = same_id.current_pcs->id;
                    const auto both = same_id.try_action(TetAction::HardDrop, 0);
                    REQUIRE(both.ok());
                    REQUIRE(both.value == literal_hard_drop(same_id));
                    s = fast.value;
                } else {
                    (void)s.apply_action_if_works(action_from_index(1 + r % 6), 0);
                }
            }
        }
        CHECK(checked > 1000);
    });
}

TEST_CASE("board metrics from column masks match the column scans") {
    Lcg rng{5};
    for (int it = 0; it < 20000; ++it) {
        BoardMatrix b;
        const int top = static_cast<int>(rng.next() % 41);
        const int density = static_cast<int>(rng.next() % 100);
        for (int y = 0; y < top; ++y)
            for (int x = 0; x < BoardMatrix::COLS; ++x)
                if (static_cast<int>(rng.next() % 100) < density)
                    b.set(y, x, decode_cell(static_cast<std::uint8_t>(rng.next() % 16)));
        int h[BoardMatrix::COLS];
        int height = 0, holes = 0, bumpi = 0;
        for (int c = 0; c < BoardMatrix::COLS; ++c) {
            h[c] = 0;
            for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
                if (b.solid(r, c)) {
                    h[c] = r;
                    break;
                }
            height = std::max(height, h[c]);
            for (int r = 0; r < h[c]; ++r) holes += !b.solid(r, c);
        }
        for (int c = 0; c + 1 < BoardMatrix::COLS; ++c) bumpi = std::max(bumpi, std::abs(h[c] - h[c + 1]));
        const BoardMetrics m = board_metrics(b);
        const BoardMetrics by_cols = board_metrics(solid_cols(solid_rows(b)));
        REQUIRE(by_cols.height == height);
        REQUIRE(by_cols.holes == holes);
        REQUIRE(by_cols.bumpi == bumpi);
        REQUIRE(get_height(solid_cols(solid_rows(b))) == height);
        REQUIRE(m.height == height);
        REQUIRE(get_height(b) == height);
        REQUIRE(m.holes == holes);
        REQUIRE(m.bumpi == bumpi);
        REQUIRE(board_holes(b) == holes);
        REQUIRE(board_bumpi(b) == bumpi);
        for (int c = 0; c < BoardMatrix::COLS; ++c) REQUIRE(get_height_for_column(b, c) == h[c]);
    }
}

TEST_CASE("the solid-cell chain walk gives the exact masks and landings") {
    // States from random play, some with the rows below the spawn nearly full (most chains
    // clear lines, up to four at once) and some with cells in the top row (which a clear
    // copies into the rows it frees).
    Lcg rng{53};
    long leaves = 0, clears = 0, blocked = 0;
    for (int game_no = 0; game_no < 120; ++game_no) {
        GameState s = GameState::new_game(rng.seed(), game_no);
        for (int step = 0; step < 80 && !s.is_over(); ++step) {
            const std::uint32_t r = rng.next() >> 16;
            (void)s.apply_action_if_works(r % 3 == 0 ? TetAction::HardDrop : action_from_index(r % 7), 0);
            if (s.is_over()) break;
            std::vector<GameState> variants{s};
            {
                // Rows 0 .. depth-1 full but for a well of one to four columns.
                GameState t = s;
                const int width = 1 + static_cast<int>(rng.next() >> 16) % 4;
                const int well = static_cast<int>(rng.next() >> 16) % (BoardMatrix::COLS - width + 1);
                const int depth = 1 + step % 6;
                for (int y = 0; y < depth + 3; ++y)
                    for (int x = 0; x < BoardMatrix::COLS; ++x) {
                        const bool in_well = x >= well && x < well + width;
                        if (y < depth && !in_well) t.main_board.set(y, x, CellValue::Garbage);
                        if (in_well && t.main_board.solid(y, x)) t.main_board.set(y, x, CellValue::Empty);
                    }
                if (step % 2) t.main_board.set(BoardMatrix::ROWS - 1, well, CellValue::Garbage);
                variants.push_back(t);
            }
            for (const GameState& t : variants) {
                const ChainMask mask = valid_chains(t);
                REQUIRE(mask == tet::detail::valid_chains_exact(t));
                std::array<std::optional<Landing>, ChainTree::LEAF_NB> fast, exact;
                for_each_landing(t, [&](int k, const Landing& l) {
                    REQUIRE(!fast[k]);
                    fast[k] = l;
                });
                tet::detail::for_each_landing_exact(t, [&](int k, const Landing& l) { exact[k] = l; });
                for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
                    CAPTURE(k);
                    REQUIRE(fast[k].has_value() == exact[k].has_value());
                    if (!fast[k]) {
                        ++blocked;
                        continue;
                    }
                    REQUIRE(fast[k]->total_lines == exact[k]->total_lines);
                    REQUIRE(fast[k]->cols == exact[k]->cols);
                    REQUIRE(fast[k]->metrics.height == exact[k]->metrics.height);
                    REQUIRE(fast[k]->metrics.holes == exact[k]->metrics.holes);
                    REQUIRE(fast[k]->metrics.bumpi == exact[k]->metrics.bumpi);
                    clears += fast[k]->total_lines != t.total_lines;
                    ++leaves;
                }
            }
        }
    }
    INFO("leaves " << leaves << " clears " << clears << " blocked " << blocked);
    CHECK(clears > 1000);
    CHECK(blocked > 3000);
}

TEST_CASE("actions tried side by side equal one at a time, stray ghost cells or not") {
    Lcg rng{41};
    for (int game_no = 0; game_no < 100; ++game_no) {
        const Seed32 seed = rng.seed();
        GameState s = GameState::new_game(seed, static_cast<std::int64_t>(rng.next()));
        for (int step = 0; step < 60 && !s.is_over(); ++step) {
            const std::int64_t t = static_cast<std::int64_t>(rng.next()) << 20;
            std::array<TetAction, ACTION_NB> actions;
            for (int a = 0; a < ACTION_NB; ++a) actions[a] = action_from_index(a);
            // Ghost cells where no rule would put them, over empty cells and cells that rows
            // and pieces move into.
            GameState stray = s;
            for (int k = 0; k < 12; ++k) {
                const int y = static_cast<int>(rng.next() >> 8) % 24, x = static_cast<int>(rng.next() >> 8) % 10;
                if (!stray.main_board.solid(y, x)) stray.main_board.set(y, x, CellValue::Ghost);
            }
            // The piece resting where it lands, so that a soft drop locks it; the next piece
            // takes the same serial, as a decoded state may make it.
            GameState resting = stray;
            while (resting.current_pcs && !resting.is_over() &&
                   resting.main_board.fall_distance(*resting.current_pcs) > 0)
                (void)resting.apply_action_if_works(TetAction::SoftDrop, t);
            if (resting.current_pcs) resting.current_id = resting.current_pcs->id;
            for (const GameState* from : {&s, &stray, &resting}) {
                std::array<GameState, ACTION_NB> together;
                std::array<GameState*, ACTION_NB> out;
                std::array<Error, ACTION_NB> errors;
                for (int a = 0; a < ACTION_NB; ++a) out[a] = &together[a];
                from->try_actions(actions, t, out.data(), errors.data());
                for (int a = 0; a < ACTION_NB; ++a) {
                    const auto alone = from->try_action(actions[a], t);
                    REQUIRE(alone.error == errors[a]);
                    if (alone.ok()) REQUIRE(alone.value == together[a]);
                }
            }
            (void)s.apply_action_if_works(action_from_index(static_cast<int>(rng.next() >> 16) % 8), t);
        }
    }
}

TEST_CASE("an accepted action erases exactly the ghost cells, whatever the nibbles") {
    for_each_board_width([&] {
        Lcg rng{53};
        for (int it = 0; it < 3000; ++it) {
            GameState s = GameState::new_game(Seed32{}, it);
            for (auto& row : s.main_board.rows)
                for (auto& pair : row.v_r) pair.v = static_cast<std::uint8_t>(rng.next() >> 24);
            s.current_pcs.reset();  // Nothing then paints no ghost of its own
            const auto r = s.try_action(TetAction::Nothing, 0);
            REQUIRE(r.ok());
            BoardMatrix portable = s.main_board;
            game::tet::detail::erase_ghosts_portable(portable);
            REQUIRE(portable == r.value.main_board);
            for (int y = 0; y < BoardMatrix::ROWS; ++y)
                for (int x = 0; x < BoardMatrix::COLS; ++x) {
                    const std::uint8_t before = s.main_board.code_at(y, x);
                    REQUIRE(r.value.main_board.code_at(y, x) == (before == 9 ? 0 : before));
                }
        }
    });
}

TEST_CASE("a board has free codes exactly when one cell holds 10 to 15") {
    // Each code alone in each cell, with codes below 10 all around it.
    for (int code = 0; code < 16; ++code)
        for (int y = 0; y < BoardMatrix::ROWS; ++y)
            for (int x = 0; x < BoardMatrix::COLS; ++x) {
                BoardMatrix b{};
                for (int yy = 0; yy < BoardMatrix::ROWS; ++yy)
                    for (int xx = 0; xx < BoardMatrix::COLS; ++xx)
                        b.set(yy, xx, static_cast<CellValue>((yy * 3 + xx) % 10));
                b.set(y, x, static_cast<CellValue>(code));
                CAPTURE(code);
                CAPTURE(y);
                CAPTURE(x);
                REQUIRE(game::tet::has_free_codes(b) == (code >= 10));
                // Row ranges that take in the cell see it too.
                REQUIRE(b.may_hold_free_codes(y, y) == (code >= 10));
                REQUIRE(b.may_hold_free_codes(std::max(0, y - 2), y) == (code >= 10));
                const int below_top = std::min(BoardMatrix::ROWS - 1, y + 3);
                REQUIRE(b.may_hold_free_codes(y, below_top) == (code >= 10));
            }
}

TEST_CASE("drawing, erasing, ghosting and testing pieces match the cell-by-cell rule, whatever the nibbles") {
    // The board functions (vector kernels where they apply) and their portable forms both.
    namespace plain = game::tet::detail;
    for_each_board_width([&] {
        Lcg rng{71};
        long drawn = 0, taken = 0, off = 0;
        for (int it = 0; it < 100; ++it) {
            BoardMatrix b;
            for (auto& row : b.rows)
                for (auto& pair : row.v_r) {
                    const std::uint32_t r = rng.next() >> 8;
                    pair.v = static_cast<std::uint8_t>(r % 3 ? 0 : r >> 8);  // a third any byte
                }
            for (int r = 0; r < game::rot::ROT_NB; ++r)
                for (int k = 0; k < TET_NB; ++k)
                    for (int y = -4; y < BoardMatrix::ROWS + 1; y += 1 + it % 3)
                        for (int x = -4; x < BoardMatrix::COLS + 1; ++x) {
                            const CurrentPcsInfo p{Pos{static_cast<std::int8_t>(y), static_cast<std::int8_t>(x)},
                                                   tet_from_index(k), static_cast<RotState>(r), 0};
                            // The rule: cells in visiting order, the first off-board or solid one
                            // decides.
                            const auto& cells = shape(p.rs, p.tet).cells;
                            int verdict = 0;  // 0 fits, 1 off the board, 2 taken
                            bool on = true, own = true;
                            for (const ShapeCell& c : cells) {
                                const int cy = y + c.i, cx = x + c.j;
                                if (!BoardMatrix::on_board(cy, cx)) {
                                    on = own = false;
                                    if (!verdict) verdict = 1;
                                    continue;
                                }
                                if (!verdict && is_solid_code(b.code_at(cy, cx))) verdict = 2;
                                own = own && b.code_at(cy, cx) == code(piece_cell(p.tet));
                            }
                            REQUIRE(BoardMatrix::in_bounds(p) == on);
                            if (on) {
                                // How far it falls: down each column from its lowest cell.
                                int fall = BoardMatrix::ROWS;
                                for (const ShapeCell& c : cells) {
                                    bool lowest = true;
                                    for (const ShapeCell& d : cells) lowest = lowest && !(d.j == c.j && d.i < c.i);
                                    if (!lowest) continue;
                                    int room = 0;
                                    for (int cy = y + c.i - 1; cy >= 0 && !is_solid_code(b.code_at(cy, x + c.j)); --cy)
                                        ++room;
                                    fall = std::min(fall, room);
                                }
                                REQUIRE(b.fall_distance(p) == fall);
                                REQUIRE(plain::fall_distance_portable(b, p) == fall);
                                bool free_codes = false;
                                REQUIRE(plain::fall_distance_portable(b, p, free_codes) == fall);
                            }
                            REQUIRE(b.fits(p) == (verdict == 0));
                            REQUIRE(plain::fits_portable(b, p) == (verdict == 0));
                            REQUIRE(b.is_drawn(p) == own);
                            REQUIRE(plain::is_drawn_portable(b, p) == own);

                            BoardMatrix spawned = b, want = b;
                            const Error e = spawned.spawn_piece(p);
                            REQUIRE(e.ok() == (verdict == 0));
                            if (verdict == 1) REQUIRE(e.code == ErrorCode::OutOfBounds);
                            if (verdict == 2) REQUIRE(e.code == ErrorCode::CellTaken);
                            if (e.ok())
                                for (const ShapeCell& c : cells) want.set(y + c.i, x + c.j, piece_cell(p.tet));
                            REQUIRE(spawned == want);
                            BoardMatrix plain_board = b;
                            REQUIRE(plain::spawn_piece_portable(plain_board, p) == e);
                            REQUIRE(plain_board == want);

                            BoardMatrix erased = b;
                            want = b;
                            bool stopped = false;
                            for (const ShapeCell& c : cells) {
                                if (!BoardMatrix::on_board(y + c.i, x + c.j)) {
                                    stopped = true;
                                    break;
                                }
                                want.set(y + c.i, x + c.j, CellValue::Empty);
                            }
                            REQUIRE(erased.delete_piece(p).ok() == !stopped);
                            REQUIRE(erased == want);
                            plain_board = b;
                            REQUIRE(plain::delete_piece_portable(plain_board, p).ok() == !stopped);
                            REQUIRE(plain_board == want);

                            BoardMatrix ghosted = b;
                            want = b;
                            for (const ShapeCell& c : cells) {
                                const int cy = y + c.i, cx = x + c.j;
                                if (!BoardMatrix::on_board(cy, cx) || is_solid_code(b.code_at(cy, cx))) break;
                                want.set(cy, cx, CellValue::Ghost);
                            }
                            ghosted.draw_ghost(p);
                            REQUIRE(ghosted == want);
                            plain_board = b;
                            plain::draw_ghost_portable(plain_board, p);
                            REQUIRE(plain_board == want);
                            drawn += verdict == 0;
                            taken += verdict == 2;
                            off += verdict == 1;
                        }
        }
        CHECK(drawn > 100000);
        CHECK(taken > 100000);
        CHECK(off > 100000);
    });
}

TEST_CASE("full rows from nibble arithmetic match a cell-by-cell check, whatever the nibbles") {
    for_each_board_width([&] {
        Lcg rng{67};
        int full_seen = 0;
        for (int it = 0; it < 2000; ++it) {
            BoardMatrix b;
            for (auto& row : b.rows)
                for (auto& pair : row.v_r) {
                    // Mostly solid codes, so that full rows are common; any of the sixteen codes.
                    auto nibble = [&] {
                        const std::uint32_t r = rng.next() >> 8;
                        return static_cast<std::uint8_t>(r % 10 ? 1 + (r >> 4) % 8 : (r >> 4) % 16);
                    };
                    pair.v = static_cast<std::uint8_t>(nibble() << 4 | nibble());
                }
            const std::uint64_t got = full_rows(b);
            REQUIRE(game::tet::detail::full_rows_portable(b) == got);
            for (int y = 0; y < BoardMatrix::ROWS; ++y) {
                bool full = true;
                for (int x = 0; x < BoardMatrix::COLS; ++x) full = full && is_solid_code(b.code_at(y, x));
                CAPTURE(y);
                REQUIRE(bool(got >> y & 1) == full);
                full_seen += full;
            }
            REQUIRE((got >> BoardMatrix::ROWS) == 0u);
        }
        CHECK(full_seen > 5000);
    });
}

TEST_CASE("a lock clears full rows wherever they lie, the rows between moving down in order") {
    Lcg rng{71};
    int compared = 0, apart = 0;
    for (int it = 0; it < 3000; ++it) {
        GameState s = GameState::new_game(rng.seed(), 0);
        s.current_pcs.reset();
        BoardMatrix& b = s.main_board;
        b = BoardMatrix{};
        // Rows 0..17 each full, partial or empty; row 39 sometimes set, sometimes full; the
        // rows the next piece spawns in stay free.
        for (int y = 0; y < BoardMatrix::ROWS; ++y) {
            const std::uint32_t r = rng.next() >> 8;
            if (y >= 18 && y != 39) continue;
            if (y == 39 && r % 3 == 0) continue;
            const bool full = (r >> 2) % 3 == 0;
            const int hole = static_cast<int>((r >> 4) % BoardMatrix::COLS);
            for (int x = 0; x < BoardMatrix::COLS; ++x)
                if (full || (x != hole && (rng.next() >> 20) % 2))
                    b.set(y, x, (rng.next() >> 20) % 2 ? CellValue::Garbage : piece_cell(Tet::Z));
        }
        const std::uint64_t full = full_rows(b);
        std::vector<CellValueRow10> want;
        for (int y = 0; y < BoardMatrix::ROWS; ++y)
            if (!(full >> y & 1)) want.push_back(b.rows[y]);
        const CellValueRow10 top = full >> 39 & 1 ? CellValueRow10{} : b.rows[39];
        while (want.size() < BoardMatrix::ROWS) want.push_back(top);
        // Full rows that are not one run: some kept row lies between two of them.
        const std::uint64_t run = full ? full >> std::countr_zero(full) : 0;
        apart += (run & (run + 1)) != 0;

        const std::uint16_t lines = s.total_lines;
        REQUIRE(tet::detail::put_next_piece(s, 0, Tet::O).ok());
        REQUIRE(!s.is_over());
        CHECK(s.total_lines == lines + std::popcount(full));
        REQUIRE(b.delete_piece(*s.current_pcs).ok());
        for (int y = 0; y < BoardMatrix::ROWS; ++y) {
            CAPTURE(y);
            REQUIRE(b.rows[y] == want[static_cast<std::size_t>(y)]);
        }
        ++compared;
    }
    CHECK(compared == 3000);
    CHECK(apart > 500);
}

TEST_CASE("the states of play keep the engine's invariants, and each broken one is caught") {
    Lcg rng{67};
    long checked = 0, broken_checked = 0;
    for (int game_no = 0; game_no < 100; ++game_no) {
        GameState s = GameState::new_game(rng.seed(), game_no);
        for (int step = 0; step < 400 && !s.is_over(); ++step) {
            REQUIRE(s.state_ok());
            ++checked;
            if (step == 10 && s.current_pcs) {
                const CurrentPcsInfo piece = *s.current_pcs;
                std::vector<GameState> broken(7, s);
                REQUIRE(broken[0].main_board.delete_piece(piece).ok());
                broken[1].next_pcs_idx = 9;
                broken[2].garbage_applied = static_cast<std::uint16_t>(s.garbage_recv + 1);
                for (int x = 0; x < BoardMatrix::COLS; ++x)
                    broken[3].main_board.set(0, x, CellValue::Garbage);
                broken[4].main_board.rows[30].v_r[0].v = 0xC0;  // a code of 12
                ++broken[5].total_moves;
                broken[6].current_id = piece.id;
                for (std::size_t k = 0; k < broken.size(); ++k) {
                    CAPTURE(k);
                    CHECK(!broken[k].state_ok());
                    ++broken_checked;
                }
            }
            const std::uint32_t r = rng.next() >> 16;
            if (r % 50 == 0) s.garbage_recv = static_cast<std::uint16_t>(s.garbage_recv + r % 3);
            (void)s.apply_action_if_works(r % 3 == 0 ? TetAction::HardDrop : action_from_index(r % 8), 0);
        }
        REQUIRE(s.state_ok());
    }
    CHECK(checked > 2000);
    CHECK(broken_checked > 500);
}
