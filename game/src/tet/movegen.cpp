// Move generation: the chain list and its prefix tree, the valid-chain walk with its exact and
// solid-cell forms, the bots' landings, the single-action mask, and the search for every
// placement of a piece with its key paths.
#include "tet/movegen.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdlib>
#include <new>
#include <vector>

#include "tet/state_detail.hpp"
#include "tet/turn.hpp"

namespace game::tet {

namespace {

using enum TetAction;

// ---- The chain list and its prefix tree ------------------------------------------------------

// The eight prefixes, in list order: hold first if at all, then the rotation (a half turn is
// two RotateRight, a counter-clockwise quarter turn one RotateLeft).
constexpr int PREFIX_NB = 8;
constexpr std::array<ChainSpec, PREFIX_NB> PREFIXES = {{
    {{}, 0},
    {{RotateLeft}, 1},
    {{RotateRight}, 1},
    {{RotateRight, RotateRight}, 2},
    {{Hold}, 1},
    {{Hold, RotateLeft}, 2},
    {{Hold, RotateRight}, 2},
    {{Hold, RotateRight, RotateRight}, 3},
}};

// Suffix s of every prefix's group of twelve: s = 0 and s = 6 drop at once (the list keeps the
// duplicate), s = 1..5 shift right s times, s = 7..11 shift left s - 6 times; then HardDrop.
constexpr int SUFFIX_NB = 12;
constexpr int SHIFTS_PER_SIDE = 6;
static_assert(PREFIX_NB * SUFFIX_NB == CHAIN_NB);

// Chain n is prefix n / 12 followed by suffix n % 12.
constexpr std::array<ChainSpec, CHAIN_NB> CHAIN_TABLE = [] {
    std::array<ChainSpec, CHAIN_NB> table{};
    for (int p = 0; p < PREFIX_NB; ++p)
        for (int s = 0; s < SUFFIX_NB; ++s) {
            ChainSpec& chain = table[p * SUFFIX_NB + s];
            for (int k = 0; k < PREFIXES[p].size; ++k) chain.push(PREFIXES[p].actions[k]);
            const TetAction shift = s < SHIFTS_PER_SIDE ? MoveRight : MoveLeft;
            for (int k = 0; k < s % SHIFTS_PER_SIDE; ++k) chain.push(shift);
            chain.push(HardDrop);
        }
    return table;
}();

static_assert(CHAIN_TABLE[0].size == 1 && CHAIN_TABLE[0].actions[0] == HardDrop);
static_assert(CHAIN_TABLE[95].size == MAX_CHAIN_LEN);

// Every prefix of every chain, numbered in order of first appearance (parents first).
struct PrefixTrie {
    static constexpr int CAPACITY = 1 + CHAIN_NB * MAX_CHAIN_LEN;

    int node_nb = 1;
    std::array<std::uint8_t, CAPACITY> parent{};
    std::array<TetAction, CAPACITY> action{};
    std::array<std::array<std::int16_t, ACTION_NB>, CAPACITY> child{};
    std::array<bool, CAPACITY> leaf{};
    std::array<std::int16_t, CHAIN_NB> chain_node{};
};

constexpr PrefixTrie build_trie() {
    PrefixTrie t{};
    for (auto& row : t.child) row.fill(ChainTree::NO_NODE);
    for (int c = 0; c < CHAIN_NB; ++c) {
        int node = 0;
        for (int k = 0; k < CHAIN_TABLE[c].size; ++k) {
            const TetAction a = CHAIN_TABLE[c].actions[k];
            if (t.child[node][index(a)] == ChainTree::NO_NODE) {
                t.child[node][index(a)] = static_cast<std::int16_t>(t.node_nb);
                t.parent[t.node_nb] = static_cast<std::uint8_t>(node);
                t.action[t.node_nb] = a;
                ++t.node_nb;
            }
            node = t.child[node][index(a)];
        }
        t.chain_node[c] = static_cast<std::int16_t>(node);
    }
    for (int n = 0; n < t.node_nb; ++n) {
        t.leaf[n] = true;
        for (std::int16_t ch : t.child[n]) t.leaf[n] = t.leaf[n] && ch == ChainTree::NO_NODE;
    }
    return t;
}

constexpr PrefixTrie TRIE = build_trie();

constexpr int inner_node_nb(const PrefixTrie& t) {
    int n = 0;
    for (int i = 0; i < t.node_nb; ++i) n += !t.leaf[i];
    return n;
}

static_assert(TRIE.node_nb == ChainTree::NODE_NB, "175 distinct non-empty prefixes");
static_assert(inner_node_nb(TRIE) == ChainTree::LEAF_BEGIN);

// The trie renumbered: inner nodes first, shallower before deeper, then leaves; first-appearance
// order within each group. No inner node then comes between another of the same depth and
// its parent, so the prefixes of one depth can be played as one batch.
constexpr ChainTree build_tree() {
    std::array<int, ChainTree::NODE_NB> depth{};
    int max_depth = 0;
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        depth[n] = depth[TRIE.parent[n]] + 1;
        max_depth = depth[n] > max_depth ? depth[n] : max_depth;
    }
    std::array<std::int16_t, ChainTree::NODE_NB> renumbered{};
    int next = 0;
    for (int d = 0; d <= max_depth; ++d)
        for (int n = 0; n < ChainTree::NODE_NB; ++n)
            if (!TRIE.leaf[n] && depth[n] == d) renumbered[n] = static_cast<std::int16_t>(next++);
    for (int n = 0; n < ChainTree::NODE_NB; ++n)
        if (TRIE.leaf[n]) renumbered[n] = static_cast<std::int16_t>(next++);

