// The batched games: the arena's layout, resets, steps, observations and masks.
#include "games.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "error.hpp"
#include "pcg64.hpp"
#include "tet/board.hpp"
#include "tet/match.hpp"

namespace batch {

namespace {

using game::tet::BoardMatrix;

// Actions a step plays carry time 0, as the Python methods that play chains do.
constexpr std::int64_t ACTION_TIME = 0;

}  // namespace

void read_seed_record(const std::uint8_t* rec, game::tet::Seed32& seed, std::int64_t& ts) {
    std::copy_n(rec, seed.size(), seed.begin());
    std::uint64_t t = 0;
    for (int k = 7; k >= 0; --k) t = t << 8 | rec[32 + k];
    ts = static_cast<std::int64_t>(t);
}

void draw_game(std::uint64_t* words, game::tet::Seed32& seed, std::int64_t& ts) {
    Pcg64 rng({words[1], words[0]}, {words[3], words[2]});
    for (int w = 0; w < 4; ++w) {
        const std::uint64_t v = rng.next();
        for (int k = 0; k < 8; ++k) seed[8 * w + k] = static_cast<std::uint8_t>(v >> 8 * k);
    }
    ts = static_cast<std::int64_t>(rng.next() >> START_TIME_SHIFT);
    words[0] = rng.state().lo;
    words[1] = rng.state().hi;
}

void placement_mask(const GameState& s, std::int8_t* mask) {
    const game::tet::ChainMask valid = game::tet::valid_chains(s);
    for (int c = 0; c < PLACEMENT_ACTION_NB; ++c) mask[c] = valid[c];
}

void key_mask(const GameState& s, std::int8_t* mask) {
    const auto accepted = game::tet::accepted_actions(s);
    for (int a = 0; a < KEY_ACTION_NB; ++a) mask[a] = accepted[a];
}

game::tet::PlacementList& thread_placement_list() {
    thread_local std::unique_ptr<game::tet::PlacementList> list;
    if (!list) list = std::make_unique<game::tet::PlacementList>();
    return *list;
}

void PlacementKeys::list(const GameState& s) {
    game::tet::PlacementList& found = thread_placement_list();
    game::tet::list_placements(s, true, found);
    clear();
    for (int i = 0; i < found.count; ++i) {
        const game::tet::Placement& p = found.items[static_cast<std::size_t>(i)];
        codes.push_back(placement_code(p));
        const std::size_t start = keys.size();
        keys.resize(start + p.key_nb);
        found.keys(i, keys.data() + start);
        ends.push_back(static_cast<std::uint32_t>(keys.size()));
    }
}

void PlacementKeys::list(const GameState& s, std::int8_t* mask) {
    list(s);
    std::fill_n(mask, ALL_PLACEMENT_ACTION_NB, 0);
    for (const std::int32_t code : codes) mask[code] = 1;
}

std::span<const game::tet::TetAction> PlacementKeys::path(int code) const {
    for (std::size_t k = 0; k < codes.size(); ++k) {
        if (codes[k] != code) continue;
        const std::uint32_t start = k ? ends[k - 1] : 0;
        return {keys.data() + start, ends[k] - start};
    }
    return {};
}

game::Result<GameState> PlacementKeys::play(const GameState& s, int code) const {
    const std::span<const game::tet::TetAction> keys_of = path(code);
    if (keys_of.empty()) return {s, game::fail(game::ErrorCode::NoCurrentPcs)};
    return game::tet::play_keys(s, keys_of);
}

void PlacementKeys::clear() {
    codes.clear();
    ends.clear();
    keys.clear();
}

Games::Games(const Options& options)
    : options_(options),
      action_nb_(batch::action_nb(options.mode)),
      states_(static_cast<std::size_t>(options.num_envs)),
      episode_steps_(static_cast<std::size_t>(options.num_envs)),
      pending_reset_(static_cast<std::size_t>(options.num_envs)),
      placements_(options.mode == Mode::AllPlacements ? static_cast<std::size_t>(options.num_envs) : 0),
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

std::unique_ptr<Games> Games::clone() const {
    auto twin = std::make_unique<Games>(options_);
    std::memcpy(twin->arena_.get(), arena_.get(), arena_size_);
    twin->states_ = states_;
    twin->episode_steps_ = episode_steps_;
    twin->pending_reset_ = pending_reset_;
    return twin;
}

FieldSpec Games::spec(Field f) const {
    switch (f) {
        case Field::Board: return {"board", 'b', 1, 2, {board_rows(), COLS}};
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
        case Field::Score: return {"score", 'i', 4, 0, {0, 0}};
        case Field::EpisodeReturn: return {"ep_return", 'd', 8, 0, {0, 0}};
        case Field::EpisodeLength: return {"ep_length", 'I', 4, 0, {0, 0}};
        case Field::EpisodePieces: return {"ep_pieces", 'I', 4, 0, {0, 0}};
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
    set_state(i, GameState::new_game(seed, ts));
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
    const game::Result<GameState> played =
        options_.mode == Mode::Placement       ? game::tet::play_chain(s, action)
        : options_.mode == Mode::AllPlacements ? placements_[i].play(s, action)
                                               : s.try_action(game::tet::action_from_index(action), ACTION_TIME);
    const bool accepted = played.ok();
    double reward = 0.0;
    if (accepted) {
        const GameState& next = played.value;
        reward = step_reward(options_.reward, s, next);
        if (options_.mode == Mode::Keys) {
            bool chain = false;
            game::tet::LockOutcome lock;
            field<std::uint32_t>(Field::EpisodePieces)[i] +=
                game::tet::lock_outcome(s, game::tet::action_from_index(action), next, chain, lock);
        } else {
            ++field<std::uint32_t>(Field::EpisodePieces)[i];
        }
        s = next;
    }

    // Step 3. Reward, flags, and the observation and mask of the new state.
    ++episode_steps_[i];
    const bool terminated = s.is_over();
    const bool truncated =
        options_.max_episode_steps != 0 && episode_steps_[i] >= options_.max_episode_steps;
    field<double>(Field::Reward)[i] = reward;
    field<double>(Field::EpisodeReturn)[i] += reward;
    field<std::uint32_t>(Field::EpisodeLength)[i] = episode_steps_[i];
    field<bool>(Field::Terminated)[i] = terminated;
    field<bool>(Field::Truncated)[i] = truncated;
    field<bool>(Field::Invalid)[i] = !accepted;
    if (accepted) {
        write_observation(i);
        write_mask(i);
    }
    if (options_.autoreset && (terminated || truncated)) pending_reset_[i] = 1;
}

void Games::set_state(int i, const GameState& s) {
    states_[i] = s;
    episode_steps_[i] = 0;
    pending_reset_[i] = 0;
    field<double>(Field::Reward)[i] = 0.0;
    field<double>(Field::EpisodeReturn)[i] = 0.0;
    field<std::uint32_t>(Field::EpisodeLength)[i] = 0;
    field<std::uint32_t>(Field::EpisodePieces)[i] = 0;
    field<bool>(Field::Terminated)[i] = false;
    field<bool>(Field::Truncated)[i] = false;
    field<bool>(Field::Invalid)[i] = false;
    write_observation(i);
    write_mask(i);
}

void write_observation(const GameState& s, const ObservationOut& out) {
    // Step 1. The board: the falling piece is drawn on it only while the game runs (a piece
    // that could not spawn was never drawn).
    write_board(s, out.board, out.board_rows);

    // Step 2. Falling piece, preview and hold.
    std::int8_t* piece = out.piece;
    if (s.current_pcs) {
        piece[0] = static_cast<std::int8_t>(game::tet::index(s.current_pcs->tet));
        piece[1] = static_cast<std::int8_t>(game::rot::index(s.current_pcs->rs));
        piece[2] = s.current_pcs->pos.y;
        piece[3] = s.current_pcs->pos.x;
    } else {
        std::fill_n(piece, PIECE_NB, 0);
    }
    const auto preview = s.get_next_pcs();
    for (int k = 0; k < NEXT_NB; ++k)
        out.next[k] =
            preview.ok() ? static_cast<std::int8_t>(game::tet::index(preview.value[k])) : 0;
    out.hold[0] =
        s.hold_pcs ? static_cast<std::int8_t>(game::tet::index(s.hold_pcs->tet)) : NO_HOLD;
    out.hold[1] = s.hold_pcs ? s.hold_pcs->can_use : 1;

    // Step 3. Counters.
    out.counters[0] = s.combo_counter;
    out.counters[1] = s.is_b2b;
    out.counters[2] = s.total_lines;
    out.counters[3] = s.garbage_recv;
}

BoardMatrix settled_board(const GameState& s) {
    BoardMatrix b = s.main_board;
    if (s.current_pcs && !s.is_over()) (void)b.delete_piece(*s.current_pcs);
    return b;
}

double step_reward(RewardKind kind, const GameState& before, const GameState& after) {
    switch (kind) {
        case RewardKind::Score:
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(after.score) -
                                             static_cast<std::uint32_t>(before.score));
        case RewardKind::Lines:
            return static_cast<std::uint16_t>(after.total_lines - before.total_lines);
        case RewardKind::Shaped: {
            const auto potential = [](const GameState& s) {
                const game::tet::BoardMetrics m = game::tet::board_metrics(settled_board(s));
                return -SHAPED_HOLE_WEIGHT * m.holes - SHAPED_HEIGHT_WEIGHT * m.height;
            };
            const double lines = static_cast<std::uint16_t>(after.total_lines - before.total_lines);
            const bool ended = after.is_over() && !before.is_over();
            // A lock is a drop that brought the next piece (a hold brings one without a lock).
            const bool locked =
                after.current_id != before.current_id &&
                (after.last_action == game::tet::TetAction::HardDrop ||
                 after.last_action == game::tet::TetAction::SoftDrop);
            return lines + (locked && !ended ? SHAPED_PIECE_REWARD : 0.0) + potential(after) -
                   potential(before) - (ended ? SHAPED_GAME_OVER_PENALTY : 0.0);
        }
    }
    return 0.0;
}

void write_board(const GameState& s, std::int8_t* board, int rows) {
    const BoardMatrix b = settled_board(s);
    for (int y = 0; y < rows; ++y) {
        const int solid = game::tet::solid_mask(b, y);
        std::int8_t* row = board + (rows - 1 - y) * COLS;
        for (int x = 0; x < COLS; ++x) row[x] = static_cast<std::int8_t>(solid >> x & 1);
    }
}

namespace {

void afterstate_row(const GameState& before, const GameState& after, float* row) {
    const game::tet::SolidRows rows = game::tet::solid_rows(settled_board(after));
    const game::tet::SolidCols cols = game::tet::solid_cols(rows);
    constexpr std::size_t W = COLS;
    constexpr int WALL = BoardMatrix::ROWS;  // the walls count as full columns
    std::array<int, W> heights{};  // a column's highest solid row + 1, 0 when empty
    for (std::size_t x = 0; x < W; ++x) heights[x] = static_cast<int>(std::bit_width(cols[x]));
    int aggregate = 0, wells = 0, bumpiness = 0, transitions = 0;
    for (std::size_t x = 0; x < W; ++x) {
        const int left = x > 0 ? heights[x - 1] : WALL;
        const int right = x + 1 < W ? heights[x + 1] : WALL;
        aggregate += heights[x];
        wells += std::max(0, std::min(left, right) - heights[x]);
        if (x + 1 < W) bumpiness += std::abs(heights[x] - heights[x + 1]);
    }
    const int top = *std::max_element(heights.begin(), heights.end());
    for (int y = 0; y < top; ++y) {
        // The row between two filled wall cells, bits 0 and COLS + 1; each change counts.
        const unsigned row_cells = rows[static_cast<std::size_t>(y)];
        const unsigned cells = row_cells << 1 | 1u | 1u << (COLS + 1);
        transitions += std::popcount((cells ^ cells >> 1) & ((1u << (COLS + 1)) - 1));
    }
    row[0] = static_cast<float>(static_cast<std::uint16_t>(after.total_lines - before.total_lines));
    row[1] = static_cast<float>(game::tet::board_metrics(cols).holes);
    row[2] = static_cast<float>(top);
    row[3] = static_cast<float>(aggregate);
    row[4] = static_cast<float>(bumpiness);
    row[5] = static_cast<float>(wells);
    row[6] = static_cast<float>(transitions);
    row[7] = after.is_over() ? 1.0f : 0.0f;
}

}  // namespace

void write_afterstates(const GameState& s, Mode mode, float* out) {
    const int actions = action_nb(mode);
    std::fill_n(out, actions * AFTERSTATE_FEATURE_NB, 0.0f);
    if (s.is_over() || !s.current_pcs) return;
    if (mode == Mode::AllPlacements) {
        PlacementKeys listed;
        listed.list(s);
        for (const std::int32_t code : listed.codes) {
            const game::Result<GameState> r = listed.play(s, code);
            if (r.ok()) afterstate_row(s, r.value, out + code * AFTERSTATE_FEATURE_NB);
        }
        return;
    }
    // The chains the mask allows, each with the state it ends in (shared prefixes played once).
    game::tet::for_each_valid_chain(s, [&](int c, const GameState& end) {
        afterstate_row(s, end, out + c * AFTERSTATE_FEATURE_NB);
    });
}

void Games::write_afterstates(float* out) {
    const std::size_t stride = static_cast<std::size_t>(action_nb_) * AFTERSTATE_FEATURE_NB;
    auto job = [this, out, stride](int begin, int end) {
        for (int i = begin; i < end; ++i)
            batch::write_afterstates(states_[i], options_.mode, out + stride * static_cast<std::size_t>(i));
    };
    pool_.run(num_envs(), job);
}

void Games::write_observation(int i) {
    field<std::int32_t>(Field::Score)[i] = states_[i].score;
    batch::write_observation(
        states_[i], {field<std::int8_t>(Field::Board) + i * board_rows() * COLS,
                     field<std::int8_t>(Field::Piece) + i * PIECE_NB,
                     field<std::int8_t>(Field::Next) + i * NEXT_NB,
                     field<std::int8_t>(Field::Hold) + i * HOLD_NB,
                     field<std::int32_t>(Field::Counters) + i * COUNTER_NB, board_rows()});
}

void Games::write_mask(int i) {
    std::int8_t* mask = field<std::int8_t>(Field::Mask) + i * action_nb_;
    switch (options_.mode) {
        case Mode::Placement: placement_mask(states_[i], mask); break;
        case Mode::AllPlacements: placements_[i].list(states_[i], mask); break;
        case Mode::Keys: key_mask(states_[i], mask); break;
    }
}

}  // namespace batch
