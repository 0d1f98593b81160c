// numpy's PCG64 generator, so that native games draw from the same streams as numpy.
#pragma once

#include <cstdint>

namespace batch {

// PCG XSL RR 128/64 (M. E. O'Neill, "PCG: A Family of Simple Fast Space-Efficient
// Statistically Good Algorithms for Random Number Generation", 2014) as numpy.random.PCG64
// runs it: the 128-bit state advances by state * MULTIPLIER + inc, then the output is the
// XOR of the new state's halves rotated right by its top 6 bits. next() returns what
// PCG64.random_raw() returns for the same state and increment.
class Pcg64 {
public:
    using u128 = unsigned __int128;

    Pcg64(u128 state, u128 inc) : state_(state), inc_(inc) {}

    std::uint64_t next() {
        state_ = state_ * MULTIPLIER + inc_;
        const auto hi = static_cast<std::uint64_t>(state_ >> 64);
        const auto lo = static_cast<std::uint64_t>(state_);
        const unsigned rot = static_cast<unsigned>(hi >> 58);
        const std::uint64_t x = hi ^ lo;
        return x >> rot | x << ((64 - rot) & 63);
    }

    u128 state() const { return state_; }
    u128 inc() const { return inc_; }

private:
    static constexpr u128 MULTIPLIER =
        static_cast<u128>(2549297995355413924ULL) << 64 | 4865540595714422341ULL;

    u128 state_;
    u128 inc_;
};

}  // namespace batch
