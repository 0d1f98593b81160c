// The board's vector kernels that board_simd.cpp and the engine's accept step share, inline: a
// piece's cells through its 16-byte window of the packed bytes, the 32-byte blocks of the
// whole-board passes (solid bits, ghost erasing), and the landing row read off the solid bits.
// For x86-64; elsewhere only the landing row from solid bits is defined.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "tet/board.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__) && defined(__SSE2__)
#include <immintrin.h>
#define CORVELLE_BOARD_AVX2 1
#define CORVELLE_AVX2 __attribute__((target("avx2")))
#else
#define CORVELLE_BOARD_AVX2 0
#endif

namespace game::tet::detail {

#if defined(__SSE2__)
// A piece's cells as one 16-byte window of the packed bytes, for each kind, rotation state and
// parity of the piece's column: the window starts window_start bytes from the byte of the
// piece's grid cell (0, 0), and `cells` is 0xF0 / 0x0F over the cells' nibbles. Every shape's
// cells lie within sixteen bytes from the first of them (a shape spans at most four rows and
// three bytes of a row, and the only one four rows tall is one column wide: I upright covers
// bytes 0, 5, 10 and 15 of its window). The shape's extent rides along, so that the test for a
// piece all on the board reads the same entry.
struct ShapeWindow {
    alignas(16) std::array<std::uint8_t, 16> cells;
    std::int8_t window_start;
    ShapeExtent extent;
};

inline constexpr std::array<std::array<std::array<ShapeWindow, 2>, TET_NB>, rot::ROT_NB>
    SHAPE_WINDOWS = [] {
        std::array<std::array<std::array<ShapeWindow, 2>, TET_NB>, rot::ROT_NB> t{};
        for (int r = 0; r < rot::ROT_NB; ++r)
            for (int k = 0; k < TET_NB; ++k)
                for (int parity = 0; parity < 2; ++parity) {
                    // Cell (i, j) of a piece at (y, x) is in byte 5y + (x >> 1) + offset, in the
                    // high nibble for an even column.
                    const auto& shape_cells = ALL_SHAPES[r][k].cells;
                    std::array<int, 4> offset{};
                    ShapeWindow w{{}, 127, ALL_SHAPES[r][k]};
                    for (int c = 0; c < 4; ++c) {
                        const int i = shape_cells[c].i, j = shape_cells[c].j;
                        offset[c] = 5 * i + ((parity + j) >> 1);
                        w.window_start =
                            static_cast<std::int8_t>(std::min<int>(w.window_start, offset[c]));
                    }
                    for (int c = 0; c < 4; ++c) {
                        const int at = offset[c] - w.window_start;
                        if (at >= 16) throw "a shape's cells span more than sixteen bytes";
                        const bool even = ((parity + shape_cells[c].j) & 1) == 0;
                        w.cells[at] |= even ? 0xF0 : 0x0F;
                    }
                    t[r][k][parity] = w;
                }
        return t;
    }();

inline const ShapeWindow& window_of(const CurrentPcsInfo& p) {
    return SHAPE_WINDOWS[rot::index(p.rs)][index(p.tet)][p.pos.x & 1];
}

// BoardMatrix::in_bounds, from the window's entry.
inline bool all_on_board(const CurrentPcsInfo& p, const ShapeWindow& w) {
    return BoardMatrix::in_bounds(p.pos, w.extent);
}

// The piece's window in the packed bytes, for a piece all on the board, or null when the
// window would run past the last byte (pieces in the top three rows).
template <class Byte>
inline Byte* window_at(Byte* bytes, const CurrentPcsInfo& p, const ShapeWindow& w) {
    // Floor halving: x may be negative.
    const int first = 5 * p.pos.y + (p.pos.x >> 1) + w.window_start;
    return first + 16 <= static_cast<int>(sizeof(BoardMatrix)) ? bytes + first : nullptr;
}

inline __m128i load_window(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
inline void store_window(unsigned char* at, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
}
inline __m128i cells_of(const ShapeWindow& w) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(w.cells.data()));
}
// `code` in every nibble under `cells`.
inline __m128i filled(__m128i cells, std::uint8_t code) {
    return _mm_and_si128(cells, _mm_set1_epi8(static_cast<char>(code * 0x11)));
}
inline bool all_zero(__m128i v) {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF;
}
// Whether a nibble under `cells` is solid (1..8). A code is solid exactly when its bit 3
// differs from the OR of its bits 0..2, so bits 0 and 4 of each byte of
// (v | v >> 1 | v >> 2) ^ v >> 3 are its two nibbles' solid bits; the shifts carry bits across
// bytes, but never into those two.
inline bool any_solid(__m128i v, __m128i cells) {
    const __m128i any = _mm_or_si128(v, _mm_or_si128(_mm_srli_epi64(v, 1), _mm_srli_epi64(v, 2)));
    const __m128i solid = _mm_xor_si128(any, _mm_srli_epi64(v, 3));
    return !all_zero(_mm_and_si128(_mm_and_si128(solid, cells), _mm_set1_epi8(0x11)));
}

enum class WindowDraw { Drawn, Blocked, NoWindow };
// Writes `code` in every cell of the piece through its window when none of them is solid.
inline WindowDraw draw_in_window(BoardMatrix& b, const CurrentPcsInfo& p, std::uint8_t code) {
    const ShapeWindow& sw = window_of(p);
    if (!all_on_board(p, sw)) return WindowDraw::NoWindow;
    unsigned char* at = window_at(reinterpret_cast<unsigned char*>(b.rows.data()), p, sw);
    if (!at) return WindowDraw::NoWindow;
    const __m128i w = load_window(at), cells = cells_of(sw);
    if (any_solid(w, cells)) return WindowDraw::Blocked;
    store_window(at, _mm_or_si128(_mm_andnot_si128(cells, w), filled(cells, code)));
    return WindowDraw::Drawn;
}
#endif

