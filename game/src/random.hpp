// The seeded ChaCha20 stream, bag shuffles, the per-action seed and fresh random seeds: what
// the engine, the bots and the bindings draw. The block functions and the kernels' dispatch are
// in random_detail.hpp.
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
