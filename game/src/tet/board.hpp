// Cell values, the packed 40 x 10 board, drawing and erasing pieces, the ghost, and board
// metrics. The portable forms and the kernel switch are in board_detail.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "error.hpp"
#include "tet/piece.hpp"
#include "tet/records.hpp"

namespace game::tet {

// A cell's value, stored as its 4-bit code: 0 Empty, 1..7 a piece of kind code-1,
// 8 Garbage, 9 Ghost. Codes 10..15 never appear here: they decode to Empty.
enum class CellValue : std::uint8_t { Empty = 0, Garbage = 8, Ghost = 9 };

constexpr CellValue piece_cell(Tet t) { return static_cast<CellValue>(index(t) + 1); }
constexpr std::uint8_t code(CellValue v) { return static_cast<std::uint8_t>(v); }
constexpr CellValue decode_cell(std::uint8_t nibble) {
    return nibble <= 9 ? static_cast<CellValue>(nibble) : CellValue::Empty;
}
constexpr bool is_piece(CellValue v) { return code(v) >= 1 && code(v) <= 7; }
constexpr Tet piece_kind(CellValue v) { return tet_from_index(code(v) - 1); }
// Solid cells (a piece or garbage) block pieces and are what the metrics measure.
constexpr bool is_solid_code(std::uint8_t nibble) { return nibble >= 1 && nibble <= 8; }
constexpr bool is_solid(CellValue v) { return is_solid_code(code(v)); }

// Two cells in one byte.
//   bits 7..4  val0: the even column
//   bits 3..0  val1: the odd column
struct CellValuePairByte {
    std::uint8_t v = 0;

    static constexpr int HIGH_SHIFT = 4;
    static constexpr std::uint8_t LOW_MASK = 0x0F;

    constexpr std::uint8_t code0() const { return v >> HIGH_SHIFT; }
    constexpr std::uint8_t code1() const { return v & LOW_MASK; }
    constexpr CellValue val0() const { return decode_cell(code0()); }
    constexpr CellValue val1() const { return decode_cell(code1()); }
    constexpr CellValuePairByte with_val0(CellValue c) const {
        return {static_cast<std::uint8_t>((code(c) << HIGH_SHIFT) | (v & LOW_MASK))};
    }
    constexpr CellValuePairByte with_val1(CellValue c) const {
        return {static_cast<std::uint8_t>((v & ~LOW_MASK & 0xFF) | code(c))};
    }
    constexpr bool operator==(const CellValuePairByte&) const = default;
};

// One row of ten cells: columns 2k and 2k+1 in byte k.
struct CellValueRow10 {
    std::array<CellValuePairByte, 5> v_r{};
    constexpr bool operator==(const CellValueRow10&) const = default;
};

// A position on the board: row y (0 = bottom), column x (0 = left).
struct Pos {
    std::int8_t y = 0;
    std::int8_t x = 0;
    constexpr bool operator==(const Pos&) const = default;
};

// The falling piece: where its grid's cell (0, 0) lies, its kind, rotation state and serial.
struct CurrentPcsInfo {
    Pos pos;
    Tet tet = Tet::I;
    RotState rs = RotState::R0;
    std::uint16_t id = 0;
    constexpr bool operator==(const CurrentPcsInfo&) const = default;
};

// The board: 40 rows of 10 cells, row 0 at the bottom; cell (y, x) lives in byte 5*y + x/2.
struct BoardMatrix {
    static constexpr int ROWS = 40;
    static constexpr int COLS = 10;

    std::array<CellValueRow10, ROWS> rows{};

    constexpr bool operator==(const BoardMatrix&) const = default;

    // Cell access for 0 <= y < 40, 0 <= x < 10.
    constexpr std::uint8_t code_at(int y, int x) const {
        const CellValuePairByte b = rows[y].v_r[x >> 1];
        return (x & 1) ? b.code1() : b.code0();
    }
    constexpr CellValue get(int y, int x) const { return decode_cell(code_at(y, x)); }
    constexpr bool solid(int y, int x) const { return is_solid_code(code_at(y, x)); }
    constexpr void set(int y, int x, CellValue c) {
        CellValuePairByte& b = rows[y].v_r[x >> 1];
        b = (x & 1) ? b.with_val1(c) : b.with_val0(c);
    }
    static constexpr bool on_board(int y, int x) {
        return y >= 0 && y < ROWS && x >= 0 && x < COLS;
    }

    // The 40 rows of 10 decoded cells, row 0 first.
    std::vector<std::vector<CellValue>> cell_rows() const;

