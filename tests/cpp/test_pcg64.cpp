// The batch module's PCG64 against numpy's, and its portable wide multiply against the
// compiler's own.
#include <doctest/doctest.h>

#include <cstdint>
#include <random>

#include "pcg64.hpp"

TEST_CASE("Pcg64 draws what numpy's PCG64 draws") {
    // numpy.random.PCG64(12345): its state and increment, then random_raw(3).
    batch::Pcg64 rng({0x1905e0335aae9634ULL, 0x9199b0d09775add5ULL},
                     {0xc9c7353e6e2b1f28ULL, 0x7d761f2d4027fae7ULL});
    CHECK(rng.next() == 0x3a32b18db2ffc19dULL);
    CHECK(rng.next() == 0x51171315c9e4c4deULL);
    CHECK(rng.next() == 0xcc2024823444efd9ULL);
    CHECK(rng.inc() == batch::U128{0xc9c7353e6e2b1f28ULL, 0x7d761f2d4027fae7ULL});
}

TEST_CASE("the multiply from 32-bit pieces agrees with the compiler's wide one") {
    std::mt19937_64 gen(7);
    const std::uint64_t edges[] = {0, 1, 0xFFFFFFFFu, 0x100000000ULL, ~0ULL, ~0ULL - 1,
                                   0x8000000000000000ULL};
    for (const std::uint64_t a : edges)
        for (const std::uint64_t b : edges)
            CHECK(batch::detail::mul_hi_pieces(a, b) == batch::detail::mul_hi(a, b));
    for (int k = 0; k < 100000; ++k) {
        const std::uint64_t a = gen(), b = gen();
        REQUIRE(batch::detail::mul_hi_pieces(a, b) == batch::detail::mul_hi(a, b));
    }
#if defined(__SIZEOF_INT128__)
    CHECK(batch::detail::mul_hi(~0ULL, ~0ULL) ==
          static_cast<std::uint64_t>((static_cast<unsigned __int128>(~0ULL) * ~0ULL) >> 64));
#endif
}
