// The seeded stream, the bag shuffle, the per-action seed (one at a time and in batches) and
// the thread's generator, over the ChaCha block functions; the vector kernels are compiled
// from random_vector.inc once per instruction set and picked when the module loads.
#if defined(_WIN32)
#define _CRT_RAND_S  // rand_s, the C runtime's call into the system's entropy source
#include <stdlib.h>
#endif

#include "random.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#if defined(__linux__)
#include <sys/random.h>
#elif !defined(_WIN32)
#include <unistd.h>  // getentropy
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "error.hpp"
#include "random_detail.hpp"

namespace game::random {

using detail::accept_drawn_events;
using detail::chacha20_block;
using detail::chacha20_four_blocks;
using detail::chacha20_four_blocks_of;
using detail::chacha20_two_blocks;
using detail::chacha12_four_blocks;
using detail::chacha_block;
using detail::DrawnEventInput;
using detail::event_draw;
using detail::event_draws;
using detail::EventDraw;

namespace {

constexpr std::uint32_t SIGMA[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

inline std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Key words 4..11 from 32 bytes, counter and nonce zero.
std::array<std::uint32_t, 16> initial_state(const std::uint8_t* key) {
    std::array<std::uint32_t, 16> s{};
    for (int i = 0; i < 4; ++i) s[i] = SIGMA[i];
    for (int i = 0; i < 8; ++i) s[4 + i] = load_le32(key + 4 * i);
    return s;
}

inline void advance_counter(std::array<std::uint32_t, 16>& s) {
    if (++s[12] == 0) ++s[13];
}

}  // namespace

// RFC 8439 section 2.3: `rounds` rounds (column and diagonal rounds alternating), then the
// input added word by word.
void detail::chacha_block(const std::array<std::uint32_t, 16>& input,
                          std::array<std::uint32_t, 16>& out, int rounds) {
    std::array<std::uint32_t, 16> x = input;
    for (int i = 0; i < rounds; i += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

namespace detail {

void scalar_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    std::array<std::uint32_t, 16> block;
    chacha_block(input, block, 20);
    std::memcpy(out, block.data(), sizeof block);
}

void scalar_two_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    std::array<std::uint32_t, 16> next = input;
    advance_counter(next);
    scalar_block(input, out);
    scalar_block(next, out + 16);
}

}  // namespace detail

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
// The vector kernels, compiled once for each instruction set they are dispatched to.
namespace avx512 {
#define CORVELLE_VEC __attribute__((target("avx512f,avx512vl")))
#define CORVELLE_VECTOR_ROTATES 1
#include "random_vector.inc"
#undef CORVELLE_VECTOR_ROTATES
#undef CORVELLE_VEC
}  // namespace avx512

namespace avx2 {
#define CORVELLE_VEC __attribute__((target("avx2")))
#define CORVELLE_VECTOR_ROTATES 0
#include "random_vector.inc"
#undef CORVELLE_VECTOR_ROTATES
#undef CORVELLE_VEC
}  // namespace avx2

detail::Kernels best_kernels() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        return detail::Kernels::avx512;
    if (__builtin_cpu_supports("avx2")) return detail::Kernels::avx2;
    return detail::Kernels::portable;
}
#else
detail::Kernels best_kernels() { return detail::Kernels::portable; }
#endif

const detail::Kernels BEST_KERNELS = best_kernels();
detail::Kernels active_kernels = BEST_KERNELS;

// Runs f.operator()<K>() with K the vector kernels in use and returns true, or returns false
// where the portable forms are in use.
template <class F>
bool on_vector_kernels(F&& f) {
#if defined(__x86_64__) && defined(__GNUC__)
    switch (active_kernels) {
    case detail::Kernels::avx512: f.template operator()<avx512::Kernels>(); return true;
    case detail::Kernels::avx2: f.template operator()<avx2::Kernels>(); return true;
    case detail::Kernels::portable: break;
    }
#endif
    return false;
}


}  // namespace

void detail::chacha20_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    if (on_vector_kernels([&]<class K> { K::block(input, out); })) return;
    detail::scalar_block(input, out);
}

void detail::chacha20_four_blocks_of(const std::array<std::uint32_t, 16>* inputs,
                                     std::uint32_t* out) {
    if (on_vector_kernels([&]<class K> { K::four_of(inputs, out); })) return;
    for (int n = 0; n < 4; ++n) detail::scalar_block(inputs[n], out + 16 * n);
}

