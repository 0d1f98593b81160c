#include "random.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <sys/random.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "error.hpp"

namespace game::random {

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
void chacha_block(const std::array<std::uint32_t, 16>& input, std::array<std::uint32_t, 16>& out,
                  int rounds) {
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
// The same block function with the state's four rows held as 4-lane vectors, so that each
// quarter-round step works on a whole row; the diagonal rounds rotate rows 1..3 into columns
// and back. Used where the processor has single-instruction vector rotates (AVX-512VL);
// without them the scalar form is faster.
#define CORVELLE_AVX512 __attribute__((target("avx512f,avx512vl")))
using u32x4 = std::uint32_t __attribute__((vector_size(16)));

CORVELLE_AVX512 inline u32x4 rotl_v(u32x4 v, int n) { return (v << n) | (v >> (32 - n)); }

// The diagonal round lines rows a, c and d up with row b, which stays: b is the last row a
// quarter round finishes, so the turns of the other three overlap its last steps instead of
// lengthening the chain of dependent steps.
CORVELLE_AVX512 inline void double_round_v(u32x4& a, u32x4& b, u32x4& c, u32x4& d) {
    a += b; d ^= a; d = rotl_v(d, 16);
    c += d; b ^= c; b = rotl_v(b, 12);
    a += b; d ^= a; d = rotl_v(d, 8);
    c += d; b ^= c; b = rotl_v(b, 7);
    a = __builtin_shufflevector(a, a, 3, 0, 1, 2);
    c = __builtin_shufflevector(c, c, 1, 2, 3, 0);
    d = __builtin_shufflevector(d, d, 2, 3, 0, 1);
    a += b; d ^= a; d = rotl_v(d, 16);
    c += d; b ^= c; b = rotl_v(b, 12);
    a += b; d ^= a; d = rotl_v(d, 8);
    c += d; b ^= c; b = rotl_v(b, 7);
    a = __builtin_shufflevector(a, a, 1, 2, 3, 0);
    c = __builtin_shufflevector(c, c, 3, 0, 1, 2);
    d = __builtin_shufflevector(d, d, 2, 3, 0, 1);
}

// N blocks side by side, block n from inputs[n] as given (its own key and counter), of
// ChaCha with 2 * DOUBLE_ROUNDS rounds.
template <int N, int DOUBLE_ROUNDS = 10>
CORVELLE_AVX512 void vector_blocks_of(const std::array<std::uint32_t, 16>* inputs,
                                      std::uint32_t* out) {
    u32x4 in[N][4];
    for (int n = 0; n < N; ++n)
        for (int r = 0; r < 4; ++r)
            in[n][r] = u32x4{inputs[n][4 * r], inputs[n][4 * r + 1], inputs[n][4 * r + 2],
                             inputs[n][4 * r + 3]};
    u32x4 x[N][4];
    for (int n = 0; n < N; ++n)
        for (int r = 0; r < 4; ++r) x[n][r] = in[n][r];
    for (int i = 0; i < DOUBLE_ROUNDS; ++i)
        for (int n = 0; n < N; ++n) double_round_v(x[n][0], x[n][1], x[n][2], x[n][3]);
    for (int n = 0; n < N; ++n)
        for (int r = 0; r < 4; ++r) {
            const u32x4 v = x[n][r] + in[n][r];
            std::memcpy(out + 16 * n + 4 * r, &v, sizeof v);
        }
}

// N consecutive blocks of one stream (counter advancing by one per block).
template <int N, int DOUBLE_ROUNDS = 10>
CORVELLE_AVX512 void vector_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    std::array<std::uint32_t, 16> inputs[N];
    for (int n = 0; n < N; ++n) {
        inputs[n] = input;
        const std::uint64_t counter =
            (std::uint64_t(input[13]) << 32 | input[12]) + static_cast<std::uint64_t>(n);
        inputs[n][12] = static_cast<std::uint32_t>(counter);
        inputs[n][13] = static_cast<std::uint32_t>(counter >> 32);
    }
    vector_blocks_of<N, DOUBLE_ROUNDS>(inputs, out);
}

CORVELLE_AVX512 void vector_four_of(const std::array<std::uint32_t, 16>* inputs,
                                    std::uint32_t* out) {
    vector_blocks_of<4>(inputs, out);
}

CORVELLE_AVX512 void vector_chacha12_four(const std::array<std::uint32_t, 16>& input,
                                          std::uint32_t* out) {
    vector_blocks<4, 6>(input, out);
}

CORVELLE_AVX512 void vector_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    vector_blocks<1>(input, out);
}
CORVELLE_AVX512 void vector_two_blocks(const std::array<std::uint32_t, 16>& input,
                                       std::uint32_t* out) {
    vector_blocks<2>(input, out);
}

