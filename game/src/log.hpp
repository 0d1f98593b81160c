// Levelled diagnostic records with a target name. Nothing is formatted and nothing is
// called unless a sink is installed; results never depend on them.
#pragma once

#include <atomic>
#include <string>

namespace game::log {

enum class Level : unsigned char { Error, Warn, Info };

// Receives one finished record. Installed by the host (the Python module forwards records to
// Python's logging when asked to); none by default.
using Sink = void (*)(Level level, const char* target, const std::string& message);

inline constexpr const char* TET_TARGET = "game::tet";

namespace detail {
inline std::atomic<Sink> sink{nullptr};
}

inline void set_sink(Sink s) { detail::sink.store(s, std::memory_order_release); }
inline bool enabled() { return detail::sink.load(std::memory_order_relaxed) != nullptr; }

// Writes a record whose text `make()` builds; `make` runs only when a sink is installed.
template <class MakeMessage>
inline void write(Level level, MakeMessage&& make) {
    Sink s = detail::sink.load(std::memory_order_acquire);
    if (s) s(level, TET_TARGET, make());
}

}  // namespace game::log
