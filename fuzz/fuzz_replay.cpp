// Decodes arbitrary bytes as a replay stream and plays whatever decodes back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tet/codec.hpp"
#include "tet/replay.hpp"

using namespace game::tet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto d = decode_replay_segments(ByteSpan(data, size));
    if (!d.ok()) return 0;
    const auto states = segments_to_states(d.value);
    if (!states.empty() && states.size() != d.value.size()) std::abort();
    return 0;
}