// L blocks at once (8 or 16), one to a lane: x[w] holds word w of all L. No shuffles between
// the column and the diagonal rounds, and the lanes never meet, so the rounds run at the
// vector units' throughput rather than at one block's latency.
using u32x16 = std::uint32_t __attribute__((vector_size(64)));
using u8x16 = std::uint8_t __attribute__((vector_size(16)));
using u32x8 = std::uint32_t __attribute__((vector_size(32)));
using u8x8 = std::uint8_t __attribute__((vector_size(8)));

template <int L>
struct Lanes;
template <>
struct Lanes<16> {
    using Words = u32x16;
    using Bytes = u8x16;
};
template <>
struct Lanes<8> {
    using Words = u32x8;
    using Bytes = u8x8;
};

template <int N, class V>
CORVELLE_AVX512 inline V rotl_lanes(V v) {
    return (v << N) | (v >> (32 - N));
}

template <class V>
CORVELLE_AVX512 inline void quarter_round_lanes(V& a, V& b, V& c, V& d) {
    a += b; d ^= a; d = rotl_lanes<16>(d);
    c += d; b ^= c; b = rotl_lanes<12>(b);
    a += b; d ^= a; d = rotl_lanes<8>(d);
    c += d; b ^= c; b = rotl_lanes<7>(b);
}

// The ChaCha20 block of every lane of `in`, input added.
template <class V>
CORVELLE_AVX512 inline void blocks_lanes(const V* in, V* out) {
    V x[16];
    for (int w = 0; w < 16; ++w) x[w] = in[w];
    for (int i = 0; i < 10; ++i) {
        quarter_round_lanes(x[0], x[4], x[8], x[12]);
        quarter_round_lanes(x[1], x[5], x[9], x[13]);
        quarter_round_lanes(x[2], x[6], x[10], x[14]);
        quarter_round_lanes(x[3], x[7], x[11], x[15]);
        quarter_round_lanes(x[0], x[5], x[10], x[15]);
        quarter_round_lanes(x[1], x[6], x[11], x[12]);
        quarter_round_lanes(x[2], x[7], x[8], x[13]);
        quarter_round_lanes(x[3], x[4], x[9], x[14]);
    }
    for (int w = 0; w < 16; ++w) out[w] = x[w] + in[w];
}