void detail::chacha20_four_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    if (on_vector_kernels([&]<class K> { K::four_blocks(input, out); })) return;
    std::array<std::uint32_t, 16> in = input;
    for (int n = 0; n < 4; ++n) {
        detail::scalar_block(in, out + 16 * n);
        advance_counter(in);
    }
}

void detail::chacha20_two_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    if (on_vector_kernels([&]<class K> { K::two_blocks(input, out); })) return;
    detail::scalar_two_blocks(input, out);
}

void detail::chacha12_four_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    if (on_vector_kernels([&]<class K> { K::chacha12_four(input, out); })) return;
    std::array<std::uint32_t, 16> in = input, block;
    for (int n = 0; n < 4; ++n) {
        chacha_block(in, block, 12);
        std::copy(block.begin(), block.end(), out + 16 * n);
        advance_counter(in);
    }
}

SeededStream::SeededStream(const Seed32& key) : input_(initial_state(key.data())) {}

void SeededStream::refill() {
    chacha20_two_blocks(input_, buf_.data());
    advance_counter(input_);
    advance_counter(input_);
    pos_ = 0;
}

std::uint32_t SeededStream::first_word(const Seed32& key) {
    std::uint32_t block[16];
    chacha20_block(initial_state(key.data()), block);
    return block[0];
}

std::uint32_t bounded_index(WordSource& src, std::uint32_t n) { return bounded_index_of(src, n); }

namespace {

// The seeded stream four blocks at a time: a bag and the seed after it take words 0 .. 37 and
// a few more for rejected draws, which two blocks at a time would make two rounds of blocks,
// the second waiting for the first.
class BagStream {
public:
    explicit BagStream(const Seed32& key) : input_(initial_state(key.data())) {}

    std::uint32_t next_u32() {
        if (pos_ == buf_.size()) refill();
        return buf_[pos_++];
    }

private:
    void refill() {
        chacha20_four_blocks(input_, buf_.data());
        for (int n = 0; n < 4; ++n) advance_counter(input_);
        pos_ = 0;
    }

    std::array<std::uint32_t, 16> input_;
    std::array<std::uint32_t, 64> buf_;
    unsigned pos_ = 64;
};

}  // namespace

ShuffleResult shuffle_tets(const Seed32& seed, std::int64_t ts) {
    Seed32 key = seed;
    const auto uts = static_cast<std::uint64_t>(ts);
    for (int k = 0; k < 8; ++k) key[k] ^= static_cast<std::uint8_t>(uts >> (8 * k));
    BagStream stream(key);

    ShuffleResult r{};
    for (int i = 0; i < 7; ++i) r.bag[i] = tet::tet_from_index(i);
    // Fisher-Yates from the back.
    for (std::uint32_t n = 7; n >= 2; --n) {
        const std::uint32_t j = bounded_index_of(stream, n);
        std::swap(r.bag[n - 1], r.bag[j]);
    }
    for (auto& b : r.seed) b = static_cast<std::uint8_t>(stream.next_u32());
    return r;
}

Seed32 accept_event(const Seed32& seed, tet::GameReplayEvent event, std::int64_t ts,
                    std::uint32_t idx) {
    Seed32 out;
    if (on_vector_kernels([&]<class K> {
            out = K::accept_event(seed, static_cast<std::uint32_t>(tet::index(event.action)),
                                  static_cast<std::uint64_t>(ts), idx);
        }))
        return out;
    return detail::accept_event_by_blocks(seed, event, ts, idx);
}

namespace detail {

Seed32 accept_event_by_blocks(const Seed32& seed, tet::GameReplayEvent event, std::int64_t ts,
                             std::uint32_t idx) {
    // r: 16 bytes, the low byte of each word of the seed's first block.
    std::uint32_t block[16];
    chacha20_block(initial_state(seed.data()), block);

    Seed32 material{};
    const auto event_hash = static_cast<std::uint32_t>(tet::index(event.action));
    const auto uts = static_cast<std::uint64_t>(ts);
    for (int k = 0; k < 4; ++k) material[k] = static_cast<std::uint8_t>(event_hash >> (8 * k));
    for (int k = 0; k < 8; ++k) material[4 + k] = static_cast<std::uint8_t>(uts >> (8 * k));
    for (int k = 0; k < 4; ++k) material[12 + k] = static_cast<std::uint8_t>(idx >> (8 * k));
    for (int k = 0; k < 16; ++k) material[16 + k] = static_cast<std::uint8_t>(block[k]);

    // The new seed: the low byte of each of the first 32 words of the material's stream.
    std::uint32_t words[32];
    chacha20_two_blocks(initial_state(material.data()), words);
    Seed32 out;
    for (int k = 0; k < 32; ++k) out[k] = static_cast<std::uint8_t>(words[k]);
    return out;
}

}  // namespace detail

