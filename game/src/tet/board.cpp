// The board's cells, drawing and erasing pieces, the ghost and the board metrics, in portable
// code: the rules as written. The board functions that have vector kernels (drawing, erasing
// and testing a piece, the ghost, the landing row, full rows, ghost erasing) are defined in
// board_simd.cpp, which runs the kernel where one applies and the portable form below
// (detail::*_portable) where none does.
#include "tet/board.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "tet/board_detail.hpp"

namespace game::tet {

namespace {

inline Error out_of_bounds(const CurrentPcsInfo& p) {
    return fail(ErrorCode::OutOfBounds, p.pos.x, p.pos.y);
}

// Board cell of a shape cell, in the signed 8-bit arithmetic positions use (whose wrap-around
// never lands on the board).
inline int cell_y(const CurrentPcsInfo& p, const ShapeCell& c) {
    return static_cast<std::int8_t>(p.pos.y + c.i);
}
inline int cell_x(const CurrentPcsInfo& p, const ShapeCell& c) {
    return static_cast<std::int8_t>(p.pos.x + c.j);
}

}  // namespace

std::vector<std::vector<CellValue>> BoardMatrix::cell_rows() const {
    std::vector<std::vector<CellValue>> out(ROWS, std::vector<CellValue>(COLS));
    for (int y = 0; y < ROWS; ++y)
        for (int x = 0; x < COLS; ++x) out[y][x] = get(y, x);
    return out;
}

namespace detail {

Error spawn_piece_portable(BoardMatrix& b, const CurrentPcsInfo& p) {
    const Shape& s = shape(p.rs, p.tet);
    // Check pass: the first offending cell in visiting order decides the error.
    for (const ShapeCell& c : s.cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!BoardMatrix::on_board(y, x)) return out_of_bounds(p);
        if (b.solid(y, x)) return fail(ErrorCode::CellTaken);
    }
    for (const ShapeCell& c : s.cells) b.set(cell_y(p, c), cell_x(p, c), piece_cell(p.tet));
    return ok();
}

Error delete_piece_portable(BoardMatrix& b, const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!BoardMatrix::on_board(y, x)) return out_of_bounds(p);
        b.set(y, x, CellValue::Empty);
    }
    return ok();
}

bool fits_portable(const BoardMatrix& b, const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!BoardMatrix::on_board(y, x) || b.solid(y, x)) return false;
    }
    return true;
}

bool is_drawn_portable(const BoardMatrix& b, const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!BoardMatrix::on_board(y, x) || b.get(y, x) != piece_cell(p.tet)) return false;
    }
    return true;
}

void draw_ghost_portable(BoardMatrix& b, const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!BoardMatrix::on_board(y, x) || b.solid(y, x)) return;
        b.set(y, x, CellValue::Ghost);
    }
}

int fall_distance_portable(const BoardMatrix& b, const CurrentPcsInfo& p) {
    // A piece's cells in one column are contiguous, so only the cells below each column's
    // lowest cell can stop it.
    const Shape& sh = shape(p.rs, p.tet);
    int drop = BoardMatrix::ROWS;
    for (int k = 0; k < sh.bottom_count; ++k) {
        const ShapeCell c = sh.bottoms[k];
        const int x = p.pos.x + c.j;
        int y = p.pos.y + c.i - 1;
        int room = 0;
        while (y >= 0 && !b.solid(y, x)) {
            ++room;
            --y;
        }
        drop = std::min(drop, room);
    }
    return drop;
}

int fall_distance_portable(const BoardMatrix& b, const CurrentPcsInfo& p, bool& free_codes) {
    const int top_row = p.pos.y + shape(p.rs, p.tet).max_i;
    free_codes = b.may_hold_free_codes(0, std::min(BoardMatrix::ROWS - 1, top_row));
    return fall_distance_portable(b, p);
}

void erase_ghosts_portable(BoardMatrix& b) {
    for (int y = 0; y < BoardMatrix::ROWS; ++y)
        for (int x = 0; x < BoardMatrix::COLS; ++x)
            if (b.code_at(y, x) == code(CellValue::Ghost)) b.set(y, x, CellValue::Empty);
}

std::uint64_t full_rows_portable(const BoardMatrix& b) {
    std::uint64_t full = 0;
    for (int y = 0; y < BoardMatrix::ROWS; ++y)
        if (solid_mask(b, y) == FULL_ROW) full |= std::uint64_t{1} << y;
    return full;
}

}  // namespace detail

bool BoardMatrix::may_hold_free_codes(int lo, int hi) const {
    // Whole 8-byte words over the rows' bytes. A nibble is 10 to 15 when bit 3 is set and bit 2
    // or bit 1 is: the shifts bring those bits of every nibble down to its bit 0, which the
    // mask keeps.
    static_assert(sizeof(rows) % 8 == 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(rows.data());
    std::uint64_t any = 0;
    for (int i = 5 * lo / 8; i <= (5 * hi + 4) / 8; ++i) {
        std::uint64_t w;
        std::memcpy(&w, bytes + 8 * i, 8);
        any |= (w >> 3) & ((w >> 2) | (w >> 1));
    }
    return (any & 0x1111111111111111u) != 0;
}

void BoardMatrix::erase_free_codes(const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (on_board(y, x) && code_at(y, x) >= 10) set(y, x, CellValue::Empty);
    }
}