    ChainTree tree{};
    for (int n = 0; n < ChainTree::NODE_NB; ++n) {
        const int m = renumbered[n];
        tree.parent[m] = static_cast<std::uint8_t>(renumbered[TRIE.parent[n]]);
        tree.action[m] = TRIE.action[n];
        for (int a = 0; a < ACTION_NB; ++a) {
            const std::int16_t ch = TRIE.child[n][a];
            tree.child[m][a] = ch == ChainTree::NO_NODE ? ChainTree::NO_NODE : renumbered[ch];
        }
    }
    for (int c = 0; c < CHAIN_NB; ++c) {
        tree.chain_node[c] = static_cast<std::uint8_t>(renumbered[TRIE.chain_node[c]]);
        tree.chain_size[c] = CHAIN_TABLE[c].size;
    }
    for (int size = 0; size <= MAX_CHAIN_LEN; ++size)
        for (int c = 0; c < CHAIN_NB; ++c)
            if (tree.chain_size[c] < size) ++tree.shorter[size];
    return tree;
}

constexpr ChainTree TREE = build_tree();

// Parents come before children, inner nodes by depth, and walking a chain from the root ends
// on a leaf that only HardDrop enters; no chain soft-drops (so each locks only at its end).
constexpr bool tree_is_sound(const ChainTree& t) {
    std::array<int, ChainTree::NODE_NB> depth{};
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        depth[n] = depth[t.parent[n]] + 1;
        if (n < ChainTree::LEAF_BEGIN && depth[n] < depth[n - 1]) return false;
    }
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        if (t.parent[n] >= n) return false;
        if (t.child[t.parent[n]][index(t.action[n])] != n) return false;
        if ((n >= ChainTree::LEAF_BEGIN) != (t.action[n] == HardDrop)) return false;
        if (t.action[n] == SoftDrop) return false;
    }
    for (int c = 0; c < CHAIN_NB; ++c)
        if (t.chain_size[c] < 1 || t.chain_size[c] > MAX_CHAIN_LEN) return false;
    for (int c = 0; c < CHAIN_NB; ++c) {
        int node = 0;
        for (int k = 0; k < CHAIN_TABLE[c].size; ++k)
            node = t.child[node][index(CHAIN_TABLE[c].actions[k])];
        if (node != t.chain_node[c] || node < ChainTree::LEAF_BEGIN) return false;
    }
    return true;
}
static_assert(tree_is_sound(TREE));

// ---- Chains on solid cells -------------------------------------------------------------------

inline std::int8_t i8(int v) { return static_cast<std::int8_t>(v); }

// A grid row's mask moved to the piece's column (the piece lies on the board).
inline std::uint16_t shifted(std::uint16_t bits, int x) {
    return static_cast<std::uint16_t>(x >= 0 ? bits << x : bits >> -x);
}

// A grid column's mask moved to the piece's row (the piece lies on the board, so the bits
// shifted out below row 0 are empty).
inline std::uint64_t column_bits(std::uint8_t bits, int y) {
    return y >= 0 ? std::uint64_t{bits} << y : std::uint64_t{bits} >> -y;
}

// How many rows a piece (on the board, not among `cols`) falls on those solid cells.
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

