// The ChaCha20 block function and stream, bounded indices, bag shuffles, the per-action seed,
// fresh seeds and the clock.
#include <doctest/doctest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "random.hpp"
#include "random_detail.hpp"
#include "tet/records.hpp"
#include "timestamp.hpp"

using game::random::AcceptEventInput;
using game::random::SeededStream;
using game::random::accept_event;
using game::random::accept_events;
using game::tet::GameReplayEvent;
using game::tet::Seed32;
using game::tet::Tet;
using Block = std::array<std::uint32_t, 16>;

namespace {

// Serves the given words in order and counts how many were taken.
class ListSource final : public game::random::WordSource {
public:
    explicit ListSource(std::vector<std::uint32_t> words) : words_(std::move(words)) {}
    std::uint32_t next_u32() override {
        REQUIRE(taken_ < words_.size());
        return words_[taken_++];
    }
    std::size_t taken() const { return taken_; }

private:
    std::vector<std::uint32_t> words_;
    std::size_t taken_ = 0;
};

template <std::size_t N>
std::string to_hex(const std::array<std::uint8_t, N>& bytes) {
    std::string out;
    char buf[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

// Runs body once for each set of kernels the processor has, the portable forms first, and
// restores the best set afterwards (also when body throws).
template <class F>
void for_each_kernels(F body) {
    using game::random::detail::Kernels;
    struct Restore {
        Kernels best = game::random::detail::kernels();
        ~Restore() { game::random::detail::use_kernels(best); }
    } restore;
    for (const Kernels k : {Kernels::portable, Kernels::avx2, Kernels::avx512}) {
        if (k > restore.best) break;
        game::random::detail::use_kernels(k);
        REQUIRE(game::random::detail::kernels() == k);
        CAPTURE(static_cast<int>(k));
        body();
    }
}

std::string bag_letters(const std::array<Tet, 7>& bag) {
    std::string out;
    for (Tet t : bag) out += game::tet::letter(t);
    return out;
}

Seed32 counting_seed() {
    Seed32 s{};
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i);
    return s;
}

// The ChaCha20 input state for a key, a 64-bit block counter and a 64-bit nonce.
Block chacha_input(const Seed32& key, std::uint64_t counter, std::uint64_t nonce) {
    Block in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int w = 0; w < 8; ++w)
        in[4 + w] = std::uint32_t{key[4 * w]} | std::uint32_t{key[4 * w + 1]} << 8 |
                    std::uint32_t{key[4 * w + 2]} << 16 | std::uint32_t{key[4 * w + 3]} << 24;
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    in[14] = static_cast<std::uint32_t>(nonce);
    in[15] = static_cast<std::uint32_t>(nonce >> 32);
    return in;
}

Block next_block(SeededStream& s) {
    Block out{};
    for (auto& w : out) w = s.next_u32();
    return out;
}

// The multiplicative inverse of an odd number modulo 2^32 (Newton's iteration).
constexpr std::uint32_t inverse_mod_2_32(std::uint32_t m) {
    std::uint32_t x = m;
    for (int k = 0; k < 5; ++k) x *= 2u - m * x;
    return x;
}

// A word v with the low half of v * n equal to `low` (which must be a multiple of n's largest
// power-of-two factor).
std::uint32_t word_with_low_half(std::uint32_t n, std::uint32_t low) {
    int shift = 0;
    while (((n >> shift) & 1u) == 0) ++shift;
    const std::uint32_t v = (low >> shift) * inverse_mod_2_32(n >> shift);
    REQUIRE(static_cast<std::uint32_t>(std::uint64_t{v} * n) == low);
    return v;
}

std::uint32_t high_half(std::uint32_t v, std::uint32_t n) {
    return static_cast<std::uint32_t>((std::uint64_t{v} * n) >> 32);
}

}  // namespace

