// Piece kinds and the shape table.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "rot.hpp"

namespace game::tet {

using rot::RotState;

// The seven kinds; the index is the byte-form value and (plus one) the board cell code.
enum class Tet : std::uint8_t { I, L, J, T, S, Z, O };
inline constexpr int TET_NB = 7;

constexpr int index(Tet t) { return static_cast<int>(t); }
constexpr Tet tet_from_index(int i) { return static_cast<Tet>(i); }
// Debug and Python text: one letter of "ILJTSZO".
constexpr char letter(Tet t) { return "ILJTSZO"[index(t)]; }

// One covered cell of a shape: grid row i (0 = bottom) and column j.
struct ShapeCell {
    std::int8_t i;
    std::int8_t j;
};

// The grid rows min_i..max_i and columns min_j..max_j a shape covers.
struct ShapeExtent {
    std::int8_t min_i, max_i, min_j, max_j;
};

// A kind in one rotation state: its n x n bounding grid and the four covered cells in
// visiting order (grid rows from 0 upward, within a row columns from 0 rightward), with the
// facts derived from them that collisions, drops and line clears read.
struct Shape : ShapeExtent {
    std::int8_t size;
    rot::Grid4 grid;
    std::array<ShapeCell, 4> cells;
    // The lowest covered cell of each covered column (a piece's cells in one column are
    // always contiguous), used to find how far the piece can fall.
    std::array<ShapeCell, 4> bottoms;
    std::int8_t bottom_count;
    // The covered cells as masks: bit j of row_bits[i] and bit i of col_bits[j] for cell
    // (i, j); col_count[j] covered cells in grid column j.
    std::array<std::uint16_t, 4> row_bits;
    std::array<std::uint8_t, 4> col_bits;
    std::array<std::uint8_t, 4> col_count;
};

namespace detail {

// The R0 grids, rows from row 0 (bottom) upward.
constexpr rot::Grid4 base_grid(Tet t) {
    switch (t) {
        case Tet::I: return {{{0, 0, 0, 0}, {0, 0, 0, 0}, {1, 1, 1, 1}, {0, 0, 0, 0}}};
        case Tet::L: return {{{0, 0, 0}, {1, 1, 1}, {0, 0, 1}, {}}};
        case Tet::J: return {{{0, 0, 0}, {1, 1, 1}, {1, 0, 0}, {}}};
        case Tet::T: return {{{0, 0, 0}, {1, 1, 1}, {0, 1, 0}, {}}};
        case Tet::S: return {{{0, 0, 0}, {1, 1, 0}, {0, 1, 1}, {}}};
        case Tet::Z: return {{{0, 0, 0}, {0, 1, 1}, {1, 1, 0}, {}}};
        case Tet::O: return {{{1, 1}, {1, 1}, {}, {}}};
    }
    return {};
}

constexpr std::int8_t grid_size(Tet t) { return t == Tet::I ? 4 : t == Tet::O ? 2 : 3; }

// Each kind's R0 grid turned clockwise once per step of the rotation state.
constexpr std::array<std::array<Shape, TET_NB>, rot::ROT_NB> build_shapes() {
    std::array<std::array<Shape, TET_NB>, rot::ROT_NB> table{};
    for (int t = 0; t < TET_NB; ++t) {
        const Tet kind = tet_from_index(t);
        const std::int8_t n = grid_size(kind);
        for (int r = 0; r < rot::ROT_NB; ++r) {
            rot::Grid4 g = base_grid(kind);
            for (int k = 0; k < r; ++k) g = rot::rotate_grid(g, n, true);
            Shape s{{127, -128, 127, -128}, n, g, {}, {}, 0, {}, {}, {}};
            int c = 0;
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j)
                    if (g[i][j] && c < 4) {
                        const auto ci = static_cast<std::int8_t>(i);
                        const auto cj = static_cast<std::int8_t>(j);
                        s.cells[c++] = ShapeCell{ci, cj};
                        s.min_i = std::min(s.min_i, ci);
                        s.max_i = std::max(s.max_i, ci);
                        s.min_j = std::min(s.min_j, cj);
                        s.max_j = std::max(s.max_j, cj);
                        s.row_bits[i] = static_cast<std::uint16_t>(s.row_bits[i] | 1u << j);
                        s.col_bits[j] = static_cast<std::uint8_t>(s.col_bits[j] | 1u << i);
                        ++s.col_count[j];
                    }
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i)
                    if (g[i][j]) {
                        s.bottoms[s.bottom_count++] = ShapeCell{static_cast<std::int8_t>(i),
                                                                static_cast<std::int8_t>(j)};
                        break;
                    }
            table[r][t] = s;
        }
    }
    return table;
}

constexpr bool every_shape_has_four_cells() {
    for (const auto& row : build_shapes())
        for (const Shape& s : row) {
            int n = 0;
            for (const auto& g : s.grid)
                for (bool b : g) n += b;
            if (n != 4) return false;
        }
    return true;
}

// Within every column a shape covers, its cells are contiguous.
constexpr bool columns_are_contiguous() {
    for (const auto& row : build_shapes())
        for (const Shape& s : row)
            for (int j = 0; j < s.size; ++j) {
                int runs = 0;
                for (int i = 0; i < s.size; ++i)
                    runs += s.grid[i][j] && (i == 0 || !s.grid[i - 1][j]);
                if (runs > 1) return false;
            }
    return true;
}

}  // namespace detail

// The shape table, indexed [rotation state][kind].
inline constexpr std::array<std::array<Shape, TET_NB>, rot::ROT_NB> ALL_SHAPES =
    detail::build_shapes();
static_assert(detail::every_shape_has_four_cells());
static_assert(detail::columns_are_contiguous());

constexpr const Shape& shape(RotState rs, Tet t) { return ALL_SHAPES[rot::index(rs)][index(t)]; }

}  // namespace game::tet
