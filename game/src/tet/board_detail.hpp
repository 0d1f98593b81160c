// The board's machinery behind board.hpp: the portable forms of the board functions that have
// vector kernels (board_simd.cpp), which processors without those instructions run and the
// tests compare the kernels against, and the switch between the kernels' two widths.
#pragma once

#include <cstdint>

#include "tet/board.hpp"

namespace game::tet::detail {

// The portable forms: the rules as written, cell by cell or row by row. Each gives what the
// function of the same name without "_portable" gives.
Error spawn_piece_portable(BoardMatrix& b, const CurrentPcsInfo& p);
Error delete_piece_portable(BoardMatrix& b, const CurrentPcsInfo& p);
bool fits_portable(const BoardMatrix& b, const CurrentPcsInfo& p);
bool is_drawn_portable(const BoardMatrix& b, const CurrentPcsInfo& p);
void draw_ghost_portable(BoardMatrix& b, const CurrentPcsInfo& p);
int fall_distance_portable(const BoardMatrix& b, const CurrentPcsInfo& p);
int fall_distance_portable(const BoardMatrix& b, const CurrentPcsInfo& p, bool& free_codes);
void erase_ghosts_portable(BoardMatrix& b);
std::uint64_t full_rows_portable(const BoardMatrix& b);

// The whole-board passes take 32 bytes at a time where the processor has AVX2, else 16. Turns
// the 32-byte passes off (false) or back on where they can be, and returns whether they were
// on: for tests, on one thread while no other uses this module.
bool use_board_avx2(bool on);

}  // namespace game::tet::detail