// The chains of one piece played on a board that stays as it is until the chain's one lock:
// before it, moves, rotations and holds see only the input's solid cells without the falling
// piece, so a prefix's outcome is its Piece, a few bytes, and the board is built only for each
// chain's final hard drop. For a state that from() accepts, every prefix gets the acceptance
// the exact actions give, and every chain's lock the line count and solid cells.
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
    // board, the running seed decides nothing the chains read (search_shortcut_ok), and no row
    // is full without the piece (a hold would clear it). `root` gets the input's Piece.
    static bool from(const GameState& s, LockSearch& out, Piece& root) {
        if (!detail::search_shortcut_ok(s) || s.is_over() || !s.current_pcs) return false;
        const CurrentPcsInfo& p = *s.current_pcs;
        const Shape& m = shape(p.rs, p.tet);
        if (!BoardMatrix::in_bounds(p.pos, m)) return false;
        out.rows = solid_rows(s.main_board);
        for (int i = m.min_i; i <= m.max_i; ++i)
            out.rows[p.pos.y + i] =
                static_cast<std::uint16_t>(out.rows[p.pos.y + i] & ~shifted(m.row_bits[i], p.pos.x));
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

    // One action other than a drop on `p`; false when it is refused or ends the game (the
    // next piece cannot enter after a hold). A soft drop that would lock is an internal
    // failure: such chains are not searched here.
    bool act(Piece& p, TetAction action) const {
        switch (action) {
            case Nothing: return true;
            case MoveLeft:
            case MoveRight: {
                CurrentPcsInfo moved = p.piece;
                moved.pos.x = i8(p.piece.pos.x + (action == MoveLeft ? -1 : 1));
                if (!fits(moved)) return false;
                p.piece = moved;
                return true;
            }
            case RotateLeft:
            case RotateRight:
                return turn_with_kicks(p.piece, action == RotateRight,
                                       [this](const CurrentPcsInfo& c) { return fits(c); });
            case Hold: {
                if (p.has_hold && !p.hold.can_use) return false;
                const Tet falling = p.piece.tet;
                const Tet kind = p.has_hold ? p.hold.tet : queued(p.next_pcs_idx++);
                p.hold = HoldPcsInfo{false, falling};
                p.has_hold = true;
                p.piece = CurrentPcsInfo{spawn_pos(kind), kind, RotState::R0, 0};
                return fits(p.piece);
            }
            case SoftDrop: {
                CurrentPcsInfo lower = p.piece;
                lower.pos.y = i8(p.piece.pos.y - 1);
                if (!fits(lower)) internal_failure("search chain locks before its end");
                p.piece = lower;
                return true;
            }
            case HardDrop: break;
        }
        internal_failure("search chain locks before its end");
    }

    // The hard drop of a piece on this board (the piece itself not among its cells): the same
    // plan as the board with the piece drawn gives.
    detail::LockPlan plan(const CurrentPcsInfo& c) const {
        const Shape& m = shape(c.rs, c.tet);
        detail::LockPlan out;
        out.drop = fall_distance(cols, c);
        const int y = c.pos.y - out.drop, x = c.pos.x;
        std::uint64_t filled = nonempty;
        for (int i = m.min_i; i <= m.max_i; ++i) {
            const std::uint16_t r = static_cast<std::uint16_t>(rows[y + i] | shifted(m.row_bits[i], x));
            if (r == FULL_ROW) out.full |= std::uint64_t{1} << (y + i);
            filled |= std::uint64_t{1} << (y + i);
        }
        // Clearing leaves the board empty when every row with a solid cell goes (a freed top
        // row takes row 39's content only when row 39 stays).
        out.perfect_clear = (filled & ~out.full) == 0;
        return out;
    }

    // The solid cells once `piece` (not among this board's cells) has locked as `landing` says
    // and the full rows are cleared, with each column's cell count; returns the rows cleared.
    int lock(const CurrentPcsInfo& c, const detail::LockPlan& landing, SolidCols& out,
             std::array<std::int8_t, BoardMatrix::COLS>& n) const {
        const Shape& m = shape(c.rs, c.tet);
        const std::uint64_t full = landing.full;
        const int y = c.pos.y - landing.drop, x = c.pos.x;
        out = cols;
        n = count;
        for (int j = m.min_j; j <= m.max_j; ++j) {
            out[x + j] |= column_bits(m.col_bits[j], y);
            n[x + j] = static_cast<std::int8_t>(n[x + j] + m.col_count[j]);
        }
        if (!full) return 0;
        // Full rows go, the rows above move down, and the rows freed at the top take row 39's
        // content (nothing when row 39 itself was full).
        std::uint16_t row39 = rows[BoardMatrix::ROWS - 1];
        if (y + m.max_i == BoardMatrix::ROWS - 1)
            row39 = static_cast<std::uint16_t>(row39 | shifted(m.row_bits[m.max_i], x));
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

    SolidCols locked_cols(const CurrentPcsInfo& piece, const detail::LockPlan& landing) const {
        SolidCols out;
        std::array<std::int8_t, BoardMatrix::COLS> n;
        (void)lock(piece, landing, out, n);
        return out;
    }

    // Hard-drops p's piece: what the lock leaves, with the next piece not on the board. False
    // when the next piece cannot enter.
    bool hard_drop(const Piece& p, Landing& out) const {
        std::array<std::int8_t, BoardMatrix::COLS> n;  // solid cells per column
        const int cleared = lock(p.piece, plan(p.piece), out.cols, n);
        out.total_lines = static_cast<std::uint16_t>(total_lines + cleared);

        // The metrics of board_metrics(out.cols), with each column's cell count known.
        BoardMetrics& metrics = out.metrics;
        metrics = BoardMetrics{0, 0, 0};
        int prev = 0;
        for (int col = 0; col < BoardMatrix::COLS; ++col) {
            const int t = column_top(out.cols[col]);
            const int h = t ? t - 1 : 0;
            if (t) metrics.holes += t - n[col];
            metrics.height = std::max(metrics.height, h);
            if (col) metrics.bumpi = std::max(metrics.bumpi, std::abs(prev - h));
            prev = h;
        }

        // The next piece must enter the locked board.
        const Tet kind = queued(p.next_pcs_idx);
        const CurrentPcsInfo next{spawn_pos(kind), kind, RotState::R0, 0};
        const Shape& nm = shape(next.rs, next.tet);
        for (int j = nm.min_j; j <= nm.max_j; ++j)
            if (out.cols[next.pos.x + j] & column_bits(nm.col_bits[j], next.pos.y)) return false;
        return true;
    }

private:
    bool fits(const CurrentPcsInfo& p) const {
        const Shape& m = shape(p.rs, p.tet);
        if (!BoardMatrix::in_bounds(p.pos, m)) return false;
        for (int i = m.min_i; i <= m.max_i; ++i)
            if (rows[p.pos.y + i] & shifted(m.row_bits[i], p.pos.x)) return false;
        return true;
    }

    // The kind at a queue position counted in the input's queue; the refill that a position
    // past the first bag would need moves the second bag forward, so the input's own fourteen
    // kinds cover every position a chain reaches.
    Tet queued(int pos) const {
        if (pos >= static_cast<int>(next_pcs_bags.size()))
            internal_failure("search read a queue position it cannot know");
        return next_pcs_bags[pos];
    }
};

// The prefixes a chain continues, walked on solid cells: accepted[n] for every inner node whose
// actions are accepted one after another, with the piece it leaves in at[n], and for every
// leaf whether its hard drop is accepted (always, once its prefix is: the game runs and the
// piece lies on the board).
struct PrefixWalk {
    std::array<bool, ChainTree::NODE_NB> accepted{};
    std::array<LockSearch::Piece, ChainTree::LEAF_BEGIN> at;
};
void walk_prefixes(const LockSearch& board, const LockSearch::Piece& root, PrefixWalk& w) {
    w.at[0] = root;
    w.accepted[0] = true;
    for (int n = 1; n < ChainTree::NODE_NB; ++n) {
        const int parent = TREE.parent[n];
        if (!w.accepted[parent]) continue;
        if (n >= ChainTree::LEAF_BEGIN) {
            w.accepted[n] = true;
            continue;
        }
        w.at[n] = w.at[parent];
        w.accepted[n] = board.act(w.at[n], TREE.action[n]);
    }
}

// ---- Chains with the exact actions -----------------------------------------------------------

// Room for a state left uninitialised until it is built in place.
union Slot {
    Slot() {}
    GameState v;
};

// for_each_valid_chain on a board with cells of the codes 10 to 15: which of those cells a
// chain's final state keeps depends on the ghosts of its prefixes, so each prefix is played
// whole, ghost and seed included, one after another.
void valid_chains_with_ghosts(const GameState& state, FnRef<void*(int)> place_leaf,
                              FnRef<void(int, int, const GameState&)> on_valid) {
    std::array<Slot, ChainTree::LEAF_BEGIN> inner;
    ::new (&inner[0].v) GameState(state);
    std::array<bool, ChainTree::LEAF_BEGIN> accepted{};
    accepted[0] = true;
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n) {
        const int parent = TREE.parent[n];
        if (!accepted[parent]) continue;
        ::new (&inner[n].v) GameState(inner[parent].v);
        accepted[n] = detail::act_in_place(inner[n].v, TREE.action[n], 0).ok();
    }
    std::array<const GameState*, ChainTree::LEAF_NB> leaf{};
    for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
        const int node = ChainTree::LEAF_BEGIN + k;
        const int parent = TREE.parent[node];
        if (!accepted[parent]) continue;
        void* room = place_leaf(k);
        if (!room) continue;
        GameState& last = *::new (room) GameState(inner[parent].v);
        if (detail::act_in_place(last, TREE.action[node], 0).ok()) leaf[k] = &last;
    }
    for (int c = 0; c < CHAIN_NB; ++c) {
        const int k = TREE.leaf_of(c);
        if (leaf[k]) on_valid(c, k, *leaf[k]);
    }
}

