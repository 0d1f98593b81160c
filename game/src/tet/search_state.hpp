// A game state reduced to what a chain search reads: which moves are accepted, the solid
// cells of the board and the line count.
#pragma once

#include <array>
#include <cstdint>

#include "error.hpp"
#include "tet/board.hpp"
#include "tet/state.hpp"

namespace game::tet {

// Plays actions on solid-cell masks instead of the packed board. For a state whose
// search_shortcut_ok() holds, every action gives the same acceptance, the same solid cells,
// the same falling piece and hold, the same line count and the same game-over flag as
// GameState::try_action; the running seed, replay record, ghost, score, spin flags and piece
// kinds of cells are not kept.
struct SearchState {
    SolidRows rows{};
    SolidCols cols{};  // the same cells by column
    CurrentPcsInfo piece{};
    bool has_piece = false;
    HoldPcsInfo hold{};
    bool has_hold = false;
    bool over = false;
    std::uint8_t next_pcs_idx = 0;
    // Queue positions from this one on were refilled from a seed the search does not follow;
    // the chains never reach them.
    std::uint8_t unknown_from = 14;
    std::uint16_t total_lines = 0;
    std::array<Tet, 14> next_pcs_bags{};

    static SearchState from(const GameState& s);

    // One action; on error the state is left half-done (callers work on copies).
    Error act(TetAction action);
    // Erases the falling piece from the cells (when it lies on the board).
    void erase_piece();

private:
    Error soft_drop();
    Error rotate(bool clockwise);
    Error put_next_piece(bool has_preset, Tet preset);
    Error fits(const CurrentPcsInfo& p) const;
    // Rows the piece (erased from the board, lying on it) can fall before it lands.
    int fall_distance(const CurrentPcsInfo& p) const;
    void place(const CurrentPcsInfo& p);
    void erase(const CurrentPcsInfo& p);
};

}  // namespace game::tet
