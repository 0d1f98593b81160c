#include "tet/state.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>

#include "log.hpp"
#include "random.hpp"
#include "tet/accept_step.hpp"

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
    (void)s.put_next_piece(start_time, std::nullopt);  // cannot fail on the empty board
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

const CurrentPcsInfo* GameState::ghost_piece() const {
    if (!current_pcs) return nullptr;
    if (!BoardMatrix::in_bounds(*current_pcs)) internal_failure("cannot delete pice in put_ghost");
    return &*current_pcs;
}

void GameState::put_ghost() {
    const CurrentPcsInfo* piece = ghost_piece();
    if (!piece) return;
    // Step 1. The landing row.
    put_ghost_at(piece->pos.y - main_board.fall_distance(*piece));
}

void GameState::put_ghost_at(int r) {
    if (!current_pcs) return;
    // Step 2. Paint until the first cell that is off the board or solid (the piece itself).
    CurrentPcsInfo ghost = *current_pcs;
    ghost.pos.y = i8(r);
    main_board.draw_ghost(ghost);
}

void GameState::add_pending_garbage() {
    if (garbage_applied >= garbage_recv) return;
    const int hole = static_cast<std::uint8_t>(random::SeededStream::first_word(seed)) %
                     BoardMatrix::COLS;

    CellValueRow10 garbage{};
    for (int x = 0; x < BoardMatrix::COLS; ++x) {
        CellValuePairByte& b = garbage.v_r[x >> 1];
        const CellValue v = x == hole ? CellValue::Empty : CellValue::Garbage;
        b = (x & 1) ? b.with_val1(v) : b.with_val0(v);
    }
    const int pending = garbage_recv - garbage_applied;
    const int rows = std::min(pending, GARBAGE_ROWS_THAT_MATTER);
    // Rows 0..38-rows move up by `rows`; row 39 is never touched.
    auto& b = main_board.rows;
    for (int k = BoardMatrix::ROWS - 2; k >= rows; --k) b[k] = b[k - rows];
    for (int k = 0; k < rows; ++k) b[k] = garbage;
    garbage_applied = garbage_recv;
}

Error GameState::put_next_piece(std::int64_t t, std::optional<Tet> preset) {
    return put_next_piece(t, preset, LockPlan{0, full_rows(main_board), std::nullopt});
}