TEST_SUITE("chacha20") {
    TEST_CASE("block function: the 2.3.2 vector of RFC 8439 (RFC 7539)") {
        // Key 00..1f, block count 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00. In the 64-bit
        // counter and nonce layout those are counter 0x0900000000000001 and nonce 0x4a000000.
        const Block in = chacha_input(counting_seed(), 0x0900000000000001ull, 0x4a000000ull);
        const Block expected_in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                0x00000001, 0x09000000, 0x4a000000, 0x00000000};
        REQUIRE(in == expected_in);
        Block out{};
        game::random::detail::chacha_block(in, out, 20);
        const Block expected{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                             0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                             0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                             0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
        CHECK(out == expected);
    }

    TEST_CASE("stream keyed by zeros: RFC 8439 A.1 vectors 1 and 2") {
        SeededStream s(Seed32{});
        const Block block0{0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653,
                           0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b,
                           0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                           0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
        const Block block1{0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73,
                           0xa0290fcb, 0x6965e348, 0x3e53c612, 0xed7aee32,
                           0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874,
                           0x281fed31, 0x45fb0a51, 0x1f0ae1ac, 0x6f4d794b};
        CHECK(next_block(s) == block0);
        CHECK(next_block(s) == block1);
    }

    TEST_CASE("the first word of the zero-key stream and its bytes") {
        SeededStream s(Seed32{});
        const std::uint32_t w = s.next_u32();
        CHECK(w == 0xade0b876u);
        const std::array<std::uint8_t, 4> le{
            static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8),
            static_cast<std::uint8_t>(w >> 16), static_cast<std::uint8_t>(w >> 24)};
        CHECK(to_hex(le) == "76b8e0ad");
    }

    TEST_CASE("stream blocks are the block function over successive counters") {
        const Seed32 key = counting_seed();
        SeededStream s(key);
        for (std::uint64_t counter = 0; counter < 5; ++counter) {
            CAPTURE(counter);
            Block expected{};
            game::random::detail::chacha_block(chacha_input(key, counter, 0), expected, 20);
            CHECK(next_block(s) == expected);
        }
    }

    TEST_CASE("every block function of every kernel set agrees with the plain rounds") {
        // Random keys, counters that carry into the high word, and all four words of the
        // nonce's place set, so that no input word goes unused.
        SeededStream src(Seed32{3});
        auto random_input = [&] {
            Block in;
            for (auto& w : in) w = src.next_u32();
            in[12] = 0xFFFFFFFF - src.next_u32() % 4;
            return in;
        };
        auto plain = [](Block in, int rounds, int advance) {
            const std::uint64_t counter = (std::uint64_t(in[13]) << 32 | in[12]) + advance;
            in[12] = static_cast<std::uint32_t>(counter);
            in[13] = static_cast<std::uint32_t>(counter >> 32);
            Block out{};
            game::random::detail::chacha_block(in, out, rounds);
            return out;
        };
        auto block_at = [](const std::uint32_t* words, int n) {
            Block b;
            std::copy(words + 16 * n, words + 16 * n + 16, b.begin());
            return b;
        };
        for_each_kernels([&] {
            for (int it = 0; it < 200; ++it) {
                const Block in = random_input();
                std::uint32_t out[64];
                game::random::detail::chacha20_block(in, out);
                CHECK(block_at(out, 0) == plain(in, 20, 0));
                game::random::detail::chacha20_two_blocks(in, out);
                for (int n = 0; n < 2; ++n) CHECK(block_at(out, n) == plain(in, 20, n));
                game::random::detail::chacha12_four_blocks(in, out);
                for (int n = 0; n < 4; ++n) CHECK(block_at(out, n) == plain(in, 12, n));
                game::random::detail::chacha20_four_blocks(in, out);
                for (int n = 0; n < 4; ++n) CHECK(block_at(out, n) == plain(in, 20, n));
                const Block four[4] = {in, random_input(), random_input(), random_input()};
                game::random::detail::chacha20_four_blocks_of(four, out);
                for (int n = 0; n < 4; ++n) CHECK(block_at(out, n) == plain(four[n], 20, 0));
            }
        });
    }

    TEST_CASE("a byte is the low 8 bits of one whole word") {
        const Seed32 key = counting_seed();
        SeededStream words(key);
        SeededStream bytes(key);
        for (int k = 0; k < 40; ++k) CHECK(bytes.next_byte() == (words.next_u32() & 0xffu));
        SeededStream many(key);
        SeededStream again(key);
        const auto drawn = many.next_bytes<32>();
        for (std::size_t k = 0; k < drawn.size(); ++k) CHECK(drawn[k] == again.next_byte());
        CHECK(many.next_u32() == again.next_u32());
    }
}

