// The game state record, new games, actions, locking and scoring.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "error.hpp"
#include "tet/board.hpp"
#include "tet/piece.hpp"
#include "tet/records.hpp"

namespace game::tet {

// The held piece and whether Hold may be used now.
struct HoldPcsInfo {
    bool can_use = false;
    Tet tet = Tet::I;
    constexpr bool operator==(const HoldPcsInfo&) const = default;
};

// Spawn position (row, column) of a new piece in R0: its lowest cells land on row 19.
constexpr Pos spawn_pos(Tet t) {
    return t == Tet::I ? Pos{17, 3} : t == Tet::O ? Pos{19, 4} : Pos{18, 3};
}

// The whole game: a fixed-size plain value, copied with one block copy. Fields are in
// byte-form order.
//
// States decoded from bytes may break the invariants the engine keeps for its own states.
// The policy, enforced where each field is used:
//  - a falling piece with a cell off the board: every action is refused with the
//    out-of-bounds error for its position; getters measure what the board holds;
//  - next_pcs_idx past the queue: the preview fails with "next_pcs_idx out of range: N",
//    and so does taking a piece from the queue: an action that would lock the piece or
//    take the next one (hard drop, locking soft drop, hold) is refused with that error;
//  - no falling piece while running: moves, drops and hold fail with "no current pcs";
//    Nothing is accepted and draws no ghost;
//  - a full row 39 is emptied once the rows above a cleared row have moved down, and more
//    than four rows cleared by one lock score as four;
//  - garbage_recv far above garbage_applied inserts at most 39 rows (more leave the same
//    board) and counts every row as applied.
// What a hard drop reads of the board, worked out by a caller that knows the board's solid
// cells: how far the falling piece falls, the rows full once it lies there (bit y for row y),
// and whether clearing them leaves the board empty (looked up on the board when not given).
struct LockPlan {
    int drop = 0;
    std::uint64_t full = 0;
    std::optional<bool> perfect_clear;
};

struct GameState {
    std::int32_t score = 0;
    bool is_t_spin = false;
    bool is_t_mini_spin = false;
    bool is_b2b = false;
    std::int8_t combo_counter = -1;
    BoardMatrix main_board{};
    TetAction last_action = TetAction::Nothing;
    std::optional<CurrentPcsInfo> current_pcs;
    std::uint16_t current_id = 0;
    std::optional<HoldPcsInfo> hold_pcs;
    std::optional<GameOverReason> game_over_reason;
    Seed32 seed{};
    Seed32 init_seed{};
    std::int64_t start_time = 0;
    std::uint16_t total_lines = 0;
    std::uint16_t total_garbage_sent = 0;
    std::uint16_t garbage_recv = 0;
    std::uint16_t garbage_applied = 0;
    std::uint16_t total_moves = 0;
    GameReplaySegment last_segment{};
    std::uint16_t last_segment_idx = 0;
    std::array<Tet, 14> next_pcs_bags{};
    std::uint8_t next_pcs_idx = 0;

    bool operator==(const GameState&) const = default;

    // A new game from a seed and a start time (microseconds since the Unix epoch).
    static GameState new_game(const Seed32& seed, std::int64_t start_time);

    // The state after one action at time t, or the reason it was refused. `this` is unchanged.
    Result<GameState> try_action(TetAction action, std::int64_t t) const;
    // try_action of each action on this state: out[i] for actions[i]. The same results, with
    // the accepted actions' seeds computed side by side.
    void try_actions(std::span<const TetAction> actions, std::int64_t t,
                     Result<GameState>* out) const;
    // try_action, replacing this state on success; on error this state is unchanged.
    Error apply_action_if_works(TetAction action, std::int64_t t);
    // Carries out `action` on this state in place, with the running seed, the replay record,
    // the ghost and the move count of an accepted action. On error the state is left
    // half-done: callers work on a copy.
    Error act_in_place(TetAction action, std::int64_t t);
    // Only the action itself, at time 0: the same refusals, board, pieces, score and line
    // counts as act_in_place, but the running seed, replay record, ghost and move count are
    // left as they were. Gives the same results as act_in_place for everything but those only
    // while search_shortcut_ok(): the running seed then decides nothing a chain of actions
    // from this state reads (no garbage waiting for its hole column, a queue in order), and
    // every hard drop locks one piece (the next piece does not take the falling one's id).
    Error act_for_search(TetAction action);
    bool search_shortcut_ok() const {
        return garbage_applied >= garbage_recv && next_pcs_idx <= 7 &&
               !(current_pcs && current_pcs->id == current_id);
    }

