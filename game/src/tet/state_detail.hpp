// The machinery behind GameState's actions, for the engine's own searches, batching and replay
// playback: an action's own step apart from its record, the record of accepted actions with
// their seeds computed side by side, hard drops whose landing a search has already worked out,
// and the conditions under which a search may leave the running seed aside.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error.hpp"
#include "tet/state.hpp"

namespace game::tet::detail {

// What a hard drop reads of the board, worked out by a caller that knows the board's solid
// cells: how far the falling piece falls, the rows full once it lies there (bit y for row y),
// and whether clearing them leaves the board empty (looked up on the board when not given).
struct LockPlan {
    int drop = 0;
    std::uint64_t full = 0;
    std::optional<bool> perfect_clear;
};

// Carries out `action` on `s` in place, with the running seed, the replay record, the ghost and
// the move count of an accepted action. On error the state is left half-done: callers work on
// a copy.
Error act_in_place(GameState& s, TetAction action, std::int64_t t);

// The action's own step alone: the refusals, board, pieces, score and line counts of
// act_in_place, with the running seed, replay record, ghost and move count left as they were.
// On error the state is left half-done.
Error carry_out(GameState& s, TetAction action, std::int64_t t);

// What follows an accepted action's own step: the running seed becomes `new_seed`
// (accept_event of the seed it left), the replay record, the ghost and the move count.
// GhostWork::Skip leaves the board's ghost cells as they were, for a state that is only acted on
// further and never shown: no rule reads a ghost cell (they are not solid), and the next record
// that paints erases every ghost cell on the board first.
enum class GhostWork : std::uint8_t { Paint, Skip };
void record_accepted(GameState& s, TetAction action, std::int64_t t, const Seed32& new_seed,
                     GhostWork ghost = GhostWork::Paint);
// record_accepted for states[i] after actions[i], their seeds computed side by side.
void record_all_accepted(std::span<GameState*> states, std::span<const TetAction> actions,
                         std::int64_t t, GhostWork ghost = GhostWork::Paint);
// record_all_accepted for states[i], each a copy of `from` after actions[i], where `from` holds
// no ghost cell: the ghosts are painted without erasing, and the states that keep from's piece
// in its column at or above where it lands (Nothing, a soft drop that does not lock) share
// from's landing row.
void record_tried(const GameState& from, std::span<GameState*> states,
                  std::span<const TetAction> actions, std::int64_t t);

// Paints the ghost of the falling piece landing on row `landing_row` (what the board gives).
void put_ghost_at(GameState& s, int landing_row);
// Locks bookkeeping (clears, score, combo, garbage), then takes the next piece (or `preset`)
// and spawns it.
Error put_next_piece(GameState& s, std::int64_t t, std::optional<Tet> preset);
// The same with the full rows and the perfect clear taken from `plan`.
Error put_next_piece(GameState& s, std::int64_t t, std::optional<Tet> preset, const LockPlan& plan);

// Whether the queue can hand out its next piece (it always can in the engine's own states; a
// decoded next_pcs_idx may lie past it even after a refill).
inline bool queue_can_supply(const GameState& s) {
    const int i = s.next_pcs_idx > 6 ? s.next_pcs_idx - 7 : s.next_pcs_idx;
    return i < static_cast<int>(s.next_pcs_bags.size());
}

// Whether a search may play chains of actions from `s` without following the running seed:
// the seed then decides nothing such a chain reads (no garbage waiting for its hole column, a
// queue in order), and every hard drop locks one piece (the next piece does not take the
// falling one's id).
inline bool search_shortcut_ok(const GameState& s) {
    return s.garbage_applied >= s.garbage_recv && s.next_pcs_idx <= 7 &&
           !(s.current_pcs && s.current_pcs->id == s.current_id);
}

// Whether a hard drop can take its landing from a plan: the game runs, the falling piece lies
// on the board and is drawn where it stands, the queue can hand out the next, and the next
// takes another id (the drop locks only the falling piece).
inline bool can_drop_planned(const GameState& s) {
    return !s.game_over_reason && s.current_pcs && BoardMatrix::in_bounds(*s.current_pcs) &&
           queue_can_supply(s) && s.current_pcs->id != s.current_id &&
           s.main_board.is_drawn(*s.current_pcs);
}
// carry_out(HardDrop, t) on a state whose can_drop_planned() holds and whose board holds no
// cell of the codes 10 to 15, with the landing taken from `plan`, which must be what the board
// gives for the falling piece.
void hard_drop_planned(GameState& s, const LockPlan& plan, std::int64_t t);

}  // namespace game::tet::detail
