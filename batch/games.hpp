// N games stepped together: placements (one move chain, or one of every placement, per step)
// or single key actions,
// with observations, rewards, flags and action masks written into one flat arena that the
// Python side reads as numpy arrays. No Python in here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "tet/movegen.hpp"
#include "tet/state.hpp"
#include "worker_pool.hpp"

namespace batch {

using game::tet::GameState;

// What one step's action means.
enum class Mode : std::uint8_t {
    Placement,  // index of a move chain in the 96-chain list
    Keys,       // index of one engine action (TetAction)
    AllPlacements,  // code of one placement of every placement (placement_code)
};

// What the reward counts.
enum class RewardKind : std::uint8_t {
    Score,  // change of the engine's score (signed 32-bit, wrapping)
    Lines,  // lines cleared (change of total_lines, unsigned 16-bit)
    Shaped, // lines cleared plus the change of a board potential, less a game-over penalty
};

// The shaped reward of a step from `before` to `after`:
//   lines + PIECE_REWARD * (the step locked a piece and the game goes on)
//         + phi(after) - phi(before) - GAME_OVER_PENALTY * (the step ended the game)
//   phi(s) = -HOLE_WEIGHT * holes(s) - HEIGHT_WEIGHT * height(s)
// with the engine's board metrics (game::tet::board_metrics) of the settled board (the
// falling piece left out). The potential's changes sum to phi(last) - phi(first) over an
// episode: they steer towards low, hole-free boards without paying for anything in the long
// run. What pays is lines and staying alive: without the piece reward, ending the game early
// on a low, clean board is worth more than playing on, and agents learn to top out at once.
inline constexpr double SHAPED_PIECE_REWARD = 1.0;   // each piece locked without topping out
inline constexpr double SHAPED_HOLE_WEIGHT = 0.5;    // each free cell below a column's top
inline constexpr double SHAPED_HEIGHT_WEIGHT = 0.2;  // each row of the highest column's top
inline constexpr double SHAPED_GAME_OVER_PENALTY = 10.0;

// The reward of a step that took `before` to `after`, as `kind` counts it.
double step_reward(RewardKind kind, const GameState& before, const GameState& after);

inline constexpr int VISIBLE_ROWS = 20;
inline constexpr int COLS = game::tet::BoardMatrix::COLS;
inline constexpr int BOARD_CELLS = VISIBLE_ROWS * COLS;
// Rows above the visible ones an observation may add: where pieces enter.
inline constexpr int MAX_HIDDEN_ROWS = game::tet::BoardMatrix::ROWS - VISIBLE_ROWS;
inline constexpr int PIECE_NB = 4;
inline constexpr int NEXT_NB = 5;
inline constexpr int HOLD_NB = 2;
inline constexpr int COUNTER_NB = 4;
inline constexpr int PLACEMENT_ACTION_NB = game::tet::CHAIN_NB;
inline constexpr int KEY_ACTION_NB = game::tet::ACTION_NB;
// Every placement as one action: the code of (hold, rotation, row, column, spin kind),
//   code = (((hold * 4 + rotation) * 41 + row + 2) * 11 + column + 2) * 4 + spin
// with rows -2..38 and columns -2..8 of the piece's grid (every place its cells lie on the
// board) and spin 0 none, 1 mini, 2 spin, 3 full.
inline constexpr int ALL_PLACEMENT_ACTION_NB =
    2 * 4 * game::tet::PLACE_ROW_NB * game::tet::PLACE_COL_NB * 4;
constexpr int placement_code(const game::tet::Placement& p) {
    const int rot = game::rot::index(p.rs);
    return (((p.hold * 4 + rot) * game::tet::PLACE_ROW_NB + p.row - game::tet::PLACE_ROW_MIN) *
                game::tet::PLACE_COL_NB +
            p.col - game::tet::PLACE_COL_MIN) *
               4 +
           static_cast<int>(p.spin);
}
// Actions of one step in `mode`.
constexpr int action_nb(Mode mode) {
    return mode == Mode::Placement       ? PLACEMENT_ACTION_NB
           : mode == Mode::AllPlacements ? ALL_PLACEMENT_ACTION_NB
                                         : KEY_ACTION_NB;
}
// A game seed as Python hands it over: 32 seed bytes, then the start time (i64 little-endian).
inline constexpr int SEED_RECORD_SIZE = 40;
// A drawn start time keeps the top 52 bits of its 64-bit draw.
inline constexpr int START_TIME_SHIFT = 12;
// Every field of the arena starts on its own cache line.
inline constexpr std::size_t ARENA_ALIGN = 64;
// Held-kind value for "nothing held".
inline constexpr std::int8_t NO_HOLD = game::tet::TET_NB;

// The arena's fields. Each is a C-ordered array whose first dimension is the game index.
//   board       int8    [N, R, 10]   solid cells of board rows R-1..0 (top row first), the
//                                    falling piece and the ghost left out while the game runs;
//                                    R = 20 + hidden_rows
//   piece       int8    [N, 4]       falling piece: kind, rotation, row, column
//   next        int8    [N, 5]       the next five kinds
//   hold        int8    [N, 2]       held kind (7 = none), 1 when Hold may be used now
//   counters    int32   [N, 4]       combo counter, back-to-back flag, total lines,
//                                    garbage received
//   reward      float64 [N]
//   terminated  bool    [N]          the game is over (knockout)
//   truncated   bool    [N]          the step limit was reached
//   invalid     bool    [N]          the step's action was masked out; the game is unchanged
//   mask        int8    [N, A]       1 for the actions a step would accept (A = 96, 8 or
//                                    ALL_PLACEMENT_ACTION_NB)
//   seeds       uint8   [N, 40]      input: a game seed record, for games given their next game
//   use_seed    bool    [N]          input: the next game of game i is its seed record (cleared
//                                    when it starts); otherwise it is drawn from its stream
//   streams     uint64  [N, 4]       game i's generator (numpy PCG64): state low and high
//                                    64 bits, increment low and high 64 bits
//   score       int32   [N]          the engine's score of the current state
//   ep_return   float64 [N]          the rewards of the episode so far, summed in step order
//   ep_length   uint32  [N]          the steps of the episode so far (masked-out ones too)
//   ep_pieces   uint32  [N]          the pieces the episode has locked
//
// A game drawn from a stream takes five 64-bit outputs: the first four, little-endian, are
// the 32 seed bytes; the top 52 bits of the fifth are the start time.
enum class Field : std::uint8_t {
    Board,
    Piece,
    Next,
    Hold,
    Counters,
    Reward,
    Terminated,
    Truncated,
    Invalid,
    Mask,
    Seeds,
    UseSeed,
    Streams,
    Score,
    EpisodeReturn,
    EpisodeLength,
    EpisodePieces,
};
inline constexpr int FIELD_NB = 17;

struct FieldSpec {
    const char* name;
    char format;  // struct-module format character of one element
    int itemsize;
    int rank;     // dimensions after the game index
    std::array<int, 2> dims;
};

// The arena's place of one field.
struct FieldPlace {
    std::size_t offset;
    std::size_t bytes;
};

// The placements of one state by their codes, with their key paths: what a game's mask marks
// in the all-placements mode and what its next step plays. Its vectors keep their room from
// state to state.
struct PlacementKeys {
    std::vector<std::int32_t> codes;
    std::vector<std::uint32_t> ends;  // keys of placement k: keys[ends[k-1] .. ends[k])
    std::vector<game::tet::TetAction> keys;