// Column l of the 16 x 16 byte matrix whose row k is rows[k], for every l: four rounds that
// interleave row i with row i + 8, one, two, four and eight bytes at a time, which leave the
// columns in order when the rows go in in bit-reversed order.
CORVELLE_AVX512 inline void transpose_bytes16(const __m128i* rows, __m128i* cols) {
    constexpr int BIT_REVERSED[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    __m128i x[16], y[16];
    for (int i = 0; i < 16; ++i) x[i] = rows[BIT_REVERSED[i]];
    for (int i = 0; i < 8; ++i) {
        y[2 * i] = _mm_unpacklo_epi8(x[i], x[i + 8]);
        y[2 * i + 1] = _mm_unpackhi_epi8(x[i], x[i + 8]);
    }
    for (int i = 0; i < 8; ++i) {
        x[2 * i] = _mm_unpacklo_epi16(y[i], y[i + 8]);
        x[2 * i + 1] = _mm_unpackhi_epi16(y[i], y[i + 8]);
    }
    for (int i = 0; i < 8; ++i) {
        y[2 * i] = _mm_unpacklo_epi32(x[i], x[i + 8]);
        y[2 * i + 1] = _mm_unpackhi_epi32(x[i], x[i + 8]);
    }
    for (int i = 0; i < 8; ++i) {
        cols[2 * i] = _mm_unpacklo_epi64(y[i], y[i + 8]);
        cols[2 * i + 1] = _mm_unpackhi_epi64(y[i], y[i + 8]);
    }
}

// Word j of the draw of every lane's seed (the low bytes of its first block's words 4j to
// 4j + 3, packed little-endian), from the seeds' key words in columns.
template <int L>
CORVELLE_AVX512 inline void draw_words_lanes(const std::uint32_t (*key)[L],
                                             typename Lanes<L>::Words* draw) {
    using V = typename Lanes<L>::Words;
    V st[16];
    for (int w = 0; w < 4; ++w) st[w] = V{} + SIGMA[w];
    for (int w = 0; w < 8; ++w) std::memcpy(&st[4 + w], key[w], sizeof(V));
    for (int w = 12; w < 16; ++w) st[w] = V{};
    V first[16];
    blocks_lanes(st, first);
    const V low = V{} + 0xFFu;
    for (int j = 0; j < 4; ++j)
        draw[j] = (first[4 * j] & low) | (first[4 * j + 1] & low) << 8 |
                  (first[4 * j + 2] & low) << 16 | (first[4 * j + 3] & low) << 24;
}

// The new seeds of the first `live` lanes, from the events' words (action index, ts low and
// high, idx) and the draws' words: the low byte of each of the 32 words of the first two
// blocks of the stream keyed by that material.
template <int L>
CORVELLE_AVX512 inline void new_seeds_lanes(const std::uint32_t (*event)[L],
                                            const typename Lanes<L>::Words* draw,
                                            std::size_t live, Seed32* out) {
    using V = typename Lanes<L>::Words;
    using B = typename Lanes<L>::Bytes;
    V st[16];
    for (int w = 0; w < 4; ++w) st[w] = V{} + SIGMA[w];
    for (int w = 0; w < 4; ++w) std::memcpy(&st[4 + w], event[w], sizeof(V));
    for (int w = 0; w < 4; ++w) st[8 + w] = draw[w];
    for (int w = 12; w < 16; ++w) st[w] = V{};
    V words[32];
    blocks_lanes(st, words);
    st[12] = V{} + 1u;
    blocks_lanes(st, words + 16);
    // Byte k of lane l's seed is the low byte of words[k] in lane l: a transpose. Sixteen
    // lanes: rows 0..15 give bytes 0..15 of every lane, rows 16..31 the rest. Eight lanes:
    // row k holds words k and k + 16, so column l < 8 is lane l's first half and column
    // l + 8 its second.
    __m128i rows[16], columns[16];
    if constexpr (L == 16) {
        for (int half = 0; half < 2; ++half) {
            for (int k = 0; k < 16; ++k) {
                const B b = __builtin_convertvector(words[16 * half + k], B);
                std::memcpy(&rows[k], &b, sizeof b);
            }
            transpose_bytes16(rows, columns);
            for (std::size_t l = 0; l < live; ++l)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out[l].data() + 16 * half), columns[l]);
        }
    } else {
        static_assert(L == 8);
        for (int k = 0; k < 16; ++k) {
            const B lo = __builtin_convertvector(words[k], B);
            const B hi = __builtin_convertvector(words[k + 16], B);
            std::memcpy(&rows[k], &lo, sizeof lo);
            std::memcpy(reinterpret_cast<char*>(&rows[k]) + 8, &hi, sizeof hi);
        }
        transpose_bytes16(rows, columns);
        for (std::size_t l = 0; l < live; ++l) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[l].data()), columns[l]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[l].data() + 16), columns[l + 8]);
        }
    }
}

