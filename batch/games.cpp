#include "games.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>

#include "error.hpp"
#include "pcg64.hpp"
#include "tet/board.hpp"

namespace batch {

namespace {

using game::bot::random_choice_bot::ChainTree;
using game::tet::BoardMatrix;
using game::tet::CurrentPcsInfo;
using game::tet::TetAction;

// Actions a step plays carry time 0, as the Python methods that play chains do.
constexpr std::int64_t ACTION_TIME = 0;

constexpr int BOARD_CELLS = VISIBLE_ROWS * COLS;
constexpr int PIECE_NB = 4;
constexpr int NEXT_NB = 5;
constexpr int HOLD_NB = 2;
constexpr int COUNTER_NB = 4;

constexpr std::size_t round_up(std::size_t n) {
    return (n + ARENA_ALIGN - 1) / ARENA_ALIGN * ARENA_ALIGN;
}

// Whether a hard drop from `s` is accepted. A hard drop refuses only a finished game, a
// missing falling piece and one with cells off the board; once the drop has begun it succeeds
// however the piece locks, so the lock itself need not be played.
bool hard_drop_accepted(const GameState& s) {
    return !s.is_over() && s.current_pcs && BoardMatrix::in_bounds(*s.current_pcs);
}

// Plays every prefix below `node` whose parent was accepted, marking in `accepted` the nodes
// whose whole action list the engine takes one after another from the root's state. `s` is
// the state reached at `node`. With `shortcut` the inner actions skip the running seed, replay
// record and ghost, which decide nothing a chain reads from such a root, and the leaves (every
// leaf is a hard drop) are decided without playing the lock.
void accept_below(const ChainTree& tree, int node, const GameState& s, bool shortcut,
                  std::array<bool, ChainTree::NODE_NB>& accepted) {
    for (int a = 0; a < game::tet::ACTION_NB; ++a) {
        const int child = tree.child[node][a];
        if (child == ChainTree::NO_NODE) continue;
        const TetAction action = game::tet::action_from_index(a);
        if (shortcut && child >= ChainTree::LEAF_BEGIN) {
            assert(action == TetAction::HardDrop);
            accepted[child] = hard_drop_accepted(s);
            continue;
        }
        GameState next = s;
        const game::Error e =
            shortcut ? next.act_for_search(action) : next.act_in_place(action, ACTION_TIME);
        if (e.failed()) continue;
        accepted[child] = true;
        if (child < ChainTree::LEAF_BEGIN) accept_below(tree, child, next, shortcut, accepted);
    }
}

// The game seed record: 32 seed bytes, then the start time as a little-endian i64.
void read_seed_record(const std::uint8_t* rec, game::tet::Seed32& seed, std::int64_t& ts) {
    std::copy_n(rec, seed.size(), seed.begin());
    std::uint64_t t = 0;
    for (int k = 7; k >= 0; --k) t = t << 8 | rec[32 + k];
    ts = static_cast<std::int64_t>(t);
}

// The next game of a stream (see Field), advancing the stream kept in `words`.
void draw_game(std::uint64_t* words, game::tet::Seed32& seed, std::int64_t& ts) {
    using u128 = Pcg64::u128;
    Pcg64 rng(static_cast<u128>(words[1]) << 64 | words[0],
              static_cast<u128>(words[3]) << 64 | words[2]);
    for (int w = 0; w < 4; ++w) {
        const std::uint64_t v = rng.next();
        for (int k = 0; k < 8; ++k) seed[8 * w + k] = static_cast<std::uint8_t>(v >> 8 * k);
    }
    ts = static_cast<std::int64_t>(rng.next() >> START_TIME_SHIFT);
    words[0] = static_cast<std::uint64_t>(rng.state());
    words[1] = static_cast<std::uint64_t>(rng.state() >> 64);
}

// One shape's covered cells as a column bitmask per grid row, for fitting tests against
// the board's row masks.
struct ShapeRows {
    std::int8_t low, high;   // lowest and highest covered grid row
    std::int8_t left, right;  // leftmost and rightmost covered grid column
    std::array<std::uint16_t, 4> bits{};  // bits[i]: bit j set when cell (i, j) is covered
};

using ShapeRowTable = std::array<std::array<ShapeRows, game::tet::TET_NB>, game::rot::ROT_NB>;

// SHAPE_ROWS[rotation][kind], from the engine's shape table.
constexpr ShapeRowTable SHAPE_ROWS = [] {
    ShapeRowTable table{};
    for (int r = 0; r < game::rot::ROT_NB; ++r)
        for (int t = 0; t < game::tet::TET_NB; ++t) {
            ShapeRows& out = table[r][t];
            out.low = out.left = 3;
            out.high = out.right = 0;
            for (const game::tet::ShapeCell& c : game::tet::ALL_SHAPES[r][t].cells) {
                out.bits[c.i] = static_cast<std::uint16_t>(out.bits[c.i] | 1u << c.j);
                out.low = std::min(out.low, c.i);
                out.high = std::max(out.high, c.i);
                out.left = std::min(out.left, c.j);
                out.right = std::max(out.right, c.j);
            }
        }
    return table;
}();

constexpr bool shape_rows_cover_four_cells() {
    for (const auto& by_kind : SHAPE_ROWS)
        for (const ShapeRows& s : by_kind) {
            int cells = 0;
            for (std::uint16_t row : s.bits) cells += std::popcount(row);
            if (cells != 4 || s.low > s.high || s.left > s.right) return false;
        }
    return true;
}
static_assert(shape_rows_cover_four_cells());

// The board's solid cells as one 10-bit mask per row (bit x for column x).
class RowBoard {
public:
    explicit RowBoard(const BoardMatrix& b) {
        for (int y = 0; y < BoardMatrix::ROWS; ++y) {
            rows_[y] = static_cast<std::uint16_t>(game::tet::solid_mask(b, y));
            any_full_ = any_full_ || rows_[y] == FULL_ROW;
        }
    }