    // Lists the placements of `s` (hold included).
    void list(const GameState& s);
    // Lists them and writes their mask: ALL_PLACEMENT_ACTION_NB entries, 1 at their codes.
    void list(const GameState& s, std::int8_t* mask);
    // The key path of the placement of code `code`; empty when there is no such placement.
    std::span<const game::tet::TetAction> path(int code) const;
    // The state the placement of code `code` leads to (its key path played with try_action at
    // time 0 from `s`, the state listed), or an error when there is no such placement.
    game::Result<GameState> play(const GameState& s, int code) const;
    // Forgets the listing: no code has a placement.
    void clear();
};
// What each placement leaves, for agents that score after-states: AFTERSTATE_FEATURE_NB
// values per action, of the settled board the action's lock leaves, with a column's height
// counted in rows (its highest solid cell's row + 1, 0 when empty):
//   0 lines cleared, 1 holes (the engine's metric: free cells below a column's top),
//   2 height (the highest column's), 3 aggregate height (the columns' heights added up),
//   4 bumpiness (the differences of neighbouring columns' heights added up), 5 well depth
//   (each column's depth below both neighbours, walls counting as full, added up), 6 row
//   transitions (filled to free and back along each row up to the height, walls counting as
//   filled), 7 topped out (1 when the lock ends the game).
// These are the usual features of after-state agents, not the bots' board scores.
inline constexpr int AFTERSTATE_FEATURE_NB = 8;
// Writes the after-state features of every action of `mode` (Placement or AllPlacements) on
// `s`: action_nb(mode) rows of AFTERSTATE_FEATURE_NB floats; the rows of actions the state
// does not take are zero.
void write_afterstates(const GameState& s, Mode mode, float* out);

// The games, their per-game bookkeeping and the arena.
class Games {
public:
    struct Options {
        int num_envs = 1;
        Mode mode = Mode::Placement;
        RewardKind reward = RewardKind::Score;
        // Steps after which an episode is truncated; 0 for no limit.
        std::uint32_t max_episode_steps = 0;
        // Start the next game on the step after an episode ends (next-step autoreset). Without
        // it a finished game stays finished and every action is masked out.
        bool autoreset = true;
        int num_threads = 1;
        // Rows above the visible 20 that the board observation shows too (0..MAX_HIDDEN_ROWS).
        int hidden_rows = 0;
    };