// The leaves in the order of their parents.
constexpr std::array<std::uint8_t, ChainTree::LEAF_NB> LEAVES_BY_PARENT = [] {
    std::array<std::uint8_t, ChainTree::LEAF_NB> order{};
    // An insertion sort, stable.
    for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
        const auto leaf = static_cast<std::uint8_t>(k);
        int i = k;
        for (; i > 0 && TREE.parent[ChainTree::LEAF_BEGIN + order[i - 1]] >
                            TREE.parent[ChainTree::LEAF_BEGIN + leaf];
             --i)
            order[i] = order[i - 1];
        order[i] = leaf;
    }
    return order;
}();


// ---- Every placement -------------------------------------------------------------------------

// The actions a placement search expands, in the order its ties go.
constexpr std::array<TetAction, 5> SEARCH_ACTIONS = {MoveLeft, MoveRight, RotateRight, RotateLeft,
                                                     SoftDrop};

// The cells a shape covers, up to where they lie: the first rotation of the kind covering the
// same cells once both are moved to their lowest row and leftmost column, and that corner.
struct CellSet {
    std::uint8_t first_rs;
    std::int8_t min_i, min_j;
};
constexpr std::array<std::array<CellSet, TET_NB>, rot::ROT_NB> CELL_SETS = [] {
    std::array<std::array<CellSet, TET_NB>, rot::ROT_NB> out{};
    auto same = [](const Shape& a, const Shape& b) {
        for (int k = 0; k < 4; ++k) {
            bool found = false;
            for (int m = 0; m < 4; ++m)
                found = found || (a.cells[k].i - a.min_i == b.cells[m].i - b.min_i &&
                                  a.cells[k].j - a.min_j == b.cells[m].j - b.min_j);
            if (!found) return false;
        }
        return true;
    };
    for (int t = 0; t < TET_NB; ++t)
        for (int r = 0; r < rot::ROT_NB; ++r) {
            const Shape& sh = ALL_SHAPES[r][t];
            int first = r;
            for (int q = 0; q < r; ++q)
                if (same(ALL_SHAPES[q][t], sh)) {
                    first = q;
                    break;
                }
            out[r][t] = CellSet{static_cast<std::uint8_t>(first), sh.min_i, sh.min_j};
        }
    return out;
}();

// Whether a search may read `s`'s moves, turns, drops and locks from the solid cells of its
// board: the game runs, the falling piece lies drawn on the board, no cell holds a code that
// reads as empty yet changes as pieces pass, and a hard drop locks only the falling piece.
// What the running seed still decides (garbage waiting, a queue out of order) is the board
// and the queue after the lock, never where a piece locks or what it clears.
bool placement_shortcut_ok(const GameState& s) {
    return !s.is_over() && s.current_pcs && BoardMatrix::in_bounds(*s.current_pcs) &&
           s.current_pcs->id != s.current_id && s.main_board.is_drawn(*s.current_pcs) &&
           !has_free_codes(s.main_board);
}

inline int flags_of(bool t_spin, bool t_mini_spin) { return (t_spin ? 1 : 0) | (t_mini_spin ? 2 : 0); }

// The placements found so far of one group (without hold, or with): each new (cells, spin
// kind) is kept, with the first node to reach it.
struct PlacementSink {
    PlacementList& out;
    bool hold;
    std::array<std::uint64_t, 4 * rot::ROT_NB * BoardMatrix::COLS> seen{};  // bit: lowest row