    // BoardMatrix::fits: every cell of the piece on the board and not solid.
    bool fits(const CurrentPcsInfo& p) const {
        const ShapeRows& s = SHAPE_ROWS[game::rot::index(p.rs)][game::tet::index(p.tet)];
        const int y = p.pos.y, x = p.pos.x;
        if (x + s.left < 0 || x + s.right >= BoardMatrix::COLS || y + s.low < 0 ||
            y + s.high >= BoardMatrix::ROWS)
            return false;
        for (int i = s.low; i <= s.high; ++i) {
            const unsigned bits = x >= 0 ? s.bits[i] << x : s.bits[i] >> -x;
            if (rows_[y + i] & bits) return false;
        }
        return true;
    }
    bool any_full() const { return any_full_; }

private:
    static constexpr std::uint16_t FULL_ROW = (1u << BoardMatrix::COLS) - 1;
    std::array<std::uint16_t, BoardMatrix::ROWS> rows_{};
    bool any_full_ = false;
};

// The falling piece along a chain prefix, for the geometric walk below.
struct Walker {
    CurrentPcsInfo piece;
    bool over = false;  // a hold spawned a piece over the stack
    bool can_hold = true;
};

// The geometric form of the chain search. Through the inner actions of a chain (moves,
// rotations, one hold) the board apart from the falling piece stays the same, so each action's
// outcome is decided by where its piece fits on that board:
//  - a move is accepted when the shifted piece fits;
//  - a rotation when one of its five offset tests fits, the first that does winning;
//  - a hold unless the held piece was taken since the last lock; the held kind (or the next
//    queued one) spawns, and when it does not fit the game is over and every later action is
//    refused;
//  - a hard drop whenever the game still runs (see hard_drop_accepted).
// This holds while the state meets the preconditions of geometric_placement_mask.
class GeometricSearch {
public:
    GeometricSearch(const GameState& s, const RowBoard& board, const ChainTree& tree)
        : s_(s), board_(board), tree_(tree) {}

