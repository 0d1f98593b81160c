#include "tet/search_state.hpp"

#include <algorithm>
#include <cstdlib>

namespace game::tet {

namespace {

// A shape as row masks (bit j of rows[i] is grid cell (i, j)) and column masks (bit i of
// cols[j]), with its covered extent.
struct ShapeMask {
    std::array<std::uint16_t, 4> rows;
    std::array<std::uint8_t, 4> cols;
    std::array<std::uint8_t, 4> col_count;  // cells in each grid column
    std::int8_t min_i, max_i, min_j, max_j;
};

constexpr std::array<std::array<ShapeMask, TET_NB>, rot::ROT_NB> SHAPE_MASKS = [] {
    std::array<std::array<ShapeMask, TET_NB>, rot::ROT_NB> t{};
    for (int r = 0; r < rot::ROT_NB; ++r)
        for (int k = 0; k < TET_NB; ++k) {
            const detail::ShapeExtent& e = detail::SHAPE_EXTENTS[r][k];
            ShapeMask m{{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, e.min_i, e.max_i, e.min_j, e.max_j};
            for (const ShapeCell& c : ALL_SHAPES[r][k].cells) {
                ++m.col_count[c.j];
                m.rows[c.i] = static_cast<std::uint16_t>(m.rows[c.i] | (1u << c.j));
                m.cols[c.j] = static_cast<std::uint8_t>(m.cols[c.j] | (1u << c.i));
            }
            t[r][k] = m;
        }
    return t;
}();

inline const ShapeMask& mask_of(const CurrentPcsInfo& p) {
    return SHAPE_MASKS[rot::index(p.rs)][index(p.tet)];
}

// BoardMatrix::in_bounds from the mask's own copy of the extents, already at hand.
inline bool in_bounds(const CurrentPcsInfo& p, const ShapeMask& m) {
    return p.pos.x + m.min_j >= 0 && p.pos.x + m.max_j < BoardMatrix::COLS &&
           p.pos.y + m.min_i >= 0 && p.pos.y + m.max_i < BoardMatrix::ROWS;
}

// A grid row's mask moved to the piece's column (the piece lies on the board).
inline std::uint16_t shifted(std::uint16_t bits, int x) {
    return static_cast<std::uint16_t>(x >= 0 ? bits << x : bits >> -x);
}

// A grid column's mask moved to the piece's row (the piece lies on the board, so the bits
// shifted out below row 0 are empty).
inline std::uint64_t column_bits(std::uint8_t bits, int y) {
    return y >= 0 ? std::uint64_t{bits} << y : std::uint64_t{bits} >> -y;
}

inline std::int8_t i8(int v) { return static_cast<std::int8_t>(v); }

}  // namespace

SearchState SearchState::from(const GameState& s) {
    SearchState q;
    q.rows = solid_rows(s.main_board);
    q.cols = solid_cols(q.rows);
    q.has_piece = s.current_pcs.has_value();
    if (q.has_piece) q.piece = *s.current_pcs;
    q.has_hold = s.hold_pcs.has_value();
    if (q.has_hold) q.hold = *s.hold_pcs;
    q.over = s.game_over_reason.has_value();
    q.next_pcs_idx = s.next_pcs_idx;
    q.total_lines = s.total_lines;
    q.next_pcs_bags = s.next_pcs_bags;
    return q;
}

Error SearchState::fits(const CurrentPcsInfo& p) const {
    const ShapeMask& m = mask_of(p);
    if (!in_bounds(p, m)) return fail(ErrorCode::OutOfBounds, p.pos.x, p.pos.y);
    for (int i = m.min_i; i <= m.max_i; ++i)
        if (rows[p.pos.y + i] & shifted(m.rows[i], p.pos.x)) return fail(ErrorCode::CellTaken);
    return ok();
}

void SearchState::place(const CurrentPcsInfo& p) {
    const ShapeMask& m = mask_of(p);
    const int y = p.pos.y, x = p.pos.x;
    for (int i = m.min_i; i <= m.max_i; ++i)
        rows[y + i] = static_cast<std::uint16_t>(rows[y + i] | shifted(m.rows[i], x));
    for (int j = m.min_j; j <= m.max_j; ++j)
        cols[x + j] |= column_bits(m.cols[j], y);
}

void SearchState::erase(const CurrentPcsInfo& p) {
    const ShapeMask& m = mask_of(p);
    const int y = p.pos.y, x = p.pos.x;
    for (int i = m.min_i; i <= m.max_i; ++i)
        rows[y + i] = static_cast<std::uint16_t>(rows[y + i] & ~shifted(m.rows[i], x));
    for (int j = m.min_j; j <= m.max_j; ++j)
        cols[x + j] &= ~column_bits(m.cols[j], y);
}

void SearchState::erase_piece() {
    if (has_piece && in_bounds(piece, mask_of(piece))) erase(piece);
}

Error SearchState::put_next_piece(bool has_preset, Tet preset) {
    if (has_piece) return fail(ErrorCode::AlreadyHaveNextPcs);
    if (over) return fail(ErrorCode::GameAlreadyOver);

    // Full rows go; the rows above move down and the top takes row 39's content, or nothing
    // when row 39 itself was full.
    const std::uint16_t top = rows[BoardMatrix::ROWS - 1] == FULL_ROW ? 0 : rows[BoardMatrix::ROWS - 1];
    // A full row lies below the highest solid cell.
    int top_row = 0;
    for (const std::uint64_t col : cols) top_row = std::max(top_row, column_top(col));
    int first_full = 0;
    while (first_full < top_row && rows[first_full] != FULL_ROW) ++first_full;
    if (first_full == top_row) first_full = BoardMatrix::ROWS;
    if (first_full < BoardMatrix::ROWS) {
        int w = first_full;
        for (int y = first_full; y < BoardMatrix::ROWS; ++y)
            if (rows[y] != FULL_ROW) rows[w++] = rows[y];
        total_lines = static_cast<std::uint16_t>(total_lines + (BoardMatrix::ROWS - w));
        for (int y = w; y < BoardMatrix::ROWS; ++y) rows[y] = top;
        cols = solid_cols(rows);
    }

    Tet kind = preset;
    if (!has_preset) {
        if (next_pcs_idx > 6) {
            std::copy_n(next_pcs_bags.begin() + 7, 7, next_pcs_bags.begin());
            next_pcs_idx = static_cast<std::uint8_t>(next_pcs_idx - 7);
            unknown_from = 7;
        }
        if (next_pcs_idx >= next_pcs_bags.size())
            return fail(ErrorCode::NextPcsOutOfRange, next_pcs_idx);
        if (next_pcs_idx >= unknown_from) internal_failure("search read a queue position it cannot know");
        kind = next_pcs_bags[next_pcs_idx++];
    }

    piece = CurrentPcsInfo{spawn_pos(kind), kind, RotState::R0, 0};
    has_piece = true;
    if (fits(piece).failed()) {
        over = true;
        return ok();
    }
    place(piece);
    if (has_hold) hold.can_use = true;
    return ok();
}

Error SearchState::soft_drop() {
    if (!has_piece) return fail(ErrorCode::NoCurrentPcs);
    erase(piece);
    CurrentPcsInfo lower = piece;
    lower.pos.y = i8(piece.pos.y - 1);
    if (Error e = fits(lower); e.ok()) {
        place(lower);
        piece = lower;
        return ok();
    }
    place(piece);
    has_piece = false;
    return put_next_piece(false, Tet::I);
}

Error SearchState::rotate(bool clockwise) {
    if (!has_piece) return fail(ErrorCode::NoCurrentPcs);
    erase(piece);
    const RotState to = clockwise ? rot::turned_right(piece.rs) : rot::turned_left(piece.rs);
    for (const rot::Offset& off : rot::offsets(piece.tet == Tet::I, piece.rs, to)) {
        CurrentPcsInfo turned = piece;
        turned.rs = to;
        turned.pos = Pos{i8(piece.pos.y + off.dy), i8(piece.pos.x + off.dx)};
        if (fits(turned).failed()) continue;
        place(turned);
        piece = turned;
        return ok();
    }
    return fail(ErrorCode::AllOffsetsBlocked);
}

Error SearchState::act(TetAction action) {
    if (over) return fail(ErrorCode::GameOver);
    if (has_piece && !in_bounds(piece, mask_of(piece)))
        return fail(ErrorCode::OutOfBounds, piece.pos.x, piece.pos.y);
    switch (action) {
        case TetAction::Nothing: return ok();
        case TetAction::SoftDrop: return soft_drop();
        case TetAction::MoveLeft:
        case TetAction::MoveRight: {
            if (!has_piece) return fail(ErrorCode::NoCurrentPcs);
            erase(piece);
            CurrentPcsInfo moved = piece;
            moved.pos.x = i8(piece.pos.x + (action == TetAction::MoveLeft ? -1 : 1));
            if (Error e = fits(moved); e.failed()) return e;
            place(moved);
            piece = moved;
            return ok();
        }
        case TetAction::RotateLeft:
        case TetAction::RotateRight: return rotate(action == TetAction::RotateRight);
        case TetAction::Hold: {
            if (!has_piece) return fail(ErrorCode::NoCurrentPcs);
            if (has_hold && !hold.can_use) return fail(ErrorCode::HoldNotUsable);
            const bool had = has_hold;
            const Tet held = hold.tet;
            const Tet falling = piece.tet;
            hold = HoldPcsInfo{false, falling};
            has_hold = true;
            erase(piece);
            has_piece = false;
            if (Error e = put_next_piece(had, held); e.failed()) return e;
            hold = HoldPcsInfo{false, falling};
            return ok();
        }
        case TetAction::HardDrop: {
            if (!has_piece) return fail(ErrorCode::NoCurrentPcs);
            if (next_pcs_idx > 6 ? next_pcs_idx - 7 >= 14 : false)
                return fail(ErrorCode::NextPcsOutOfRange, next_pcs_idx);
            erase(piece);
            piece.pos.y = i8(piece.pos.y - tet::fall_distance(cols, piece));
            place(piece);
            has_piece = false;
            (void)put_next_piece(false, Tet::I);  // a failing lock ends the drop, not the action
            return ok();
        }
    }
    return ok();
}

}  // namespace game::tet

namespace game::tet {

bool LockSearch::from(const GameState& s, LockSearch& out, Piece& root) {
    if (!s.search_shortcut_ok() || s.is_over() || !s.current_pcs) return false;
    const CurrentPcsInfo& p = *s.current_pcs;
    const ShapeMask& m = mask_of(p);
    if (!in_bounds(p, m)) return false;
    out.rows = solid_rows(s.main_board);
    for (int i = m.min_i; i <= m.max_i; ++i)
        out.rows[p.pos.y + i] =
            static_cast<std::uint16_t>(out.rows[p.pos.y + i] & ~shifted(m.rows[i], p.pos.x));
    for (const std::uint16_t r : out.rows)
        if (r == FULL_ROW) return false;
    out.cols = solid_cols(out.rows);
    out.nonempty = 0;
    for (int y = 0; y < BoardMatrix::ROWS; ++y)
        if (out.rows[y]) out.nonempty |= std::uint64_t{1} << y;
    for (int c = 0; c < BoardMatrix::COLS; ++c)
        out.count[c] = static_cast<std::int8_t>(popcount64(out.cols[c]));
    out.total_lines = s.total_lines;
    out.next_pcs_bags = s.next_pcs_bags;
    root = Piece{p, s.hold_pcs.value_or(HoldPcsInfo{}), s.hold_pcs.has_value(), s.next_pcs_idx};
    return true;
}

bool LockSearch::fits(const CurrentPcsInfo& p) const {
    const ShapeMask& m = mask_of(p);
    if (!in_bounds(p, m)) return false;
    for (int i = m.min_i; i <= m.max_i; ++i)
        if (rows[p.pos.y + i] & shifted(m.rows[i], p.pos.x)) return false;
    return true;
}

namespace {

// The kind at a queue position counted in the input's queue; the refill that a position past
// the first bag would need on SearchState moves the second bag forward, so the input's own
// fourteen kinds cover every position a chain reaches.
Tet queued(const std::array<Tet, 14>& bags, int pos) {
    if (pos >= static_cast<int>(bags.size())) internal_failure("search read a queue position it cannot know");
    return bags[pos];
}

}  // namespace

bool LockSearch::spawn(Piece& p, Tet kind) const {
    p.piece = CurrentPcsInfo{spawn_pos(kind), kind, RotState::R0, 0};
    return fits(p.piece);
}

bool LockSearch::act(Piece& p, TetAction action) const {
    switch (action) {
        case TetAction::Nothing: return true;
        case TetAction::MoveLeft:
        case TetAction::MoveRight: {
            CurrentPcsInfo moved = p.piece;
            moved.pos.x = i8(p.piece.pos.x + (action == TetAction::MoveLeft ? -1 : 1));
            if (!fits(moved)) return false;
            p.piece = moved;
            return true;
        }
        case TetAction::RotateLeft:
        case TetAction::RotateRight: {
            const RotState from = p.piece.rs;
            const RotState to =
                action == TetAction::RotateRight ? rot::turned_right(from) : rot::turned_left(from);
            for (const rot::Offset& off : rot::offsets(p.piece.tet == Tet::I, from, to)) {
                CurrentPcsInfo turned = p.piece;
                turned.rs = to;
                turned.pos = Pos{i8(p.piece.pos.y + off.dy), i8(p.piece.pos.x + off.dx)};
                if (!fits(turned)) continue;
                p.piece = turned;
                return true;
            }
            return false;
        }
        case TetAction::Hold: {
            if (p.has_hold && !p.hold.can_use) return false;
            const Tet falling = p.piece.tet;
            const Tet kind = p.has_hold ? p.hold.tet : queued(next_pcs_bags, p.next_pcs_idx++);
            p.hold = HoldPcsInfo{false, falling};
            p.has_hold = true;
            return spawn(p, kind);
        }
        case TetAction::SoftDrop: {
            CurrentPcsInfo lower = p.piece;
            lower.pos.y = i8(p.piece.pos.y - 1);
            if (!fits(lower)) internal_failure("search chain locks before its end");
            p.piece = lower;
            return true;
        }
        case TetAction::HardDrop: break;
    }
    internal_failure("search chain locks before its end");
}

int fall_distance(const SolidCols& cols, const CurrentPcsInfo& c) {
    // Each covered column's lowest cell falls to just above the column's highest solid cell
    // below it.
    const Shape& sh = shape(c.rs, c.tet);
    int drop = BoardMatrix::ROWS;
    for (int k = 0; k < sh.bottom_count; ++k) {
        const int x = c.pos.x + sh.bottoms[k].j;
        const int y = c.pos.y + sh.bottoms[k].i;
        const std::uint64_t below = cols[x] & ((std::uint64_t{1} << y) - 1);
        drop = std::min(drop, y - column_top(below));
    }
    return drop;
}

LockPlan LockSearch::plan(const CurrentPcsInfo& c) const {
    const ShapeMask& m = mask_of(c);
    LockPlan out;
    out.drop = fall_distance(cols, c);
    const int y = c.pos.y - out.drop, x = c.pos.x;
    std::uint64_t filled = nonempty;
    for (int i = m.min_i; i <= m.max_i; ++i) {
        const std::uint16_t r = static_cast<std::uint16_t>(rows[y + i] | shifted(m.rows[i], x));
        if (r == FULL_ROW) out.full |= std::uint64_t{1} << (y + i);
        filled |= std::uint64_t{1} << (y + i);
    }
    // Clearing leaves the board empty when every row with a solid cell goes (a freed top row
    // takes row 39's content only when row 39 stays).
    out.perfect_clear = (filled & ~out.full) == 0;
    return out;
}

int LockSearch::lock(const CurrentPcsInfo& c, const LockPlan& landing, SolidCols& out,
                     std::array<std::int8_t, BoardMatrix::COLS>& n) const {
    const ShapeMask& m = mask_of(c);
    const std::uint64_t full = landing.full;
    const int y = c.pos.y - landing.drop, x = c.pos.x;
    out = cols;
    n = count;
    for (int j = m.min_j; j <= m.max_j; ++j) {
        out[x + j] |= column_bits(m.cols[j], y);
        n[x + j] = static_cast<std::int8_t>(n[x + j] + m.col_count[j]);
    }
    if (!full) return 0;
    // Full rows go, the rows above move down, and the rows freed at the top take row 39's
    // content (nothing when row 39 itself was full).
    std::uint16_t row39 = rows[BoardMatrix::ROWS - 1];
    if (y + m.max_i == BoardMatrix::ROWS - 1)
        row39 = static_cast<std::uint16_t>(row39 | shifted(m.rows[m.max_i], x));
    const int cleared = popcount64(full);
    const std::uint16_t top = row39 == FULL_ROW ? 0 : row39;
    const std::uint64_t freed = ((std::uint64_t{1} << cleared) - 1) << (BoardMatrix::ROWS - cleared);
    for (int col = 0; col < BoardMatrix::COLS; ++col) {
        std::uint64_t v = out[col];
        for (std::uint64_t f = full; f;) {
            const int r = 63 - std::countl_zero(f);  // highest first
            f &= ~(std::uint64_t{1} << r);
            const std::uint64_t low = (std::uint64_t{1} << r) - 1;
            v = (v & low) | ((v >> 1) & ~low);
        }
        const bool refilled = top >> col & 1;
        if (refilled) v |= freed;
        out[col] = v;
        n[col] = static_cast<std::int8_t>(n[col] - (refilled ? 0 : cleared));
    }
    return cleared;
}

SolidCols LockSearch::locked_cols(const CurrentPcsInfo& piece, const LockPlan& landing) const {
    SolidCols out;
    std::array<std::int8_t, BoardMatrix::COLS> n;
    (void)lock(piece, landing, out, n);
    return out;
}

bool LockSearch::hard_drop(const Piece& p, std::uint16_t& lines, SolidCols& out,
                           BoardMetrics& metrics) const {
    std::array<std::int8_t, BoardMatrix::COLS> n;  // solid cells per column
    const int cleared = lock(p.piece, plan(p.piece), out, n);
    lines = static_cast<std::uint16_t>(total_lines + cleared);

    // The metrics of board_metrics(out), with each column's cell count known.
    metrics = BoardMetrics{0, 0, 0};
    int prev = 0;
    for (int col = 0; col < BoardMatrix::COLS; ++col) {
        const int t = column_top(out[col]);
        const int h = t ? t - 1 : 0;
        if (t) metrics.holes += t - n[col];
        metrics.height = std::max(metrics.height, h);
        if (col) metrics.bumpi = std::max(metrics.bumpi, std::abs(prev - h));
        prev = h;
    }

    // The next piece must enter the locked board.
    const Tet kind = queued(next_pcs_bags, p.next_pcs_idx);
    const CurrentPcsInfo next{spawn_pos(kind), kind, RotState::R0, 0};
    const ShapeMask& nm = mask_of(next);
    for (int j = nm.min_j; j <= nm.max_j; ++j)
        if (out[next.pos.x + j] & column_bits(nm.cols[j], next.pos.y)) return false;
    return true;
}

}  // namespace game::tet