    // The next five queued kinds.
    Result<std::array<Tet, 5>> get_next_pcs() const;

    // The falling piece whose ghost put_ghost paints (null when there is none); a piece with
    // cells off the board is an internal failure.
    const CurrentPcsInfo* ghost_piece() const;
    // Paints the ghost of the falling piece.
    void put_ghost();
    // The same with the piece's landing row given (what the board gives for it).
    void put_ghost_at(int landing_row);
    // Locks bookkeeping, then takes the next piece (or `preset`) and spawns it.
    Error put_next_piece(std::int64_t t, std::optional<Tet> preset);
    // The same with the full rows and the perfect clear taken from `plan`.
    Error put_next_piece(std::int64_t t, std::optional<Tet> preset, const LockPlan& plan);
    // Whether a hard drop can take its landing from a plan: the game runs, the falling piece
    // lies on the board and is drawn where it stands, the queue can hand out the next, and
    // the next takes another id (the drop locks only the falling piece).
    bool can_drop_planned() const {
        return !game_over_reason && current_pcs && BoardMatrix::in_bounds(*current_pcs) &&
               queue_can_supply() && current_pcs->id != current_id &&
               main_board.is_drawn(*current_pcs);
    }
    // carry_out(HardDrop, t) on a state whose can_drop_planned() holds and whose board holds no
    // cell of the codes 10 to 15, with the landing taken from `plan`, which must be what the
    // board gives for the falling piece.
    void hard_drop_planned(const LockPlan& plan, std::int64_t t) {
        last_action = TetAction::HardDrop;
        drop_and_lock(plan.drop, t, &plan, false);
    }
    // The hard drop of a drawn falling piece that falls `drop` rows: moved there, locked
    // (from `plan` when given), scored. free_codes: whether the rows it passes may hold cells
    // of the codes 10 to 15, which the one-row drops would leave empty.
    void drop_and_lock(int drop, std::int64_t t, const LockPlan* plan, bool free_codes);
    // Inserts every received garbage row not yet on the board.
    void add_pending_garbage();
    // One row down, or lock when the piece cannot move down.
    Error try_softdrop(std::int64_t t);
    // A quarter turn with wall kicks; sets the spin flags.
    Error try_rotate(bool clockwise);

    // The action's own step: what both act_in_place and act_for_search do.
    Error carry_out(TetAction action, std::int64_t t);
    // What follows an accepted action's own step: the running seed becomes `new_seed`
    // (accept_event of the seed it left), the replay record, the ghost and the move count.
    // GhostWork::Skip leaves the board's ghost cells as they were, for a state that is only
    // acted on further and never shown: no rule reads a ghost cell (they are not solid), and
    // the next record that paints erases every ghost cell on the board first.
    enum class GhostWork : std::uint8_t { Paint, Skip };
    void record_accepted(TetAction action, std::int64_t t, const Seed32& new_seed,
                         GhostWork ghost = GhostWork::Paint);
    // record_accepted for states[i] after actions[i], their seeds computed side by side.
    static void record_all_accepted(std::span<GameState*> states,
                                    std::span<const TetAction> actions, std::int64_t t,
                                    GhostWork ghost = GhostWork::Paint);
    // record_all_accepted for states[i], each a copy of `from` after actions[i], where `from`
    // holds no ghost cell (no action makes one): the ghosts are painted without erasing, and
    // the states that keep from's piece in its column at or above where it lands (Nothing, a
    // soft drop that does not lock) share from's landing row.
    static void record_tried(const GameState& from, std::span<GameState*> states,
                             std::span<const TetAction> actions, std::int64_t t);
    // A copy with every ghost cell of the board erased: the `from` of actions tried side by
    // side, since every record would erase them again.
    GameState without_ghosts() const;

    // The board with the falling piece erased (errors ignored).
    BoardMatrix board_without_falling_piece() const;
    bool is_over() const { return game_over_reason.has_value(); }
    // Whether the queue can hand out its next piece (it always can in the engine's own
    // states; a decoded next_pcs_idx may lie past it even after a refill).
    bool queue_can_supply() const {
        const int i = next_pcs_idx > 6 ? next_pcs_idx - 7 : next_pcs_idx;
        return i < static_cast<int>(next_pcs_bags.size());
    }
};

static_assert(std::is_trivially_copyable_v<GameState>);

}  // namespace game::tet
