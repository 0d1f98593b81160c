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
    void place(const CurrentPcsInfo& p);
    void erase(const CurrentPcsInfo& p);
};

// The chains of one piece searched on a board that stays as it is until the chain's one
// lock: before it, moves, rotations and holds see only the input's solid cells without the
// falling piece, so a prefix's outcome is its Piece, a few bytes, and the board is built only
// for each chain's final hard drop. For a state that from() accepts, a chain whose only drop
// is its last action gets the same acceptance, line count and solid cells as on SearchState.
struct LockSearch {
    // What the actions before the lock change.
    struct Piece {
        CurrentPcsInfo piece{};
        HoldPcsInfo hold{};
        bool has_hold = false;
        // Queue position of the next kind, counted in the input's queue.
        std::uint8_t next_pcs_idx = 0;
    };

    SolidRows rows{};  // the input's solid cells without the falling piece
    SolidCols cols{};
    std::array<std::int8_t, BoardMatrix::COLS> count{};  // solid cells per column
    std::uint64_t nonempty = 0;                          // bit y: row y has a solid cell
    std::uint16_t total_lines = 0;
    std::array<Tet, 14> next_pcs_bags{};

    // False (leaving `out` unspecified) unless the state runs with a falling piece on the
    // board, its queue needs no refill the search cannot follow (search_shortcut_ok()), and no
    // row is full without the piece (a hold would clear it). `root` gets the input's Piece.
    static bool from(const GameState& s, LockSearch& out, Piece& root);

    // One action other than a drop on `p`; false when it is refused or ends the game (the
    // next piece cannot enter after a hold). A soft drop that would lock is an internal
    // failure: such chains are not searched here.
    bool act(Piece& p, TetAction action) const;
    // The hard drop of a piece on this board (the piece itself not among its cells): the
    // same plan as the board with the piece drawn gives.
    LockPlan plan(const CurrentPcsInfo& piece) const;
    // Hard-drops p's piece: the locked board's solid cells, their board_metrics and the line
    // count after the clears, with the next piece not on the board. False when the next
    // piece cannot enter.
    bool hard_drop(const Piece& p, std::uint16_t& lines, SolidCols& out,
                   BoardMetrics& metrics) const;

    // The solid cells once `piece` (not among this board's cells) has locked as `landing`
    // says and the full rows are cleared.
    SolidCols locked_cols(const CurrentPcsInfo& piece, const LockPlan& landing) const;

private:
    bool fits(const CurrentPcsInfo& p) const;
    bool spawn(Piece& p, Tet kind) const;
    // locked_cols with each column's cell count; returns the rows cleared.
    int lock(const CurrentPcsInfo& piece, const LockPlan& landing, SolidCols& out,
             std::array<std::int8_t, BoardMatrix::COLS>& count_out) const;
};

// How many rows a piece (on the board, not among `cols`) falls on those solid cells.
int fall_distance(const SolidCols& cols, const CurrentPcsInfo& piece);

}  // namespace game::tet