Error GameState::put_next_piece(std::int64_t t, std::optional<Tet> preset, const LockPlan& plan) {
    if (current_pcs) {
        log::write(log::Level::Warn,
                   [] { return std::string("cannont put next pcs because we already have one"); });
        return fail(ErrorCode::AlreadyHaveNextPcs);
    }
    if (game_over_reason) {
        log::write(log::Level::Warn,
                   [] { return std::string("game over but you called put_next_cs"); });
        return fail(ErrorCode::GameAlreadyOver);
    }

    // Step 1. Clear full rows: the other rows move down in order; the top rows left free take
    // the content of row 39 (empty in play), or become empty when row 39 itself was full.
    auto& rows = main_board.rows;
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
            perfect_clear = main_board.row_empty_of_solid(y);
    std::int64_t points = LINE_POINTS[l];
    if (perfect_clear) points += PERFECT_CLEAR_POINTS[l];
    if (is_t_spin && is_t_mini_spin) points += SPIN_BOTH_POINTS[l];
    else if (is_t_spin) points += SPIN_POINTS[l];
    else if (is_t_mini_spin) points += MINI_SPIN_POINTS[l];
    add_wrapping(score, points);
    is_b2b = is_t_spin || l == 4;
    is_t_spin = false;
    is_t_mini_spin = false;

    // Step 3. Combo and totals.
    if (cleared > 0) {
        const std::int8_t c = combo_counter;
        combo_counter = static_cast<std::int8_t>(static_cast<std::uint8_t>(c) + 1);
        if (c >= 0 && c <= 126) add_wrapping(score, 50 * (c + 1));
        total_lines = static_cast<std::uint16_t>(total_lines + cleared);
        total_garbage_sent = static_cast<std::uint16_t>(total_garbage_sent + combo_garbage(c));
    } else {
        combo_counter = -1;
    }

    // Step 4. Received garbage.
    add_pending_garbage();

    // Step 5. The new kind: the preset one, or the next queued one (refilling a bag first when
    // the queue's first bag is used up).
    log::write(log::Level::Info,
               [&] { return "XXXXX  caller next pcs: " + debug_option(preset); });
    Tet kind;
    if (preset) {
        kind = *preset;
    } else {
        log::write(log::Level::Info, [&] {
            return "XXXX refill next pcs: " + std::to_string(next_pcs_idx);
        });
        if (next_pcs_idx > 6) {
            std::copy_n(next_pcs_bags.begin() + 7, 7, next_pcs_bags.begin());
            next_pcs_idx = static_cast<std::uint8_t>(next_pcs_idx - 7);
            const random::ShuffleResult bag = random::shuffle_tets(seed, t);
            std::copy(bag.bag.begin(), bag.bag.end(), next_pcs_bags.begin() + 7);
            seed = bag.seed;
        }
        if (next_pcs_idx >= next_pcs_bags.size())
            return fail(ErrorCode::NextPcsOutOfRange, next_pcs_idx);
        kind = next_pcs_bags[next_pcs_idx];
        log::write(log::Level::Info, [] { return std::string("XXXX pop next pcs += 1"); });
        ++next_pcs_idx;
    }

    // Step 6. Spawn it, or end the game when its cells are taken.
    current_pcs = CurrentPcsInfo{spawn_pos(kind), kind, RotState::R0, current_id};
    ++current_id;
    if (main_board.spawn_piece(*current_pcs).failed()) {
        log::write(log::Level::Info, [] { return std::string("tet game over"); });
        game_over_reason = GameOverReason::Knockout;
        last_segment = GameOverReason::Knockout;
        return ok();
    }
    if (hold_pcs) hold_pcs->can_use = true;
    return ok();
}

Error GameState::try_softdrop(std::int64_t t) {
    if (!current_pcs) return fail(ErrorCode::NoCurrentPcs);
    const CurrentPcsInfo piece = *current_pcs;
    if (Error e = main_board.delete_piece(piece); e.failed()) log_failed_erase(e);

    CurrentPcsInfo lower = piece;
    lower.pos.y = i8(piece.pos.y - 1);
    if (main_board.spawn_piece(lower).ok()) {
        current_pcs = lower;
        add_wrapping(score, SOFT_DROP_POINTS);
        is_t_spin = false;
        is_t_mini_spin = false;
        return ok();
    }
    // The piece locks where it is.
    if (main_board.spawn_piece(piece).failed()) internal_failure("cannot redraw the locked piece");
    current_pcs.reset();
    return put_next_piece(t, std::nullopt);
}

Error GameState::try_rotate(bool clockwise) {
    if (!current_pcs) return fail(ErrorCode::NoCurrentPcs);
    const CurrentPcsInfo piece = *current_pcs;
    if (Error e = main_board.delete_piece(piece); e.failed()) log_failed_erase(e);

    const RotState to = clockwise ? rot::turned_right(piece.rs) : rot::turned_left(piece.rs);
    const rot::OffsetList& tests = rot::offsets(piece.tet == Tet::I, piece.rs, to);
    for (const rot::Offset& off : tests) {
        CurrentPcsInfo turned = piece;
        turned.rs = to;
        turned.pos = Pos{i8(piece.pos.y + off.dy), i8(piece.pos.x + off.dx)};
        if (main_board.spawn_piece(turned).failed()) continue;

        current_pcs = turned;
        if (piece.tet == Tet::T) {
            // Occupied corners of the 3 x 3 grid; off-board corners do not count.
            const int y = turned.pos.y, x = turned.pos.x;
            int corners = 0;
            for (const auto& [cy, cx] : {std::pair{y, x}, {y + 2, x}, {y, x + 2}, {y + 2, x + 2}})
                corners += BoardMatrix::on_board(cy, cx) && main_board.solid(cy, cx);
            is_t_mini_spin = corners >= 2;
            is_t_spin = corners >= 3;
        } else {
            is_t_spin = !(off == rot::Offset{0, 0});
            is_t_mini_spin = false;
        }
        return ok();
    }
    return fail(ErrorCode::AllOffsetsBlocked);
}