TEST_SUITE("bounded index") {
    TEST_CASE("zones: the largest accepted low half and the smallest rejected one") {
        struct Zone {
            std::uint32_t n;
            std::uint32_t zone;
        };
        constexpr Zone ZONES[] = {{2, 2147483647u}, {3, 3221225471u}, {4, 2147483647u},
                                  {5, 2684354559u}, {6, 3221225471u}, {7, 3758096383u}};
        for (const Zone& z : ZONES) {
            CAPTURE(z.n);
            int shift = 0;
            while (((z.n >> shift) & 1u) == 0) ++shift;
            const std::uint32_t step = 1u << shift;
            // The highest low half v*n can take at or below the zone, and the lowest above it.
            const std::uint32_t accept_low = z.zone / step * step;
            const std::uint32_t reject_low = accept_low + step;
            CHECK(reject_low == z.zone + 1);
            const std::uint32_t accepted = word_with_low_half(z.n, accept_low);
            const std::uint32_t rejected = word_with_low_half(z.n, reject_low);

            ListSource at_zone({accepted});
            CHECK(game::random::bounded_index(at_zone, z.n) == high_half(accepted, z.n));
            CHECK(at_zone.taken() == 1);

            ListSource over_zone({rejected, rejected, accepted});
            CHECK(game::random::bounded_index(over_zone, z.n) == high_half(accepted, z.n));
            CHECK(over_zone.taken() == 3);
        }
    }

    TEST_CASE("n = 7 skips a word exactly when the low half exceeds 3758096383") {
        // 0xffffffff * 7 = 0x6_fffffff9: low half far above the zone.
        ListSource top({0xffffffffu, 0x24924925u});
        // 0x24924925 * 7 = 0x1_00000003: low half 3, result 1.
        CHECK(game::random::bounded_index(top, 7) == 1);
        CHECK(top.taken() == 2);

        ListSource zero({0u});
        CHECK(game::random::bounded_index(zero, 7) == 0);
        CHECK(zero.taken() == 1);

        const std::uint32_t edge = word_with_low_half(7, 3758096383u);
        const std::uint32_t past = word_with_low_half(7, 3758096384u);
        ListSource edge_src({edge});
        CHECK(game::random::bounded_index(edge_src, 7) == high_half(edge, 7));
        ListSource past_src({past, edge});
        CHECK(game::random::bounded_index(past_src, 7) == high_half(edge, 7));
        CHECK(past_src.taken() == 2);
    }

    TEST_CASE("the result is the high half of v * n") {
        for (std::uint32_t n = 2; n <= 7; ++n)
            for (std::uint32_t v : {0u, 1u, 0x10000000u, 0x40000000u, 0x7fffffffu, 0x92492492u}) {
                const std::uint64_t m = std::uint64_t{v} * n;
                if (static_cast<std::uint32_t>(m) > (n << __builtin_clz(n)) - 1) continue;
                ListSource src({v});
                const std::uint32_t j = game::random::bounded_index(src, n);
                CHECK(j == static_cast<std::uint32_t>(m >> 32));
                CHECK(j < n);
            }
    }
}