namespace {

// Solid cells of one byte: bit 0 for the even (high-nibble) column, bit 1 for the odd one.
constexpr std::array<std::uint8_t, 256> PAIR_SOLID = [] {
    std::array<std::uint8_t, 256> t{};
    for (int v = 0; v < 256; ++v)
        t[v] = static_cast<std::uint8_t>((is_solid_code(static_cast<std::uint8_t>(v >> 4)) ? 1 : 0) |
                                         (is_solid_code(static_cast<std::uint8_t>(v & 15)) ? 2 : 0));
    return t;
}();

constexpr int ALL_COLUMNS = (1 << BoardMatrix::COLS) - 1;

// Set bits of a 10-bit mask (no popcount instruction is assumed).
constexpr std::array<std::uint8_t, 1024> POPCOUNT10 = [] {
    std::array<std::uint8_t, 1024> t{};
    for (int v = 0; v < 1024; ++v) t[v] = static_cast<std::uint8_t>(std::popcount(static_cast<unsigned>(v)));
    return t;
}();
inline int popcount10(std::uint16_t v) { return POPCOUNT10[v & 1023]; }

// Row index of each column's highest solid cell (0 when none).
void column_heights(const SolidRows& rows, int (&h)[BoardMatrix::COLS]) {
    for (int& v : h) v = 0;
    int found = 0;
    for (int r = BoardMatrix::ROWS - 1; r >= 0 && found != ALL_COLUMNS; --r) {
        int fresh = rows[r] & ~found;
        found |= fresh;
        while (fresh) {
            const int c = std::countr_zero(static_cast<unsigned>(fresh));
            h[c] = r;
            fresh &= fresh - 1;
        }
    }
}

}  // namespace

bool BoardMatrix::row_empty_of_solid(int y) const { return solid_mask(*this, y) == 0; }

int solid_mask(const BoardMatrix& b, int y) {
    const auto& v = b.rows[y].v_r;
    return PAIR_SOLID[v[0].v] | PAIR_SOLID[v[1].v] << 2 | PAIR_SOLID[v[2].v] << 4 |
           PAIR_SOLID[v[3].v] << 6 | PAIR_SOLID[v[4].v] << 8;
}

int get_height_for_column(const BoardMatrix& b, int column) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (b.solid(r, column)) return r;
    return 0;
}

int get_height(const BoardMatrix& b) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (solid_mask(b, r)) return r;
    return 0;
}

SolidRows solid_rows(const BoardMatrix& b) {
    SolidRows rows;
    for (int r = 0; r < BoardMatrix::ROWS; ++r) rows[r] = static_cast<std::uint16_t>(solid_mask(b, r));
    return rows;
}

int get_height(const SolidRows& rows) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (rows[r]) return r;
    return 0;
}

BoardMetrics board_metrics(const SolidRows& rows) {
    int h[BoardMatrix::COLS];
    column_heights(rows, h);
    BoardMetrics m{0, 0, 0};
    // Columns leave the set of columns still above row r once r reaches their height.
    std::array<std::uint16_t, BoardMatrix::ROWS> reaches_top{};
    std::uint16_t above = 0;
    for (int c = 0; c < BoardMatrix::COLS; ++c) {
        m.height = std::max(m.height, h[c]);
        reaches_top[h[c]] = static_cast<std::uint16_t>(reaches_top[h[c]] | (1u << c));
        if (h[c] > 0) above = static_cast<std::uint16_t>(above | (1u << c));
    }
    for (int c = 0; c + 1 < BoardMatrix::COLS; ++c)
        m.bumpi = std::max(m.bumpi, std::abs(h[c] - h[c + 1]));
    // Holes: free cells in rows below each column's height.
    for (int r = 0; r < m.height; ++r) {
        above = static_cast<std::uint16_t>(above & ~reaches_top[r]);
        m.holes += popcount10(static_cast<std::uint16_t>(above & ~rows[r]));
    }
    return m;
}

BoardMetrics board_metrics(const BoardMatrix& b) { return board_metrics(solid_rows(b)); }

SolidCols solid_cols(const SolidRows& rows) {
    SolidCols cols{};
    for (int y = 0; y < BoardMatrix::ROWS; ++y)
        for (unsigned m = rows[y]; m; m &= m - 1)
            cols[std::countr_zero(m)] |= std::uint64_t{1} << y;
    return cols;
}

BoardMetrics board_metrics(const SolidCols& cols) {
    // With top = one more than the highest solid row, a column's height is top - 1 and its
    // holes are the free cells below that row: top - 1 - (solid cells - 1).
    BoardMetrics m{0, 0, 0};
    int prev = 0;
    for (int c = 0; c < BoardMatrix::COLS; ++c) {
        const int top = column_top(cols[c]);
        const int h = top ? top - 1 : 0;
        if (top) m.holes += top - popcount64(cols[c]);
        m.height = std::max(m.height, h);
        if (c) m.bumpi = std::max(m.bumpi, std::abs(prev - h));
        prev = h;
    }
    return m;
}

int get_height(const SolidCols& cols) {
    int top = 0;
    for (const std::uint64_t col : cols) top = std::max(top, column_top(col));
    return top ? top - 1 : 0;
}

int board_holes(const BoardMatrix& b) { return board_metrics(b).holes; }

int board_bumpi(const BoardMatrix& b) { return board_metrics(b).bumpi; }

}  // namespace game::tet
