// The real-time clock in microseconds since the Unix epoch.
#include "timestamp.hpp"

#include <chrono>

#include "error.hpp"

namespace game::timestamp {

std::int64_t get_timestamp_now_nano() {
    // The system clock counts from the Unix epoch on every platform.
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    if (since.count() < 0) internal_failure("system time before Unix epoch");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
    return micros_from(seconds.count(), nanos.count());
}

}  // namespace game::timestamp