TEST_SUITE("shuffle_tets") {
    TEST_CASE("the first two bags from zero bytes at time 0") {
        const auto first = game::random::shuffle_tets(Seed32{}, 0);
        CHECK(bag_letters(first.bag) == "ZLJIOTS");
        CHECK(to_hex(first.seed).substr(0, 8) == "77b86a15");
        CHECK(to_hex(first.seed) ==
              "77b86a15c3b29f559873cb481232299cd5743151ac4b2d63ae198e7bb0a9011f");

        const auto second = game::random::shuffle_tets(first.seed, 0);
        CHECK(bag_letters(second.bag) == "SZTIJOL");
        CHECK(to_hex(second.seed).substr(0, 8) == "cf3d510e");
        CHECK(to_hex(second.seed) ==
              "cf3d510e2be93728ef58510e3030cc721eebc677e5b4335906d84de1dd75c94d");
    }

    TEST_CASE("a timestamp acts as a key change in the first eight bytes") {
        for (std::int64_t ts : {std::int64_t{1}, std::int64_t{-1}, std::int64_t{1700000000000000},
                                std::int64_t{0x0123456789abcdef}, INT64_MIN, INT64_MAX}) {
            for (const Seed32& seed : {Seed32{}, counting_seed()}) {
                CAPTURE(ts);
                Seed32 mixed = seed;
                const auto uts = static_cast<std::uint64_t>(ts);
                for (int k = 0; k < 8; ++k)
                    mixed[static_cast<std::size_t>(k)] ^= static_cast<std::uint8_t>(uts >> (8 * k));
                const auto with_ts = game::random::shuffle_tets(seed, ts);
                const auto folded = game::random::shuffle_tets(mixed, 0);
                CHECK(with_ts.bag == folded.bag);
                CHECK(with_ts.seed == folded.seed);
                const auto plain = game::random::shuffle_tets(seed, 0);
                CHECK(with_ts.seed != plain.seed);
            }
        }
    }

    TEST_CASE("every bag is a permutation of the seven kinds") {
        Seed32 seed{};
        std::set<std::string> seen;
        for (int k = 0; k < 2000; ++k) {
            const auto r = game::random::shuffle_tets(seed, k % 3 == 0 ? k : 0);
            std::string letters = bag_letters(r.bag);
            seen.insert(letters);
            std::sort(letters.begin(), letters.end());
            CHECK(letters == "IJLOSTZ");
            seed = r.seed;
        }
        // 2000 draws from 5040 orders: a broken shuffle shows far fewer.
        CHECK(seen.size() > 1000);
    }

    TEST_CASE("the zero-key bag skips four words and the seed follows right after") {
        // The draws for n = 7..2 take the stream's first ten words: words 3 and 4 are
        // rejected at n = 4, words 7 and 8 at n = 2.
        struct Draw {
            std::uint32_t n;
            bool accepted;
        };
        constexpr Draw DRAWS[10] = {{7, true},  {6, true},  {5, true}, {4, false}, {4, false},
                                    {4, true},  {3, true},  {2, false}, {2, false}, {2, true}};
        SeededStream s(Seed32{});
        for (const Draw& d : DRAWS) {
            const std::uint32_t v = s.next_u32();
            const auto low = static_cast<std::uint32_t>(std::uint64_t{v} * d.n);
            CHECK((low <= (d.n << __builtin_clz(d.n)) - 1) == d.accepted);
        }
        const auto expected = s.next_bytes<32>();
        CHECK(game::random::shuffle_tets(Seed32{}, 0).seed == expected);
    }
}

