// numpy's PCG64 generator, so that native games draw from the same streams as numpy.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace batch {

// A 128-bit unsigned integer as two 64-bit halves, with only what the generator needs: it
// compiles the same on every compiler, including those with no 128-bit integer type.
struct U128 {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;

    friend constexpr bool operator==(const U128&, const U128&) = default;
};

namespace detail {

// The high half of a * b, from 32-bit pieces: the form for compilers with no wider type.
constexpr std::uint64_t mul_hi_pieces(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const std::uint64_t lo_lo = a_lo * b_lo;
    const std::uint64_t hi_lo = a_hi * b_lo;
    const std::uint64_t lo_hi = a_lo * b_hi;
    const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
    return a_hi * b_hi + (hi_lo >> 32) + (middle >> 32);
}

// The high half of a * b, through the compiler's own wide multiply where it has one.
inline std::uint64_t mul_hi(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(a) * b >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
    return __umulh(a, b);
#else
    return mul_hi_pieces(a, b);
#endif
}

// a * b + c, modulo 2^128.
inline U128 mul_add(const U128& a, const U128& b, const U128& c) {
    U128 r;
    r.lo = a.lo * b.lo;
    r.hi = mul_hi(a.lo, b.lo) + a.hi * b.lo + a.lo * b.hi;
    const std::uint64_t lo = r.lo + c.lo;
    r.hi += c.hi + (lo < r.lo ? 1 : 0);
    r.lo = lo;
    return r;
}

}  // namespace detail

// PCG XSL RR 128/64 (M. E. O'Neill, "PCG: A Family of Simple Fast Space-Efficient
// Statistically Good Algorithms for Random Number Generation", 2014) as numpy.random.PCG64
// runs it: the 128-bit state advances by state * MULTIPLIER + inc, then the output is the
// XOR of the new state's halves rotated right by its top 6 bits. next() returns what
// PCG64.random_raw() returns for the same state and increment.
class Pcg64 {
public:
    Pcg64(U128 state, U128 inc) : state_(state), inc_(inc) {}

    std::uint64_t next() {
        state_ = detail::mul_add(state_, MULTIPLIER, inc_);
        const unsigned rot = static_cast<unsigned>(state_.hi >> 58);
        const std::uint64_t x = state_.hi ^ state_.lo;
        return x >> rot | x << ((64 - rot) & 63);
    }

    U128 state() const { return state_; }
    U128 inc() const { return inc_; }

private:
    static constexpr U128 MULTIPLIER{2549297995355413924ULL, 4865540595714422341ULL};

    U128 state_;
    U128 inc_;
};

}  // namespace batch
