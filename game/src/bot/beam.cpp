// The beam search bot: the weight sets, the board evaluation, the lock of a placement on a
// search position, and the level-by-level search.
#include "bot/beam.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "tet/match.hpp"

namespace game::bot {

using tet::FULL_ROW;
using tet::Placement;
using tet::SolidRows;
using tet::Tet;

namespace {

// The tuned set (bench/beam_tune.py, its run in bench/beam_tune.md): attack and back-to-back
// first, a clean stack kept low.
constexpr BeamWeights DEFAULT_WEIGHTS = {
    .holes = -40.0f,
    .covered = -8.0f,
    .height = -4.0f,
    .danger = -3.0f,
    .bumpiness = -5.0f,
    .bumpiness_sq = -2.0f,
    .row_transitions = -4.0f,
    .well = 6.0f,
    .t_slot = {{20.0f, 40.0f, 135.0f}},
    .back_to_back = 40.0f,
    .attack = 45.0f,
    .clear = {{0.0f, -50.0f, -40.0f, -30.0f, 60.0f}},
    .t_spin = 10.0f,
    .wasted_t = -45.0f,
    .combo = 10.0f,
};

// Survival first: lines are cleared as they come and the stack is kept flat and low.
constexpr BeamWeights SAFE_WEIGHTS = {
    .holes = -60.0f,
    .covered = -10.0f,
    .height = -10.0f,
    .danger = -10.0f,
    .bumpiness = -6.0f,
    .bumpiness_sq = -2.0f,
    .row_transitions = -5.0f,
    .well = 2.0f,
    .t_slot = {{0.0f, 0.0f, 0.0f}},
    .back_to_back = 0.0f,
    .attack = 10.0f,
    .clear = {{0.0f, 5.0f, 5.0f, 5.0f, 20.0f}},
    .t_spin = 0.0f,
    .wasted_t = 0.0f,
    .combo = 0.0f,
};

constexpr std::array<std::string_view, 2> WEIGHT_NAMES = {"default", "safe"};

// Rows below which the stack is safe; the danger term counts the rows above.
constexpr int SAFE_ROWS = 8;
// The row every kind's lowest cells take at its spawn position.
constexpr int SPAWN_ROW = 19;

constexpr std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The cells of each kind at its spawn position: bit x of entry k for cell (SPAWN_ROW + k, x).
constexpr std::array<std::array<std::uint16_t, 2>, tet::TET_NB> SPAWN_CELLS = [] {
    std::array<std::array<std::uint16_t, 2>, tet::TET_NB> out{};
    for (int t = 0; t < tet::TET_NB; ++t) {
        const Tet kind = tet::tet_from_index(t);
        const tet::Pos p = tet::spawn_pos(kind);
        for (const tet::ShapeCell& c : tet::shape(tet::RotState::R0, kind).cells) {
            const int y = p.y + c.i - SPAWN_ROW;
            out[t][y] = static_cast<std::uint16_t>(out[t][y] | 1u << (p.x + c.j));
        }
    }
    return out;
}();

// Whether a new piece can be drawn at its spawn position; kind -1 for a kind not yet known
// (then every kind must fit).
bool spawn_fits(const SolidRows& rows, int kind) {
    std::uint16_t low = 0, high = 0;
    for (int t = 0; t < tet::TET_NB; ++t)
        if (kind < 0 || kind == t) {
            low = static_cast<std::uint16_t>(low | SPAWN_CELLS[t][0]);
            high = static_cast<std::uint16_t>(high | SPAWN_CELLS[t][1]);
        }
    return !(rows[SPAWN_ROW] & low) && !(rows[SPAWN_ROW + 1] & high);
}

// The best T-spin slot: a T pointing down fits at rows y..y+1 of columns x..x+2, both lower
// corners and at least one upper corner are solid (a three-corner spin), and the value is
// looked up by the rows the T would clear there.
float t_slot_value(const SolidRows& rows, const std::array<int, 10>& h, const BeamWeights& w) {
    float best = 0;
    for (int x = 0; x + 2 < tet::BoardMatrix::COLS; ++x) {
        const int y = h[x + 1];
        if (y + 2 >= tet::BoardMatrix::ROWS) continue;
        const std::uint16_t three = static_cast<std::uint16_t>(7u << x);
        const std::uint16_t mid = static_cast<std::uint16_t>(1u << (x + 1));
        const std::uint16_t sides = static_cast<std::uint16_t>(5u << x);
        if ((rows[y] & sides) != sides || (rows[y + 1] & three) || (rows[y + 2] & mid)) continue;
        if (!(rows[y + 2] & sides)) continue;
        const int lines = ((rows[y] | mid) == FULL_ROW) + ((rows[y + 1] | three) == FULL_ROW);
        best = std::max(best, w.t_slot[static_cast<std::size_t>(lines)]);
    }
    return best;
}

// Builds a state whose board holds `rows` as solid cells and the falling piece `kind` at its
// spawn position, with the given hold and the known pieces after it queued.
bool search_state(const SolidRows& rows, Tet kind, int hold, std::span<const Tet> queue,
                  tet::GameState& s) {
    // Two cells a byte, the even column high: the byte of a row's columns 2k and 2k + 1.
    constexpr std::array<std::uint8_t, 4> PAIR = {0x00, 0x80, 0x08, 0x88};
    for (int y = 0; y < tet::BoardMatrix::ROWS; ++y)
        for (int k = 0; k < 5; ++k)
            s.main_board.rows[static_cast<std::size_t>(y)].v_r[static_cast<std::size_t>(k)].v =
                PAIR[(rows[static_cast<std::size_t>(y)] >> (2 * k)) & 3];
    const tet::CurrentPcsInfo piece{tet::spawn_pos(kind), kind, tet::RotState::R0, 0};
    if (s.main_board.spawn_piece(piece).failed()) return false;
    s.current_pcs = piece;
    s.current_id = 1;
    s.hold_pcs = hold >= 0 ? std::optional<tet::HoldPcsInfo>({true, tet::tet_from_index(hold)})
                           : std::nullopt;
    s.next_pcs_idx = 1;
    s.next_pcs_bags.fill(Tet::I);
    for (std::size_t k = 0; k < queue.size() && k + 1 < s.next_pcs_bags.size(); ++k)
        s.next_pcs_bags[k + 1] = queue[k];
    return true;
}

}  // namespace

const BeamWeights* beam_weights(std::string_view name) {
    if (name == "default") return &DEFAULT_WEIGHTS;
    if (name == "safe") return &SAFE_WEIGHTS;
    return nullptr;
}

std::span<const std::string_view> beam_weight_names() { return WEIGHT_NAMES; }

float& weight_at(BeamWeights& w, int i) {
    switch (i) {
        case 0: return w.holes;
        case 1: return w.covered;
        case 2: return w.height;
        case 3: return w.danger;
        case 4: return w.bumpiness;
        case 5: return w.bumpiness_sq;
        case 6: return w.row_transitions;
        case 7: return w.well;
        case 8: case 9: case 10: return w.t_slot[static_cast<std::size_t>(i - 8)];
        case 11: return w.back_to_back;
        case 12: return w.attack;
        case 13: case 14: case 15: case 16: case 17: return w.clear[static_cast<std::size_t>(i - 13)];
        case 18: return w.t_spin;
        case 19: return w.wasted_t;
        default: return w.combo;
    }
}

float evaluate_board(const SolidRows& rows, const BeamWeights& w, int garbage) {
    const tet::SolidCols cols = tet::solid_cols(rows);
    std::array<int, 10> h{};
    int top = 0, holes = 0, covered = 0, well_x = 0;
    for (int x = 0; x < tet::BoardMatrix::COLS; ++x) {
        const std::uint64_t c = cols[static_cast<std::size_t>(x)];
        const int hx = tet::column_top(c);
        h[static_cast<std::size_t>(x)] = hx;
        top = std::max(top, hx);
        const std::uint64_t below = hx ? (std::uint64_t{1} << hx) - 1 : 0;
        const std::uint64_t empty = ~c & below;
        if (empty) {
            holes += tet::popcount64(empty);
            covered += std::min(6, tet::popcount64(c >> std::countr_zero(empty)));
        }
        if (hx < h[static_cast<std::size_t>(well_x)]) well_x = x;
    }
    // Steps between neighbours, the well's two sides left out.
    int bump = 0, bump_sq = 0;
    for (int x = 0; x + 1 < tet::BoardMatrix::COLS; ++x) {
        if (x == well_x || x + 1 == well_x) continue;
        const int d = std::abs(h[static_cast<std::size_t>(x)] - h[static_cast<std::size_t>(x + 1)]);
        bump += d;
        bump_sq += d * d;
    }
    const int left = well_x > 0 ? h[static_cast<std::size_t>(well_x - 1)] : 64;
    const int right = well_x < 9 ? h[static_cast<std::size_t>(well_x + 1)] : 64;
    const int well = std::clamp(std::min(left, right) - h[static_cast<std::size_t>(well_x)], 0, 4);
    int transitions = 0;
    for (int y = 0; y < top; ++y) {
        // The row between two solid walls: bits 0 and 11 set, the cells at 1..10.
        const unsigned r = (static_cast<unsigned>(rows[static_cast<std::size_t>(y)]) << 1) | 0x801u;
        transitions += tet::popcount64((r ^ (r >> 1)) & 0x7FFu);
    }
    const int over = std::max(0, top + std::max(0, garbage) - SAFE_ROWS);
    return w.holes * static_cast<float>(holes) + w.covered * static_cast<float>(covered) +
           w.height * static_cast<float>(top) + w.danger * static_cast<float>(over * over) +
           w.bumpiness * static_cast<float>(bump) + w.bumpiness_sq * static_cast<float>(bump_sq) +
           w.row_transitions * static_cast<float>(transitions) + w.well * static_cast<float>(well) +
           t_slot_value(rows, h, w);
}

bool lock_rows(const SolidRows& base, const Placement& p, SolidRows& out, int& lines) {
    out = base;
    for (const tet::ShapeCell& c : tet::shape(p.rs, p.kind).cells) {
        const int y = p.row + c.i, x = p.col + c.j;
        if (y < 0 || y >= tet::BoardMatrix::ROWS || x < 0 || x >= tet::BoardMatrix::COLS) return false;
        out[static_cast<std::size_t>(y)] = static_cast<std::uint16_t>(out[static_cast<std::size_t>(y)] | 1u << x);
    }
    lines = 0;
    int k = 0;
    for (int y = 0; y < tet::BoardMatrix::ROWS; ++y) {
        const std::uint16_t r = out[static_cast<std::size_t>(y)];
        if (r == FULL_ROW) ++lines;
        else out[static_cast<std::size_t>(k++)] = r;
    }
    for (; k < tet::BoardMatrix::ROWS; ++k) out[static_cast<std::size_t>(k)] = 0;
    return true;
}

namespace {

// The position after locking placement `p` on `base` from `parent`; false when the next
// piece (kind `next_kind`, -1 beyond the preview) could not be drawn, ending the game.
bool lock_placement(const BeamNode& parent, const SolidRows& base, const Placement& p,
                    int next_hold, int next_index, int next_kind,
                    const BeamWeights& w, BeamNode& child) {
    // Step 1. The piece's cells, then the full rows removed.
    int lines = 0;
    if (!lock_rows(base, p, child.rows, lines)) return false;
    bool empty = true;
    for (const std::uint16_t r : child.rows) empty = empty && r == 0;
    if (!spawn_fits(child.rows, next_kind)) return false;

    // Step 2. The lock's outcome priced by the guideline table. Hold's own bookkeeping ends a
    // combo before the held piece locks.
    tet::LockOutcome o;
    o.lines = lines;
    o.kind = p.kind;
    o.t_spin = p.spin == tet::SpinKind::Spin || p.spin == tet::SpinKind::Full;
    o.t_mini_spin = p.spin == tet::SpinKind::Mini || p.spin == tet::SpinKind::Full;
    o.perfect_clear = lines > 0 && empty;
    const int combo_before = p.hold ? -1 : parent.combo;
    o.combo = static_cast<std::int8_t>(lines > 0 ? std::min(combo_before + 1, 100) : -1);
    bool chain = parent.chain;
    if (lines > 0) {
        const bool difficult = tet::difficult_clear(o);
        o.back_to_back = difficult && chain;
        chain = difficult;
    }
    const int attack = tet::attack_of(tet::AttackTable::Guideline, o);

    // Step 3. Lock terms.
    const bool t_spin_clear = lines > 0 && p.kind == Tet::T && (o.t_spin || o.t_mini_spin);
    float acc = parent.acc + w.attack * static_cast<float>(attack);
    if (t_spin_clear) acc += w.t_spin * static_cast<float>(lines);
    else acc += w.clear[static_cast<std::size_t>(std::min(lines, 4))];
    if (p.kind == Tet::T && !t_spin_clear) acc += w.wasted_t;
    if (o.combo > 0) acc += w.combo * static_cast<float>(o.combo);

    child.acc = acc;
    child.root = parent.root;
    child.hold = static_cast<std::int8_t>(next_hold);
    child.next = static_cast<std::uint8_t>(next_index);
    child.combo = o.combo;
    child.chain = chain;
    child.garbage = static_cast<std::int16_t>(std::max(0, parent.garbage - attack));
    child.value = acc + evaluate_board(child.rows, w, child.garbage) +
                  (chain ? w.back_to_back : 0.0f);
    return true;
}

std::uint64_t node_hash(const BeamNode& n) {
    std::uint64_t words[10];
    std::memcpy(words, n.rows.data(), sizeof(words));
    std::uint64_t h = static_cast<std::uint64_t>(static_cast<std::uint8_t>(n.hold)) |
                      static_cast<std::uint64_t>(n.next) << 8 |
                      static_cast<std::uint64_t>(static_cast<std::uint8_t>(n.combo)) << 16 |
                      static_cast<std::uint64_t>(n.chain) << 24;
    for (const std::uint64_t v : words) h = splitmix64(h ^ v);
    return h;
}

bool same_position(const BeamNode& a, const BeamNode& b) {
    return a.hold == b.hold && a.next == b.next && a.combo == b.combo && a.chain == b.chain &&
           a.rows == b.rows;
}

}  // namespace

BeamSearch::BeamSearch()
    : root_(std::make_unique<tet::PlacementList>()), list_(std::make_unique<tet::PlacementList>()) {}

void BeamSearch::begin_level(std::size_t capacity) {
    next_.clear();
    if (next_.capacity() < capacity) next_.reserve(capacity);
    std::size_t size = 1024;
    while (size < 2 * capacity) size *= 2;
    if (table_.size() < size) {
        table_.assign(size, Slot{});
        stamp_ = 0;
    }
    if (++stamp_ == 0) {
        std::fill(table_.begin(), table_.end(), Slot{});
        stamp_ = 1;
    }
}

void BeamSearch::offer(const BeamNode& child) {
    const std::size_t mask = table_.size() - 1;
    for (std::size_t i = node_hash(child) & mask;; i = (i + 1) & mask) {
        Slot& slot = table_[i];
        if (slot.stamp != stamp_) {
            if (next_.size() * 2 >= table_.size()) break;  // full: keep without merging
            slot = Slot{stamp_, static_cast<std::uint32_t>(next_.size())};
            break;
        }
        BeamNode& seen = next_[slot.node];
        if (same_position(seen, child)) {
            if (child.value > seen.value) seen = child;
            return;
        }
    }
    next_.push_back(child);
}

void BeamSearch::expand(const BeamNode& n, const BeamSettings& st) {
    if (n.next >= known_nb_) {
        offer(n);  // the next piece lies beyond the preview: the line of play ends here
        return;
    }
    const Tet current = known_[n.next];
    const std::span<const Tet> queue(known_.data() + n.next + 1,
                                     static_cast<std::size_t>(known_nb_ - n.next - 1));
    tet::GameState s;
    if (!search_state(n.rows, current, n.hold, queue, s)) return;
    // Holding a piece of the falling piece's own kind leads to the positions without Hold.
    const bool with_hold = n.hold >= 0 ? n.hold != tet::index(current) : !queue.empty();
    tet::list_placements(s, with_hold, *list_);
    for (const Placement& p : list_->view()) {
        if (st.max_keys > 0 && p.key_nb > st.max_keys) continue;
        int hold = n.hold, next = n.next + 1;
        if (p.hold) {
            hold = tet::index(current);
            next = n.hold >= 0 ? n.next + 1 : n.next + 2;
        }
        const int next_kind = next < known_nb_ ? tet::index(known_[next]) : -1;
        BeamNode child;
        ++nodes_;
        if (lock_placement(n, n.rows, p, hold, next, next_kind, st.weights, child))
            offer(child);
    }
}

BeamChoice BeamSearch::choose(const GameState& s, const BeamSettings& settings) {
    BeamSettings st = settings;
    st.width = std::clamp(st.width, 1, MAX_BEAM_WIDTH);
    st.depth = std::clamp(st.depth, 1, MAX_BEAM_DEPTH);
    nodes_ = 0;
    BeamChoice choice;

    // Step 1. Every placement of the state, and the pieces known: the falling one, then the
    // preview.
    tet::list_placements(s, true, *root_);
    if (root_->count == 0) return choice;
    const Tet current = s.current_pcs->tet;
    known_nb_ = 0;
    known_[static_cast<std::size_t>(known_nb_++)] = current;
    if (const auto preview = s.get_next_pcs(); !preview.failed())
        for (const Tet t : preview.value) known_[static_cast<std::size_t>(known_nb_++)] = t;

    // Step 2. The first level, from the state's own board. Hold's bookkeeping lets waiting
    // garbage in before the held piece is placed, so that group starts from the board after
    // Hold; the others meet the waiting rows after their lock.
    BeamNode start;
    start.rows = tet::solid_rows(s.board_without_falling_piece());
    start.hold = s.hold_pcs ? static_cast<std::int8_t>(tet::index(s.hold_pcs->tet)) : -1;
    start.combo = s.combo_counter;
    start.chain = st.back_to_back || s.is_b2b;
    const int waiting = static_cast<std::uint16_t>(s.garbage_recv - s.garbage_applied);
    start.garbage = static_cast<std::int16_t>(std::clamp(waiting + std::max(0, st.incoming), 0, 400));
    SolidRows held_rows = start.rows;
    int held_garbage = start.garbage;
    bool held_known = false;

    begin_level(static_cast<std::size_t>(root_->count));
    for (int i = 0; i < root_->count; ++i) {
        const Placement& p = root_->items[static_cast<std::size_t>(i)];
        if (st.max_keys > 0 && p.key_nb > st.max_keys) continue;
        BeamNode parent = start;
        parent.root = static_cast<std::uint16_t>(i);
        int hold = start.hold, next = 1;
        const SolidRows* base = &start.rows;
        if (p.hold) {
            if (!held_known) {
                held_known = true;
                if (const auto held = s.try_action(TetAction::Hold, 0); !held.failed()) {
                    held_rows = tet::solid_rows(held.value.board_without_falling_piece());
                    held_garbage = std::max(0, start.garbage - waiting);
                }
            }
            base = &held_rows;
            parent.garbage = static_cast<std::int16_t>(held_garbage);
            hold = tet::index(current);
            next = start.hold >= 0 ? 1 : 2;
        }
        const int next_kind = next < known_nb_ ? tet::index(known_[static_cast<std::size_t>(next)]) : -1;
        BeamNode child;
        ++nodes_;
        if (lock_placement(parent, *base, p, hold, next, next_kind, st.weights, child))
            offer(child);
    }
    if (next_.empty()) {
        // Every placement ends the game: the first one allowed.
        for (int i = 0; i < root_->count; ++i)
            if (st.max_keys <= 0 || root_->items[static_cast<std::size_t>(i)].key_nb <= st.max_keys) {
                choice.index = i;
                break;
            }
        choice.nodes = nodes_;
        return choice;
    }

    // Step 3. Each further level: the best `width` positions of the last, each expanded.
    std::vector<Ranked>& ranked = ranked_;
    auto keep_best = [&] {
        ranked.clear();
        ranked.reserve(next_.size());
        for (std::size_t i = 0; i < next_.size(); ++i)
            ranked.push_back({next_[i].value, static_cast<std::uint32_t>(i)});
        const std::size_t keep = std::min(ranked.size(), static_cast<std::size_t>(st.width));
        std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end());
        beam_.clear();
        for (std::size_t i = 0; i < keep; ++i) beam_.push_back(next_[ranked[i].index]);
    };
    keep_best();
    for (int level = 1; level < st.depth; ++level) {
        begin_level(beam_.size() * 96);
        for (const BeamNode& n : beam_) expand(n, st);
        if (next_.empty()) break;  // every line of play ends the game: keep the last level
        keep_best();
    }

    // Step 4. The best line's first placement; exact ties between first placements drawn by
    // the seed.
    const float best = beam_.front().value;
    std::array<std::uint16_t, 64> tied{};
    int tied_nb = 0;
    for (const BeamNode& n : beam_) {
        if (n.value != best) break;
        bool seen = false;
        for (int k = 0; k < tied_nb; ++k) seen = seen || tied[static_cast<std::size_t>(k)] == n.root;
        if (!seen && tied_nb < static_cast<int>(tied.size())) tied[static_cast<std::size_t>(tied_nb++)] = n.root;
    }
    std::sort(tied.begin(), tied.begin() + tied_nb);
    const int pick = st.seed == 0 || tied_nb == 1
                         ? 0
                         : static_cast<int>(splitmix64(st.seed) % static_cast<std::uint64_t>(tied_nb));
    choice.index = tied[static_cast<std::size_t>(pick)];
    choice.value = best;
    choice.nodes = nodes_;
    return choice;
}

}  // namespace game::bot