    // Marks the accepted nodes, parents before children; false when the walk met something
    // outside its rules (the caller falls back).
    bool walk(const Walker& root, std::array<bool, ChainTree::NODE_NB>& accepted) {
        std::array<Walker, ChainTree::LEAF_BEGIN> at;
        at[0] = root;
        accepted[0] = true;
        for (int n = 1; n < ChainTree::NODE_NB; ++n) {
            const int parent = tree_.parent[n];
            if (!accepted[parent] || at[parent].over) continue;
            Walker next = at[parent];
            bool ok = false;
            switch (tree_.action[n]) {
                case TetAction::HardDrop: ok = true; break;
                case TetAction::MoveLeft: ok = shift(next.piece, -1); break;
                case TetAction::MoveRight: ok = shift(next.piece, 1); break;
                case TetAction::RotateLeft: ok = rotate(next.piece, false); break;
                case TetAction::RotateRight: ok = rotate(next.piece, true); break;
                case TetAction::Hold:
                    if (!hold(next)) return false;
                    ok = at[parent].can_hold;
                    break;
                default: return false;
            }
            if (!ok) continue;
            accepted[n] = true;
            if (n < ChainTree::LEAF_BEGIN) at[n] = next;
        }
        return true;
    }

private:
    bool shift(CurrentPcsInfo& p, int dx) const {
        p.pos.x = static_cast<std::int8_t>(p.pos.x + dx);
        return board_.fits(p);
    }

    bool rotate(CurrentPcsInfo& p, bool clockwise) const {
        const auto to = clockwise ? game::rot::turned_right(p.rs) : game::rot::turned_left(p.rs);
        for (const game::rot::Offset& off :
             game::rot::offsets(p.tet == game::tet::Tet::I, p.rs, to)) {
            CurrentPcsInfo turned = p;
            turned.rs = to;
            turned.pos = {static_cast<std::int8_t>(p.pos.y + off.dy),
                          static_cast<std::int8_t>(p.pos.x + off.dx)};
            if (board_.fits(turned)) {
                p = turned;
                return true;
            }
        }
        return false;
    }

    // The piece a hold brings in; false when the hold would also change the board (a full
    // row to clear) or read past the queue.
    bool hold(Walker& w) {
        if (board_.any_full() || s_.next_pcs_idx >= s_.next_pcs_bags.size()) return false;
        const game::tet::Tet kind =
            s_.hold_pcs ? s_.hold_pcs->tet : s_.next_pcs_bags[s_.next_pcs_idx];
        w.piece = CurrentPcsInfo{game::tet::spawn_pos(kind), kind, game::rot::RotState::R0, 0};
        w.over = !board_.fits(w.piece);
        w.can_hold = false;
        return true;
    }

