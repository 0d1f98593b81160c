// Two-player matches: two games stepped in lock-step and the garbage sent between them.
//
// Each step both players take a turn (one action, or the actions of a move chain) from the
// states at the start of the step. Every lock in a turn is read into a LockOutcome and priced
// by the match's attack table. A player's attack first cancels garbage queued against that
// player; the rest is queued against the opponent. A queued entry waits until its receiver
// has locked `delay` more pieces and is then delivered at the end of the step: added to the
// receiver's garbage_recv, so the receiver's next lock (or hold) inserts it exactly as replay
// playback does, where the next action's slice carries the raised count. Nothing is delivered
// once the match has ended, so each final state is the one its replay stream plays back to.
// A match is a plain value.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "tet/movegen.hpp"
#include "tet/records.hpp"
#include "tet/state.hpp"

namespace game::tet {

// How a lock's outcome is priced in garbage lines.
enum class AttackTable : std::uint8_t {
    Engine,     // the lock's increment of total_garbage_sent (the engine's own combo garbage)
    Guideline,  // lines, T-spins, back-to-back, combo and perfect clear (attack_of)
};
inline constexpr int ATTACK_TABLE_NB = 2;

// What one lock did, as the attack tables read it.
struct LockOutcome {
    int lines = 0;               // rows cleared
    Tet kind = Tet::I;           // the locked piece
    bool t_spin = false;         // is_t_spin at the lock
    bool t_mini_spin = false;    // is_t_mini_spin at the lock
    bool perfect_clear = false;  // no solid cell left by the clear
    std::int8_t combo = -1;      // combo_counter after the lock (0 for the first clear of a run)
    bool back_to_back = false;   // a difficult clear right after another (no easy clear between)
    std::uint16_t engine_garbage = 0;  // total_garbage_sent increment
};

// The outcome of `action` taking `before` to `after`, when that action locked a piece.
// `chain` is whether the player's last line clear was difficult (a four, or a T-spin or
// mini T-spin with lines); it is updated from this lock. Returns false for an action that
// locked nothing (a move, a turn, a hold, a soft drop that moved).
bool lock_outcome(const GameState& before, TetAction action, const GameState& after, bool& chain,
                  LockOutcome& out);

// Whether a clear is difficult: a four, or a T-spin or mini T-spin with lines. Difficult
// clears in a row are back-to-back; an easy clear ends the run.
bool difficult_clear(const LockOutcome& o);

// Garbage lines a lock sends under `table`.
int attack_of(AttackTable table, const LockOutcome& o);

// Longest wait, in the receiver's pieces, before queued garbage is delivered.
inline constexpr int MAX_GARBAGE_DELAY = 60;
// Longest turn: a placement's key path (Hold, one action into each search node it passes,
// HardDrop), which is longer than any move chain.
inline constexpr int MAX_TURN_ACTIONS = MAX_SEARCH_NODES + 1;
static_assert(MAX_CHAIN_LEN <= MAX_TURN_ACTIONS);

struct MatchOptions {
    AttackTable attack = AttackTable::Engine;
    std::uint8_t delay = 0;         // pieces the receiver locks before queued garbage is due
    std::uint32_t max_steps = 0;    // steps after which the match is a draw; 0 for no limit
    std::int64_t step_us = 16667;   // game time of one step: step k's actions are at ts + k * step_us
};

// Garbage queued against a player, not yet delivered.
struct QueuedGarbage {
    std::uint16_t lines = 0;
    std::uint8_t pieces_left = 0;  // receiver's locks still to come before it is delivered
};
struct GarbageQueue {
    // Entries in the order they were sent; pieces_left never decreases along the queue, and
    // entries queued between the same two locks of the receiver share one entry, so there are
    // at most MAX_GARBAGE_DELAY + 1.
    std::array<QueuedGarbage, MAX_GARBAGE_DELAY + 1> entries{};
    std::uint8_t count = 0;

    int total() const;
    // Removes up to `lines` from the oldest entries; returns how many were removed.
    int cancel(int lines);
};

struct PlayerStats {
    std::uint32_t pieces = 0;
    std::uint32_t attack = 0;           // lines of attack made (cancelled or sent)
    std::uint32_t lines_sent = 0;       // attack left after cancelling, queued for the opponent
    std::uint32_t lines_cancelled = 0;  // attack spent on garbage queued against this player
    std::uint32_t lines_received = 0;   // garbage delivered to this player
    std::uint32_t lines_cleared = 0;
};

enum class MatchResult : std::uint8_t { Running, WinA, WinB, Draw };

enum class MatchErrorKind : std::uint8_t {
    Ok,
    MatchOver,  // the match has ended: no further step
    BadTurn,    // a turn of no actions, or of more than MAX_TURN_ACTIONS
    Refused,    // the engine refused an action (`error`)
};
// A refused step: which player, which action of the turn, and why.
struct MatchError {
    MatchErrorKind kind = MatchErrorKind::Ok;
    int player = -1;
    int action_index = 0;
    Error error{};
    constexpr bool ok() const { return kind == MatchErrorKind::Ok; }
};

// The replay streams of both players, grown as a match is stepped with one.
struct MatchLog {
    std::array<std::vector<GameReplaySegment>, 2> streams;
};

struct Match {
    std::array<GameState, 2> states{};
    std::array<GarbageQueue, 2> queued{};        // garbage queued against each player
    std::array<bool, 2> back_to_back{};          // the player's last line clear was difficult
    std::array<PlayerStats, 2> stats{};
    std::array<std::int64_t, 2> start_time{};
    MatchOptions options{};
    std::uint32_t steps = 0;
    MatchResult result = MatchResult::Running;

    static Match start(const GameSeed& a, const GameSeed& b, const MatchOptions& options,
                       MatchLog* log = nullptr);

    // One step: player 0 plays `a`, player 1 plays `b` (each 1 to MAX_TURN_ACTIONS actions).
    // A refused action leaves the whole match unchanged. `log`, when given, receives each
    // accepted action's segment, and a GameOver segment for a player who topped out.
    MatchError step(std::span<const TetAction> a, std::span<const TetAction> b,
                    MatchLog* log = nullptr);

    bool over() const { return result != MatchResult::Running; }
    // Garbage against player p not yet in its board: queued, and delivered but not yet
    // inserted.
    int incoming(int p) const;
};

static_assert(std::is_trivially_copyable_v<Match>);

}  // namespace game::tet