Error GameState::act_in_place(TetAction action, std::int64_t t) {
    if (Error e = carry_out(action, t); e.failed()) return e;
    // The ghost is repainted as the seed step runs; the record then leaves it be.
    const CurrentPcsInfo* piece = game_over_reason ? nullptr : ghost_piece();
    const Seed32 next = detail::repaint_ghost_with_seed(main_board, piece, seed,
                                                        GameReplayEvent{action}, t, last_segment_idx);
    record_accepted(action, t, next, GhostWork::Skip);
    return ok();
}

void GameState::record_accepted(TetAction action, std::int64_t t, const Seed32& new_seed,
                                GhostWork ghost) {
    // The running seed and the replay record. The record is written field by field where it
    // stays: a slice built aside and then copied in is read back in wide loads across its own
    // narrower stores, which waits for them to leave the store buffer.
    const std::uint16_t i = last_segment_idx;
    seed = new_seed;
    auto* slice = std::get_if<GameReplaySlice>(&last_segment);
    if (!slice) slice = &last_segment.emplace<GameReplaySlice>();
    slice->event_timestamp = t;
    slice->new_seed = new_seed;
    slice->new_garbage_recv = garbage_recv;
    slice->new_garbage_applied = garbage_applied;
    slice->idx = i;
    slice->event = GameReplayEvent{action};
    last_segment_idx = static_cast<std::uint16_t>(i + 1);

    // Ghost and move count.
    if (ghost == GhostWork::Paint) {
        erase_ghosts(main_board);
        if (!game_over_reason) put_ghost();
    }
    ++total_moves;
}

void GameState::record_all_accepted(std::span<GameState*> states, std::span<const TetAction> actions,
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
            states[start + k]->record_accepted(actions[start + k], t, seeds[k], ghost);
    }
}

void GameState::record_tried(const GameState& from, std::span<GameState*> states,
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
        s.put_ghost_at(*landing);
    }
}

GameState GameState::without_ghosts() const {
    GameState s = *this;
    erase_ghosts(s.main_board);
    return s;
}

Error GameState::act_for_search(TetAction action) { return carry_out(action, 0); }

Error GameState::carry_out(TetAction action, std::int64_t t) {
    if (game_over_reason) return fail(ErrorCode::GameOver);
    // A falling piece with cells off the board (only in decoded states) is never acted on.
    if (current_pcs && !BoardMatrix::in_bounds(*current_pcs))
        return fail(ErrorCode::OutOfBounds, current_pcs->pos.x, current_pcs->pos.y);
    last_action = action;
    switch (action) {
        case TetAction::Nothing: break;
        case TetAction::SoftDrop:
            if (Error e = try_softdrop(t); e.failed()) return e;
            break;
        case TetAction::MoveLeft:
        case TetAction::MoveRight: {
            if (!current_pcs) return fail(ErrorCode::NoCurrentPcs);
            const CurrentPcsInfo piece = *current_pcs;
            if (Error e = main_board.delete_piece(piece); e.failed()) log_failed_erase(e);
            CurrentPcsInfo moved = piece;
            moved.pos.x = i8(piece.pos.x + (action == TetAction::MoveLeft ? -1 : 1));
            if (Error e = main_board.spawn_piece(moved); e.failed()) return e;
            current_pcs = moved;
            break;
        }
        case TetAction::RotateLeft:
        case TetAction::RotateRight:
            if (Error e = try_rotate(action == TetAction::RotateRight); e.failed()) return e;
            break;
        case TetAction::Hold: {
            if (!current_pcs) return fail(ErrorCode::NoCurrentPcs);
            if (hold_pcs && !hold_pcs->can_use) return fail(ErrorCode::HoldNotUsable);
            std::optional<Tet> held;
            if (hold_pcs) held = hold_pcs->tet;
            const CurrentPcsInfo piece = *current_pcs;
            hold_pcs = HoldPcsInfo{false, piece.tet};
            if (Error e = main_board.delete_piece(piece); e.failed()) log_failed_erase(e);
            current_pcs.reset();
            if (Error e = put_next_piece(t, held); e.failed()) return e;
            hold_pcs = HoldPcsInfo{false, piece.tet};
            break;
        }
        case TetAction::HardDrop: {
            if (!current_pcs) return fail(ErrorCode::NoCurrentPcs);
            // The drop ends in a lock that takes the next piece; refused up front when the
            // queue cannot give one, rather than left half-done.
            if (!queue_can_supply()) return fail(ErrorCode::NextPcsOutOfRange, next_pcs_idx);
            const std::uint16_t id = current_pcs->id;
            int runs = 0;
            // A piece drawn where it stands moves straight to its landing row: the same as
            // that many one-row soft drops, each worth their 2 points. The soft drop after
            // them fails, so the piece then locks where it lies. Not when the next piece is
            // to take the same id (only a decoded state numbers them so): the drops then go
            // on with it.
            if (id != current_id && main_board.is_drawn(*current_pcs)) {
                bool free_codes;
                const int drop = main_board.fall_distance(*current_pcs, free_codes);
                drop_and_lock(drop, t, nullptr, free_codes);
                break;
            }
            for (;;) {
                ++runs;
                if (try_softdrop(t).failed()) break;
                if (!current_pcs || current_pcs->id != id || game_over_reason) break;
            }
            add_wrapping(score, HARD_DROP_POINTS - SOFT_DROP_POINTS * (runs - 1));
            break;
        }
    }

    return ok();
}

