// The real-time clock in microseconds since the Unix epoch.
#include "timestamp.hpp"

#include <ctime>

#include "error.hpp"

namespace game::timestamp {

std::int64_t get_timestamp_now_nano() {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0)
        internal_failure("system time before Unix epoch");
    return micros_from(ts.tv_sec, ts.tv_nsec);
}

}  // namespace game::timestamp
