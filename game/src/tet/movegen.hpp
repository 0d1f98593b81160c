// Move generation: the fixed list of move chains and its prefix tree, which chains a state
// lets through, the state each valid chain leads to, what each chain's lock leaves for the
// bots to score, which single actions a state accepts, and every placement a piece can reach
// (tucks and spins included) with its shortest key path. Every search, mask and bot of the
// engine and of the batched games asks here.
//
// Each question has one answer and up to two ways to it: a fast path on the board's solid
// cells where the running seed decides nothing a chain reads, and the exact actions
// otherwise. Both give the same answers; the tests and the fuzz targets hold them to it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "error.hpp"
#include "tet/board.hpp"
#include "tet/state.hpp"

namespace game::tet {

inline constexpr int CHAIN_NB = 96;      // 8 prefixes x 12 suffixes
inline constexpr int MAX_CHAIN_LEN = 9;  // Hold, RotateRight x2, MoveLeft x5, HardDrop

// A chain with its actions held inline.
struct ChainSpec {
    std::array<TetAction, MAX_CHAIN_LEN> actions{};
    std::uint8_t size = 0;

    constexpr void push(TetAction a) { actions[size++] = a; }
    constexpr std::span<const TetAction> view() const { return {actions.data(), size}; }
};

// The 96 chains, in list order: prefix n / 12 (nothing, RotateLeft, RotateRight, RotateRight
// twice, then the same four after Hold), then suffix n % 12 (s = 0 and s = 6 drop at once,
// s = 1..5 shift right s times, s = 7..11 shift left s - 6 times), then HardDrop.
const std::array<ChainSpec, CHAIN_NB>& chain_table();

// The chains as a prefix tree. Node 0 is the empty prefix; every other node is one distinct
// non-empty prefix, entered from its parent by one action. Parents are numbered before their
// children, the inner nodes shallower before deeper, and the nodes that no chain continues
// (the leaves: every one ends a chain with HardDrop) after all others, from LEAF_BEGIN on.
// Identical chains share their leaf. Fixed at compile time.
struct ChainTree {
    static constexpr int NODE_NB = 176;     // the root and 175 distinct non-empty prefixes
    static constexpr int LEAF_BEGIN = 88;   // the root and the 87 prefixes a chain continues
    static constexpr int LEAF_NB = NODE_NB - LEAF_BEGIN;
    static constexpr std::int16_t NO_NODE = -1;

    std::array<std::uint8_t, NODE_NB> parent{};
    std::array<TetAction, NODE_NB> action{};
    std::array<std::array<std::int16_t, ACTION_NB>, NODE_NB> child{};
    // The node of each chain's whole action list, and the list's length.
    std::array<std::uint8_t, CHAIN_NB> chain_node{};
    std::array<std::uint8_t, CHAIN_NB> chain_size{};
    // How many chains are shorter than each length: where that length's chains start when
    // the list is sorted by length.
    std::array<std::uint8_t, MAX_CHAIN_LEN + 1> shorter{};

    int leaf_of(int chain) const { return chain_node[chain] - LEAF_BEGIN; }
};
const ChainTree& chain_tree();

// A reference to a callable, for callbacks that must not allocate; the callable must outlive
// every call.
template <class Sig>
class FnRef;
template <class R, class... Args>
class FnRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FnRef> && std::is_invocable_r_v<R, F&, Args...>)
    FnRef(F&& f)  // NOLINT: implicit, like a function pointer
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... a) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(a)...);
          }) {}
    R operator()(Args... a) const { return call_(obj_, std::forward<Args>(a)...); }

private:
    void* obj_;
    R (*call_)(void*, Args...);
};

// Every chain of the list played from `s` with the exact actions at time 0, each distinct
// prefix once: on_valid(chain, leaf, final state) for every chain all of whose actions are
// accepted one after another, in list order (a chain whose last action ends the game
// included). The same as applying each chain to its own copy with apply_action_if_works.
//
// Each leaf's final state is built in the storage that place_leaf(leaf) gives (room for a
// GameState, suitably aligned, never constructed there before), so that a caller that hands
// the states on can have them made where they are to stay. place_leaf is asked at most once per
// leaf, only for leaves whose prefix is accepted; a leaf it gives nullptr for is left out as if
// refused. What it gives stays the caller's: a leaf reported to on_valid holds its final state,
// any other holds some state or nothing.
void for_each_valid_chain(const GameState& s, FnRef<void*(int leaf)> place_leaf,
                          FnRef<void(int chain, int leaf, const GameState& end)> on_valid);
// The same with the final states kept here: on_valid(chain, final state).
void for_each_valid_chain(const GameState& s, FnRef<void(int chain, const GameState& end)> on_valid);

// Which chains for_each_valid_chain reports, without their final states.
using ChainMask = std::array<bool, CHAIN_NB>;
ChainMask valid_chains(const GameState& s);

