// Two-player matches: reading a lock's outcome, the attack tables, and the lock-step turn with
// its garbage exchange.
#include "tet/match.hpp"

#include <algorithm>

namespace game::tet {

namespace {

// Guideline attack of a clear by rows cleared (0 to 4).
constexpr std::array<int, 5> LINE_ATTACK = {0, 0, 1, 2, 4};
// T-spin (three corners) by rows cleared; a T clears at most three.
constexpr std::array<int, 5> T_SPIN_ATTACK = {0, 2, 4, 6, 6};
// Mini T-spin (two corners) by rows cleared: the single sends nothing, the double one line.
constexpr std::array<int, 5> T_MINI_ATTACK = {0, 0, 1, 1, 1};
// Combo bonus by combo_counter after the clear (0 for the first clear of a run); the last
// entry holds for every longer combo.
constexpr std::array<int, 13> COMBO_ATTACK = {0, 0, 1, 1, 1, 2, 2, 3, 3, 4, 4, 4, 5};
constexpr int BACK_TO_BACK_ATTACK = 1;
// A perfect clear sends this in place of its line, spin and back-to-back attack.
constexpr int PERFECT_CLEAR_ATTACK = 10;

bool full_t_spin(const LockOutcome& o) { return o.kind == Tet::T && o.t_spin; }
bool mini_t_spin(const LockOutcome& o) { return o.kind == Tet::T && !o.t_spin && o.t_mini_spin; }

}  // namespace

bool lock_outcome(const GameState& before, TetAction action, const GameState& after, bool& chain,
                  LockOutcome& out) {
    // Step 1. A lock takes a new piece without Hold; a drop that only moved does not.
    if (action == TetAction::Hold || !before.current_pcs || after.current_id == before.current_id)
        return false;
    const CurrentPcsInfo& piece = *before.current_pcs;

    // Step 2. The spin flags the lock scored with: a hard drop that moves the piece first
    // clears them; a soft drop locks where the piece stands.
    const bool moved = action == TetAction::HardDrop &&
                       before.main_board.fall_distance(piece) > 0;
    out = LockOutcome{};
    out.kind = piece.tet;
    out.t_spin = !moved && before.is_t_spin;
    out.t_mini_spin = !moved && before.is_t_mini_spin;
    out.lines = static_cast<std::uint16_t>(after.total_lines - before.total_lines);
    out.combo = after.combo_counter;
    out.engine_garbage = static_cast<std::uint16_t>(after.total_garbage_sent - before.total_garbage_sent);

    // Step 3. Perfect clear: the clear left no solid cell. Garbage inserted by the same lock
    // sits in the bottom rows, so only the rows above it are looked at.
    if (out.lines > 0) {
        const int garbage = std::min<int>(static_cast<std::uint16_t>(after.garbage_applied -
                                                                     before.garbage_applied),
                                          BoardMatrix::ROWS - 1);
        const BoardMatrix board =
            after.is_over() ? after.main_board : after.board_without_falling_piece();
        out.perfect_clear = true;
        for (int y = garbage; y < BoardMatrix::ROWS && out.perfect_clear; ++y)
            out.perfect_clear = board.row_empty_of_solid(y);
    }

    // Step 4. Back-to-back: a difficult clear after a difficult clear; locks without lines
    // leave the run as it is.
    if (out.lines > 0) {
        const bool difficult = difficult_clear(out);
        out.back_to_back = difficult && chain;
        chain = difficult;
    }
    return true;
}

bool difficult_clear(const LockOutcome& o) {
    return o.lines >= 4 || full_t_spin(o) || mini_t_spin(o);
}

int attack_of(AttackTable table, const LockOutcome& o) {
    if (table == AttackTable::Engine) return o.engine_garbage;
    if (o.lines <= 0) return 0;
    const int l = std::min(o.lines, 4);
    int base = full_t_spin(o) ? T_SPIN_ATTACK[l] : mini_t_spin(o) ? T_MINI_ATTACK[l] : LINE_ATTACK[l];
    if (o.back_to_back) base += BACK_TO_BACK_ATTACK;
    if (o.perfect_clear) base = PERFECT_CLEAR_ATTACK;
    const int c = std::clamp<int>(o.combo, 0, static_cast<int>(COMBO_ATTACK.size()) - 1);
    return base + COMBO_ATTACK[c];
}

int GarbageQueue::total() const {
    int n = 0;
    for (int i = 0; i < count; ++i) n += entries[i].lines;
    return n;
}

int GarbageQueue::cancel(int lines) {
    int removed = 0, i = 0;
    for (; i < count && removed < lines; ++i) {
        const int take = std::min<int>(entries[i].lines, lines - removed);
        removed += take;
        entries[i].lines = static_cast<std::uint16_t>(entries[i].lines - take);
        if (entries[i].lines > 0) break;
    }
    // Drop the emptied entries at the front.
    int first = 0;
    while (first < count && entries[first].lines == 0) ++first;
    std::copy(entries.begin() + first, entries.begin() + count, entries.begin());
    count = static_cast<std::uint8_t>(count - first);
    return removed;
}

int Match::incoming(int p) const {
    const GameState& s = states[p];
    return queued[p].total() + static_cast<std::uint16_t>(s.garbage_recv - s.garbage_applied);
}

Match Match::start(const GameSeed& a, const GameSeed& b, const MatchOptions& options,
                   MatchLog* log) {
    Match m;
    m.options = options;
    m.options.delay = std::min<std::uint8_t>(options.delay, MAX_GARBAGE_DELAY);
    const std::array<GameSeed, 2> seeds = {a, b};
    for (int p = 0; p < 2; ++p) {
        m.states[p] = GameState::new_game(seeds[p].seed, seeds[p].ts);
        m.start_time[p] = seeds[p].ts;
        if (log) log->streams[p].assign(1, m.states[p].last_segment);
    }
    return m;
}

MatchError Match::step(std::span<const TetAction> a, std::span<const TetAction> b, MatchLog* log) {
    if (over()) return {MatchErrorKind::MatchOver, -1, 0, fail(ErrorCode::GameOver)};
    const std::array<std::span<const TetAction>, 2> turns = {a, b};
    for (int p = 0; p < 2; ++p)
        if (turns[p].empty() || turns[p].size() > MAX_TURN_ACTIONS)
            return {MatchErrorKind::BadTurn, p, 0, {}};

    // Step 1. Both turns on copies, from the states at the start of the step.
    std::array<GameState, 2> next = states;
    std::array<bool, 2> chain = back_to_back;
    std::array<int, 2> attack{}, locks{}, cleared{};
    // The log's streams grow as the actions are accepted and are cut back on a refusal.
    std::array<std::size_t, 2> logged{};
    if (log)
        for (int p = 0; p < 2; ++p) logged[p] = log->streams[p].size();
    for (int p = 0; p < 2; ++p) {
        const std::int64_t t =
            start_time[p] + static_cast<std::int64_t>(steps + 1) * options.step_us;
        for (std::size_t k = 0; k < turns[p].size(); ++k) {
            const TetAction action = turns[p][k];
            Result<GameState> r = next[p].try_action(action, t);
            if (r.failed()) {
                if (log)
                    for (int q = 0; q < 2; ++q) log->streams[q].resize(logged[q]);
                return {MatchErrorKind::Refused, p, static_cast<int>(k), r.error};
            }
            LockOutcome o;
            if (lock_outcome(next[p], action, r.value, chain[p], o)) {
                ++locks[p];
                cleared[p] += o.lines;
                attack[p] += attack_of(options.attack, o);
            }
            next[p] = r.value;
            if (log) log->streams[p].push_back(next[p].last_segment);
        }
    }

    // Step 2. Commit the turns.
    states = next;
    back_to_back = chain;
    ++steps;

    // Step 3. The result: a knockout ends the match; both on the same step is a draw, and so
    // is reaching the step limit.
    const bool out_a = states[0].is_over(), out_b = states[1].is_over();
    if (out_a && out_b) result = MatchResult::Draw;
    else if (out_a) result = MatchResult::WinB;
    else if (out_b) result = MatchResult::WinA;
    else if (options.max_steps != 0 && steps >= options.max_steps) result = MatchResult::Draw;
    if (log)
        for (int p = 0; p < 2; ++p)
            if (states[p].is_over()) log->streams[p].push_back(GameOverReason::Knockout);

    // Step 4. Attack cancels garbage queued against its sender, both against the queues as
    // they stood before this step.
    std::array<int, 2> send{};
    for (int p = 0; p < 2; ++p) {
        const int cancelled = queued[p].cancel(attack[p]);
        send[p] = attack[p] - cancelled;
        stats[p].pieces += static_cast<std::uint32_t>(locks[p]);
        stats[p].lines_cleared += static_cast<std::uint32_t>(cleared[p]);
        stats[p].attack += static_cast<std::uint32_t>(attack[p]);
        stats[p].lines_cancelled += static_cast<std::uint32_t>(cancelled);
        stats[p].lines_sent += static_cast<std::uint32_t>(send[p]);
    }

    // Step 5. The receiver's locks count down what was queued before; then the new attack is
    // queued, and while the match goes on whatever has no pieces left to wait is delivered.
    for (int p = 0; p < 2; ++p) {
        GarbageQueue& q = queued[p];
        for (int i = 0; i < q.count; ++i)
            q.entries[i].pieces_left =
                static_cast<std::uint8_t>(std::max(0, q.entries[i].pieces_left - locks[p]));
        const int lines = send[1 - p];
        if (lines > 0) {
            if (q.count > 0 && q.entries[q.count - 1].pieces_left == options.delay) {
                q.entries[q.count - 1].lines =
                    static_cast<std::uint16_t>(q.entries[q.count - 1].lines + lines);
            } else {
                q.entries[q.count++] = {static_cast<std::uint16_t>(lines), options.delay};
            }
        }
        if (over()) continue;
        int due = 0;
        GameState& s = states[p];
        while (due < q.count && q.entries[due].pieces_left == 0) {
            s.garbage_recv = static_cast<std::uint16_t>(s.garbage_recv + q.entries[due].lines);
            stats[p].lines_received += q.entries[due].lines;
            ++due;
        }
        std::copy(q.entries.begin() + due, q.entries.begin() + q.count, q.entries.begin());
        q.count = static_cast<std::uint8_t>(q.count - due);
    }

    return {};
}

}  // namespace game::tet