    const GameState& s_;
    const RowBoard& board_;
    const ChainTree& tree_;
};

// The mask by geometry alone, for a running state whose falling piece is drawn on the board
// and whose running seed decides nothing a chain reads; false (mask untouched) otherwise.
bool geometric_placement_mask(const GameState& s, std::int8_t* mask) {
    if (s.is_over() || !s.current_pcs || !s.search_shortcut_ok()) return false;
    const CurrentPcsInfo root = *s.current_pcs;
    if (!BoardMatrix::in_bounds(root) || !s.main_board.is_drawn(root)) return false;
    BoardMatrix without = s.main_board;
    (void)without.delete_piece(root);
    const RowBoard board(without);

    const ChainTree& tree = game::bot::random_choice_bot::move_chain_tree();
    std::array<bool, ChainTree::NODE_NB> accepted{};
    GeometricSearch search(s, board, tree);
    if (!search.walk(Walker{root, false, !s.hold_pcs || s.hold_pcs->can_use}, accepted))
        return false;
    for (int c = 0; c < PLACEMENT_ACTION_NB; ++c) mask[c] = accepted[tree.chain_node[c]];
    return true;
}

}  // namespace

void placement_mask(const GameState& s, std::int8_t* mask, MaskMethod method) {
    if (method == MaskMethod::Geometric && geometric_placement_mask(s, mask)) return;
    std::array<bool, ChainTree::NODE_NB> accepted{};
    if (!s.is_over()) {
        const ChainTree& tree = game::bot::random_choice_bot::move_chain_tree();
        const bool shortcut = method != MaskMethod::Exact && s.search_shortcut_ok();
        accept_below(tree, 0, s, shortcut, accepted);
        for (int c = 0; c < PLACEMENT_ACTION_NB; ++c) mask[c] = accepted[tree.chain_node[c]];
        return;
    }
    std::fill_n(mask, PLACEMENT_ACTION_NB, 0);
}

// One action's refusals do not depend on the running seed: act_for_search refuses exactly
// what act_in_place refuses.
void key_mask(const GameState& s, std::int8_t* mask) {
    for (int a = 0; a < KEY_ACTION_NB; ++a) {
        GameState next = s;
        mask[a] = next.act_for_search(game::tet::action_from_index(a)).ok();
    }
}

Games::Games(const Options& options)
    : options_(options),
      action_nb_(options.mode == Mode::Placement ? PLACEMENT_ACTION_NB : KEY_ACTION_NB),
      states_(static_cast<std::size_t>(options.num_envs)),
      episode_steps_(static_cast<std::size_t>(options.num_envs)),
      pending_reset_(static_cast<std::size_t>(options.num_envs)),
      pool_(std::max(1, std::min(options.num_threads, options.num_envs))) {
    const auto n = static_cast<std::size_t>(options.num_envs);
    for (int f = 0; f < FIELD_NB; ++f) {
        const FieldSpec fs = spec(static_cast<Field>(f));
        std::size_t per_env = static_cast<std::size_t>(fs.itemsize);
        for (int d = 0; d < fs.rank; ++d) per_env *= static_cast<std::size_t>(fs.dims[d]);
        places_[f] = FieldPlace{arena_size_, per_env * n};
        arena_size_ += round_up(per_env * n);
    }
    arena_.reset(static_cast<std::uint8_t*>(
        ::operator new[](arena_size_, std::align_val_t{ARENA_ALIGN})));
    std::memset(arena_.get(), 0, arena_size_);
}

FieldSpec Games::spec(Field f) const {
    switch (f) {
        case Field::Board: return {"board", 'b', 1, 2, {VISIBLE_ROWS, COLS}};
        case Field::Piece: return {"piece", 'b', 1, 1, {PIECE_NB, 0}};
        case Field::Next: return {"next", 'b', 1, 1, {NEXT_NB, 0}};
        case Field::Hold: return {"hold", 'b', 1, 1, {HOLD_NB, 0}};
        case Field::Counters: return {"counters", 'i', 4, 1, {COUNTER_NB, 0}};
        case Field::Reward: return {"reward", 'd', 8, 0, {0, 0}};
        case Field::Terminated: return {"terminated", '?', 1, 0, {0, 0}};
        case Field::Truncated: return {"truncated", '?', 1, 0, {0, 0}};
        case Field::Invalid: return {"invalid", '?', 1, 0, {0, 0}};
        case Field::Mask: return {"mask", 'b', 1, 1, {action_nb_, 0}};
        case Field::Seeds: return {"seeds", 'B', 1, 1, {SEED_RECORD_SIZE, 0}};
        case Field::UseSeed: return {"use_seed", '?', 1, 0, {0, 0}};
        case Field::Streams: return {"streams", 'Q', 8, 1, {4, 0}};
    }
    return {"", 'B', 1, 0, {0, 0}};
}

void Games::reset(const std::uint8_t* which) {
    auto job = [this, which](int begin, int end) {
        for (int i = begin; i < end; ++i)
            if (!which || which[i]) reset_game(i);
    };
    pool_.run(num_envs(), job);
}

int Games::step(const std::int32_t* actions) {
    actions_ = actions;
    auto job = [this](int begin, int end) {
        for (int i = begin; i < end; ++i) step_game(i, actions_[i]);
    };
    pool_.run(num_envs(), job);
    actions_ = nullptr;

    int ended = 0;
    for (std::uint8_t p : pending_reset_) ended += p;
    return ended;
}

void Games::reset_game(int i) {
    game::tet::Seed32 seed;
    std::int64_t ts;
    bool& use_seed = field<bool>(Field::UseSeed)[i];
    if (use_seed) {
        read_seed_record(field<std::uint8_t>(Field::Seeds) + i * SEED_RECORD_SIZE, seed, ts);
        use_seed = false;
    } else {
        draw_game(field<std::uint64_t>(Field::Streams) + i * 4, seed, ts);
    }
    states_[i] = GameState::new_game(seed, ts);
    episode_steps_[i] = 0;
    pending_reset_[i] = 0;
    field<double>(Field::Reward)[i] = 0.0;
    field<bool>(Field::Terminated)[i] = false;
    field<bool>(Field::Truncated)[i] = false;
    field<bool>(Field::Invalid)[i] = false;
    write_observation(i);
    write_mask(i);
}

void Games::step_game(int i, int action) {
    // Step 1. A game whose episode ended on the previous step starts its next game.
    if (pending_reset_[i]) {
        reset_game(i);
        return;
    }

    // Step 2. The chosen action is played exactly, every engine action at time 0, on a copy
    // that replaces the game only when the engine accepts all of it: the masked-out case. The
    // arena's mask is not read, since the caller can write it; by its definition it marks
    // exactly the actions accepted here.
    GameState& s = states_[i];
    GameState next = s;
    bool accepted = true;
    if (options_.mode == Mode::Placement) {
        for (TetAction a : game::bot::random_choice_bot::all_move_chains()[action])
            if (next.act_in_place(a, ACTION_TIME).failed()) {
                accepted = false;
                break;
            }
    } else {
        accepted = next.act_in_place(game::tet::action_from_index(action), ACTION_TIME).ok();
    }
    double reward = 0.0;
    if (accepted) {
        if (options_.reward == RewardKind::Score) {
            reward = static_cast<std::int32_t>(static_cast<std::uint32_t>(next.score) -
                                               static_cast<std::uint32_t>(s.score));
        } else {
            reward = static_cast<std::uint16_t>(next.total_lines - s.total_lines);
        }
        s = next;
    }

    // Step 3. Reward, flags, and the observation and mask of the new state.
    ++episode_steps_[i];
    const bool terminated = s.is_over();
    const bool truncated =
        options_.max_episode_steps != 0 && episode_steps_[i] >= options_.max_episode_steps;
    field<double>(Field::Reward)[i] = reward;
    field<bool>(Field::Terminated)[i] = terminated;
    field<bool>(Field::Truncated)[i] = truncated;
    field<bool>(Field::Invalid)[i] = !accepted;
    if (accepted) {
        write_observation(i);
        write_mask(i);
    }
    if (options_.autoreset && (terminated || truncated)) pending_reset_[i] = 1;
}

void Games::write_observation(int i) {
    const GameState& s = states_[i];

    // Step 1. The board: the falling piece is drawn on it only while the game runs (a piece
    // that could not spawn was never drawn).
    BoardMatrix b = s.main_board;
    if (s.current_pcs && !s.is_over()) (void)b.delete_piece(*s.current_pcs);
    std::int8_t* board = field<std::int8_t>(Field::Board) + i * BOARD_CELLS;
    for (int y = 0; y < VISIBLE_ROWS; ++y) {
        const int solid = game::tet::solid_mask(b, y);
        std::int8_t* row = board + (VISIBLE_ROWS - 1 - y) * COLS;
        for (int x = 0; x < COLS; ++x) row[x] = static_cast<std::int8_t>(solid >> x & 1);
    }

    // Step 2. Falling piece, preview and hold.
    std::int8_t* piece = field<std::int8_t>(Field::Piece) + i * PIECE_NB;
    if (s.current_pcs) {
        piece[0] = static_cast<std::int8_t>(game::tet::index(s.current_pcs->tet));
        piece[1] = static_cast<std::int8_t>(game::rot::index(s.current_pcs->rs));
        piece[2] = s.current_pcs->pos.y;
        piece[3] = s.current_pcs->pos.x;
    } else {
        std::fill_n(piece, PIECE_NB, 0);
    }
    std::int8_t* next = field<std::int8_t>(Field::Next) + i * NEXT_NB;
    const auto preview = s.get_next_pcs();
    for (int k = 0; k < NEXT_NB; ++k)
        next[k] = preview.ok() ? static_cast<std::int8_t>(game::tet::index(preview.value[k])) : 0;
    std::int8_t* hold = field<std::int8_t>(Field::Hold) + i * HOLD_NB;
    hold[0] = s.hold_pcs ? static_cast<std::int8_t>(game::tet::index(s.hold_pcs->tet)) : NO_HOLD;
    hold[1] = s.hold_pcs ? s.hold_pcs->can_use : 1;

    // Step 3. Counters.
    std::int32_t* counters = field<std::int32_t>(Field::Counters) + i * COUNTER_NB;
    counters[0] = s.combo_counter;
    counters[1] = s.is_b2b;
    counters[2] = s.total_lines;
    counters[3] = s.garbage_recv;
}

void Games::write_mask(int i) {
    std::int8_t* mask = field<std::int8_t>(Field::Mask) + i * action_nb_;
    if (options_.mode == Mode::Placement) placement_mask(states_[i], mask, MaskMethod::Geometric);
    else key_mask(states_[i], mask);
}

}  // namespace batch
