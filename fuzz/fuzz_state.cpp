// Decodes arbitrary bytes as a game state; whatever decodes must re-encode to the bytes read,
// and every action and reading on it must stay inside the state.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bot/bot.hpp"
#include "random.hpp"
#include "tet/codec.hpp"
#include "tet/state.hpp"

using namespace game::tet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto d = decode_game_state(ByteSpan(data, size));
    if (!d.ok()) return 0;
    const GameState& s = d.value;

    const auto bytes = encode_game_state(s);
    if (bytes.size() > size || std::memcmp(bytes.data(), data, bytes.size()) != 0) std::abort();
    if (!(decode_game_state(ByteSpan(bytes)).value == s)) std::abort();

    (void)s.get_next_pcs();
    const BoardMatrix b = s.board_without_falling_piece();
    (void)get_height(b);
    (void)board_holes(b);
    (void)board_bumpi(b);
    for (int a = 0; a < ACTION_NB; ++a) {
        auto r = s.try_action(action_from_index(a), 0);
        if (r.ok()) (void)encode_game_state(r.value);
    }
    game::random::SeededStream rng(s.seed);
    auto bot = game::bot::get_bot("wordpress");
    if (bot.ok()) (void)bot.value->choose_move_with(s, rng);
    return 0;
}