    // Draws the piece; on error ("out of game bounds", "cell position already taken") the
    // board is unchanged.
    Error spawn_piece(const CurrentPcsInfo& p);
    // Empties the piece's cells whatever they hold; stops at the first off-board cell.
    Error delete_piece(const CurrentPcsInfo& p);
    // True when the piece could be drawn: every cell on the board and not solid.
    bool fits(const CurrentPcsInfo& p) const;
    // True when every cell of the piece lies on the board.
    static bool in_bounds(const CurrentPcsInfo& p) {
        return in_bounds(p.pos, shape(p.rs, p.tet));
    }
    // The same for a piece at `pos` whose grid cells cover the extent `e`.
    static constexpr bool in_bounds(Pos pos, const ShapeExtent& e) {
        return pos.y + e.min_i >= 0 && pos.y + e.max_i < ROWS && pos.x + e.min_j >= 0 &&
               pos.x + e.max_j < COLS;
    }
    // True when every cell of the piece holds the piece's own kind.
    bool is_drawn(const CurrentPcsInfo& p) const;
    // Sets the piece's cells to Ghost, in visiting order, up to the first cell that is off the
    // board or solid.
    void draw_ghost(const CurrentPcsInfo& p);
    // How many rows the piece (on the board, drawn or not) can fall before a solid cell or the
    // floor stops it; the piece's own cells never block it.
    int fall_distance(const CurrentPcsInfo& p) const;
    // The same, and in free_codes whether the rows up to the piece's top row (and perhaps a
    // few above) hold a cell of the codes 10 to 15.
    int fall_distance(const CurrentPcsInfo& p, bool& free_codes) const;

    bool row_empty_of_solid(int y) const;

    // Whether a cell of rows lo..hi (0 <= lo <= hi < ROWS) holds one of the codes 10 to 15,
    // which read as empty; cells of the rows next to them may count too.
    bool may_hold_free_codes(int lo, int hi) const;
    // Empties every cell of the piece on the board that holds one of the codes 10 to 15.
    void erase_free_codes(const CurrentPcsInfo& p);
};

static_assert(sizeof(BoardMatrix) == 200);
static_assert(std::is_trivially_copyable_v<BoardMatrix>);

// Sets every ghost cell of the board to empty.
void erase_ghosts(BoardMatrix& b);

// Whether a cell holds one of the codes 10 to 15, which read as empty (only a decoded board
// has them). A ghost painted over such a cell turns it into a ghost, which the next action
// erases, and a piece moved over one leaves it empty.
inline bool has_free_codes(const BoardMatrix& b) {
    return b.may_hold_free_codes(0, BoardMatrix::ROWS - 1);
}

// Metrics: all look only at solid cells.
// The three whole-board metrics at once, from one set of column heights.
struct BoardMetrics {
    int height;
    int holes;
    int bumpi;
};
BoardMetrics board_metrics(const BoardMatrix& b);
// Solid cells of row y as a 10-bit mask, bit x for column x.
int solid_mask(const BoardMatrix& b, int y);
// The full rows (every cell solid) as a 40-bit mask, bit y for row y.
std::uint64_t full_rows(const BoardMatrix& b);

// The board reduced to its solid cells: one 10-bit mask per row, row 0 first. Everything the
// metrics, collisions and line clears look at.
using SolidRows = std::array<std::uint16_t, BoardMatrix::ROWS>;
inline constexpr std::uint16_t FULL_ROW = (1u << BoardMatrix::COLS) - 1;
SolidRows solid_rows(const BoardMatrix& b);
BoardMetrics board_metrics(const SolidRows& rows);
int get_height(const SolidRows& rows);

// The same cells by column: bit y of cols[x] is cell (y, x).
using SolidCols = std::array<std::uint64_t, BoardMatrix::COLS>;
SolidCols solid_cols(const SolidRows& rows);
BoardMetrics board_metrics(const SolidCols& cols);
int get_height(const SolidCols& cols);

// Set bits of a 64-bit word (no popcount instruction is assumed).
constexpr int popcount64(std::uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555ull);
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((v * 0x0101010101010101ull) >> 56);
}
// One more than the row of the column's highest solid cell; 0 for an empty column.
constexpr int column_top(std::uint64_t col) { return col ? 64 - std::countl_zero(col) : 0; }
// Row index of the column's highest solid cell, 0 when there is none.
int get_height_for_column(const BoardMatrix& b, int column);
// Row index of the highest row holding a solid cell, 0 for an empty board.
int get_height(const BoardMatrix& b);
// Free cells below each column's height, summed over the columns.
int board_holes(const BoardMatrix& b);
// Largest height difference between neighbouring columns.
int board_bumpi(const BoardMatrix& b);

}  // namespace game::tet
