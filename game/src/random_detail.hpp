// The machinery behind random.hpp: the ChaCha block functions, accept_event split into its two
// steps for batches, the portable forms the vector kernels are tested against, and the choice
// of kernels. For random.cpp, the engine's accept step and the tests.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "random.hpp"

namespace game::random::detail {

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

// The portable forms of chacha20_block and chacha20_two_blocks, which pick a vector form where
// it is faster.
void scalar_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);
void scalar_two_blocks(const std::array<std::uint32_t, 16>& input, std::uint32_t* out);
// accept_event from the block functions above, one block call per step.
Seed32 accept_event_by_blocks(const Seed32& seed, tet::GameReplayEvent event, std::int64_t ts,
                              std::uint32_t idx);

// accept_event in its two steps, for batches that reuse one seed's draw for several events:
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

// The forms of the two functions above for processors without vector instructions.
void event_draws_portable(std::span<const Seed32* const> seeds, EventDraw* out);
void accept_drawn_events_portable(std::span<const DrawnEventInput> in, Seed32* out);

// The block functions run vector kernels for the best instruction set the processor has
// (AVX-512VL, else AVX2), else the portable forms. use_kernels restricts them to `k` or the
// best there is, whichever is lower, and returns the previous choice: for tests, on one thread
// while no other uses this module.
enum class Kernels : std::uint8_t { portable, avx2, avx512 };
Kernels kernels();
Kernels use_kernels(Kernels k);

}  // namespace game::random::detail
