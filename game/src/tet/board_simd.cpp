// The vector kernels behind the board functions of board.hpp: a piece drawn, erased, tested
// and painted as a ghost through its 16-byte window of the packed bytes, and the whole-board
// passes (ghost erasing, the solid bits the landing row is read from, full rows) 32 bytes at a
// time where the processor has AVX2, else 16. Where no kernel applies (a piece partly off the
// board or in the top three rows, a processor without SSE2) each function runs its portable
// form from board.cpp, which is the rule as written.
#include "tet/board_simd.hpp"

#include <cstring>

#include "tet/board_detail.hpp"

namespace game::tet {

#if CORVELLE_BOARD_AVX2
namespace {
const bool HAS_AVX2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
}  // namespace

bool detail::board_avx2 = HAS_AVX2;
#endif

bool detail::use_board_avx2(bool on) {
#if CORVELLE_BOARD_AVX2
    const bool previous = board_avx2;
    board_avx2 = on && HAS_AVX2;
    return previous;
#else
    (void)on;
    return false;
#endif
}

#if defined(__SSE2__)
using namespace detail;

// A piece all on the board takes its window when the window ends on the board.
Error BoardMatrix::spawn_piece(const CurrentPcsInfo& p) {
    switch (draw_in_window(*this, p, code(piece_cell(p.tet)))) {
        case WindowDraw::Drawn: return ok();
        case WindowDraw::Blocked: return fail(ErrorCode::CellTaken);
        case WindowDraw::NoWindow: break;
    }
    return spawn_piece_portable(*this, p);
}

Error BoardMatrix::delete_piece(const CurrentPcsInfo& p) {
    if (const ShapeWindow& sw = window_of(p); all_on_board(p, sw)) {
        if (unsigned char* at = window_at(reinterpret_cast<unsigned char*>(rows.data()), p, sw)) {
            store_window(at, _mm_andnot_si128(cells_of(sw), load_window(at)));
            return ok();
        }
    }
    return delete_piece_portable(*this, p);
}

bool BoardMatrix::fits(const CurrentPcsInfo& p) const {
    const ShapeWindow& sw = window_of(p);
    if (!all_on_board(p, sw)) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(rows.data());
    if (const unsigned char* at = window_at(bytes, p, sw))
        return !any_solid(load_window(at), cells_of(sw));
    return fits_portable(*this, p);
}

bool BoardMatrix::is_drawn(const CurrentPcsInfo& p) const {
    const ShapeWindow& sw = window_of(p);
    if (!all_on_board(p, sw)) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(rows.data());
    if (const unsigned char* at = window_at(bytes, p, sw)) {
        const __m128i cells = cells_of(sw);
        const __m128i want = filled(cells, code(piece_cell(p.tet)));
        return all_zero(_mm_and_si128(_mm_xor_si128(load_window(at), want), cells));
    }
    return is_drawn_portable(*this, p);
}

void BoardMatrix::draw_ghost(const CurrentPcsInfo& p) {
    if (draw_in_window(*this, p, code(CellValue::Ghost)) == WindowDraw::Drawn) return;
    draw_ghost_portable(*this, p);
}

namespace {

// The solid cells of the first `words` 64-byte words of the board (bytes 192 .. 199 for the
// fourth) by column parity, handed to sink(w, even, odd) word by word: bit k % 64 of `even`
// is the cell in the high nibble of byte k (an even column), of `odd` the one in its low
// nibble, by the solid-bit rule of any_solid.
//
// With FREE, *free_codes tells whether a byte read holds a code 10 to 15, whose bit 3 is set
// and bit 2 or 1 too: bits 0 and 4 of each byte of v >> 3 & (v >> 1 | v >> 2).
template <class Sink, bool FREE = false>
inline void byte_solid(const BoardMatrix& b, int words, Sink sink, bool* free_codes = nullptr) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(b.rows.data());
    __m128i free_bits = _mm_setzero_si128();
    auto block = [&](int at, int shift, std::uint64_t& even, std::uint64_t& odd) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const __m128i below = _mm_or_si128(_mm_srli_epi64(v, 1), _mm_srli_epi64(v, 2));
        const __m128i any = _mm_or_si128(v, below);
        const __m128i bit3 = _mm_srli_epi64(v, 3);
        const __m128i solid = _mm_xor_si128(any, bit3);
        if constexpr (FREE) free_bits = _mm_or_si128(free_bits, _mm_and_si128(bit3, below));
        const auto e = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_slli_epi64(solid, 3)));
        const auto o = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_slli_epi64(solid, 7)));
        even |= shift >= 0 ? std::uint64_t{e} << shift : std::uint64_t{e} >> -shift;
        odd |= shift >= 0 ? std::uint64_t{o} << shift : std::uint64_t{o} >> -shift;
    };
    for (int w = 0; w < words; ++w) {
        std::uint64_t even = 0, odd = 0;
        if (w < 3) {
            for (int q = 0; q < 4; ++q) block(64 * w + 16 * q, 16 * q, even, odd);
        } else {
            block(200 - 16, -8, even, odd);  // the block ending at the last byte
        }
        sink(w, even, odd);
    }
    if constexpr (FREE) {
        free_bits = _mm_and_si128(free_bits, _mm_set1_epi8(0x11));
        *free_codes = _mm_movemask_epi8(_mm_cmpeq_epi8(free_bits, _mm_setzero_si128())) != 0xFFFF;
    }
}

