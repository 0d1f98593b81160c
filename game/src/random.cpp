#include "random.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <sys/random.h>

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

// accept_event for up to L inputs (in.size() in 1..L), one to a lane; spare lanes repeat the
// last input and their results are dropped.
template <int L>
CORVELLE_AVX512 void accept_events_lanes(std::span<const AcceptEventInput> in, Seed32* out) {
    using V = typename Lanes<L>::Words;
    using B = typename Lanes<L>::Bytes;
    const std::size_t live = in.size();
    alignas(64) std::uint32_t cols[12][L];  // key words, then the event's four words
    for (int l = 0; l < L; ++l) {
        const AcceptEventInput& e = in[std::min<std::size_t>(l, live - 1)];
        for (int i = 0; i < 8; ++i) cols[i][l] = load_le32(e.seed->data() + 4 * i);
        const auto uts = static_cast<std::uint64_t>(e.ts);
        cols[8][l] = static_cast<std::uint32_t>(tet::index(e.event.action));
        cols[9][l] = static_cast<std::uint32_t>(uts);
        cols[10][l] = static_cast<std::uint32_t>(uts >> 32);
        cols[11][l] = e.idx;
    }

    // Step 1. The first block of each seed's stream.
    V st[16];
    for (int w = 0; w < 4; ++w) st[w] = V{} + SIGMA[w];
    for (int w = 0; w < 8; ++w) std::memcpy(&st[4 + w], cols[w], sizeof(V));
    for (int w = 12; w < 16; ++w) st[w] = V{};
    V first[16];
    blocks_lanes(st, first);

    // Step 2. The material's key: the event's words, then the low bytes of the first block.
    for (int w = 0; w < 4; ++w) std::memcpy(&st[4 + w], cols[8 + w], sizeof(V));
    const V low = V{} + 0xFFu;
    for (int j = 0; j < 4; ++j)
        st[8 + j] = (first[4 * j] & low) | (first[4 * j + 1] & low) << 8 |
                    (first[4 * j + 2] & low) << 16 | (first[4 * j + 3] & low) << 24;

    // Step 3. Two blocks of the material's stream; the new seed is the low byte of each of
    // their 32 words.
    V words[32];
    blocks_lanes(st, words);
    st[12] = V{} + 1u;
    blocks_lanes(st, words + 16);
    alignas(16) std::uint8_t bytes[32][L];
    for (int k = 0; k < 32; ++k) {
        const B b = __builtin_convertvector(words[k], B);
        std::memcpy(bytes[k], &b, sizeof b);
    }
    for (std::size_t l = 0; l < live; ++l)
        for (int k = 0; k < 32; ++k) out[l][k] = bytes[k][l];
}

CORVELLE_AVX512 void accept_events16(std::span<const AcceptEventInput> in, Seed32* out) {
    accept_events_lanes<16>(in, out);
}
CORVELLE_AVX512 void accept_events8(std::span<const AcceptEventInput> in, Seed32* out) {
    accept_events_lanes<8>(in, out);
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

// The 32 bytes mixed into the second stream of accept_event.
Seed32 event_material(const AcceptEventInput& in, const std::uint32_t* first_block) {
    Seed32 material{};
    const auto event_hash = static_cast<std::uint32_t>(tet::index(in.event.action));
    const auto uts = static_cast<std::uint64_t>(in.ts);
    for (int k = 0; k < 4; ++k) material[k] = static_cast<std::uint8_t>(event_hash >> (8 * k));
    for (int k = 0; k < 8; ++k) material[4 + k] = static_cast<std::uint8_t>(uts >> (8 * k));
    for (int k = 0; k < 4; ++k) material[12 + k] = static_cast<std::uint8_t>(in.idx >> (8 * k));
    for (int k = 0; k < 16; ++k) material[16 + k] = static_cast<std::uint8_t>(first_block[k]);
    return material;
}

}  // namespace

void accept_events(std::span<const AcceptEventInput> in, Seed32* out) {
    std::size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    // Passes of sixteen lanes while more than eight remain, then one of eight lanes (about
    // two thirds of a sixteen-lane pass) for two to eight, and a last single one alone.
    if (USE_VECTOR) {
        for (std::size_t n; (n = in.size() - i) > 1; i += std::min<std::size_t>(n, 16)) {
            if (n > 8) accept_events16(in.subspan(i, std::min<std::size_t>(n, 16)), out + i);
            else accept_events8(in.subspan(i, n), out + i);
        }
        if (i < in.size()) out[i] = accept_event(*in[i].seed, in[i].event, in[i].ts, in[i].idx);
        return;
    }
#endif
    // Without vector rotates, four at a time: the first blocks of four seeds together, then
    // the two blocks of each of the four materials, four blocks to a call. A last group of two
    // or three repeats its last input in the spare lanes and drops their results; a last
    // single one goes alone.
    for (; i < in.size(); i += 4) {
        const std::size_t live = std::min<std::size_t>(4, in.size() - i);
        if (live == 1) {
            out[i] = accept_event(*in[i].seed, in[i].event, in[i].ts, in[i].idx);
            break;
        }
        const AcceptEventInput* group[4];
        for (std::size_t n = 0; n < 4; ++n) group[n] = &in[i + std::min(n, live - 1)];
        std::array<std::uint32_t, 16> inputs[4];
        std::uint32_t blocks[64];
        for (int n = 0; n < 4; ++n) inputs[n] = initial_state(group[n]->seed->data());
        chacha20_four_blocks_of(inputs, blocks);
        std::array<std::uint32_t, 16> second[8];
        for (int n = 0; n < 4; ++n) {
            const Seed32 material = event_material(*group[n], blocks + 16 * n);
            second[2 * n] = initial_state(material.data());
            second[2 * n + 1] = second[2 * n];
            advance_counter(second[2 * n + 1]);
        }
        std::uint32_t words[128];
        chacha20_four_blocks_of(second, words);
        chacha20_four_blocks_of(second + 4, words + 64);
        for (std::size_t n = 0; n < live; ++n)
            for (int k = 0; k < 32; ++k) out[i + n][k] = static_cast<std::uint8_t>(words[32 * n + k]);
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