    // Keeps the placement of `landed` with spin flags `flags` unless one of the same cells and
    // spin kind is kept already; lines() gives the rows its lock clears, asked only then.
    template <class Lines>
    void offer(const CurrentPcsInfo& landed, int flags, Lines&& lines, int node, int depth) {
        const CellSet& c = CELL_SETS[rot::index(landed.rs)][index(landed.tet)];
        const SpinKind spin = spin_kind(flags & 1, flags & 2);
        const int y = landed.pos.y + c.min_i, x = landed.pos.x + c.min_j;
        std::uint64_t& w = seen[(static_cast<int>(spin) * rot::ROT_NB + c.first_rs) * BoardMatrix::COLS + x];
        const std::uint64_t bit = std::uint64_t{1} << y;
        if (w & bit) return;
        w |= bit;
        out.items[static_cast<std::size_t>(out.count++)] =
            Placement{hold, landed.tet, landed.rs, landed.pos.y, landed.pos.x, spin,
                      static_cast<std::uint8_t>(lines()), static_cast<std::uint16_t>(depth + 1 + hold),
                      static_cast<std::uint16_t>(node)};
    }
};

// A search node: the piece's place and its spin flags (bit 0 is_t_spin, bit 1 is_t_mini_spin).
// `twin`: the same place with other flags was found before this node, so it is expanded before
// it; turns and soft drops, which do not read the flags, then lead from this node only to nodes
// found already.
struct SearchNode {
    std::int8_t y, x;
    std::uint8_t rs, flags;
    bool twin;
};

// Visited nodes: bit (row - PLACE_ROW_MIN) of [flags][rotation][column - PLACE_COL_MIN].
struct Visited {
    std::array<std::uint64_t, 4 * rot::ROT_NB * PLACE_COL_NB> bits{};
    // Marks the node; false when it was marked before.
    bool mark(int y, int x, int rs, int flags) {
        std::uint64_t& w = bits[(flags * rot::ROT_NB + rs) * PLACE_COL_NB + (x - PLACE_COL_MIN)];
        const std::uint64_t bit = std::uint64_t{1} << (y - PLACE_ROW_MIN);
        if (w & bit) return false;
        w |= bit;
        return true;
    }
    // Whether the place is marked with any spin flags.
    bool any_flags(int y, int x, int rs) const {
        const int i = rs * PLACE_COL_NB + (x - PLACE_COL_MIN);
        constexpr int F = rot::ROT_NB * PLACE_COL_NB;
        return ((bits[i] | bits[F + i] | bits[2 * F + i] | bits[3 * F + i]) >> (y - PLACE_ROW_MIN)) & 1;
    }
};

// One piece's placements on the solid cells of a board (the piece itself not among them):
// where each rotation fits, as one bit per row for each column.
struct PlaceBoard {
    SolidRows rows{};
    Tet kind = Tet::I;
    int full_before = 0;  // full rows without the piece (only decoded boards have them)
    std::array<std::array<std::uint64_t, PLACE_COL_NB>, rot::ROT_NB> fit{};

    PlaceBoard(const SolidRows& r, Tet k) : rows(r), kind(k) {
        SolidCols cols = solid_cols(rows);
        for (const std::uint16_t row : rows) full_before += row == FULL_ROW;
        for (int r4 = 0; r4 < rot::ROT_NB; ++r4) {
            const Shape& m = ALL_SHAPES[r4][index(kind)];
            // Rows where the grid's cells all lie on the board: bit b for row b + PLACE_ROW_MIN.
            const int lo = -m.min_i - PLACE_ROW_MIN, hi = BoardMatrix::ROWS - 1 - m.max_i - PLACE_ROW_MIN;
            const std::uint64_t on_board = ((std::uint64_t{1} << (hi + 1)) - 1) & ~((std::uint64_t{1} << lo) - 1);
            for (int xi = 0; xi < PLACE_COL_NB; ++xi) {
                const int x = xi + PLACE_COL_MIN;
                std::uint64_t f = 0;
                if (x + m.min_j >= 0 && x + m.max_j < BoardMatrix::COLS) {
                    f = on_board;
                    // Cell (i, j) at grid row b + PLACE_ROW_MIN lies on board row b + PLACE_ROW_MIN + i.
                    for (const ShapeCell& c : m.cells) {
                        const int shift = c.i + PLACE_ROW_MIN;
                        const std::uint64_t col = cols[x + c.j];
                        f &= ~(shift >= 0 ? col >> shift : col << -shift);
                    }
                }
                fit[r4][xi] = f;
            }
        }
    }

    bool fits(int y, int x, int rs) const {
        const unsigned yi = static_cast<unsigned>(y - PLACE_ROW_MIN), xi = static_cast<unsigned>(x - PLACE_COL_MIN);
        return yi < PLACE_ROW_NB && xi < PLACE_COL_NB && (fit[rs][xi] >> yi & 1);
    }
    bool fits(const CurrentPcsInfo& c) const { return fits(c.pos.y, c.pos.x, rot::index(c.rs)); }
    bool solid(int y, int x) const { return rows[y] >> x & 1; }

    // Rows a fitting piece falls.
    int drop(int y, int x, int rs) const {
        const int b = y - PLACE_ROW_MIN;
        const std::uint64_t blocked = ~fit[rs][x - PLACE_COL_MIN] & ((std::uint64_t{1} << b) - 1);
        return blocked ? b - column_top(blocked) : b;
    }
    // Rows a lock of the piece lying at (y, x) clears.
    int lines(int y, int x, int rs) const {
        const Shape& m = ALL_SHAPES[rs][index(kind)];
        int n = full_before;
        for (int i = m.min_i; i <= m.max_i; ++i)
            n += (rows[y + i] | shifted(m.row_bits[i], x)) == FULL_ROW;
        return n;
    }
};