TEST_SUITE("accept_event") {
    TEST_CASE("HardDrop at time 0, index 0, zero seed") {
        const Seed32 s = game::random::accept_event(
            Seed32{}, game::tet::GameReplayEvent{game::tet::TetAction::HardDrop}, 0, 0);
        CHECK(to_hex(s).substr(0, 8) == "b624fe5f");
        CHECK(to_hex(s) == "b624fe5f4aa8699110fece1a22897b0f74f506f8723e022e0baa934d1590bf11");
    }

    TEST_CASE("material layout: action, timestamp and index little-endian") {
        // RotateRight (6), ts 1234567890123, idx 65535, seed 00..1f.
        const Seed32 s = game::random::accept_event(
            counting_seed(), game::tet::GameReplayEvent{game::tet::TetAction::RotateRight},
            1234567890123, 65535);
        CHECK(to_hex(s) == "1a2749e946dd3b81223fdf3484e7050323f2f101b6d064493eb2f2396dbb9434");
    }

    TEST_CASE("every input changes the result") {
        using game::tet::GameReplayEvent;
        using game::tet::TetAction;
        const Seed32 base = game::random::accept_event(Seed32{}, {TetAction::MoveLeft}, 5, 3);
        CHECK(game::random::accept_event(counting_seed(), {TetAction::MoveLeft}, 5, 3) != base);
        CHECK(game::random::accept_event(Seed32{}, {TetAction::MoveRight}, 5, 3) != base);
        CHECK(game::random::accept_event(Seed32{}, {TetAction::MoveLeft}, 6, 3) != base);
        CHECK(game::random::accept_event(Seed32{}, {TetAction::MoveLeft}, 5, 4) != base);
        CHECK(game::random::accept_event(Seed32{}, {TetAction::MoveLeft}, 5, 3) == base);
        std::set<Seed32> all;
        for (int a = 0; a < game::tet::ACTION_NB; ++a)
            all.insert(game::random::accept_event(
                Seed32{}, GameReplayEvent{game::tet::action_from_index(a)}, 0, 0));
        CHECK(all.size() == game::tet::ACTION_NB);
    }
}

TEST_SUITE("fresh seeds") {
    TEST_CASE("successive seeds differ") {
        std::set<Seed32> seen;
        for (int k = 0; k < 100; ++k) seen.insert(game::random::get_random_seed());
        CHECK(seen.size() == 100);
    }

    TEST_CASE("another thread's generator is seeded apart") {
        Seed32 other{};
        std::thread t([&other] { other = game::random::get_random_seed(); });
        t.join();
        CHECK(other != game::random::get_random_seed());
    }

    TEST_CASE("the generator keeps producing across reseeds") {
        // More than 65536 bytes of output: at least one reseed.
        auto& rng = game::random::thread_rng();
        std::set<std::uint32_t> words;
        for (int k = 0; k < 70000; ++k) words.insert(rng.next_u32());
        CHECK(words.size() > 69000);
    }
}

TEST_SUITE("timestamp") {
    TEST_CASE("sub-microsecond part is dropped") {
        CHECK(game::timestamp::micros_from(1, 999) == 1000000);
        CHECK(game::timestamp::micros_from(1, 1000) == 1000001);
        CHECK(game::timestamp::micros_from(0, 999999999) == 999999);
        CHECK(game::timestamp::micros_from(0, 0) == 0);
    }

    TEST_CASE("the clock counts microseconds since 1970") {
        const std::int64_t now = game::timestamp::get_timestamp_now_nano();
        // 2020-01-01 and 2100-01-01 in microseconds: nanoseconds would be 1000 times larger.
        CHECK(now > 1577836800000000);
        CHECK(now < 4102444800000000);
    }
}

TEST_CASE("accept_event in vector rows agrees with the block-by-block form") {
    for_each_kernels([] {
        SeededStream src(Seed32{7});
        for (int it = 0; it < 5000; ++it) {
            const Seed32 seed = src.next_bytes<32>();
            const auto action = game::tet::action_from_index(static_cast<int>(src.next_u32() % 8));
            const auto ts = static_cast<std::int64_t>(std::uint64_t(src.next_u32()) << 32 | src.next_u32());
            const std::uint32_t idx = src.next_u32();
            REQUIRE(accept_event(seed, {action}, ts, idx) ==
                    game::random::detail::accept_event_by_blocks(seed, {action}, ts, idx));
        }
    });
}