namespace {

// The 32 bytes mixed into the second stream of accept_event, as key words.
std::array<std::uint32_t, 16> material_state(const DrawnEventInput& in) {
    Seed32 material{};
    const auto event_hash = static_cast<std::uint32_t>(tet::index(in.event.action));
    const auto uts = static_cast<std::uint64_t>(in.ts);
    for (int k = 0; k < 4; ++k) material[k] = static_cast<std::uint8_t>(event_hash >> (8 * k));
    for (int k = 0; k < 8; ++k) material[4 + k] = static_cast<std::uint8_t>(uts >> (8 * k));
    for (int k = 0; k < 4; ++k) material[12 + k] = static_cast<std::uint8_t>(in.idx >> (8 * k));
    std::memcpy(material.data() + 16, in.draw->data(), 16);
    return initial_state(material.data());
}

EventDraw low_bytes(const std::uint32_t* block) {
    EventDraw d;
    for (int k = 0; k < 16; ++k) d[k] = static_cast<std::uint8_t>(block[k]);
    return d;
}

Seed32 accept_drawn_event(const DrawnEventInput& in) {
    std::uint32_t words[32];
    chacha20_two_blocks(material_state(in), words);
    Seed32 out;
    for (int k = 0; k < 32; ++k) out[k] = static_cast<std::uint8_t>(words[k]);
    return out;
}

inline bool same_seed(const Seed32& a, const Seed32& b) {
    std::uint64_t x[4], y[4];
    std::memcpy(x, a.data(), 32);
    std::memcpy(y, b.data(), 32);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) == 0;
}

// Passes of up to MAX lanes while two or more inputs remain; `one` takes a last single input
// alone.
template <std::size_t MAX, class Pass, class One>
void in_lane_passes(std::size_t size, Pass pass, One one) {
    std::size_t i = 0;
    for (std::size_t n; (n = size - i) > 1; i += std::min(n, MAX)) pass(i, std::min(n, MAX));
    if (i < size) one(i);
}

}  // namespace

namespace detail {

void event_draws_portable(std::span<const Seed32* const> seeds, EventDraw* out) {
    // Four blocks to a call; a last group of two or three repeats its last seed.
    for (std::size_t i = 0; i < seeds.size(); i += 4) {
        const std::size_t live = std::min<std::size_t>(4, seeds.size() - i);
        if (live == 1) {
            out[i] = event_draw(*seeds[i]);
            break;
        }
        std::array<std::uint32_t, 16> inputs[4];
        for (std::size_t n = 0; n < 4; ++n)
            inputs[n] = initial_state(seeds[i + std::min(n, live - 1)]->data());
        std::uint32_t blocks[64];
        chacha20_four_blocks_of(inputs, blocks);
        for (std::size_t n = 0; n < live; ++n) out[i + n] = low_bytes(blocks + 16 * n);
    }
}

void accept_drawn_events_portable(std::span<const DrawnEventInput> in, Seed32* out) {
    // Two inputs' two blocks each to a call; a last single one goes alone.
    for (std::size_t i = 0; i < in.size(); i += 2) {
        if (i + 1 == in.size()) {
            out[i] = accept_drawn_event(in[i]);
            break;
        }
        std::array<std::uint32_t, 16> inputs[4];
        for (std::size_t n = 0; n < 2; ++n) {
            inputs[2 * n] = material_state(in[i + n]);
            inputs[2 * n + 1] = inputs[2 * n];
            advance_counter(inputs[2 * n + 1]);
        }
        std::uint32_t words[64];
        chacha20_four_blocks_of(inputs, words);
        for (std::size_t n = 0; n < 2; ++n)
            for (int k = 0; k < 32; ++k) out[i + n][k] = static_cast<std::uint8_t>(words[32 * n + k]);
    }
}

Kernels kernels() { return active_kernels; }

Kernels use_kernels(Kernels k) {
    const Kernels previous = active_kernels;
    active_kernels = std::min(k, BEST_KERNELS);
    return previous;
}

}  // namespace detail

