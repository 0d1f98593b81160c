// The board and seed work of the engine's accept step: after an accepted action the ghost is
// repainted and the running seed advanced, the two together so that the board's passes can run
// between the seed step's rounds. Only GameState's accept step calls it.
#pragma once

#include <cstdint>

#include "tet/board.hpp"
#include "tet/records.hpp"

namespace game::tet::detail {

// erase_ghosts, then, when `piece` is given (a piece on the board), its ghost drawn from its
// landing row (BoardMatrix::draw_ghost at fall_distance rows down); returns
// random::accept_event(seed, event, ts, idx).
Seed32 repaint_ghost_with_seed(BoardMatrix& b, const CurrentPcsInfo* piece, const Seed32& seed,
                               GameReplayEvent event, std::int64_t ts, std::uint32_t idx);

}  // namespace game::tet::detail
