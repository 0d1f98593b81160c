// N two-player matches stepped together for self-play: both players' observations, rewards,
// flags and masks written into one flat arena that the Python side reads as numpy arrays.
// No Python in here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "games.hpp"
#include "tet/match.hpp"
#include "worker_pool.hpp"

namespace batch {

// What the versus reward counts.
enum class VersusReward : std::uint8_t {
    Win,     // +1 to the winner and -1 to the loser when a match ends by knockout
    Attack,  // garbage lines the step sent to the opponent, after cancelling
};

// The arena's fields. Player p of match i is agent 2i + p; agent fields have 2N rows, match
// fields N.
//   board           int8    [2N, 20, 10]  the agent's own board, as in the single-player arena
//   piece, next, hold, counters            the agent's own game, as there
//   opponent_board  int8    [2N, 20, 10]  the opponent's board
//   garbage         int32   [2N, 2]       garbage against the agent and against the opponent,
//                                         not yet in their boards
//   reward          float64 [2N]
//   terminated      bool    [N]           the match ended by a knockout
//   truncated       bool    [N]           the match reached its step limit (a draw)
//   invalid         bool    [N]           an action of the step was masked out; the match is
//                                         unchanged
//   winner          int8    [N]           -1 while running, else 0, 1, or 2 for a draw
//   mask            int8    [2N, A]       1 for the actions the agent can play (A = 96, 8 or
//                                         ALL_PLACEMENT_ACTION_NB, as in the single-player arena)
//   stats           uint32  [2N, 6]       the agent's PlayerStats so far: pieces, attack,
//                                         lines sent, cancelled, received and cleared
//   steps           uint32  [N]           steps the match has taken
//   seeds           uint8   [2N, 40]      input: game seed records for the next match
//   use_seed        bool    [N]           input: the next match starts from its seed records
//   streams         uint64  [N, 4]        match i's PCG64 generator; a match drawn from it
//                                         draws player 0's game, then player 1's
enum class VersusField : std::uint8_t {
    Board,
    Piece,
    Next,
    Hold,
    Counters,
    OpponentBoard,
    Garbage,
    Reward,
    Terminated,
    Truncated,
    Invalid,
    Winner,
    Mask,
    Stats,
    Steps,
    Seeds,
    UseSeed,
    Streams,
};
inline constexpr int VERSUS_FIELD_NB = 18;

struct VersusFieldSpec {
    FieldSpec spec;
    int per_match;  // rows per match: 2 for agent fields, 1 for match fields
};

class VersusGames {
public:
    struct Options {
        int num_matches = 1;
        Mode mode = Mode::Placement;
        game::tet::MatchOptions match{};
        VersusReward reward = VersusReward::Win;
        // Start the next match on the step after one ends (next-step autoreset).
        bool autoreset = true;
        int num_threads = 1;
    };

    explicit VersusGames(const Options& options);

    int num_matches() const { return options_.num_matches; }
    int action_nb() const { return action_nb_; }
    int num_threads() const { return pool_.size(); }
    const Options& options() const { return options_; }

    VersusFieldSpec spec(VersusField f) const;
    FieldPlace place(VersusField f) const { return places_[static_cast<int>(f)]; }
    std::uint8_t* arena() { return arena_.get(); }
    std::size_t arena_size() const { return arena_size_; }

    // Starts the next match of every match (or of those whose `which` entry is non-zero).
    void reset(const std::uint8_t* which);
    // One step of every match: actions[2i + p] for player p of match i, each in
    // 0..action_nb()-1: a chain, an engine action, or a placement's code whose key path is the
    // player's turn. A match that ended on the previous step starts its next match instead.
    // Returns how many matches ended on this step.
    int step(const std::int32_t* actions);

    const game::tet::Match& match(int i) const { return matches_[static_cast<std::size_t>(i)]; }

private:
    template <class T>
    T* field(VersusField f) {
        return reinterpret_cast<T*>(arena_.get() + place(f).offset);
    }

    void reset_match(int i);
    void step_match(int i, const std::int32_t* actions);
    void write_agent(int i, int p);

    struct ArenaDelete {
        void operator()(std::uint8_t* p) const {
            ::operator delete[](p, std::align_val_t{ARENA_ALIGN});
        }
    };

    Options options_;
    int action_nb_;
    std::array<FieldPlace, VERSUS_FIELD_NB> places_{};
    std::size_t arena_size_ = 0;
    std::unique_ptr<std::uint8_t[], ArenaDelete> arena_;
    std::vector<game::tet::Match> matches_;
    std::vector<std::uint8_t> pending_reset_;
    std::vector<PlacementKeys> placements_;  // each agent's listing in the all-placements mode
    const std::int32_t* actions_ = nullptr;
    WorkerPool pool_;
};

}  // namespace batch
