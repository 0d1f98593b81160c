// The byte form of game states and replay streams.
//
// Every record is its fields in declared order with no names, lengths or padding:
// integers little-endian at full width, bool 1 byte (0/1), optional = tag byte (0/1) then the
// value, enum = u32 variant index then the payload, fixed arrays back to back, lists = u64
// count then the elements.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tet/records.hpp"
#include "tet/state.hpp"

namespace game::tet {

enum class DecodeErrorKind : std::uint8_t {
    Ok,
    Io,                   // "io error: unexpected end of file"
    InvalidBoolEncoding,  // "invalid u8 while decoding bool, expected 0 or 1, found {value}"
    InvalidTagEncoding,   // "tag for enum is not valid, found {value}"
    Custom,  // "invalid value: integer `{value}`, expected variant index 0 <= i < {limit}"
};

struct [[nodiscard]] DecodeError {
    DecodeErrorKind kind = DecodeErrorKind::Ok;
    std::uint32_t value = 0;
    std::uint32_t limit = 0;

    constexpr bool ok() const { return kind == DecodeErrorKind::Ok; }
    constexpr bool operator==(const DecodeError&) const = default;
    std::string display() const;
};

template <class T>
struct [[nodiscard]] Decoded {
    T value{};
    DecodeError error{};
    constexpr bool ok() const { return error.ok(); }
};

using ByteSpan = std::span<const std::uint8_t>;

inline constexpr std::size_t STATE_MIN_SIZE = 366;
inline constexpr std::size_t STATE_MAX_SIZE = 433;

// Exact size of the state's byte form (366 to 433).
std::size_t encoded_size(const GameState& s);
// Writes the byte form into out[0 .. encoded_size(s)).
void encode_game_state_into(const GameState& s, std::uint8_t* out);
std::vector<std::uint8_t> encode_game_state(const GameState& s);
// Reads a state from the start of `bytes`; what follows it is ignored.
Decoded<GameState> decode_game_state(ByteSpan bytes);

std::size_t encoded_size(const GameReplaySegment& seg);
void encode_segment_into(const GameReplaySegment& seg, std::uint8_t* out);
// A replay stream: u64 count, then the segments.
std::vector<std::uint8_t> encode_replay_segments(std::span<const GameReplaySegment> segs);
Decoded<std::vector<GameReplaySegment>> decode_replay_segments(ByteSpan bytes);

std::array<std::uint8_t, 4> encode_replay_event(GameReplayEvent e);

}  // namespace game::tet