// The placements of `s`'s falling piece, found on its board's solid cells (the state passes
// placement_shortcut_ok), into group `hold` of `out`.
void search_placements_fast(const GameState& s, bool hold, PlacementList& out) {
    const CurrentPcsInfo& p = *s.current_pcs;
    SolidRows rows = solid_rows(s.main_board);
    const Shape& ps = shape(p.rs, p.tet);
    for (int i = ps.min_i; i <= ps.max_i; ++i)
        rows[p.pos.y + i] = static_cast<std::uint16_t>(rows[p.pos.y + i] & ~shifted(ps.row_bits[i], p.pos.x));
    const PlaceBoard board(rows, p.tet);
    const bool can_lock = detail::queue_can_supply(s);
    PlacementSink sink{out, hold};
    PlacementList::Tree& tree = out.trees[hold];

    std::array<SearchNode, MAX_SEARCH_NODES> queue;
    std::array<std::uint16_t, MAX_SEARCH_NODES> depth;
    Visited visited;
    int tail = 0;
    const int root_flags = flags_of(s.is_t_spin, s.is_t_mini_spin);
    visited.mark(p.pos.y, p.pos.x, rot::index(p.rs), root_flags);
    queue[tail] = SearchNode{p.pos.y, p.pos.x, static_cast<std::uint8_t>(rot::index(p.rs)),
                             static_cast<std::uint8_t>(root_flags), false};
    depth[tail] = 0;
    tree.parent[tail] = 0;
    tree.action[tail++] = Nothing;
    auto push = [&](int from, TetAction a, int y, int x, int rs, int flags) {
        const bool twin = visited.any_flags(y, x, rs);
        if (!visited.mark(y, x, rs, flags)) return;
        queue[tail] = SearchNode{i8(y), i8(x), static_cast<std::uint8_t>(rs),
                                 static_cast<std::uint8_t>(flags), twin};
        depth[tail] = static_cast<std::uint16_t>(depth[from] + 1);
        tree.parent[tail] = static_cast<std::uint16_t>(from);
        tree.action[tail++] = a;
    };
    // An O covers the same cells in every rotation and turns without a kick, leaving both spin
    // flags clear: with them clear from the start, a turn only lengthens a key path, so no
    // placement's shortest path holds one.
    const bool turns_matter = p.tet != Tet::O || root_flags != 0;
    for (int head = 0; head < tail; ++head) {
        const SearchNode n = queue[head];
        const int drop = board.drop(n.y, n.x, n.rs);
        if (can_lock) {
            const CurrentPcsInfo landed{Pos{i8(n.y - drop), n.x}, p.tet, rot::rot_from_index(n.rs), 0};
            sink.offer(landed, drop ? 0 : n.flags, [&] { return board.lines(n.y - drop, n.x, n.rs); },
                       head, depth[head]);
        }
        // The actions in SEARCH_ACTIONS order.
        if (board.fits(n.y, n.x - 1, n.rs)) push(head, MoveLeft, n.y, n.x - 1, n.rs, n.flags);
        if (board.fits(n.y, n.x + 1, n.rs)) push(head, MoveRight, n.y, n.x + 1, n.rs, n.flags);
        // A node found after its place with other spin flags (`twin`) leads by turns and a
        // soft drop only to nodes found already.
        if (n.twin) continue;
        for (const bool clockwise : {true, false}) {
            if (!turns_matter) break;
            CurrentPcsInfo turned{Pos{n.y, n.x}, p.tet, rot::rot_from_index(n.rs), 0};
            rot::Offset kick;
            if (!turn_with_kicks(turned, clockwise, [&](const CurrentPcsInfo& c) { return board.fits(c); },
                                 kick))
                continue;
            const SpinFlags f = spin_after_turn(turned, kick, [&](int y, int x) { return board.solid(y, x); });
            push(head, clockwise ? RotateRight : RotateLeft, turned.pos.y, turned.pos.x,
                 rot::index(turned.rs), flags_of(f.t_spin, f.t_mini_spin));
        }
        if (drop > 0) push(head, SoftDrop, n.y - 1, n.x, n.rs, 0);
    }
}

// The same search on whole states, each node's state the one its key path (the tree's) leads
// to with the exact actions; `root` is the state after the group's first actions (Hold).
void search_placements_exact(const GameState& root, bool hold, PlacementList& out) {
    if (root.is_over() || !root.current_pcs || !BoardMatrix::in_bounds(*root.current_pcs)) return;
    PlacementSink sink{out, hold};
    PlacementList::Tree& tree = out.trees[hold];
    std::vector<GameState> states;
    std::vector<std::uint16_t> depth;
    Visited visited;
    auto push = [&](int from, TetAction a, GameState&& next) {
        const CurrentPcsInfo& c = *next.current_pcs;
        if (!visited.mark(c.pos.y, c.pos.x, rot::index(c.rs), flags_of(next.is_t_spin, next.is_t_mini_spin)))
            return;
        const int k = static_cast<int>(states.size());
        tree.parent[k] = static_cast<std::uint16_t>(from < 0 ? 0 : from);
        tree.action[k] = a;
        depth.push_back(static_cast<std::uint16_t>(from < 0 ? 0 : depth[from] + 1));
        states.push_back(std::move(next));
    };
    push(-1, Nothing, GameState(root));
    for (std::size_t head = 0; head < states.size(); ++head) {
        const int h = static_cast<int>(head);
        const CurrentPcsInfo c = *states[head].current_pcs;
        const int flags = flags_of(states[head].is_t_spin, states[head].is_t_mini_spin);
        {
            GameState dropped = states[head];
            if (detail::act_in_place(dropped, HardDrop, 0).ok()) {
                const int drop = states[head].main_board.fall_distance(c);
                CurrentPcsInfo landed = c;
                landed.pos.y = i8(c.pos.y - drop);
                const int lines = static_cast<std::uint16_t>(dropped.total_lines - states[head].total_lines);
                sink.offer(landed, drop ? 0 : flags, [&] { return lines; }, h, depth[head]);
            }
        }
        for (const TetAction a : SEARCH_ACTIONS) {
            GameState next = states[head];
            if (detail::act_in_place(next, a, 0).failed()) continue;
            // A soft drop that locks brings the next piece in: not a move of this one.
            if (next.current_id != states[head].current_id || next.is_over() || !next.current_pcs) continue;
            push(h, a, std::move(next));
        }
    }
}

