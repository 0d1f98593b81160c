// Prints what the engine's seeded stream produces, for comparison with a reference ChaCha20.
//
//   chacha_dump KEY WORDS               the first WORDS stream words, each as its 4
//                                       little-endian bytes, in hex on one line
//   chacha_dump shuffle SEED TS         the bag's letters and the new seed in hex
//   chacha_dump accept SEED ACTION TS IDX
//                                       the seed after accept_event (ACTION is 0..7)
//
// KEY and SEED are 64 hex digits. Bad arguments print a message and exit with status 2.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "random.hpp"
#include "tet/records.hpp"

namespace {

using game::tet::Seed32;

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "chacha_dump: %s\n"
                 "usage: chacha_dump KEY WORDS\n"
                 "       chacha_dump shuffle SEED TS\n"
                 "       chacha_dump accept SEED ACTION TS IDX\n",
                 why);
    std::exit(2);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Seed32 parse_key(const char* text) {
    if (std::strlen(text) != 64) usage("a key is 64 hex digits");
    Seed32 key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) usage("a key is 64 hex digits");
        key[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return key;
}

long long parse_signed(const char* text, long long lo, long long hi, const char* what) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) usage(what);
    return v;
}

void print_hex(const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) std::printf("%02x", bytes[i]);
}

int dump_stream(const char* key_text, const char* count_text) {
    const Seed32 key = parse_key(key_text);
    const long long count =
        parse_signed(count_text, 0, 1LL << 24, "WORDS is a count from 0 to 16777216");
    game::random::SeededStream stream(key);
    for (long long k = 0; k < count; ++k) {
        const std::uint32_t w = stream.next_u32();
        const std::uint8_t le[4] = {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8),
                                    static_cast<std::uint8_t>(w >> 16),
                                    static_cast<std::uint8_t>(w >> 24)};
        print_hex(le, 4);
    }
    std::printf("\n");
    return 0;
}

int dump_shuffle(const char* seed_text, const char* ts_text) {
    const Seed32 seed = parse_key(seed_text);
    const long long ts = parse_signed(ts_text, INT64_MIN, INT64_MAX, "TS is a signed 64-bit number");
    const auto r = game::random::shuffle_tets(seed, static_cast<std::int64_t>(ts));
    for (game::tet::Tet t : r.bag) std::printf("%c", game::tet::letter(t));
    std::printf(" ");
    print_hex(r.seed.data(), r.seed.size());
    std::printf("\n");
    return 0;
}

int dump_accept(const char* seed_text, const char* action_text, const char* ts_text,
                const char* idx_text) {
    const Seed32 seed = parse_key(seed_text);
    const long long action = parse_signed(action_text, 0, game::tet::ACTION_NB - 1,
                                          "ACTION is an action index from 0 to 7");
    const long long ts = parse_signed(ts_text, INT64_MIN, INT64_MAX, "TS is a signed 64-bit number");
    const long long idx = parse_signed(idx_text, 0, 65535, "IDX is a count from 0 to 65535");
    const game::tet::GameReplayEvent event{
        game::tet::action_from_index(static_cast<int>(action))};
    const Seed32 out = game::random::accept_event(seed, event, static_cast<std::int64_t>(ts),
                                                  static_cast<std::uint32_t>(idx));
    print_hex(out.data(), out.size());
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "shuffle") == 0) return dump_shuffle(argv[2], argv[3]);
    if (argc == 6 && std::strcmp(argv[1], "accept") == 0)
        return dump_accept(argv[2], argv[3], argv[4], argv[5]);
    if (argc == 3) return dump_stream(argv[1], argv[2]);
    usage("wrong number of arguments");
}