    explicit Games(const Options& options);
    // Another batch in the same games at the same point: the states, step counts, pending
    // resets and the whole arena (observations, masks, flags, seed records, streams), with a
    // worker pool of its own.
    std::unique_ptr<Games> clone() const;

    int num_envs() const { return options_.num_envs; }
    int action_nb() const { return action_nb_; }
    int num_threads() const { return pool_.size(); }
    // Rows of each game's board observation.
    int board_rows() const { return VISIBLE_ROWS + options_.hidden_rows; }
    const Options& options() const { return options_; }

    FieldSpec spec(Field f) const;
    FieldPlace place(Field f) const { return places_[static_cast<int>(f)]; }
    std::uint8_t* arena() { return arena_.get(); }
    std::size_t arena_size() const { return arena_size_; }

    // Starts the next game of every game (or of those whose `which` entry is non-zero);
    // writes their observations and masks and clears their rewards and flags.
    void reset(const std::uint8_t* which);
    // One step of every game, actions[i] for game i, each in 0..action_nb()-1. A game whose
    // episode ended on the previous step starts its next game instead (its action is ignored).
    // Returns how many episodes ended on this step.
    int step(const std::int32_t* actions);

    const GameState& state(int i) const { return states_[i]; }
    // Writes write_afterstates of every game, game after game (num_envs() blocks of
    // action_nb() rows), on the step's threads. Placement and AllPlacements modes only.
    void write_afterstates(float* out);
    // Makes `s` game i's current state, as a reset does with a new game: its episode starts
    // over, its observation and mask are written and its reward and flags cleared.
    void set_state(int i, const GameState& s);

private:
    template <class T>
    T* field(Field f) {
        return reinterpret_cast<T*>(arena_.get() + place(f).offset);
    }

    // Starts game i's next game: its seed record when use_seed is set, else drawn from its
    // stream.
    void reset_game(int i);
    void step_game(int i, int action);
    void write_observation(int i);
    void write_mask(int i);

    struct ArenaDelete {
        void operator()(std::uint8_t* p) const {
            ::operator delete[](p, std::align_val_t{ARENA_ALIGN});
        }
    };

    Options options_;
    int action_nb_;
    std::array<FieldPlace, FIELD_NB> places_{};
    std::size_t arena_size_ = 0;
    std::unique_ptr<std::uint8_t[], ArenaDelete> arena_;
    std::vector<GameState> states_;
    std::vector<std::uint32_t> episode_steps_;
    std::vector<std::uint8_t> pending_reset_;
    std::vector<PlacementKeys> placements_;  // the all-placements mode's listings
    const std::int32_t* actions_ = nullptr;
    WorkerPool pool_;
};

// Where one game's observation goes: board [20, 10], piece [4], next [5], hold [2],
// counters [4], as the arena's fields describe them.
struct ObservationOut {
    std::int8_t* board;
    std::int8_t* piece;
    std::int8_t* next;
    std::int8_t* hold;
    std::int32_t* counters;
    int board_rows = VISIBLE_ROWS;  // rows of `board`: the visible ones and any above them
};
void write_observation(const GameState& s, const ObservationOut& out);
// The solid cells of rows rows-1..0 (the visible ones by default), top row first, the falling
// piece left out while the game runs.
void write_board(const GameState& s, std::int8_t* board, int rows = VISIBLE_ROWS);
// The board of `s` with the falling piece left out while the game runs (a piece that could not
// spawn was never drawn).
game::tet::BoardMatrix settled_board(const GameState& s);

// Size of an arena block of n bytes, so that the next field starts aligned.
constexpr std::size_t round_up(std::size_t n) {
    return (n + ARENA_ALIGN - 1) / ARENA_ALIGN * ARENA_ALIGN;
}
// The game seed record: 32 seed bytes, then the start time as a little-endian i64.
void read_seed_record(const std::uint8_t* rec, game::tet::Seed32& seed, std::int64_t& ts);
// The next game of a stream (see Field), advancing the stream kept in `words`.
void draw_game(std::uint64_t* words, game::tet::Seed32& seed, std::int64_t& ts);

// Marks in `mask` (96 entries) the chains of the move-chain list all of whose actions the
// engine accepts one after another from `s`: the chains that playing every action with
// apply_action_if_works at time 0 would complete.
void placement_mask(const GameState& s, std::int8_t* mask);
// Marks in `mask` (8 entries) the actions try_action accepts from `s`.
void key_mask(const GameState& s, std::int8_t* mask);
// A list for the calling thread, kept for its later calls.
game::tet::PlacementList& thread_placement_list();

}  // namespace batch