TEST_CASE("accept_events agrees with accept_event for every batch size") {
    for_each_kernels([] {
        // Batches of every size up to three passes of the widest path, so each way of splitting
        // a batch (full and padded passes, groups of four, a lone last one) is taken.
        std::uint64_t x = 0x9E3779B97F4A7C15ull;
        auto next = [&] {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            return x;
        };
        // Runs of inputs share a seed, as the same object or as an equal copy, so that draws are
        // shared within a pass and across the end of one.
        for (const bool share : {false, true}) {
            std::vector<Seed32> seeds(50);
            for (std::size_t i = 0; i < seeds.size(); ++i) {
                const std::uint64_t r = next();
                if (share && i > 0 && r % 4 == 0) seeds[i] = seeds[i - 1];
                else for (auto& b : seeds[i]) b = static_cast<std::uint8_t>(next());
            }
            for (std::size_t n = 0; n <= seeds.size(); ++n) {
                CAPTURE(share);
                std::vector<AcceptEventInput> in;
                for (std::size_t i = 0; i < n; ++i) {
                    const auto a = game::tet::action_from_index(static_cast<int>(next() % game::tet::ACTION_NB));
                    const std::int64_t ts = i % 3 == 0 ? 0 : i % 3 == 1 ? -1 : static_cast<std::int64_t>(next());
                    const auto idx = i % 2 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(next() % 1000);
                    const std::size_t k = share && i > 0 && next() % 3 == 0 ? i - 1 : i;
                    in.push_back({&seeds[k], GameReplayEvent{a}, ts, idx});
                }
                std::vector<Seed32> got(n + 1);
                got[n].fill(0xA5);
                accept_events(in, got.data());
                for (std::size_t i = 0; i < n; ++i) {
                    CAPTURE(n);
                    CAPTURE(i);
                    CHECK(got[i] == accept_event(*in[i].seed, in[i].event, in[i].ts, in[i].idx));
                }
                Seed32 untouched;
                untouched.fill(0xA5);
                CHECK(got[n] == untouched);
            }
        }
    });
}

TEST_CASE("accept_event in two steps: draws of many seeds, then events of many draws") {
    for_each_kernels([] {
        SeededStream src(Seed32{9});
        std::vector<Seed32> seeds(40);
        for (auto& s : seeds) s = src.next_bytes<32>();
        for (std::size_t n = 0; n <= seeds.size(); ++n) {
            CAPTURE(n);
            std::vector<const Seed32*> of(n);
            for (std::size_t i = 0; i < n; ++i) of[i] = &seeds[i];
            std::vector<game::random::detail::EventDraw> draws(n + 1);
            draws[n].fill(0x5A);
            game::random::detail::event_draws(of, draws.data());
            std::vector<game::random::detail::EventDraw> portable(n);
            game::random::detail::event_draws_portable(of, portable.data());
            for (std::size_t i = 0; i < n; ++i) {
                CHECK(portable[i] == draws[i]);
                // The low bytes of the seed stream's first 16 words.
                SeededStream s(seeds[i]);
                CHECK(draws[i] == s.next_bytes<16>());
                CHECK(game::random::detail::event_draw(seeds[i]) == draws[i]);
            }
            CHECK(draws[n] == game::random::detail::EventDraw{0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                                                      0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A});
            std::vector<game::random::detail::DrawnEventInput> in;
            for (std::size_t i = 0; i < n; ++i) {
                const auto a = game::tet::action_from_index(static_cast<int>(src.next_u32() % 8));
                const auto ts = static_cast<std::int64_t>(std::uint64_t(src.next_u32()) << 32 | src.next_u32());
                in.push_back({&draws[i], GameReplayEvent{a}, ts, src.next_u32()});
            }
            std::vector<Seed32> got(n), got_portable(n);
            game::random::detail::accept_drawn_events(in, got.data());
            game::random::detail::accept_drawn_events_portable(in, got_portable.data());
            for (std::size_t i = 0; i < n; ++i) {
                CHECK(got[i] == game::random::detail::accept_event_by_blocks(seeds[i], in[i].event,
                                                                            in[i].ts, in[i].idx));
                CHECK(got_portable[i] == got[i]);
            }
        }
    });
}
