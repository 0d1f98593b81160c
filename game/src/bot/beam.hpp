// The beam search bot: every placement of the falling piece (and of the piece Hold brings in)
// searched through the five previews, each level keeping the best positions by an evaluation
// of the board and of what the placements on the way sent under the guideline attack table.
//
// A search position is a plain value: the solid cells by row, the held kind, how far into the
// known pieces (the falling piece, then the preview) it has played, the combo and
// back-to-back run, and the garbage still waiting. Placements come from list_placements, one
// search per position expanded; locks, line clears and attack are read from the placement and
// priced by attack_of. Positions with identical boards, hold, queue place and runs are merged
// (the better kept). Every buffer belongs to a BeamSearch made once and reused, so a search
// allocates nothing per position. The result depends only on the state and the settings.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "tet/board.hpp"
#include "tet/movegen.hpp"
#include "tet/state.hpp"

namespace game::bot {

using tet::GameState;
using tet::TetAction;

// Evaluation weights. Board terms are measured on the board a line of play ends on; lock terms
// are summed over every placement on the way to it.
struct BeamWeights {
    // Board terms.
    float holes;            // per empty cell below its column's top
    float covered;          // per solid cell above a column's lowest hole (at most 6 a column)
    float height;           // per row of the highest column
    float danger;           // per squared row of the highest column, waiting garbage included, above 8
    float bumpiness;        // per row of step between neighbouring columns (the well left out)
    float bumpiness_sq;     // per squared step
    float row_transitions;  // per change between solid and empty along a row, walls solid
    float well;             // per row of depth of the lowest column's well, up to four
    std::array<float, 3> t_slot;  // a T-spin slot ready, by the rows a T in it would clear
    float back_to_back;     // the line of play ends with its back-to-back run alive
    // Lock terms.
    float attack;                 // per line of guideline attack sent
    std::array<float, 5> clear;   // per lock by rows cleared, T-spins left out
    float t_spin;                 // per row a T-spin (full or mini) clears
    float wasted_t;               // per T locked without clearing rows by a T-spin
    float combo;                  // per combo level a clear reaches
};

// The weights one by one, in declaration order (arrays element by element), by name.
inline constexpr int BEAM_WEIGHT_NB = 21;
inline constexpr std::array<std::string_view, BEAM_WEIGHT_NB> BEAM_WEIGHT_NAMES = {
    "holes",     "covered",  "height",  "danger",  "bumpiness", "bumpiness_sq", "row_transitions",
    "well",      "t_slot_0", "t_slot_1", "t_slot_2", "back_to_back", "attack",  "clear_0",
    "clear_1",   "clear_2",  "clear_3", "clear_4", "t_spin",    "wasted_t",     "combo",
};
// Weight i of BEAM_WEIGHT_NAMES (0 <= i < BEAM_WEIGHT_NB).
float& weight_at(BeamWeights& w, int i);
inline float weight_at(const BeamWeights& w, int i) {
    BeamWeights copy = w;
    return weight_at(copy, i);
}

// A named weight set: "default" (the tuned set) or "safe" (survival first); nullptr for
// any other name.
const BeamWeights* beam_weights(std::string_view name);
// The names beam_weights knows, the default first.
std::span<const std::string_view> beam_weight_names();

inline constexpr int MAX_BEAM_WIDTH = 4096;
// The falling piece, the held one and the five previews: at most seven placements known.
inline constexpr int MAX_BEAM_DEPTH = 7;

struct BeamSettings {
    int width = 16;  // positions kept at each level (1 to MAX_BEAM_WIDTH)
    int depth = 6;   // placements looked ahead, the first included (1 to MAX_BEAM_DEPTH)
    BeamWeights weights = *beam_weights("default");
    std::uint64_t seed = 0;     // draws among first placements of exactly equal value
    int incoming = 0;           // garbage queued against the player outside the state
    bool back_to_back = false;  // the player's last clear was difficult (a match's run)
    int max_keys = 0;           // longest key path of any placement searched (0: any)
};

// The search's answer: the chosen placement's index in root_placements(), or -1 when the
// state has none (a finished game, no falling piece, every placement too long); its value and
// the positions evaluated.
struct BeamChoice {
    int index = -1;
    float value = 0;
    int nodes = 0;
};

// One search position.
struct BeamNode {
    tet::SolidRows rows{};
    float acc = 0;    // lock terms so far
    float value = 0;  // acc plus the board terms
    std::uint16_t root = 0;    // the first placement of its line, in root_placements()
    std::int8_t hold = -1;     // held kind, -1 for none
    std::uint8_t next = 0;     // the known piece it plays next
    std::int8_t combo = -1;    // combo_counter after the last lock
    bool chain = false;        // the last clear was difficult
    std::int16_t garbage = 0;  // garbage rows still expected (waiting, less attack sent)
};
static_assert(std::is_trivially_copyable_v<BeamNode>);

class BeamSearch {
public:
    BeamSearch();
    BeamSearch(const BeamSearch&) = delete;
    BeamSearch& operator=(const BeamSearch&) = delete;

    // Searches `s` and returns the best first placement. Settings out of range are clamped.
    BeamChoice choose(const GameState& s, const BeamSettings& settings);
    // Every placement of the state last searched (list_placements with hold).
    const tet::PlacementList& root_placements() const { return *root_; }

private:
    // Higher value first; of equal values the one made first.
    struct Ranked {
        float value;
        std::uint32_t index;
        bool operator<(const Ranked& o) const {
            return value != o.value ? value > o.value : index < o.index;
        }
    };
    struct Slot {
        std::uint32_t stamp = 0;
        std::uint32_t node = 0;
    };
    void expand(const BeamNode& n, const BeamSettings& st);
    void offer(const BeamNode& child);
    void begin_level(std::size_t capacity);

    std::unique_ptr<tet::PlacementList> root_, list_;
    std::vector<BeamNode> beam_, next_;
    std::vector<Slot> table_;
    std::vector<Ranked> ranked_;
    std::uint32_t stamp_ = 0;
    std::array<tet::Tet, MAX_BEAM_DEPTH> known_{};
    int known_nb_ = 0;
    int nodes_ = 0;
};

// The solid cells after placement `p` locks on `base` and its full rows are removed, and how
// many were; false when a cell of the piece lies off the board. What the engine's lock leaves
// when no garbage is waiting.
bool lock_rows(const tet::SolidRows& base, const tet::Placement& p, tet::SolidRows& out, int& lines);

// The board terms of the evaluation on `rows`, with `garbage` rows still expected.
float evaluate_board(const tet::SolidRows& rows, const BeamWeights& w, int garbage);

}  // namespace game::bot