template <int L>
CORVELLE_AVX512 inline void event_words(std::uint32_t (*cols)[L], int l, tet::GameReplayEvent event,
                                        std::int64_t ts, std::uint32_t idx) {
    const auto uts = static_cast<std::uint64_t>(ts);
    cols[0][l] = static_cast<std::uint32_t>(tet::index(event.action));
    cols[1][l] = static_cast<std::uint32_t>(uts);
    cols[2][l] = static_cast<std::uint32_t>(uts >> 32);
    cols[3][l] = idx;
}

// The lane kernels below take up to L inputs (live in 1..L), one to a lane; spare lanes
// repeat the last input and their results are dropped.

// The draws of the seeds.
template <int L>
CORVELLE_AVX512 void event_draws_lanes(const Seed32* const* seeds, std::size_t live,
                                       EventDraw* out) {
    using V = typename Lanes<L>::Words;
    alignas(64) std::uint32_t key[8][L];
    for (int l = 0; l < L; ++l) {
        const Seed32& seed = *seeds[std::min<std::size_t>(l, live - 1)];
        for (int i = 0; i < 8; ++i) key[i][l] = load_le32(seed.data() + 4 * i);
    }
    V draw[4];
    draw_words_lanes<L>(key, draw);
    alignas(64) std::uint32_t packed[4][L];
    for (int j = 0; j < 4; ++j) std::memcpy(packed[j], &draw[j], sizeof(V));
    static_assert(std::endian::native == std::endian::little);
    for (std::size_t l = 0; l < live; ++l)
        for (int j = 0; j < 4; ++j) std::memcpy(out[l].data() + 4 * j, &packed[j][l], 4);
}

// The new seeds of drawn events.
template <int L>
CORVELLE_AVX512 void drawn_events_lanes(std::span<const DrawnEventInput> in, Seed32* out) {
    using V = typename Lanes<L>::Words;
    const std::size_t live = in.size();
    alignas(64) std::uint32_t event[4][L], packed[4][L];
    for (int l = 0; l < L; ++l) {
        const DrawnEventInput& e = in[std::min<std::size_t>(l, live - 1)];
        event_words<L>(event, l, e.event, e.ts, e.idx);
        for (int j = 0; j < 4; ++j) std::memcpy(&packed[j][l], e.draw->data() + 4 * j, 4);
    }
    V draw[4];
    for (int j = 0; j < 4; ++j) std::memcpy(&draw[j], packed[j], sizeof(V));
    new_seeds_lanes<L>(event, draw, live, out);
}

// accept_event of each input, the draws kept in the lanes.
template <int L>
CORVELLE_AVX512 void accept_events_lanes(const AcceptEventInput* in, std::size_t live,
                                         Seed32* out) {
    using V = typename Lanes<L>::Words;
    alignas(64) std::uint32_t key[8][L], event[4][L];
    for (int l = 0; l < L; ++l) {
        const AcceptEventInput& e = in[std::min<std::size_t>(l, live - 1)];
        for (int i = 0; i < 8; ++i) key[i][l] = load_le32(e.seed->data() + 4 * i);
        event_words<L>(event, l, e.event, e.ts, e.idx);
    }
    V draw[4];
    draw_words_lanes<L>(key, draw);
    new_seeds_lanes<L>(event, draw, live, out);
}

CORVELLE_AVX512 void accept_events16(const AcceptEventInput* in, std::size_t n, Seed32* out) {
    accept_events_lanes<16>(in, n, out);
}
CORVELLE_AVX512 void accept_events8(const AcceptEventInput* in, std::size_t n, Seed32* out) {
    accept_events_lanes<8>(in, n, out);
}
CORVELLE_AVX512 void event_draws16(const Seed32* const* seeds, std::size_t n, EventDraw* out) {
    event_draws_lanes<16>(seeds, n, out);
}
CORVELLE_AVX512 void event_draws8(const Seed32* const* seeds, std::size_t n, EventDraw* out) {
    event_draws_lanes<8>(seeds, n, out);
}
CORVELLE_AVX512 void drawn_events16(std::span<const DrawnEventInput> in, Seed32* out) {
    drawn_events_lanes<16>(in, out);
}
CORVELLE_AVX512 void drawn_events8(std::span<const DrawnEventInput> in, Seed32* out) {
    drawn_events_lanes<8>(in, out);
}