EventDraw detail::event_draw(const Seed32& seed) {
    std::uint32_t block[16];
    chacha20_block(initial_state(seed.data()), block);
    return low_bytes(block);
}

void detail::event_draws(std::span<const Seed32* const> seeds, EventDraw* out) {
    const bool vector = on_vector_kernels([&]<class K> {
        in_lane_passes<K::max_lanes>(
            seeds.size(), [&](std::size_t i, std::size_t n) { K::event_draws(&seeds[i], n, out + i); },
            [&](std::size_t i) { out[i] = event_draw(*seeds[i]); });
    });
    if (!vector) detail::event_draws_portable(seeds, out);
}

void detail::accept_drawn_events(std::span<const DrawnEventInput> in, Seed32* out) {
    const bool vector = on_vector_kernels([&]<class K> {
        in_lane_passes<K::max_lanes>(
            in.size(), [&](std::size_t i, std::size_t n) { K::drawn_events(in.subspan(i, n), out + i); },
            [&](std::size_t i) { out[i] = accept_drawn_event(in[i]); });
    });
    if (!vector) detail::accept_drawn_events_portable(in, out);
}

void accept_events(std::span<const AcceptEventInput> in, Seed32* out) {
    constexpr std::size_t BATCH = 16;
    for (std::size_t start = 0; start < in.size(); start += BATCH) {
        const std::size_t n = std::min(BATCH, in.size() - start);
        const AcceptEventInput* batch = in.data() + start;
        if (n == 1) {
            out[start] = accept_event(*batch->seed, batch->event, batch->ts, batch->idx);
            break;
        }
        const Seed32* distinct[BATCH];
        std::size_t which[BATCH];
        std::size_t d = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const Seed32* s = batch[k].seed;
            if (d == 0 || (s != distinct[d - 1] && !same_seed(*s, *distinct[d - 1])))
                distinct[d++] = s;
            which[k] = d - 1;
        }
        // Nothing shared: the draws stay in the lanes.
        if (d == n && on_vector_kernels([&]<class K> {
                for (std::size_t k = 0; k < n; k += K::max_lanes)
                    K::accept_events(batch + k, std::min(n - k, K::max_lanes), out + start + k);
            }))
            continue;
        EventDraw draws[BATCH];
        event_draws({distinct, d}, draws);
        DrawnEventInput drawn[BATCH];
        for (std::size_t k = 0; k < n; ++k) {
            // Field by field, which measures faster than a whole-struct copy through a temporary.
            drawn[k].draw = &draws[which[k]];
            drawn[k].event = batch[k].event;
            drawn[k].ts = batch[k].ts;
            drawn[k].idx = batch[k].idx;
        }
        accept_drawn_events({drawn, n}, out + start);
    }
}

void ThreadRng::reseed() {
    std::uint8_t key[32];
#if defined(_WIN32)
    for (std::size_t at = 0; at < sizeof key; at += 4) {
        unsigned int word = 0;
        if (rand_s(&word) != 0)
            internal_failure("failed to read the operating system's entropy source");
        std::memcpy(key + at, &word, 4);
    }
#elif defined(__linux__)
    std::size_t got = 0;
    while (got < sizeof key) {
        const ssize_t n = getrandom(key + got, sizeof key - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            internal_failure("failed to read the operating system's entropy source");
        }
        got += static_cast<std::size_t>(n);
    }
#else
    // macOS and the BSDs: getentropy fills up to 256 bytes in one call.
    if (getentropy(key, sizeof key) != 0)
        internal_failure("failed to read the operating system's entropy source");
#endif
    input_ = initial_state(key);
    words_left_ = 65536;  // one byte drawn per word
}

void ThreadRng::refill() {
    if (words_left_ == 0) reseed();
    words_left_ -= static_cast<std::uint32_t>(buf_.size());
    chacha12_four_blocks(input_, buf_.data());
    for (int n = 0; n < 4; ++n) advance_counter(input_);
    pos_ = 0;
}

ThreadRng& thread_rng() {
    thread_local ThreadRng rng;
    return rng;
}

Seed32 get_random_seed() {
    ThreadRng& rng = thread_rng();
    Seed32 out;
    for (auto& b : out) b = static_cast<std::uint8_t>(rng.next_u32());
    return out;
}

}  // namespace game::random
