// Actions, game-over reasons and the replay step records.
#pragma once

#include <array>
#include <cstdint>
#include <variant>

#include "rot.hpp"

namespace game::tet {

using Seed32 = std::array<std::uint8_t, 32>;

// A player action; the index is the byte-form value and the number mixed into the seed.
enum class TetAction : std::uint8_t {
    HardDrop,
    SoftDrop,
    MoveLeft,
    MoveRight,
    Hold,
    RotateLeft,
    RotateRight,
    Nothing,
};
inline constexpr int ACTION_NB = 8;

constexpr int index(TetAction a) { return static_cast<int>(a); }
constexpr TetAction action_from_index(int i) { return static_cast<TetAction>(i); }
// The variant's name: "HardDrop", ..., "Nothing".
const char* name(TetAction a);
// Every action except Nothing, in index order.
inline constexpr std::array<TetAction, 7> ALL_ACTIONS = {
    TetAction::HardDrop, TetAction::SoftDrop,   TetAction::MoveLeft,   TetAction::MoveRight,
    TetAction::Hold,     TetAction::RotateLeft, TetAction::RotateRight,
};
constexpr const std::array<TetAction, 7>& all_actions() { return ALL_ACTIONS; }

// Why a game ended. Play only ever sets Knockout; the others arrive through the byte form.
enum class GameOverReason : std::uint8_t { Knockout, LockOut, Forfeit, TimeUp };
inline constexpr int GAME_OVER_REASON_NB = 4;
const char* name(GameOverReason r);

// The seed record that starts a game.
struct GameSeed {
    Seed32 seed{};
    std::int64_t ts = 0;
    constexpr bool operator==(const GameSeed&) const = default;
};

// One input event.
struct GameReplayEvent {
    TetAction action = TetAction::Nothing;
    constexpr bool operator==(const GameReplayEvent&) const = default;
};

// The record of one performed action, with the values the engine held right after it.
struct GameReplaySlice {
    std::int64_t event_timestamp = 0;
    Seed32 new_seed{};
    std::uint16_t new_garbage_recv = 0;
    std::uint16_t new_garbage_applied = 0;
    std::uint16_t idx = 0;
    GameReplayEvent event;
    constexpr bool operator==(const GameReplaySlice&) const = default;
};

// One element of a replay stream: Init (index 0), Update (1) or GameOver (2).
using GameReplaySegment = std::variant<GameSeed, GameReplaySlice, GameOverReason>;
inline constexpr int SEGMENT_NB = 3;

}  // namespace game::tet