#if CORVELLE_BOARD_AVX2
// The same, 32 bytes at a time.
template <class Sink, bool FREE = false>
CORVELLE_AVX2 void byte_solid_avx2(const BoardMatrix& b, int words, Sink sink,
                                   bool* free_codes = nullptr) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(b.rows.data());
    __m256i free_bits = _mm256_setzero_si256();
    auto block = [&](int k, std::uint64_t& even, std::uint64_t& odd) CORVELLE_AVX2 {
        std::uint32_t e, o;
        const auto* at = reinterpret_cast<const __m256i*>(bytes + block_start(k));
        solid_masks<FREE>(_mm256_loadu_si256(at), e, o, &free_bits);
        even |= placed(e, block_shift(k));
        odd |= placed(o, block_shift(k));
    };
    for (int w = 0; w < words; ++w) {
        std::uint64_t even = 0, odd = 0;
        if (w < 3) {
            block(2 * w, even, odd);
            block(2 * w + 1, even, odd);
        } else {
            block(6, even, odd);
        }
        sink(w, even, odd);
    }
    if constexpr (FREE) {
        free_bits = _mm256_and_si256(free_bits, _mm256_set1_epi8(0x11));
        *free_codes = !_mm256_testz_si256(free_bits, free_bits);
    }
}
#endif

// Both parities' solid bits, bits[0][w] even and bits[1][w] odd, in the widest form the
// processor has.
struct StoreBits {
    std::uint64_t (&bits)[2][4];
    void operator()(int w, std::uint64_t even, std::uint64_t odd) const {
        bits[0][w] = even;
        bits[1][w] = odd;
    }
};
inline void solid_bits(const BoardMatrix& b, int words, std::uint64_t (&bits)[2][4]) {
#if CORVELLE_BOARD_AVX2
    if (board_avx2) return byte_solid_avx2(b, words, StoreBits{bits});
#endif
    byte_solid(b, words, StoreBits{bits});
}
// The same, and whether a byte read holds a code 10 to 15.
inline void solid_bits(const BoardMatrix& b, int words, std::uint64_t (&bits)[2][4],
                       bool& free_codes) {
#if CORVELLE_BOARD_AVX2
    if (board_avx2) return byte_solid_avx2<StoreBits, true>(b, words, StoreBits{bits}, &free_codes);
#endif
    byte_solid<StoreBits, true>(b, words, StoreBits{bits}, &free_codes);
}

// The 64-byte words of solid bits that cover the piece's top row.
inline int words_to_top(const CurrentPcsInfo& p) {
    const int top_row = p.pos.y + shape(p.rs, p.tet).max_i;
    return (5 * top_row + 63) >> 6;
}

}  // namespace

int BoardMatrix::fall_distance(const CurrentPcsInfo& p) const {
    std::uint64_t bits[2][4];
    solid_bits(*this, words_to_top(p), bits);
    return fall_from_bits(p, bits);
}

int BoardMatrix::fall_distance(const CurrentPcsInfo& p, bool& free_codes) const {
    std::uint64_t bits[2][4];
    solid_bits(*this, words_to_top(p), bits, free_codes);
    return fall_from_bits(p, bits);
}

