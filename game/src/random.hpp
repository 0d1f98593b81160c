// The seeded ChaCha20 stream, bag shuffles, the per-action seed and fresh random seeds.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>

#include "tet/piece.hpp"
#include "tet/records.hpp"

namespace game::random {

using tet::Seed32;
using tet::Tet;

// A source of uniformly distributed 32-bit words.
class WordSource {
public:
    virtual std::uint32_t next_u32() = 0;

protected:
    ~WordSource() = default;
};

// One ChaCha block (RFC 8439 block function, `rounds` rounds) over the 16-word input state.
void chacha_block(const std::array<std::uint32_t, 16>& input, std::array<std::uint32_t, 16>& out,
                  int rounds);

// One block, or two consecutive blocks (the block counter in words 12-13 advancing by one)
// computed side by side, of ChaCha20: out[0 .. 16) or out[0 .. 32).
void chacha20_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);
void chacha20_two_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);
// Four consecutive blocks (the counter advancing by one per block) side by side: out[0 .. 64).
void chacha20_four_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);
// Four independent blocks side by side: block n from inputs[n] (its own key and counter).
void chacha20_four_blocks_of(const std::array<std::uint32_t, 16>* inputs, std::uint32_t* out);

// Four consecutive ChaCha12 blocks (the counter advancing by one per block): out[0 .. 64).
void chacha12_four_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);

namespace detail {
// The portable forms of the two functions above, which pick a vector form where it is faster.
void scalar_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);
void scalar_two_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);
// accept_event (below) from the block functions above, one block call per step.
Seed32 accept_event_by_blocks(const Seed32& seed, tet::GameReplayEvent event, std::int64_t ts,
                             std::uint32_t idx);
}  // namespace detail

// The ChaCha20 keystream keyed by 32 bytes, with a 64-bit block counter starting at 0 and an
// all-zero 64-bit nonce, read as 32-bit words (block 0 words 0..15, then block 1, ...).
class SeededStream final : public WordSource {
public:
    explicit SeededStream(const Seed32& key);

    std::uint32_t next_u32() override {
        if (pos_ == buf_.size()) refill();
        return buf_[pos_++];
    }
    // The low 8 bits of the next word.
    std::uint8_t next_byte() { return static_cast<std::uint8_t>(next_u32()); }
    // The stream's first word.
    static std::uint32_t first_word(const Seed32& key);
    // N successive next_byte draws.
    template <std::size_t N>
    std::array<std::uint8_t, N> next_bytes() {
        std::array<std::uint8_t, N> out;
        for (auto& b : out) b = next_byte();
        return out;
    }

private:
    void refill();

    std::array<std::uint32_t, 16> input_;
    std::array<std::uint32_t, 32> buf_;  // two blocks, computed together
    unsigned pos_ = 32;
};

// A uniform index in 0..n-1 (n >= 1) by the widening-multiply rule with rejection zone
// (n << leading_zeros(n)) - 1: a word is rejected when the low half of v*n exceeds the zone.
std::uint32_t bounded_index(WordSource& src, std::uint32_t n);
// The same for a source whose type is known, so that its draws can be inlined.
template <class Source>
std::uint32_t bounded_index_of(Source& src, std::uint32_t n) {
    const std::uint32_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const std::uint64_t m = std::uint64_t(src.next_u32()) * n;
        if (static_cast<std::uint32_t>(m) <= zone) return static_cast<std::uint32_t>(m >> 32);
    }
}

// One bag: the seven kinds shuffled with a stream keyed by the seed with ts (little-endian)
// XORed into its first 8 bytes; the same stream then yields the new seed.
struct ShuffleResult {
    std::array<Tet, 7> bag;
    Seed32 seed;
};
ShuffleResult shuffle_tets(const Seed32& seed, std::int64_t ts);

// The running seed after an accepted action: a stream keyed by
// action index (u32 LE) | ts (i64 LE) | idx (u32 LE) | 16 bytes drawn from the seed's stream.
Seed32 accept_event(const Seed32& seed, tet::GameReplayEvent event, std::int64_t ts,
                    std::uint32_t idx);

// accept_event for many independent inputs at once (their blocks computed side by side):
// out[i] = accept_event(*in[i].seed, in[i].event, in[i].ts, in[i].idx).
struct AcceptEventInput {
    const Seed32* seed;
    tet::GameReplayEvent event;
    std::int64_t ts;
    std::uint32_t idx;
};
// Inputs that share a seed (the same object or equal bytes, next to each other) share that
// seed's draw.
void accept_events(std::span<const AcceptEventInput> in, Seed32* out);

// accept_event in its two steps, for callers that reuse one seed's draw for several events:
// the 16 bytes drawn from the seed's own stream (the low bytes of its first block), then the
// new seed from the event and that draw.
using EventDraw = std::array<std::uint8_t, 16>;
EventDraw event_draw(const Seed32& seed);
// out[i] = event_draw(*seeds[i]), side by side.
void event_draws(std::span<const Seed32* const> seeds, EventDraw* out);
struct DrawnEventInput {
    const EventDraw* draw;  // event_draw of the seed
    tet::GameReplayEvent event;
    std::int64_t ts;
    std::uint32_t idx;
};
// out[i] = the new seed of in[i], side by side.
void accept_drawn_events(std::span<const DrawnEventInput> in, Seed32* out);

namespace detail {
// The forms of the two functions above for processors without vector instructions.
void event_draws_portable(std::span<const Seed32* const> seeds, EventDraw* out);
void accept_drawn_events_portable(std::span<const DrawnEventInput> in, Seed32* out);

// The block functions above run vector kernels for the best instruction set the processor
// has (AVX-512VL, else AVX2), else the portable forms. use_kernels restricts them to `k` or
// the best there is, whichever is lower, and returns the previous choice: for tests, on one
// thread while no other uses this module.
enum class Kernels : std::uint8_t { portable, avx2, avx512 };
Kernels kernels();
Kernels use_kernels(Kernels k);
}  // namespace detail

// A ChaCha12 generator private to the calling thread, seeded from the operating system and
// reseeded after every 65536 bytes of output. Never reproduced.
class ThreadRng final : public WordSource {
public:
    std::uint32_t next_u32() override {
        if (pos_ == buf_.size()) refill();
        return buf_[pos_++];
    }

private:
    void refill();
    void reseed();

    std::array<std::uint32_t, 16> input_{};
    std::array<std::uint32_t, 64> buf_{};  // four blocks, computed together
    unsigned pos_ = 64;
    std::uint32_t words_left_ = 0;  // a multiple of 64
};
ThreadRng& thread_rng();

// 32 fresh random bytes from the calling thread's generator.
Seed32 get_random_seed();

}  // namespace game::random
