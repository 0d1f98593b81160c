#include "tet/board.hpp"

#include <algorithm>
#include <cstdlib>

namespace game::tet {

namespace {

inline Error out_of_bounds(const CurrentPcsInfo& p) {
    return fail(ErrorCode::OutOfBounds, p.pos.x, p.pos.y);
}

// Board cell of a shape cell, in the signed 8-bit arithmetic positions use.
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

Error BoardMatrix::spawn_piece(const CurrentPcsInfo& p) {
    const Shape& s = shape(p.rs, p.tet);
    // Check pass: the first offending cell in visiting order decides the error.
    for (const ShapeCell& c : s.cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!on_board(y, x)) return out_of_bounds(p);
        if (solid(y, x)) return fail(ErrorCode::CellTaken);
    }
    const CellValue v = piece_cell(p.tet);
    for (const ShapeCell& c : s.cells) set(cell_y(p, c), cell_x(p, c), v);
    return ok();
}

Error BoardMatrix::delete_piece(const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!on_board(y, x)) return out_of_bounds(p);
        set(y, x, CellValue::Empty);
    }
    return ok();
}

bool BoardMatrix::fits(const CurrentPcsInfo& p) const {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!on_board(y, x) || solid(y, x)) return false;
    }
    return true;
}

bool BoardMatrix::in_bounds(const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells)
        if (!on_board(cell_y(p, c), cell_x(p, c))) return false;
    return true;
}

bool BoardMatrix::is_drawn(const CurrentPcsInfo& p) const {
    const std::uint8_t want = code(piece_cell(p.tet));
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!on_board(y, x) || code_at(y, x) != want) return false;
    }
    return true;
}

int BoardMatrix::fall_distance(const CurrentPcsInfo& p) const {
    // A piece's cells in one column are contiguous, so only the cells below each column's
    // lowest cell can stop it.
    const Shape& sh = shape(p.rs, p.tet);
    int drop = ROWS;
    for (int k = 0; k < sh.bottom_count; ++k) {
        const ShapeCell c = sh.bottoms[k];
        const int x = p.pos.x + c.j;
        int y = p.pos.y + c.i - 1;
        int room = 0;
        while (y >= 0 && !solid(y, x)) {
            ++room;
            --y;
        }
        drop = std::min(drop, room);
    }
    return drop;
}

bool BoardMatrix::row_full(int y) const {
    for (const CellValuePairByte b : rows[y].v_r)
        if (!is_solid_code(b.code0()) || !is_solid_code(b.code1())) return false;
    return true;
}

bool BoardMatrix::row_empty_of_solid(int y) const {
    for (const CellValuePairByte b : rows[y].v_r)
        if (is_solid_code(b.code0()) || is_solid_code(b.code1())) return false;
    return true;
}

int get_height_for_column(const BoardMatrix& b, int column) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (b.solid(r, column)) return r;
    return 0;
}

int get_height(const BoardMatrix& b) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (!b.row_empty_of_solid(r)) return r;
    return 0;
}

int board_holes(const BoardMatrix& b) {
    int total = 0;
    for (int c = BoardMatrix::COLS - 1; c >= 0; --c) {
        const int h = get_height_for_column(b, c);
        for (int r = 0; r < h; ++r) total += !b.solid(r, c);
    }
    return total;
}

int board_bumpi(const BoardMatrix& b) {
    int m = 0;
    int prev = get_height_for_column(b, 0);
    for (int c = 1; c < BoardMatrix::COLS; ++c) {
        const int h = get_height_for_column(b, c);
        m = std::max(m, std::abs(prev - h));
        prev = h;
    }
    return m;
}

}  // namespace game::tet
