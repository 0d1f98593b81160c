// Rotation state names, the quarter turn of a shape grid and the wall-kick offset tables.
#include "rot.hpp"

#include "error.hpp"

namespace game::rot {

namespace {

// Kick tables, indexed [from][clockwise ? 0 : 1]: (column offset, row offset), +row is up.
constexpr std::array<std::array<OffsetList, 2>, 4> JLSTZO_KICKS{{
    {{/* R0->R1 */ {{{0, 0}, {-1, 0}, {-1, 1}, {0, -2}, {-1, -2}}},
      /* R0->R3 */ {{{0, 0}, {1, 0}, {1, 1}, {0, -2}, {1, -2}}}}},
    {{/* R1->R2 */ {{{0, 0}, {1, 0}, {1, -1}, {0, 2}, {1, 2}}},
      /* R1->R0 */ {{{0, 0}, {1, 0}, {1, -1}, {0, 2}, {1, 2}}}}},
    {{/* R2->R3 */ {{{0, 0}, {1, 0}, {1, 1}, {0, -2}, {1, -2}}},
      /* R2->R1 */ {{{0, 0}, {-1, 0}, {-1, 1}, {0, -2}, {-1, -2}}}}},
    {{/* R3->R0 */ {{{0, 0}, {-1, 0}, {-1, -1}, {0, 2}, {-1, 2}}},
      /* R3->R2 */ {{{0, 0}, {-1, 0}, {-1, -1}, {0, 2}, {-1, 2}}}}},
}};

constexpr std::array<std::array<OffsetList, 2>, 4> I_KICKS{{
    {{/* R0->R1 */ {{{0, 0}, {-2, 0}, {1, 0}, {-2, -1}, {1, 2}}},
      /* R0->R3 */ {{{0, 0}, {-1, 0}, {2, 0}, {-1, 2}, {2, -1}}}}},
    {{/* R1->R2 */ {{{0, 0}, {-1, 0}, {2, 0}, {-1, 2}, {2, -1}}},
      /* R1->R0 */ {{{0, 0}, {2, 0}, {-1, 0}, {2, 1}, {-1, -2}}}}},
    {{/* R2->R3 */ {{{0, 0}, {2, 0}, {-1, 0}, {2, 1}, {-1, -2}}},
      /* R2->R1 */ {{{0, 0}, {1, 0}, {-2, 0}, {1, -2}, {-2, 1}}}}},
    {{/* R3->R0 */ {{{0, 0}, {1, 0}, {-2, 0}, {1, -2}, {-2, 1}}},
      /* R3->R2 */ {{{0, 0}, {-2, 0}, {1, 0}, {-2, -1}, {1, 2}}}}},
}};

}  // namespace

const char* name(RotState r) {
    static constexpr const char* NAMES[ROT_NB] = {"R0", "R1", "R2", "R3"};
    return NAMES[index(r) & 3];
}

ShapeGrid rotate_shape(ShapeGrid shape, bool clockwise) {
    const std::size_t rows = shape.size();
    const std::size_t cols = rows ? shape[0].size() : 0;
    ShapeGrid out(cols, std::vector<bool>(rows, false));
    for (std::size_t k = 0; k < cols; ++k)
        for (std::size_t j = 0; j < rows; ++j)
            out[k][j] = clockwise ? shape[j][cols - 1 - k] : shape[rows - 1 - j][k];
    return out;
}

const OffsetList& offsets(bool is_i, RotState from, RotState to) {
    const auto& table = is_i ? I_KICKS : JLSTZO_KICKS;
    if (to == turned_right(from)) return table[index(from)][0];
    if (to == turned_left(from)) return table[index(from)][1];
    internal_failure("180 or 0 rot is bad");
}

}  // namespace game::rot