// What a chain's lock leaves, as the bots measure it: the line count, and the solid cells of
// the board with the next falling piece left out, by column, with their metrics.
struct Landing {
    std::uint16_t total_lines = 0;
    SolidCols cols{};  // bit y of cols[x]: cell (y, x) is solid
    BoardMetrics metrics{};  // board_metrics(cols)
};
// on_landing(leaf, landing) once for every distinct chain that for_each_valid_chain reports
// and whose final state goes on with a falling piece (the game not over).
void for_each_landing(const GameState& s, FnRef<void(int leaf, const Landing& landing)> on_landing);

// The single actions try_action accepts from `s`, by action index.
std::array<bool, ACTION_NB> accepted_actions(const GameState& s);

// The state after playing chain `chain` from `s` action by action at time 0, or the first
// refusal (the value is then unspecified).
Result<GameState> play_chain(const GameState& s, int chain);

// ---- Every placement ------------------------------------------------------------------------
//
// Every distinct way to lock the falling piece (and, with hold, the piece Hold brings in): the
// positions reachable from where the piece stands by MoveLeft, MoveRight, RotateRight,
// RotateLeft and SoftDrop (one that moves; a soft drop that would lock is never taken), each
// ended by a HardDrop. Hold, when used, is the first action. A search node is the piece's
// rotation, row and column with the two spin flags, which turns set, one-row soft drops clear
// and moves keep; a hard drop that falls keeps them only when it falls no row, so a
// placement's spin kind is the node's flags when it rests there and none otherwise.
//
// Two placements are the same when they agree on hold, the cells the piece locks on and the
// spin kind. Each placement keeps the shortest key path to it: fewest actions, then the first
// in action order (Hold, MoveLeft, MoveRight, RotateRight, RotateLeft, SoftDrop, compared
// action by action); its rotation, row and column are where that path locks the piece. The
// list holds the placements without hold first, then those with hold, each group ordered by
// its key paths the same way (shortest first, then action order).

// The spin flags a lock scores with.
enum class SpinKind : std::uint8_t {
    None,  // neither flag
    Mini,  // is_t_mini_spin only
    Spin,  // is_t_spin only (a piece other than T that needed a kick)
    Full,  // both
};
constexpr SpinKind spin_kind(bool t_spin, bool t_mini_spin) {
    return t_spin ? (t_mini_spin ? SpinKind::Full : SpinKind::Spin)
                  : (t_mini_spin ? SpinKind::Mini : SpinKind::None);
}

// A search covers rows -2..38 and columns -2..8 of a piece's grid (every position with its
// cells on the board), four rotations and four flag pairs.
inline constexpr int PLACE_ROW_MIN = -2, PLACE_ROW_NB = 41;
inline constexpr int PLACE_COL_MIN = -2, PLACE_COL_NB = 11;
inline constexpr int MAX_SEARCH_NODES = 4 * PLACE_ROW_NB * PLACE_COL_NB * 4;

struct Placement {
    bool hold = false;
    Tet kind = Tet::I;
    RotState rs = RotState::R0;
    std::int8_t row = 0;  // the piece's position when it locks
    std::int8_t col = 0;
    SpinKind spin = SpinKind::None;
    std::uint8_t lines = 0;    // rows the lock clears
    std::uint16_t key_nb = 0;  // actions of the key path, Hold and the HardDrop included
    std::uint16_t node = 0;    // the node its HardDrop is played from, in its group's tree
};

// The placements of a state with the search trees their key paths are read from. Large
// (about 200 KB): callers keep one and reuse it.
struct PlacementList {
    struct Tree {
        std::array<std::uint16_t, MAX_SEARCH_NODES> parent;
        std::array<TetAction, MAX_SEARCH_NODES> action;  // the action that enters the node
    };
    int count = 0;
    std::array<Placement, 2 * MAX_SEARCH_NODES> items;
    std::array<Tree, 2> trees;  // without hold, with hold

    std::span<const Placement> view() const { return {items.data(), static_cast<std::size_t>(count)}; }
    // Writes placement i's key path to out (room for items[i].key_nb actions).
    void keys(int i, TetAction* out) const;
};

// Fills `out` with every placement of `s` (with hold: also those after a first Hold). Empty
// when the game is over or no piece falls. Equal to a search that plays every action with
// try_action at time 0; where the running seed or an odd decoded board could matter it is one.
void list_placements(const GameState& s, bool with_hold, PlacementList& out);

// The state after playing `keys` from `s` with try_action at time 0, or the first refusal.
Result<GameState> play_keys(const GameState& s, std::span<const TetAction> keys);

namespace detail {
// The exact forms of valid_chains and for_each_landing, which take no fast path: what the
// fast paths are checked against.
ChainMask valid_chains_exact(const GameState& s);
void for_each_landing_exact(const GameState& s, FnRef<void(int leaf, const Landing& landing)> on_landing);
// list_placements searching on whole states with the exact actions: what its fast path is
// checked against.
void list_placements_exact(const GameState& s, bool with_hold, PlacementList& out);
}  // namespace detail

}  // namespace game::tet