#if CORVELLE_BOARD_AVX2
// Whether the whole-board passes take 32 bytes at a time (see use_board_avx2).
extern bool board_avx2;

// The board's seven 32-byte blocks: six, and one more ending at the last byte (bytes 168 ..
// 199, overlapping the sixth; erasing twice is erasing once).
constexpr int block_start(int k) { return k < 6 ? 32 * k : 200 - 32; }
// Where block k's 32 solid bits of a parity go: the 64-bit word, and the shift into it
// (negative: right, for the last block, whose last eight bytes are the fourth word).
constexpr int block_word(int k) { return k < 6 ? k >> 1 : 3; }
constexpr int block_shift(int k) { return k < 6 ? 32 * (k & 1) : -24; }
inline std::uint64_t placed(std::uint32_t mask, int shift) {
    return shift >= 0 ? std::uint64_t{mask} << shift : std::uint64_t{mask} >> -shift;
}

// One 32-byte block's solid bits of both parities: bit k of `even` for the high nibble of byte
// k (an even column), of `odd` for its low nibble, by the solid-bit rule of any_solid. With
// FREE, the bits of its codes 10 to 15 (bit 3 set, and bit 2 or 1) ORed into free_bits.
template <bool FREE = false>
CORVELLE_AVX2 inline void solid_masks(__m256i v, std::uint32_t& even, std::uint32_t& odd,
                                      __m256i* free_bits = nullptr) {
    const __m256i below = _mm256_or_si256(_mm256_srli_epi64(v, 1), _mm256_srli_epi64(v, 2));
    const __m256i any = _mm256_or_si256(v, below);
    const __m256i bit3 = _mm256_srli_epi64(v, 3);
    const __m256i solid = _mm256_xor_si256(any, bit3);
    if constexpr (FREE) *free_bits = _mm256_or_si256(*free_bits, _mm256_and_si256(bit3, below));
    even = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi64(solid, 3)));
    odd = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi64(solid, 7)));
}

// The ghost cells of the 32 bytes at `at` erased; v holds those bytes. A nibble is a ghost when
// it equals 9, i.e. when it XOR 9 has no bit set; the shifts may carry bits across nibbles, but
// never into bit 0 of one, nor the mask out of one.
CORVELLE_AVX2 inline void erase_ghosts_block(unsigned char* at, __m256i v) {
    const __m256i ghost = _mm256_set1_epi8(static_cast<char>(0x99));
    const __m256i low = _mm256_set1_epi8(0x11);
    __m256i t = _mm256_xor_si256(v, ghost);
    t = _mm256_or_si256(t, _mm256_srli_epi64(t, 1));
    t = _mm256_or_si256(t, _mm256_srli_epi64(t, 2));
    __m256i m = _mm256_andnot_si256(t, low);  // bit 0 of every ghost nibble
    if (_mm256_testz_si256(m, m)) return;
    m = _mm256_or_si256(m, _mm256_slli_epi64(m, 1));
    m = _mm256_or_si256(m, _mm256_slli_epi64(m, 2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_andnot_si256(m, v));
}
#endif

// The bits p of word w with 64w + p = k (mod 5): the bytes of column pair k, one per row.
inline constexpr std::array<std::array<std::uint64_t, 4>, 5> PAIR_COLUMN = [] {
    std::array<std::array<std::uint64_t, 4>, 5> t{};
    for (int k = 0; k < 5; ++k)
        for (int bit = k; bit < 256; bit += 5) t[k][bit / 64] |= std::uint64_t{1} << (bit % 64);
    return t;
}();

// How far p falls, from the board's solid bits by column parity (bits[0] the even columns,
// bits[1] the odd ones; bit k % 64 of word k / 64 for byte k) covering at least the rows up to
// its top row: each covered column's lowest cell falls to just above the column's highest
// solid cell below it, found in the solid bits of the column's bytes, from the cell's row down.
inline int fall_from_bits(const CurrentPcsInfo& p, const std::uint64_t (&bits)[2][4]) {
    const Shape& sh = shape(p.rs, p.tet);
    int drop = BoardMatrix::ROWS;
    for (int k = 0; k < sh.bottom_count; ++k) {
        const int x = p.pos.x + sh.bottoms[k].j;
        const int y = p.pos.y + sh.bottoms[k].i;
        if (y == 0) return 0;
        const std::uint64_t* solid = bits[x & 1];
        const auto& column = PAIR_COLUMN[x >> 1];
        // The bits of the rows below y: bits [0, 5y), the last in word w.
        int w = (5 * y - 1) >> 6;
        std::uint64_t below = solid[w] & column[w] & (~std::uint64_t{0} >> (64 * (w + 1) - 5 * y));
        while (!below && w > 0) {
            --w;
            below = solid[w] & column[w];
        }
        // Row of the highest solid cell below, plus one (0 when there is none).
        const int above =
            below ? static_cast<unsigned>(64 * w + 63 - std::countl_zero(below)) / 5u + 1 : 0;
        drop = std::min(drop, y - above);
    }
    return drop;
}

}  // namespace game::tet::detail
