// Rotation states, the quarter turn of a shape grid, and the wall-kick offset tables.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace game::rot {

// Orientation of a piece: R0 is the spawn orientation, R1..R3 are one to three clockwise
// quarter turns from it.
enum class RotState : std::uint8_t { R0, R1, R2, R3 };
inline constexpr int ROT_NB = 4;

constexpr int index(RotState r) { return static_cast<int>(r); }
constexpr RotState rot_from_index(int i) { return static_cast<RotState>(i & 3); }
constexpr RotState turned_right(RotState r) { return rot_from_index(index(r) + 1); }
constexpr RotState turned_left(RotState r) { return rot_from_index(index(r) + 3); }
// Debug text: "R0".."R3".
const char* name(RotState r);

// A shape grid: rows from row 0 (bottom) upward, each row's cells from column 0 rightward.
using ShapeGrid = std::vector<std::vector<bool>>;

// Returns the grid turned by a quarter turn. With R rows and C columns the result has C rows
// and R columns; clockwise: out[k][j] = in[j][C-1-k], otherwise out[k][j] = in[R-1-j][k].
ShapeGrid rotate_shape(ShapeGrid shape, bool clockwise);

// Fixed-size grid used to build the shape table at compile time; same turn as rotate_shape
// on the n x n top-left square.
using Grid4 = std::array<std::array<bool, 4>, 4>;
constexpr Grid4 rotate_grid(const Grid4& in, int n, bool clockwise) {
    Grid4 out{};
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            out[k][j] = clockwise ? in[j][n - 1 - k] : in[n - 1 - j][k];
    return out;
}

// One wall-kick test: added to the piece's position (column, then row; +row is up).
struct Offset {
    std::int8_t dx;
    std::int8_t dy;
    constexpr bool operator==(const Offset&) const = default;
};
using OffsetList = std::array<Offset, 5>;

// The five offsets tried, in order, for the quarter turn `from` -> `to`; `is_i` selects the
// I piece's table. A turn that is not a quarter turn is an internal failure
// ("180 or 0 rot is bad").
const OffsetList& offsets(bool is_i, RotState from, RotState to);

}  // namespace game::rot