void list_placements_impl(const GameState& s, bool with_hold, PlacementList& out, bool exact) {
    out.count = 0;
    if (s.is_over() || !s.current_pcs) return;
    if (!exact && placement_shortcut_ok(s)) search_placements_fast(s, false, out);
    else search_placements_exact(s, false, out);
    if (!with_hold) return;
    // Hold comes first, from the given state: its seed places any garbage it lets in.
    // Hold's own step reads no seed but the given state's (for garbage it lets in, or a bag it
    // draws), so the solid-cell search can start from it without the seed step; the exact
    // search starts from the state try_action gives.
    GameState held = s;
    if (detail::carry_out(held, Hold, 0).failed()) return;
    if (!exact && placement_shortcut_ok(held)) {
        search_placements_fast(held, true, out);
        return;
    }
    held = s;
    (void)detail::act_in_place(held, Hold, 0);
    search_placements_exact(held, true, out);
}
}  // namespace

const std::array<ChainSpec, CHAIN_NB>& chain_table() { return CHAIN_TABLE; }

const ChainTree& chain_tree() { return TREE; }

void for_each_valid_chain(const GameState& state, FnRef<void*(int)> place_leaf,
                          FnRef<void(int, int, const GameState&)> on_valid) {
    if (has_free_codes(state.main_board)) {
        valid_chains_with_ghosts(state, place_leaf, on_valid);
        return;
    }
    constexpr std::size_t BATCH = 16;

    // Actions whose own step is done and whose seeds and records are still to come, computed
    // side by side. The prefixes' own states are never handed out, so they go without a ghost.
    GameState* pending[BATCH];
    TetAction pending_action[BATCH];
    std::size_t pending_n = 0;
    auto flush = [&] {
        detail::record_all_accepted({pending, pending_n}, {pending_action, pending_n}, 0,
                                    detail::GhostWork::Skip);
        pending_n = 0;
    };

    // Step 1. The prefixes that chains continue; the root is the state itself with its ghost
    // cells erased (the records of the chains' last actions would erase them anyway, and no
    // rule reads them), so that those records need not look for any. A node waits for its
    // parent's record before it starts from the parent.
    std::array<Slot, ChainTree::LEAF_BEGIN> inner;
    GameState& root = *::new (&inner[0].v) GameState(state);
    erase_ghosts(root.main_board);
    std::array<bool, ChainTree::LEAF_BEGIN> accepted{};
    accepted[0] = true;

    // Step 2, one leaf: its chain's last action. Every prefix's board holds the input's solid
    // cells without its falling piece plus the prefix's own piece when no row of them is full
    // and no garbage waits (a hold then changes nothing else), so the hard drops can land and
    // lock from those cells' masks, and the ghosts of the pieces that come next land on the
    // locked masks.
    LockSearch base;
    LockSearch::Piece root_piece;
    const bool planned = LockSearch::from(state, base, root_piece);
    constexpr int UNKNOWN_ROW = -1000;
    std::array<GameState*, ChainTree::LEAF_NB> leaf;
    std::array<bool, ChainTree::LEAF_NB> valid{};
    std::array<int, ChainTree::LEAF_NB> ghost_row;
    auto play_leaf = [&](int k) {
        const int node = ChainTree::LEAF_BEGIN + k;
        const int parent = TREE.parent[node];
        if (!accepted[parent]) return;
        void* room = place_leaf(k);
        if (!room) return;
        GameState& last = *::new (room) GameState(inner[parent].v);
        leaf[k] = &last;
        ghost_row[k] = UNKNOWN_ROW;
        Error e;
        if (planned && TREE.action[node] == HardDrop && detail::can_drop_planned(last)) {
            const CurrentPcsInfo piece = *last.current_pcs;
            const detail::LockPlan plan = base.plan(piece);
            detail::hard_drop_planned(last, plan, 0);
            if (last.current_pcs && !last.is_over()) {
                const CurrentPcsInfo& next = *last.current_pcs;
                ghost_row[k] = next.pos.y - fall_distance(base.locked_cols(piece, plan), next);
            }
        } else {
            e = detail::carry_out(last, TREE.action[node], 0);
        }
        if (e.failed()) return;
        valid[k] = true;
        pending[pending_n] = &last;
        pending_action[pending_n++] = TREE.action[node];
    };
    // The leaves whose parents come before `recorded` (and so have their records), as long as
    // the batch has room: they fill up the batches of the prefixes, whose sizes the depths of
    // the tree set.
    std::size_t next_leaf = 0;
    auto play_ready_leaves = [&](int recorded) {
        while (pending_n < BATCH && next_leaf < LEAVES_BY_PARENT.size() &&
               TREE.parent[ChainTree::LEAF_BEGIN + LEAVES_BY_PARENT[next_leaf]] < recorded)
            play_leaf(LEAVES_BY_PARENT[next_leaf++]);
    };

    int first_pending = ChainTree::LEAF_BEGIN;
    for (int n = 1; n < ChainTree::LEAF_BEGIN; ++n) {
        const int parent = TREE.parent[n];
        if (!accepted[parent]) continue;
        if (parent >= first_pending) {
            play_ready_leaves(first_pending);
            flush();
            first_pending = ChainTree::LEAF_BEGIN;
        }
        ::new (&inner[n].v) GameState(inner[parent].v);
        accepted[n] = detail::carry_out(inner[n].v, TREE.action[n], 0).ok();
        if (!accepted[n]) continue;
        if (pending_n == 0) first_pending = n;
        pending[pending_n] = &inner[n].v;
        pending_action[pending_n++] = TREE.action[n];
        if (pending_n == BATCH) {
            flush();
            first_pending = ChainTree::LEAF_BEGIN;
        }
    }
    play_ready_leaves(first_pending);
    flush();

    // Step 3. The other leaves, a batch at a time; then every chain in list order (identical
    // chains share their leaf).
    while (next_leaf < LEAVES_BY_PARENT.size()) {
        play_leaf(LEAVES_BY_PARENT[next_leaf++]);
        if (pending_n == BATCH) flush();
    }
    flush();
    // The board holds no ghost cell (the root's were erased, the records skipped theirs).
    for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
        if (!valid[k] || leaf[k]->is_over()) continue;
        if (ghost_row[k] != UNKNOWN_ROW) detail::put_ghost_at(*leaf[k], ghost_row[k]);
        else leaf[k]->put_ghost();
    }
    for (int c = 0; c < CHAIN_NB; ++c) {
        const int k = TREE.leaf_of(c);
        if (valid[k]) on_valid(c, k, static_cast<const GameState&>(*leaf[k]));
    }
}