// accept_event with every step held in vector rows: the seed's first block, its low bytes
// as the second stream's key words 8..11 (beside the event's words 4..7), and that stream's
// first two blocks, whose low bytes are the new seed.
CORVELLE_AVX512 Seed32 accept_event_v(const Seed32& seed, std::uint32_t event_hash,
                                      std::uint64_t ts, std::uint32_t idx) {
    const u32x4 sigma = {SIGMA[0], SIGMA[1], SIGMA[2], SIGMA[3]};
    u32x4 k0, k1;
    std::memcpy(&k0, seed.data(), sizeof k0);
    std::memcpy(&k1, seed.data() + 16, sizeof k1);
    static_assert(std::endian::native == std::endian::little);

    u32x4 a = sigma, b = k0, c = k1, d = {0, 0, 0, 0};
    for (int i = 0; i < 10; ++i) double_round_v(a, b, c, d);
    a += sigma;
    b += k0;
    c += k1;  // d + its zero input stays d
    const u32x16 first = __builtin_shufflevector(__builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7),
                                                 __builtin_shufflevector(c, d, 0, 1, 2, 3, 4, 5, 6, 7),
                                                 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const u8x16 low = __builtin_convertvector(first, u8x16);
    u32x4 m1;
    std::memcpy(&m1, &low, sizeof m1);
    const u32x4 m0 = {event_hash, static_cast<std::uint32_t>(ts), static_cast<std::uint32_t>(ts >> 32), idx};

    // Blocks 0 and 1 of the material's stream, side by side.
    const u32x4 d0 = {0, 0, 0, 0}, d1 = {1, 0, 0, 0};
    u32x4 a0 = sigma, b0 = m0, c0 = m1, e0 = d0;
    u32x4 a1 = sigma, b1 = m0, c1 = m1, e1 = d1;
    for (int i = 0; i < 10; ++i) {
        double_round_v(a0, b0, c0, e0);
        double_round_v(a1, b1, c1, e1);
    }
    const u32x16 out0 = __builtin_shufflevector(
        __builtin_shufflevector(a0 + sigma, b0 + m0, 0, 1, 2, 3, 4, 5, 6, 7),
        __builtin_shufflevector(c0 + m1, e0 + d0, 0, 1, 2, 3, 4, 5, 6, 7), 0, 1, 2, 3, 4, 5, 6, 7, 8,
        9, 10, 11, 12, 13, 14, 15);
    const u32x16 out1 = __builtin_shufflevector(
        __builtin_shufflevector(a1 + sigma, b1 + m0, 0, 1, 2, 3, 4, 5, 6, 7),
        __builtin_shufflevector(c1 + m1, e1 + d1, 0, 1, 2, 3, 4, 5, 6, 7), 0, 1, 2, 3, 4, 5, 6, 7, 8,
        9, 10, 11, 12, 13, 14, 15);
    const u8x16 lo0 = __builtin_convertvector(out0, u8x16);
    const u8x16 lo1 = __builtin_convertvector(out1, u8x16);
    Seed32 result;
    std::memcpy(result.data(), &lo0, 16);
    std::memcpy(result.data() + 16, &lo1, 16);
    return result;
}

bool has_vector_rotates() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}
const bool USE_VECTOR = has_vector_rotates();
#else
constexpr bool USE_VECTOR = false;
#endif

}  // namespace

void chacha20_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (USE_VECTOR) return vector_block(input, out);
#endif
    detail::scalar_block(input, out);
}

void chacha20_four_blocks_of(const std::array<std::uint32_t, 16>* inputs, std::uint32_t* out) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (USE_VECTOR) return vector_four_of(inputs, out);
#endif
    for (int n = 0; n < 4; ++n) detail::scalar_block(inputs[n], out + 16 * n);
}

