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
    // try_action of each action on this state, the accepted actions' seeds computed side by
    // side: *out[i] becomes the state after actions[i] and errors[i] its refusal (*out[i] is
    // then unspecified). The out[i] are distinct states other than this one.
    void try_actions(std::span<const TetAction> actions, std::int64_t t, GameState* const* out,
                     Error* errors) const;
    // try_action, replacing this state on success; on error this state is unchanged.
    Error apply_action_if_works(TetAction action, std::int64_t t);

    // The next five queued kinds.
    Result<std::array<Tet, 5>> get_next_pcs() const;
    // Paints the ghost of the falling piece.
    void put_ghost();
    // The board with the falling piece erased (errors ignored).
    BoardMatrix board_without_falling_piece() const;
    bool is_over() const { return game_over_reason.has_value(); }

    // Whether the state keeps what the engine's own play keeps: a running game has its falling
    // piece drawn on the board, numbered one below current_id; the queue can show its preview;
    // no garbage counts as applied before it was received; no row is full without the falling
    // piece; no cell holds a code of 10 to 15; every action was recorded. An action on such a
    // state gives another (checked after every action in builds with assertions on); decoded
    // states need not be.
    bool state_ok() const;
};

static_assert(std::is_trivially_copyable_v<GameState>);

}  // namespace game::tet
