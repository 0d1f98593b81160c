// The batched two-player matches: the arena's layout, resets, lock-step turns and the
// observations and masks of both players.
#include "versus_games.hpp"

#include <algorithm>
#include <cstring>

#include "error.hpp"
#include "tet/movegen.hpp"

namespace batch {

namespace {

constexpr int GARBAGE_NB = 2;
constexpr int STAT_NB = 6;

}  // namespace

VersusGames::VersusGames(const Options& options)
    : options_(options),
      action_nb_(batch::action_nb(options.mode)),
      matches_(static_cast<std::size_t>(options.num_matches)),
      pending_reset_(static_cast<std::size_t>(options.num_matches)),
      placements_(options.mode == Mode::AllPlacements
                      ? 2 * static_cast<std::size_t>(options.num_matches)
                      : 0),
      pool_(std::max(1, std::min(options.num_threads, options.num_matches))) {
    const auto n = static_cast<std::size_t>(options.num_matches);
    for (int f = 0; f < VERSUS_FIELD_NB; ++f) {
        const VersusFieldSpec vs = spec(static_cast<VersusField>(f));
        std::size_t per_row = static_cast<std::size_t>(vs.spec.itemsize);
        for (int d = 0; d < vs.spec.rank; ++d) per_row *= static_cast<std::size_t>(vs.spec.dims[d]);
        const std::size_t bytes = per_row * n * static_cast<std::size_t>(vs.per_match);
        places_[f] = FieldPlace{arena_size_, bytes};
        arena_size_ += round_up(bytes);
    }
    arena_.reset(static_cast<std::uint8_t*>(
        ::operator new[](arena_size_, std::align_val_t{ARENA_ALIGN})));
    std::memset(arena_.get(), 0, arena_size_);
}

VersusFieldSpec VersusGames::spec(VersusField f) const {
    switch (f) {
        case VersusField::Board: return {{"board", 'b', 1, 2, {VISIBLE_ROWS, COLS}}, 2};
        case VersusField::Piece: return {{"piece", 'b', 1, 1, {PIECE_NB, 0}}, 2};
        case VersusField::Next: return {{"next", 'b', 1, 1, {NEXT_NB, 0}}, 2};
        case VersusField::Hold: return {{"hold", 'b', 1, 1, {HOLD_NB, 0}}, 2};
        case VersusField::Counters: return {{"counters", 'i', 4, 1, {COUNTER_NB, 0}}, 2};
        case VersusField::OpponentBoard:
            return {{"opponent_board", 'b', 1, 2, {VISIBLE_ROWS, COLS}}, 2};
        case VersusField::Garbage: return {{"garbage", 'i', 4, 1, {GARBAGE_NB, 0}}, 2};
        case VersusField::Reward: return {{"reward", 'd', 8, 0, {0, 0}}, 2};
        case VersusField::Terminated: return {{"terminated", '?', 1, 0, {0, 0}}, 1};
        case VersusField::Truncated: return {{"truncated", '?', 1, 0, {0, 0}}, 1};
        case VersusField::Invalid: return {{"invalid", '?', 1, 0, {0, 0}}, 1};
        case VersusField::Winner: return {{"winner", 'b', 1, 0, {0, 0}}, 1};
        case VersusField::Mask: return {{"mask", 'b', 1, 1, {action_nb_, 0}}, 2};
        case VersusField::Stats: return {{"stats", 'I', 4, 1, {STAT_NB, 0}}, 2};
        case VersusField::Steps: return {{"steps", 'I', 4, 0, {0, 0}}, 1};
        case VersusField::Seeds: return {{"seeds", 'B', 1, 1, {SEED_RECORD_SIZE, 0}}, 2};
        case VersusField::UseSeed: return {{"use_seed", '?', 1, 0, {0, 0}}, 1};
        case VersusField::Streams: return {{"streams", 'Q', 8, 1, {4, 0}}, 1};
    }
    return {{"", 'B', 1, 0, {0, 0}}, 1};
}

void VersusGames::reset(const std::uint8_t* which) {
    auto job = [this, which](int begin, int end) {
        for (int i = begin; i < end; ++i)
            if (!which || which[i]) reset_match(i);
    };
    pool_.run(num_matches(), job);
}

int VersusGames::step(const std::int32_t* actions) {
    actions_ = actions;
    auto job = [this](int begin, int end) {
        for (int i = begin; i < end; ++i) step_match(i, actions_ + 2 * i);
    };
    pool_.run(num_matches(), job);
    actions_ = nullptr;
    int ended = 0;
    for (std::uint8_t p : pending_reset_) ended += p;
    return ended;
}

void VersusGames::reset_match(int i) {
    std::array<game::tet::GameSeed, 2> seeds;
    bool& use_seed = field<bool>(VersusField::UseSeed)[i];
    for (int p = 0; p < 2; ++p) {
        if (use_seed)
            read_seed_record(field<std::uint8_t>(VersusField::Seeds) + (2 * i + p) * SEED_RECORD_SIZE,
                             seeds[p].seed, seeds[p].ts);
        else
            draw_game(field<std::uint64_t>(VersusField::Streams) + i * 4, seeds[p].seed, seeds[p].ts);
    }
    use_seed = false;
    matches_[static_cast<std::size_t>(i)] =
        game::tet::Match::start(seeds[0], seeds[1], options_.match);
    pending_reset_[static_cast<std::size_t>(i)] = 0;
    field<bool>(VersusField::Terminated)[i] = false;
    field<bool>(VersusField::Truncated)[i] = false;
    field<bool>(VersusField::Invalid)[i] = false;
    field<std::int8_t>(VersusField::Winner)[i] = -1;
    for (int p = 0; p < 2; ++p) {
        field<double>(VersusField::Reward)[2 * i + p] = 0.0;
        write_agent(i, p);
    }
}

void VersusGames::step_match(int i, const std::int32_t* actions) {
    // Step 1. A match that ended on the previous step starts its next match.
    const auto k = static_cast<std::size_t>(i);
    if (pending_reset_[k]) {
        reset_match(i);
        return;
    }

    // Step 2. Each player's turn: a placement's key path from the agent's listing, or the
    // chain or action its mask marks; a turn with nothing to play leaves the match as it is.
    std::array<std::span<const game::tet::TetAction>, 2> turns;
    std::array<game::tet::TetAction, 2> keys{};
    const std::int8_t* mask = field<std::int8_t>(VersusField::Mask);
    for (int p = 0; p < 2; ++p) {
        const int a = actions[p];
        const std::size_t agent = 2 * k + static_cast<std::size_t>(p);
        if (options_.mode == Mode::AllPlacements) {
            turns[p] = placements_[agent].path(a);
        } else if (mask[agent * static_cast<std::size_t>(action_nb_) +
                        static_cast<std::size_t>(a)] == 0) {
            turns[p] = {};
        } else if (options_.mode == Mode::Placement) {
            turns[p] = game::tet::chain_table()[static_cast<std::size_t>(a)].view();
        } else {
            keys[p] = game::tet::action_from_index(a);
            turns[p] = {&keys[p], 1};
        }
    }
    double* reward = field<double>(VersusField::Reward) + 2 * i;
    reward[0] = reward[1] = 0.0;

    // Step 3. The lock-step turn; a refused one (only a caller that rewrote the mask can ask
    // for one) leaves the match unchanged too.
    game::tet::Match& m = matches_[k];
    const std::array<std::uint32_t, 2> sent = {m.stats[0].lines_sent, m.stats[1].lines_sent};
    const bool accepted = !turns[0].empty() && !turns[1].empty() && m.step(turns[0], turns[1]).ok();
    field<bool>(VersusField::Invalid)[i] = !accepted;
    if (!accepted) return;

    // Step 4. Rewards, flags, observations and masks.
    using game::tet::MatchResult;
    if (options_.reward == VersusReward::Attack) {
        for (int p = 0; p < 2; ++p) reward[p] = m.stats[p].lines_sent - sent[p];
    } else if (m.result == MatchResult::WinA || m.result == MatchResult::WinB) {
        reward[0] = m.result == MatchResult::WinA ? 1.0 : -1.0;
        reward[1] = -reward[0];
    }
    if (m.over()) {
        const bool knockout = m.states[0].is_over() || m.states[1].is_over();
        field<bool>(VersusField::Terminated)[i] = knockout;
        field<bool>(VersusField::Truncated)[i] = !knockout;
        field<std::int8_t>(VersusField::Winner)[i] =
            m.result == MatchResult::WinA ? 0 : m.result == MatchResult::WinB ? 1 : 2;
        if (options_.autoreset) pending_reset_[k] = 1;
    }
    for (int p = 0; p < 2; ++p) write_agent(i, p);
}

void VersusGames::write_agent(int i, int p) {
    const game::tet::Match& m = matches_[static_cast<std::size_t>(i)];
    const int a = 2 * i + p;
    const GameState& s = m.states[static_cast<std::size_t>(p)];
    write_observation(s, {field<std::int8_t>(VersusField::Board) + a * BOARD_CELLS,
                          field<std::int8_t>(VersusField::Piece) + a * PIECE_NB,
                          field<std::int8_t>(VersusField::Next) + a * NEXT_NB,
                          field<std::int8_t>(VersusField::Hold) + a * HOLD_NB,
                          field<std::int32_t>(VersusField::Counters) + a * COUNTER_NB});
    write_board(m.states[static_cast<std::size_t>(1 - p)],
                field<std::int8_t>(VersusField::OpponentBoard) + a * BOARD_CELLS);
    std::int32_t* garbage = field<std::int32_t>(VersusField::Garbage) + a * GARBAGE_NB;
    garbage[0] = m.incoming(p);
    garbage[1] = m.incoming(1 - p);
    const game::tet::PlayerStats& st = m.stats[static_cast<std::size_t>(p)];
    std::uint32_t* stats = field<std::uint32_t>(VersusField::Stats) + a * STAT_NB;
    stats[0] = st.pieces;
    stats[1] = st.attack;
    stats[2] = st.lines_sent;
    stats[3] = st.lines_cancelled;
    stats[4] = st.lines_received;
    stats[5] = st.lines_cleared;
    field<std::uint32_t>(VersusField::Steps)[i] = m.steps;
    std::int8_t* mask = field<std::int8_t>(VersusField::Mask) + a * action_nb_;
    if (m.over()) {
        std::fill_n(mask, action_nb_, 0);
        if (options_.mode == Mode::AllPlacements) placements_[static_cast<std::size_t>(a)].clear();
    } else if (options_.mode == Mode::AllPlacements) {
        placements_[static_cast<std::size_t>(a)].list(s, mask);
    } else if (options_.mode == Mode::Placement) {
        placement_mask(s, mask);
    } else {
        key_mask(s, mask);
    }
}

}  // namespace batch
