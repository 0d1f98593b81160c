// The clock. Everything else in the engine takes time as an argument, so every path replays.
#pragma once

#include <cstdint>

namespace game::timestamp {

// Microseconds since 1970-01-01 00:00:00 UTC (the name is historical: not nanoseconds).
std::int64_t get_timestamp_now_nano();

// Microseconds for a clock reading of `seconds` and `nanos` within the second, truncated.
constexpr std::int64_t micros_from(std::int64_t seconds, std::int64_t nanos) {
    return seconds * 1'000'000 + nanos / 1000;
}

}  // namespace game::timestamp