namespace {

// Bytes whose two cells are both solid, as a 200-bit mask (bit k of word k / 64 for byte k).
using PairMask = std::array<std::uint64_t, 4>;

// The pair mask is made as the words come, which measures faster than through an array of
// both parities.
struct StorePairs {
    PairMask& mask;
    void operator()(int w, std::uint64_t even, std::uint64_t odd) const { mask[w] = even & odd; }
};

#if CORVELLE_BOARD_AVX2
CORVELLE_AVX2 PairMask full_pairs_avx2(const BoardMatrix& b) {
    PairMask mask;
    byte_solid_avx2(b, 4, StorePairs{mask});
    return mask;
}
#endif

PairMask full_pairs(const BoardMatrix& b) {
#if CORVELLE_BOARD_AVX2
    if (board_avx2) return full_pairs_avx2(b);
#endif
    PairMask mask;
    byte_solid(b, 4, StorePairs{mask});
    return mask;
}

// Row y is bytes 5y .. 5y+4: full when those five bits of the pair mask are all set. The rows
// that start in word w are 13w .. 13w + 12 (39 alone in the last), from bit w of the word on.
std::uint64_t rows_of(const PairMask& m) {
    constexpr std::uint64_t EVERY_FIFTH = 0x1084210842108421ull;  // bits 0, 5, ..., 60
    std::uint64_t full = 0;
#pragma GCC unroll 4
    for (int w = 0; w < 4; ++w) {
        const std::uint64_t next = w + 1 < 4 ? m[w + 1] : 0;
        std::uint64_t run = m[w];
        for (int s = 1; s < 5; ++s) run &= m[w] >> s | next << (64 - s);
        run &= EVERY_FIFTH << w;
        while (run) {
            const int bit = std::countr_zero(run) - w;
            full |= std::uint64_t{1} << (13 * w + bit / 5);
            run &= run - 1;
        }
    }
    return full;
}

#if CORVELLE_BOARD_AVX2
CORVELLE_AVX2 void erase_ghosts_avx2(unsigned char* bytes) {
    for (int k = 0; k <= 6; ++k) {
        unsigned char* at = bytes + block_start(k);
        erase_ghosts_block(at, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
    }
}
#endif

}  // namespace

std::uint64_t full_rows(const BoardMatrix& b) { return rows_of(full_pairs(b)); }

void erase_ghosts(BoardMatrix& b) {
    // A nibble is a ghost when it equals 9, as in erase_ghosts_block.
    auto* bytes = reinterpret_cast<unsigned char*>(b.rows.data());
    static_assert(sizeof(b.rows) == 200);
#if CORVELLE_BOARD_AVX2
    if (board_avx2) return erase_ghosts_avx2(bytes);
#endif
    const __m128i ghost = _mm_set1_epi8(static_cast<char>(0x99));
    const __m128i low = _mm_set1_epi8(0x11);
    // Twelve blocks of sixteen bytes and one more overlapping the last (erasing twice is
    // erasing once).
    for (int k = 0; k <= 12; ++k) {
        unsigned char* at = bytes + (k < 12 ? 16 * k : 200 - 16);
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        __m128i t = _mm_xor_si128(v, ghost);
        t = _mm_or_si128(t, _mm_srli_epi64(t, 1));
        t = _mm_or_si128(t, _mm_srli_epi64(t, 2));
        __m128i m = _mm_andnot_si128(t, low);  // bit 0 of every ghost nibble
        if (all_zero(m)) continue;
        m = _mm_or_si128(m, _mm_slli_epi64(m, 1));
        m = _mm_or_si128(m, _mm_slli_epi64(m, 2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_andnot_si128(m, v));
    }
}

#else  // no vector kernels: the portable forms

Error BoardMatrix::spawn_piece(const CurrentPcsInfo& p) {
    return detail::spawn_piece_portable(*this, p);
}
Error BoardMatrix::delete_piece(const CurrentPcsInfo& p) {
    return detail::delete_piece_portable(*this, p);
}
bool BoardMatrix::fits(const CurrentPcsInfo& p) const { return detail::fits_portable(*this, p); }
bool BoardMatrix::is_drawn(const CurrentPcsInfo& p) const {
    return detail::is_drawn_portable(*this, p);
}
void BoardMatrix::draw_ghost(const CurrentPcsInfo& p) { detail::draw_ghost_portable(*this, p); }
int BoardMatrix::fall_distance(const CurrentPcsInfo& p) const {
    return detail::fall_distance_portable(*this, p);
}
int BoardMatrix::fall_distance(const CurrentPcsInfo& p, bool& free_codes) const {
    return detail::fall_distance_portable(*this, p, free_codes);
}
std::uint64_t full_rows(const BoardMatrix& b) { return detail::full_rows_portable(b); }
void erase_ghosts(BoardMatrix& b) { detail::erase_ghosts_portable(b); }

#endif

}  // namespace game::tet