void chacha20_two_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (USE_VECTOR) return vector_two_blocks(input, out);
#endif
    detail::scalar_two_blocks(input, out);
}

void chacha12_four_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (USE_VECTOR) return vector_chacha12_four(input, out);
#endif
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

ShuffleResult shuffle_tets(const Seed32& seed, std::int64_t ts) {
    Seed32 key = seed;
    const auto uts = static_cast<std::uint64_t>(ts);
    for (int k = 0; k < 8; ++k) key[k] ^= static_cast<std::uint8_t>(uts >> (8 * k));
    SeededStream stream(key);

    ShuffleResult r{};
    for (int i = 0; i < 7; ++i) r.bag[i] = tet::tet_from_index(i);
    // Fisher-Yates from the back.
    for (std::uint32_t n = 7; n >= 2; --n) {
        const std::uint32_t j = bounded_index(stream, n);
        std::swap(r.bag[n - 1], r.bag[j]);
    }
    r.seed = stream.next_bytes<32>();
    return r;
}

Seed32 accept_event(const Seed32& seed, tet::GameReplayEvent event, std::int64_t ts,
                    std::uint32_t idx) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (USE_VECTOR)
        return accept_event_v(seed, static_cast<std::uint32_t>(tet::index(event.action)),
                              static_cast<std::uint64_t>(ts), idx);
#endif
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

// Passes of sixteen lanes while more than eight remain, then one of eight lanes (about two
// thirds of a sixteen-lane pass) for two to eight; `one` takes a last single input alone.
template <class Pass16, class Pass8, class One>
void in_lane_passes(std::size_t size, Pass16 pass16, Pass8 pass8, One one) {
    std::size_t i = 0;
    for (std::size_t n; (n = size - i) > 1; i += std::min<std::size_t>(n, 16)) {
        if (n > 8) pass16(i, std::min<std::size_t>(n, 16));
        else pass8(i, n);
    }
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

}  // namespace detail

EventDraw event_draw(const Seed32& seed) {
    std::uint32_t block[16];
    chacha20_block(initial_state(seed.data()), block);
    return low_bytes(block);
}

void event_draws(std::span<const Seed32* const> seeds, EventDraw* out) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (USE_VECTOR) {
        in_lane_passes(
            seeds.size(), [&](std::size_t i, std::size_t n) { event_draws16(&seeds[i], n, out + i); },
            [&](std::size_t i, std::size_t n) { event_draws8(&seeds[i], n, out + i); },
            [&](std::size_t i) { out[i] = event_draw(*seeds[i]); });
        return;
    }
#endif
    detail::event_draws_portable(seeds, out);
}

void accept_drawn_events(std::span<const DrawnEventInput> in, Seed32* out) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (USE_VECTOR) {
        in_lane_passes(
            in.size(), [&](std::size_t i, std::size_t n) { drawn_events16(in.subspan(i, n), out + i); },
            [&](std::size_t i, std::size_t n) { drawn_events8(in.subspan(i, n), out + i); },
            [&](std::size_t i) { out[i] = accept_drawn_event(in[i]); });
        return;
    }
#endif
    detail::accept_drawn_events_portable(in, out);
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
#if defined(__x86_64__) && defined(__GNUC__)
        if (USE_VECTOR && d == n) {
            // Nothing shared: the draws stay in the lanes.
            if (n > 8) accept_events16(batch, n, out + start);
            else accept_events8(batch, n, out + start);
            continue;
        }
#endif
        EventDraw draws[BATCH];
        event_draws({distinct, d}, draws);
        DrawnEventInput drawn[BATCH];
        for (std::size_t k = 0; k < n; ++k) {
            // Field by field: a whole-struct copy through a temporary stalls on its own stores.
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
    std::size_t got = 0;
    while (got < sizeof key) {
        const ssize_t n = getrandom(key + got, sizeof key - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            internal_failure("failed to read the operating system's entropy source");
        }
        got += static_cast<std::size_t>(n);
    }
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
