// The game state: new games, the actions, locking, line clears, scoring and garbage, and the
// record every accepted action leaves.
#include "tet/state.hpp"

#include <algorithm>
#include <cassert>
#include <bit>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>

#include "log.hpp"
#include "random.hpp"
#include "tet/accept_step.hpp"
#include "tet/state_detail.hpp"
#include "tet/turn.hpp"

namespace game::tet {

namespace {

// Points of a lock by rows cleared (0 to 4; more than four score as four).
constexpr std::array<std::int32_t, 5> LINE_POINTS = {0, 40, 80, 160, 320};
constexpr std::array<std::int32_t, 5> PERFECT_CLEAR_POINTS = {0, 200, 400, 800, 1600};
constexpr std::array<std::int32_t, 5> SPIN_BOTH_POINTS = {0, 1666, 3666, 5666, 0};
constexpr std::array<std::int32_t, 5> SPIN_POINTS = {0, 1000, 2000, 3000, 0};
constexpr std::array<std::int32_t, 5> MINI_SPIN_POINTS = {0, 666, 1666, 2666, 0};

// Garbage lines a line-clearing lock sends, by the combo counter before the lock.
constexpr std::uint16_t combo_garbage(std::int8_t c) {
    if (c >= 0 && c <= 1) return 1;
    if (c >= 2 && c <= 3) return 2;
    if (c >= 4 && c <= 5) return 3;
    if (c >= 6 && c <= 126) return 4;
    return 0;
}

// Points a hard drop adds on top of its soft-drop steps: 10 in all.
constexpr std::int32_t HARD_DROP_POINTS = 10;
constexpr std::int32_t SOFT_DROP_POINTS = 2;

// Rows of garbage beyond which further insertions leave the same board (row 39 is kept).
constexpr int GARBAGE_ROWS_THAT_MATTER = BoardMatrix::ROWS - 1;

inline void add_wrapping(std::int32_t& score, std::int64_t delta) {
    score = static_cast<std::int32_t>(static_cast<std::uint32_t>(score) +
                                      static_cast<std::uint32_t>(delta));
}

inline std::int8_t i8(int v) { return static_cast<std::int8_t>(v); }

std::string debug_option(std::optional<Tet> t) {
    if (!t) return "None";
    return std::string("Some(") + letter(*t) + ")";
}

void log_failed_erase(const Error& e) {
    log::write(log::Level::Warn,
               [&] { return "ccannot delete picei from main board plz: " + e.message(); });
}

}  // namespace

namespace detail {
void drop_and_lock(GameState& s, int drop, std::int64_t t, const LockPlan* plan, bool free_codes);
}  // namespace detail

namespace {

using detail::LockPlan;

// The falling piece whose ghost put_ghost paints (null when there is none); a piece with cells
// off the board is an internal failure.
const CurrentPcsInfo* ghost_piece(const GameState& s) {
    if (!s.current_pcs) return nullptr;
    if (!BoardMatrix::in_bounds(*s.current_pcs)) internal_failure("cannot delete pice in put_ghost");
    return &*s.current_pcs;
}

// Inserts every received garbage row not yet on the board.
void add_pending_garbage(GameState& s) {
    if (s.garbage_applied >= s.garbage_recv) return;
    const int hole = static_cast<std::uint8_t>(random::SeededStream::first_word(s.seed)) %
                     BoardMatrix::COLS;

    CellValueRow10 garbage{};
    for (int x = 0; x < BoardMatrix::COLS; ++x) {
        CellValuePairByte& b = garbage.v_r[x >> 1];
        const CellValue v = x == hole ? CellValue::Empty : CellValue::Garbage;
        b = (x & 1) ? b.with_val1(v) : b.with_val0(v);
    }
    const int pending = s.garbage_recv - s.garbage_applied;
    const int rows = std::min(pending, GARBAGE_ROWS_THAT_MATTER);
    // Rows 0..38-rows move up by `rows`; row 39 is never touched.
    auto& b = s.main_board.rows;
    for (int k = BoardMatrix::ROWS - 2; k >= rows; --k) b[k] = b[k - rows];
    for (int k = 0; k < rows; ++k) b[k] = garbage;
    s.garbage_applied = s.garbage_recv;
}

// One row down, or lock when the piece cannot move down.
Error try_softdrop(GameState& s, std::int64_t t) {
    if (!s.current_pcs) return fail(ErrorCode::NoCurrentPcs);
    const CurrentPcsInfo piece = *s.current_pcs;
    if (Error e = s.main_board.delete_piece(piece); e.failed()) log_failed_erase(e);

    CurrentPcsInfo lower = piece;
    lower.pos.y = i8(piece.pos.y - 1);
    if (s.main_board.spawn_piece(lower).ok()) {
        s.current_pcs = lower;
        add_wrapping(s.score, SOFT_DROP_POINTS);
        s.is_t_spin = false;
        s.is_t_mini_spin = false;
        return ok();
    }
    // The piece locks where it is.
    if (s.main_board.spawn_piece(piece).failed()) internal_failure("cannot redraw the locked piece");
    s.current_pcs.reset();
    return detail::put_next_piece(s, t, std::nullopt);
}

// A quarter turn with wall kicks; sets the spin flags.
Error try_rotate(GameState& s, bool clockwise) {
    if (!s.current_pcs) return fail(ErrorCode::NoCurrentPcs);
    CurrentPcsInfo piece = *s.current_pcs;
    BoardMatrix& board = s.main_board;
    if (Error e = board.delete_piece(piece); e.failed()) log_failed_erase(e);

    // Each test draws the turned piece where it fits; the first that does ends the turn.
    rot::Offset kick;
    const auto draw = [&](const CurrentPcsInfo& p) { return board.spawn_piece(p).ok(); };
    if (!turn_with_kicks(piece, clockwise, draw, kick)) return fail(ErrorCode::AllOffsetsBlocked);
    s.current_pcs = piece;
    const SpinFlags spin =
        spin_after_turn(piece, kick, [&](int y, int x) { return board.solid(y, x); });
    s.is_t_spin = spin.t_spin;
    s.is_t_mini_spin = spin.t_mini_spin;
    return ok();
}

}  // namespace

GameState GameState::new_game(const Seed32& seed, std::int64_t start_time) {
    const random::ShuffleResult first = random::shuffle_tets(seed, start_time);
    const random::ShuffleResult second = random::shuffle_tets(first.seed, start_time);

    GameState s;
    s.seed = second.seed;
    s.init_seed = seed;
    s.start_time = start_time;
    s.last_segment = GameSeed{seed, start_time};
    std::copy(first.bag.begin(), first.bag.end(), s.next_pcs_bags.begin());
    std::copy(second.bag.begin(), second.bag.end(), s.next_pcs_bags.begin() + 7);
    (void)detail::put_next_piece(s, start_time, std::nullopt);  // cannot fail on the empty board
    s.put_ghost();
    return s;
}

Result<std::array<Tet, 5>> GameState::get_next_pcs() const {
    Result<std::array<Tet, 5>> r;
    if (next_pcs_idx > next_pcs_bags.size() - 5) {
        r.error = fail(ErrorCode::NextPcsOutOfRange, next_pcs_idx);
        return r;
    }
    std::copy_n(next_pcs_bags.begin() + next_pcs_idx, 5, r.value.begin());
    return r;
}

BoardMatrix GameState::board_without_falling_piece() const {
    BoardMatrix b = main_board;
    if (current_pcs) (void)b.delete_piece(*current_pcs);
    return b;
}

void GameState::put_ghost() {
    const CurrentPcsInfo* piece = ghost_piece(*this);
    if (!piece) return;
    // Step 1. The landing row.
    detail::put_ghost_at(*this, piece->pos.y - main_board.fall_distance(*piece));
}

bool GameState::state_ok() const {
    if (!is_over()) {
        if (!current_pcs || !BoardMatrix::in_bounds(*current_pcs) ||
            !main_board.is_drawn(*current_pcs))
            return false;
    }
    if (current_pcs && static_cast<std::uint16_t>(current_pcs->id + 1) != current_id) return false;
    return next_pcs_idx >= 1 && next_pcs_idx <= 7 && garbage_applied <= garbage_recv &&
           full_rows(board_without_falling_piece()) == 0 && !has_free_codes(main_board) &&
           total_moves == last_segment_idx;
}

namespace detail {

void put_ghost_at(GameState& s, int r) {
    if (!s.current_pcs) return;
    // Step 2. Paint until the first cell that is off the board or solid (the piece itself).
    CurrentPcsInfo ghost = *s.current_pcs;
    ghost.pos.y = i8(r);
    s.main_board.draw_ghost(ghost);
}

Error put_next_piece(GameState& s, std::int64_t t, std::optional<Tet> preset) {
    return put_next_piece(s, t, preset, LockPlan{0, full_rows(s.main_board), std::nullopt});
}

Error put_next_piece(GameState& s, std::int64_t t, std::optional<Tet> preset, const LockPlan& plan) {
    if (s.current_pcs) {
        log::write(log::Level::Warn,
                   [] { return std::string("cannont put next pcs because we already have one"); });
        return fail(ErrorCode::AlreadyHaveNextPcs);
    }
    if (s.game_over_reason) {
        log::write(log::Level::Warn,
                   [] { return std::string("game over but you called put_next_cs"); });
        return fail(ErrorCode::GameAlreadyOver);
    }

    // Step 1. Clear full rows: the other rows move down in order; the top rows left free take
    // the content of row 39 (empty in play), or become empty when row 39 itself was full.
    auto& rows = s.main_board.rows;
    const std::uint64_t full = plan.full;
    const int cleared = full ? popcount64(full) : 0;
    if (full) {
        const CellValueRow10 top = (full >> (BoardMatrix::ROWS - 1) & 1)
                                       ? CellValueRow10{}
                                       : rows[BoardMatrix::ROWS - 1];
        // Rows below the lowest full one stay; each run of rows between full ones moves down
        // in one piece.
        static_assert(sizeof(CellValueRow10) == 5 && std::is_trivially_copyable_v<CellValueRow10>);
        int w = std::countr_zero(full);
        for (int y = w; y < BoardMatrix::ROWS;) {
            y += std::countr_one(full >> y);
            if (y >= BoardMatrix::ROWS) break;
            const int end = std::min(BoardMatrix::ROWS, y + std::countr_zero(full >> y));
            std::memmove(&rows[w], &rows[y], sizeof(CellValueRow10) * static_cast<std::size_t>(end - y));
            w += end - y;
            y = end;
        }
        for (int y = w; y < BoardMatrix::ROWS; ++y) rows[y] = top;
    }

    // Step 2. Score the lock.
    const int l = std::min(cleared, 4);
    // An empty board adds points only with a clear, so without one (a lock that clears
    // nothing, or a hold) the board is not looked at.
    bool perfect_clear = l > 0;
    if (perfect_clear && plan.perfect_clear) perfect_clear = *plan.perfect_clear;
    else
        for (int y = 0; y < BoardMatrix::ROWS && perfect_clear; ++y)
            perfect_clear = s.main_board.row_empty_of_solid(y);
    std::int64_t points = LINE_POINTS[l];
    if (perfect_clear) points += PERFECT_CLEAR_POINTS[l];
    if (s.is_t_spin && s.is_t_mini_spin) points += SPIN_BOTH_POINTS[l];
    else if (s.is_t_spin) points += SPIN_POINTS[l];
    else if (s.is_t_mini_spin) points += MINI_SPIN_POINTS[l];
    add_wrapping(s.score, points);
    s.is_b2b = s.is_t_spin || l == 4;
    s.is_t_spin = false;
    s.is_t_mini_spin = false;

    // Step 3. Combo and totals.
    if (cleared > 0) {
        const std::int8_t c = s.combo_counter;
        s.combo_counter = static_cast<std::int8_t>(static_cast<std::uint8_t>(c) + 1);
        if (c >= 0 && c <= 126) add_wrapping(s.score, 50 * (c + 1));
        s.total_lines = static_cast<std::uint16_t>(s.total_lines + cleared);
        s.total_garbage_sent = static_cast<std::uint16_t>(s.total_garbage_sent + combo_garbage(c));
    } else {
        s.combo_counter = -1;
    }

    // Step 4. Received garbage.
    add_pending_garbage(s);

    // Step 5. The new kind: the preset one, or the next queued one (refilling a bag first when
    // the queue's first bag is used up).
    log::write(log::Level::Info,
               [&] { return "XXXXX  caller next pcs: " + debug_option(preset); });
    Tet kind;
    if (preset) {
        kind = *preset;
    } else {
        log::write(log::Level::Info, [&] {
            return "XXXX refill next pcs: " + std::to_string(s.next_pcs_idx);
        });
        if (s.next_pcs_idx > 6) {
            std::copy_n(s.next_pcs_bags.begin() + 7, 7, s.next_pcs_bags.begin());
            s.next_pcs_idx = static_cast<std::uint8_t>(s.next_pcs_idx - 7);
            const random::ShuffleResult bag = random::shuffle_tets(s.seed, t);
            std::copy(bag.bag.begin(), bag.bag.end(), s.next_pcs_bags.begin() + 7);
            s.seed = bag.seed;
        }
        if (s.next_pcs_idx >= s.next_pcs_bags.size())
            return fail(ErrorCode::NextPcsOutOfRange, s.next_pcs_idx);
        kind = s.next_pcs_bags[s.next_pcs_idx];
        log::write(log::Level::Info, [] { return std::string("XXXX pop next pcs += 1"); });
        ++s.next_pcs_idx;
    }

    // Step 6. Spawn it, or end the game when its cells are taken.
    s.current_pcs = CurrentPcsInfo{spawn_pos(kind), kind, RotState::R0, s.current_id};
    ++s.current_id;
    if (s.main_board.spawn_piece(*s.current_pcs).failed()) {
        log::write(log::Level::Info, [] { return std::string("tet game over"); });
        s.game_over_reason = GameOverReason::Knockout;
        s.last_segment = GameOverReason::Knockout;
        return ok();
    }
    if (s.hold_pcs) s.hold_pcs->can_use = true;
    return ok();
}

Error act_in_place(GameState& s, TetAction action, std::int64_t t) {
    if (Error e = carry_out(s, action, t); e.failed()) return e;
    // The ghost is repainted as the seed step runs; the record then leaves it be.
    const CurrentPcsInfo* piece = s.game_over_reason ? nullptr : ghost_piece(s);
    const Seed32 next = repaint_ghost_with_seed(s.main_board, piece, s.seed,
                                                GameReplayEvent{action}, t, s.last_segment_idx);
    record_accepted(s, action, t, next, GhostWork::Skip);
    return ok();
}

void record_accepted(GameState& s, TetAction action, std::int64_t t, const Seed32& new_seed,
                     GhostWork ghost) {
    // The running seed and the replay record, written field by field where it stays.
    const std::uint16_t i = s.last_segment_idx;
    s.seed = new_seed;
    auto* slice = std::get_if<GameReplaySlice>(&s.last_segment);
    if (!slice) slice = &s.last_segment.emplace<GameReplaySlice>();
    slice->event_timestamp = t;
    slice->new_seed = new_seed;
    slice->new_garbage_recv = s.garbage_recv;
    slice->new_garbage_applied = s.garbage_applied;
    slice->idx = i;
    slice->event = GameReplayEvent{action};
    s.last_segment_idx = static_cast<std::uint16_t>(i + 1);

    // Ghost and move count.
    if (ghost == GhostWork::Paint) {
        erase_ghosts(s.main_board);
        if (!s.game_over_reason) s.put_ghost();
    }
    ++s.total_moves;
}

void record_all_accepted(std::span<GameState*> states, std::span<const TetAction> actions,
                         std::int64_t t, GhostWork ghost) {
    constexpr std::size_t BATCH = 16;
    for (std::size_t start = 0; start < states.size(); start += BATCH) {
        const std::size_t n = std::min(BATCH, states.size() - start);
        random::AcceptEventInput in[BATCH];
        Seed32 seeds[BATCH];
        for (std::size_t k = 0; k < n; ++k) {
            const GameState& s = *states[start + k];
            in[k] = {&s.seed, GameReplayEvent{actions[start + k]}, t, s.last_segment_idx};
        }
        random::accept_events({in, n}, seeds);
        for (std::size_t k = 0; k < n; ++k)
            record_accepted(*states[start + k], actions[start + k], t, seeds[k], ghost);
    }
}

void record_tried(const GameState& from, std::span<GameState*> states,
                  std::span<const TetAction> actions, std::int64_t t) {
    record_all_accepted(states, actions, t, GhostWork::Skip);
    // A soft drop that locks takes the next queued kind, so the queue position tells it from
    // one that only lowers the piece.
    std::optional<int> landing;  // from's, looked up when first needed
    for (std::size_t k = 0; k < states.size(); ++k) {
        GameState& s = *states[k];
        if (s.game_over_reason || !s.current_pcs) continue;
        const bool same_column =
            from.current_pcs && (actions[k] == TetAction::Nothing ||
                                 (actions[k] == TetAction::SoftDrop &&
                                  s.next_pcs_idx == from.next_pcs_idx));
        if (!same_column) {
            s.put_ghost();
            continue;
        }
        if (!landing) {
            const CurrentPcsInfo& p = *from.current_pcs;
            landing = p.pos.y - from.main_board.fall_distance(p);
        }
        put_ghost_at(s, *landing);
    }
}

Error carry_out(GameState& s, TetAction action, std::int64_t t) {
    if (s.game_over_reason) return fail(ErrorCode::GameOver);
    // A falling piece with cells off the board (only in decoded states) is never acted on.
    if (s.current_pcs && !BoardMatrix::in_bounds(*s.current_pcs))
        return fail(ErrorCode::OutOfBounds, s.current_pcs->pos.x, s.current_pcs->pos.y);
    s.last_action = action;
    switch (action) {
        case TetAction::Nothing: break;
        case TetAction::SoftDrop:
            if (Error e = try_softdrop(s, t); e.failed()) return e;
            break;
        case TetAction::MoveLeft:
        case TetAction::MoveRight: {
            if (!s.current_pcs) return fail(ErrorCode::NoCurrentPcs);
            const CurrentPcsInfo piece = *s.current_pcs;
            if (Error e = s.main_board.delete_piece(piece); e.failed()) log_failed_erase(e);
            CurrentPcsInfo moved = piece;
            moved.pos.x = i8(piece.pos.x + (action == TetAction::MoveLeft ? -1 : 1));
            if (Error e = s.main_board.spawn_piece(moved); e.failed()) return e;
            s.current_pcs = moved;
            break;
        }
        case TetAction::RotateLeft:
        case TetAction::RotateRight:
            if (Error e = try_rotate(s, action == TetAction::RotateRight); e.failed()) return e;
            break;
        case TetAction::Hold: {
            if (!s.current_pcs) return fail(ErrorCode::NoCurrentPcs);
            if (s.hold_pcs && !s.hold_pcs->can_use) return fail(ErrorCode::HoldNotUsable);
            std::optional<Tet> held;
            if (s.hold_pcs) held = s.hold_pcs->tet;
            const CurrentPcsInfo piece = *s.current_pcs;
            s.hold_pcs = HoldPcsInfo{false, piece.tet};
            if (Error e = s.main_board.delete_piece(piece); e.failed()) log_failed_erase(e);
            s.current_pcs.reset();
            if (Error e = put_next_piece(s, t, held); e.failed()) return e;
            s.hold_pcs = HoldPcsInfo{false, piece.tet};
            break;
        }
        case TetAction::HardDrop: {
            if (!s.current_pcs) return fail(ErrorCode::NoCurrentPcs);
            // The drop ends in a lock that takes the next piece; refused up front when the
            // queue cannot give one, rather than left half-done.
            if (!queue_can_supply(s)) return fail(ErrorCode::NextPcsOutOfRange, s.next_pcs_idx);
            // One-row soft drops until one fails and locks the piece. A piece drawn where it
            // stands moves straight to its landing row: the same as that many one-row soft
            // drops, each worth their 2 points, then the lock. The lock is told by the new
            // piece it spawns (current_id counts them), not by the falling piece's id, which a
            // decoded state may give the next piece too: one hard drop locks one piece.
            const std::uint16_t spawned = s.current_id;
            int runs = 0;
            if (s.current_pcs->id != s.current_id && s.main_board.is_drawn(*s.current_pcs)) {
                bool free_codes;
                const int drop = s.main_board.fall_distance(*s.current_pcs, free_codes);
                drop_and_lock(s, drop, t, nullptr, free_codes);
                break;
            }
            for (;;) {
                ++runs;
                if (try_softdrop(s, t).failed()) break;
                if (!s.current_pcs || s.current_id != spawned || s.game_over_reason) break;
            }
            add_wrapping(s.score, HARD_DROP_POINTS - SOFT_DROP_POINTS * (runs - 1));
            break;
        }
    }

    return ok();
}

void hard_drop_planned(GameState& s, const LockPlan& plan, std::int64_t t) {
    s.last_action = TetAction::HardDrop;
    drop_and_lock(s, plan.drop, t, &plan, false);
}

// The hard drop of a drawn falling piece that falls `drop` rows: moved there, locked (from
// `plan` when given), scored. free_codes: whether the rows it passes may hold cells of the
// codes 10 to 15, which the one-row drops would leave empty.
void drop_and_lock(GameState& s, int drop, std::int64_t t, const LockPlan* plan, bool free_codes) {
    const CurrentPcsInfo piece = *s.current_pcs;
    if (drop > 0) {
        CurrentPcsInfo landed = piece;
        landed.pos.y = i8(piece.pos.y - drop);
        // Four rows down or more, the piece's cells there and here have no byte in common, so
        // it may be drawn there before it is erased here.
        if (drop >= 4) {
            (void)s.main_board.spawn_piece(landed);
            (void)s.main_board.delete_piece(piece);
        } else {
            (void)s.main_board.delete_piece(piece);
            (void)s.main_board.spawn_piece(landed);
        }
        // The one-row drops this move stands for draw and erase the piece in every row between:
        // cells of the codes 10 to 15 it passes over are left empty.
        if (free_codes && drop >= 2) {
            for (int k = 1; k < drop; ++k) {
                CurrentPcsInfo passed = piece;
                passed.pos.y = i8(piece.pos.y - k);
                s.main_board.erase_free_codes(passed);
            }
        }
        add_wrapping(s.score, SOFT_DROP_POINTS * drop);
        s.is_t_spin = false;
        s.is_t_mini_spin = false;
    }
    s.current_pcs.reset();
    // A failing lock ends the drop, not the action.
    if (plan) (void)put_next_piece(s, t, std::nullopt, *plan);
    else (void)put_next_piece(s, t, std::nullopt);
    add_wrapping(s.score, HARD_DROP_POINTS - SOFT_DROP_POINTS * drop);
}

}  // namespace detail

namespace {

// An action on a state the engine could have made gives another one.
[[maybe_unused]] bool keeps_sound(const GameState& before, const GameState& after) {
    return !before.state_ok() || after.state_ok();
}

}  // namespace

void GameState::try_actions(std::span<const TetAction> actions, std::int64_t t,
                            GameState* const* out, Error* errors) const {
    // Every record would erase the ghost cells again, so the copies start without them and the
    // ghosts are painted once, side by side with the seeds.
    GameState clean = *this;
    erase_ghosts(clean.main_board);
    GameState* accepted[ACTION_NB * 4];
    TetAction accepted_action[ACTION_NB * 4];
    std::size_t n = 0;
    for (std::size_t i = 0; i < actions.size(); ++i) {
        *out[i] = clean;
        errors[i] = detail::carry_out(*out[i], actions[i], t);
        if (errors[i].ok()) {
            accepted[n] = out[i];
            accepted_action[n++] = actions[i];
        }
        if (n == std::size(accepted) || i + 1 == actions.size()) {
            detail::record_tried(clean, {accepted, n}, {accepted_action, n}, t);
            n = 0;
        }
    }
    for (std::size_t i = 0; i < actions.size(); ++i)
        assert(errors[i].failed() || keeps_sound(*this, *out[i]));
}

Result<GameState> GameState::try_action(TetAction action, std::int64_t t) const {
    Result<GameState> r{*this, {}};
    r.error = detail::act_in_place(r.value, action, t);
    assert(r.error.failed() || keeps_sound(*this, r.value));
    return r;
}

Error GameState::apply_action_if_works(TetAction action, std::int64_t t) {
    GameState next = *this;
    const Error e = detail::act_in_place(next, action, t);
    assert(e.failed() || keeps_sound(*this, next));
    if (e.ok()) *this = next;
    return e;
}

}  // namespace game::tet