void GameState::drop_and_lock(int drop, std::int64_t t, const LockPlan* plan, bool free_codes) {
    const CurrentPcsInfo piece = *current_pcs;
    if (drop > 0) {
        CurrentPcsInfo landed = piece;
        landed.pos.y = i8(piece.pos.y - drop);
        // Four rows down or more, the piece's cells there and here have no byte in common, and
        // drawing it there first keeps the erasing store from delaying the drawing load.
        if (drop >= 4) {
            (void)main_board.spawn_piece(landed);
            (void)main_board.delete_piece(piece);
        } else {
            (void)main_board.delete_piece(piece);
            (void)main_board.spawn_piece(landed);
        }
        // The one-row drops this move stands for draw and erase the piece in every row between:
        // cells of the codes 10 to 15 it passes over are left empty.
        if (free_codes && drop >= 2) {
            for (int k = 1; k < drop; ++k) {
                CurrentPcsInfo passed = piece;
                passed.pos.y = i8(piece.pos.y - k);
                main_board.erase_free_codes(passed);
            }
        }
        add_wrapping(score, SOFT_DROP_POINTS * drop);
        is_t_spin = false;
        is_t_mini_spin = false;
    }
    current_pcs.reset();
    // A failing lock ends the drop, not the action.
    if (plan) (void)put_next_piece(t, std::nullopt, *plan);
    else (void)put_next_piece(t, std::nullopt);
    add_wrapping(score, HARD_DROP_POINTS - SOFT_DROP_POINTS * drop);
}

void GameState::try_actions(std::span<const TetAction> actions, std::int64_t t,
                            Result<GameState>* out) const {
    const GameState clean = without_ghosts();
    GameState* accepted[ACTION_NB * 4];
    TetAction accepted_action[ACTION_NB * 4];
    std::size_t n = 0;
    for (std::size_t i = 0; i < actions.size(); ++i) {
        out[i].value = clean;
        out[i].error = out[i].value.carry_out(actions[i], t);
        if (out[i].ok()) {
            accepted[n] = &out[i].value;
            accepted_action[n++] = actions[i];
        }
        if (n == std::size(accepted) || i + 1 == actions.size()) {
            record_tried(clean, {accepted, n}, {accepted_action, n}, t);
            n = 0;
        }
    }
}

Result<GameState> GameState::try_action(TetAction action, std::int64_t t) const {
    Result<GameState> r{*this, {}};
    r.error = r.value.act_in_place(action, t);
    return r;
}

Error GameState::apply_action_if_works(TetAction action, std::int64_t t) {
    GameState next = *this;
    const Error e = next.act_in_place(action, t);
    if (e.ok()) *this = next;
    return e;
}

}  // namespace game::tet