void for_each_valid_chain(const GameState& s, FnRef<void(int, const GameState&)> on_valid) {
    std::array<Slot, ChainTree::LEAF_NB> leaf;
    for_each_valid_chain(
        s, [&](int k) -> void* { return &leaf[static_cast<std::size_t>(k)].v; },
        [&](int c, int, const GameState& end) { on_valid(c, end); });
}

ChainMask valid_chains(const GameState& s) {
    LockSearch board;
    LockSearch::Piece root;
    if (!LockSearch::from(s, board, root)) return detail::valid_chains_exact(s);
    PrefixWalk walk;
    walk_prefixes(board, root, walk);
    ChainMask mask{};
    for (int c = 0; c < CHAIN_NB; ++c) mask[c] = walk.accepted[TREE.chain_node[c]];
    return mask;
}

void for_each_landing(const GameState& s, FnRef<void(int, const Landing&)> on_landing) {
    LockSearch board;
    LockSearch::Piece root;
    if (!LockSearch::from(s, board, root)) {
        detail::for_each_landing_exact(s, on_landing);
        return;
    }
    PrefixWalk walk;
    walk_prefixes(board, root, walk);
    Landing landing;
    for (int k = 0; k < ChainTree::LEAF_NB; ++k) {
        const int parent = TREE.parent[ChainTree::LEAF_BEGIN + k];
        if (walk.accepted[parent] && board.hard_drop(walk.at[parent], landing))
            on_landing(k, landing);
    }
}

std::array<bool, ACTION_NB> accepted_actions(const GameState& s) {
    // One action's refusals do not depend on the running seed, so its record is left out.
    std::array<bool, ACTION_NB> out{};
    for (int a = 0; a < ACTION_NB; ++a) {
        GameState next = s;
        out[a] = detail::carry_out(next, action_from_index(a), 0).ok();
    }
    return out;
}

void PlacementList::keys(int i, TetAction* out) const {
    const Placement& p = items[static_cast<std::size_t>(i)];
    const Tree& t = trees[p.hold];
    int k = p.key_nb - 1;
    out[k--] = HardDrop;
    for (int node = p.node; node != 0; node = t.parent[static_cast<std::size_t>(node)])
        out[k--] = t.action[static_cast<std::size_t>(node)];
    if (p.hold) out[0] = Hold;
}

void list_placements(const GameState& s, bool with_hold, PlacementList& out) {
    list_placements_impl(s, with_hold, out, false);
}

Result<GameState> play_keys(const GameState& s, std::span<const TetAction> keys) {
    Result<GameState> r{s, {}};
    for (const TetAction a : keys) {
        r.error = detail::act_in_place(r.value, a, 0);
        if (r.error.failed()) return r;
    }
    return r;
}

Result<GameState> play_chain(const GameState& s, int chain) {
    Result<GameState> r{s, {}};
    for (const TetAction a : CHAIN_TABLE[chain].view()) {
        r.error = detail::act_in_place(r.value, a, 0);
        if (r.error.failed()) return r;
    }
    assert(!s.state_ok() || r.value.state_ok());
    return r;
}

namespace detail {

ChainMask valid_chains_exact(const GameState& s) {
    ChainMask mask{};
    for_each_valid_chain(s, [&](int c, const GameState&) { mask[c] = true; });
    return mask;
}

void for_each_landing_exact(const GameState& s, FnRef<void(int, const Landing&)> on_landing) {
    // A chain whose lock ends the game, or leaves no falling piece (a decoded queue that runs
    // out), has no landing to score.
    std::array<bool, ChainTree::LEAF_NB> seen{};
    Landing landing;
    for_each_valid_chain(s, [&](int c, const GameState& end) {
        const int k = TREE.leaf_of(c);
        if (seen[k] || end.is_over() || !end.current_pcs) return;
        seen[k] = true;
        BoardMatrix board = end.main_board;
        if (board.delete_piece(*end.current_pcs).failed()) return;
        landing.total_lines = end.total_lines;
        landing.cols = solid_cols(solid_rows(board));
        landing.metrics = board_metrics(landing.cols);
        on_landing(k, landing);
    });
}

void list_placements_exact(const GameState& s, bool with_hold, PlacementList& out) {
    list_placements_impl(s, with_hold, out, true);
}

}  // namespace detail

}  // namespace game::tet
