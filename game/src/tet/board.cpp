#include "tet/board.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CORVELLE_BOARD_AVX2 1
#define CORVELLE_AVX2 __attribute__((target("avx2")))
#else
#define CORVELLE_BOARD_AVX2 0
#endif

#include "random.hpp"

namespace game::tet {

namespace {

// Whole-board passes (ghost erasing, solid bits for landing, full rows) take 32 bytes at a
// time where the processor has AVX2, else 16.
#if CORVELLE_BOARD_AVX2
const bool HAS_AVX2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
bool board_avx2 = HAS_AVX2;
#endif

inline Error out_of_bounds(const CurrentPcsInfo& p) {
    return fail(ErrorCode::OutOfBounds, p.pos.x, p.pos.y);
}

// Board cell of a shape cell, in the signed 8-bit arithmetic positions use.
inline int cell_y(const CurrentPcsInfo& p, const ShapeCell& c) {
    return static_cast<std::int8_t>(p.pos.y + c.i);
}
inline int cell_x(const CurrentPcsInfo& p, const ShapeCell& c) {
    return static_cast<std::int8_t>(p.pos.x + c.j);
}

// Where a shape's cells lie in the packed bytes, for each parity of the piece's column: the
// cell of grid (i, j) for a piece at (y, x) is in byte 5y + (x >> 1) + offset, at `shift`.
//
// The same cells as one 16-byte window: every shape's cells lie within sixteen bytes from the
// first of them (a shape spans at most four rows and three bytes of a row, and the only one
// four rows tall is one column wide: I upright covers bytes 0, 5, 10 and 15 of its window).
struct ShapeSpots {
    alignas(16) std::array<std::uint8_t, 16> window;  // 0xF0 / 0x0F over the cells' nibbles
    std::array<std::int8_t, 4> offset;
    std::array<std::uint8_t, 4> shift;
    std::int8_t min_i, max_i, min_j, max_j;  // the covered extent of the grid
    std::int8_t window_start;                // the window's first byte, from the base byte
};

constexpr std::array<std::array<std::array<ShapeSpots, 2>, TET_NB>, rot::ROT_NB> SPOTS = [] {
    std::array<std::array<std::array<ShapeSpots, 2>, TET_NB>, rot::ROT_NB> t{};
    for (int r = 0; r < rot::ROT_NB; ++r)
        for (int k = 0; k < TET_NB; ++k)
            for (int parity = 0; parity < 2; ++parity) {
                const detail::ShapeExtent& e = detail::SHAPE_EXTENTS[r][k];
                ShapeSpots s{{}, {}, {}, e.min_i, e.max_i, e.min_j, e.max_j, 127};
                const auto& cells = ALL_SHAPES[r][k].cells;
                for (int c = 0; c < 4; ++c) {
                    const int i = cells[c].i, j = cells[c].j;
                    s.offset[c] = static_cast<std::int8_t>(5 * i + ((parity + j) >> 1));
                    s.shift[c] = static_cast<std::uint8_t>(((parity + j) & 1) ? 0 : 4);
                    s.window_start = std::min(s.window_start, s.offset[c]);
                }
                for (int c = 0; c < 4; ++c) {
                    const int at = s.offset[c] - s.window_start;
                    if (at >= 16) throw "a shape's cells span more than sixteen bytes";
                    s.window[at] |= static_cast<std::uint8_t>(15 << s.shift[c]);
                }
                t[r][k][parity] = s;
            }
    return t;
}();

inline const ShapeSpots& spots_of(const CurrentPcsInfo& p) {
    return SPOTS[rot::index(p.rs)][index(p.tet)][p.pos.x & 1];
}

// Every cell on the board (the cells' signed 8-bit wrap-around never lands on the board).
inline bool all_on_board(const CurrentPcsInfo& p, const ShapeSpots& s) {
    return p.pos.y + s.min_i >= 0 && p.pos.y + s.max_i < BoardMatrix::ROWS &&
           p.pos.x + s.min_j >= 0 && p.pos.x + s.max_j < BoardMatrix::COLS;
}

// Byte index of the piece's grid cell (0, 0) column pair, for a piece all on the board.
inline int base_byte(const CurrentPcsInfo& p) {
    return 5 * p.pos.y + (p.pos.x >> 1);  // floor halving: x may be negative
}

#if defined(__SSE2__)
// The piece's window of the packed bytes, for a piece all on the board, or null when the
// window would run past the last byte (pieces in the top three rows take the cell-by-cell way).
template <class Byte>
inline Byte* window_at(Byte* bytes, const CurrentPcsInfo& p, const ShapeSpots& s) {
    const int first = base_byte(p) + s.window_start;
    return first + 16 <= static_cast<int>(sizeof(BoardMatrix)) ? bytes + first : nullptr;
}

inline __m128i load_window(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
inline void store_window(unsigned char* at, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
}
inline __m128i cells_of(const ShapeSpots& s) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(s.window.data()));
}
// `code` in every nibble under `cells`.
inline __m128i filled(__m128i cells, std::uint8_t code) {
    return _mm_and_si128(cells, _mm_set1_epi8(static_cast<char>(code * 0x11)));
}
inline bool all_zero(__m128i v) {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF;
}
// Whether a nibble under `cells` is solid (1..8): bits 0 and 4 of each byte of
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
    const ShapeSpots& sp = spots_of(p);
    if (!all_on_board(p, sp)) return WindowDraw::NoWindow;
    unsigned char* at = window_at(reinterpret_cast<unsigned char*>(b.rows.data()), p, sp);
    if (!at) return WindowDraw::NoWindow;
    const __m128i w = load_window(at), cells = cells_of(sp);
    if (any_solid(w, cells)) return WindowDraw::Blocked;
    store_window(at, _mm_or_si128(_mm_andnot_si128(cells, w), filled(cells, code)));
    return WindowDraw::Drawn;
}
#endif

}  // namespace

std::vector<std::vector<CellValue>> BoardMatrix::cell_rows() const {
    std::vector<std::vector<CellValue>> out(ROWS, std::vector<CellValue>(COLS));
    for (int y = 0; y < ROWS; ++y)
        for (int x = 0; x < COLS; ++x) out[y][x] = get(y, x);
    return out;
}

namespace {

// The cell-by-cell forms, for pieces whose window would run past the last byte, pieces
// partly off the board and processors without SSE2.
[[gnu::noinline]] Error spawn_by_cells(BoardMatrix& b, const CurrentPcsInfo& p) {
    const std::uint8_t v = code(piece_cell(p.tet));
    if (const ShapeSpots& sp = spots_of(p); all_on_board(p, sp)) {
        unsigned char* bytes = reinterpret_cast<unsigned char*>(b.rows.data());
        const int base = base_byte(p);
        for (int c = 0; c < 4; ++c)
            if (is_solid_code((bytes[base + sp.offset[c]] >> sp.shift[c]) & 15))
                return fail(ErrorCode::CellTaken);
        for (int c = 0; c < 4; ++c) {
            unsigned char& x = bytes[base + sp.offset[c]];
            x = static_cast<unsigned char>((x & ~(15 << sp.shift[c])) | v << sp.shift[c]);
        }
        return ok();
    }
    const Shape& s = shape(p.rs, p.tet);
    // Check pass: the first offending cell in visiting order decides the error.
    for (const ShapeCell& c : s.cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!BoardMatrix::on_board(y, x)) return out_of_bounds(p);
        if (b.solid(y, x)) return fail(ErrorCode::CellTaken);
    }
    for (const ShapeCell& c : s.cells) b.set(cell_y(p, c), cell_x(p, c), piece_cell(p.tet));
    return ok();
}

[[gnu::noinline]] Error delete_by_cells(BoardMatrix& b, const CurrentPcsInfo& p) {
    if (const ShapeSpots& sp = spots_of(p); all_on_board(p, sp)) {
        unsigned char* bytes = reinterpret_cast<unsigned char*>(b.rows.data());
        const int base = base_byte(p);
        for (int c = 0; c < 4; ++c) {
            unsigned char& x = bytes[base + sp.offset[c]];
            x = static_cast<unsigned char>(x & ~(15 << sp.shift[c]));
        }
        return ok();
    }
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!BoardMatrix::on_board(y, x)) return out_of_bounds(p);
        b.set(y, x, CellValue::Empty);
    }
    return ok();
}

// For a piece all on the board.
[[gnu::noinline]] bool fits_by_cells(const BoardMatrix& b, const CurrentPcsInfo& p) {
    const ShapeSpots& sp = spots_of(p);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(b.rows.data());
    const int base = base_byte(p);
    for (int c = 0; c < 4; ++c)
        if (is_solid_code((bytes[base + sp.offset[c]] >> sp.shift[c]) & 15)) return false;
    return true;
}

// For a piece all on the board.
[[gnu::noinline]] bool drawn_by_cells(const BoardMatrix& b, const CurrentPcsInfo& p) {
    const ShapeSpots& sp = spots_of(p);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(b.rows.data());
    const int base = base_byte(p);
    const std::uint8_t want = code(piece_cell(p.tet));
    for (int c = 0; c < 4; ++c)
        if (((bytes[base + sp.offset[c]] >> sp.shift[c]) & 15) != want) return false;
    return true;
}

}  // namespace

// Each takes its piece's 16-byte window when the piece is all on the board and the window
// ends on it, and the cell-by-cell form otherwise.
Error BoardMatrix::spawn_piece(const CurrentPcsInfo& p) {
#if defined(__SSE2__)
    switch (draw_in_window(*this, p, code(piece_cell(p.tet)))) {
        case WindowDraw::Drawn: return ok();
        case WindowDraw::Blocked: return fail(ErrorCode::CellTaken);
        case WindowDraw::NoWindow: break;
    }
#endif
    return spawn_by_cells(*this, p);
}

Error BoardMatrix::delete_piece(const CurrentPcsInfo& p) {
#if defined(__SSE2__)
    if (const ShapeSpots& sp = spots_of(p); all_on_board(p, sp)) {
        if (unsigned char* at = window_at(reinterpret_cast<unsigned char*>(rows.data()), p, sp)) {
            store_window(at, _mm_andnot_si128(cells_of(sp), load_window(at)));
            return ok();
        }
    }
#endif
    return delete_by_cells(*this, p);
}

bool BoardMatrix::fits(const CurrentPcsInfo& p) const {
    const ShapeSpots& sp = spots_of(p);
    if (!all_on_board(p, sp)) return false;
#if defined(__SSE2__)
    if (const unsigned char* at = window_at(reinterpret_cast<const unsigned char*>(rows.data()), p, sp))
        return !any_solid(load_window(at), cells_of(sp));
#endif
    return fits_by_cells(*this, p);
}

bool BoardMatrix::may_hold_free_codes(int lo, int hi) const {
    // Whole 8-byte words over the rows' bytes. A nibble is 10 to 15 when bit 3 is set and bit 2
    // or bit 1 is: the shifts bring those bits of every nibble down to its bit 0, which the
    // mask keeps.
    static_assert(sizeof(rows) % 8 == 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(rows.data());
    std::uint64_t any = 0;
    for (int i = 5 * lo / 8; i <= (5 * hi + 4) / 8; ++i) {
        std::uint64_t w;
        std::memcpy(&w, bytes + 8 * i, 8);
        any |= (w >> 3) & ((w >> 2) | (w >> 1));
    }
    return (any & 0x1111111111111111u) != 0;
}

void BoardMatrix::erase_free_codes(const CurrentPcsInfo& p) {
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (on_board(y, x) && code_at(y, x) >= 10) set(y, x, CellValue::Empty);
    }
}

bool BoardMatrix::is_drawn(const CurrentPcsInfo& p) const {
    const ShapeSpots& sp = spots_of(p);
    if (!all_on_board(p, sp)) return false;
#if defined(__SSE2__)
    if (const unsigned char* at = window_at(reinterpret_cast<const unsigned char*>(rows.data()), p, sp)) {
        const __m128i cells = cells_of(sp);
        const __m128i want = filled(cells, code(piece_cell(p.tet)));
        return all_zero(_mm_and_si128(_mm_xor_si128(load_window(at), want), cells));
    }
#endif
    return drawn_by_cells(*this, p);
}

void BoardMatrix::draw_ghost(const CurrentPcsInfo& p) {
#if defined(__SSE2__)
    if (draw_in_window(*this, p, code(CellValue::Ghost)) == WindowDraw::Drawn) return;
#endif
    for (const ShapeCell& c : shape(p.rs, p.tet).cells) {
        const int y = cell_y(p, c), x = cell_x(p, c);
        if (!on_board(y, x) || solid(y, x)) return;
        set(y, x, CellValue::Ghost);
    }
}

namespace detail {

int fall_distance_portable(const BoardMatrix& b, const CurrentPcsInfo& p) {
    // A piece's cells in one column are contiguous, so only the cells below each column's
    // lowest cell can stop it.
    const Shape& sh = shape(p.rs, p.tet);
    int drop = BoardMatrix::ROWS;
    for (int k = 0; k < sh.bottom_count; ++k) {
        const ShapeCell c = sh.bottoms[k];
        const int x = p.pos.x + c.j;
        int y = p.pos.y + c.i - 1;
        int room = 0;
        while (y >= 0 && !b.solid(y, x)) {
            ++room;
            --y;
        }
        drop = std::min(drop, room);
    }
    return drop;
}

}  // namespace detail

#if defined(__SSE2__)
namespace {

// The solid cells of the first `words` 64-byte words of the board (bytes 192 .. 199 for the
// fourth) by column parity, handed to sink(w, even, odd) word by word: bit k % 64 of `even`
// is the cell in the high nibble of byte k (an even column), of `odd` the one in its low
// nibble. A code is solid (1..8) exactly when its bit 3 differs from the OR of its bits 0..2, so
// bits 0 and 4 of each byte of (v | v >> 1 | v >> 2) ^ v >> 3 are its two cells' solid bits;
// the shifts may carry bits across bytes, but never into those two.
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

// One 32-byte block's solid bits of both parities (as byte_solid reads them); with FREE, the
// bits of its codes 10 to 15 ORed into free_bits.
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

// The bits p of word w with 64w + p = k (mod 5): the bytes of column pair k, one per row.
constexpr std::array<std::array<std::uint64_t, 4>, 5> PAIR_COLUMN = [] {
    std::array<std::array<std::uint64_t, 4>, 5> t{};
    for (int k = 0; k < 5; ++k)
        for (int bit = k; bit < 256; bit += 5) t[k][bit / 64] |= std::uint64_t{1} << (bit % 64);
    return t;
}();

// How far p falls, from solid bits that cover at least the rows up to its top row: each
// covered column's lowest cell falls to just above the column's highest solid cell below it,
// found in the solid bits of the column's bytes, from the cell's row down.
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
        const int above = below ? static_cast<unsigned>(64 * w + 63 - std::countl_zero(below)) / 5u + 1 : 0;
        drop = std::min(drop, y - above);
    }
    return drop;
}

}  // namespace

int BoardMatrix::fall_distance(const CurrentPcsInfo& p) const {
    const int top_row = p.pos.y + detail::SHAPE_EXTENTS[rot::index(p.rs)][index(p.tet)].max_i;
    std::uint64_t bits[2][4];
    solid_bits(*this, (5 * top_row + 63) >> 6, bits);
    return fall_from_bits(p, bits);
}

int BoardMatrix::fall_distance(const CurrentPcsInfo& p, bool& free_codes) const {
    const int top_row = p.pos.y + detail::SHAPE_EXTENTS[rot::index(p.rs)][index(p.tet)].max_i;
    std::uint64_t bits[2][4];
    solid_bits(*this, (5 * top_row + 63) >> 6, bits, free_codes);
    return fall_from_bits(p, bits);
}
#else
int BoardMatrix::fall_distance(const CurrentPcsInfo& p) const {
    return detail::fall_distance_portable(*this, p);
}

int BoardMatrix::fall_distance(const CurrentPcsInfo& p, bool& free_codes) const {
    free_codes = may_hold_free_codes(0, std::min(ROWS - 1, p.pos.y +
        detail::SHAPE_EXTENTS[rot::index(p.rs)][index(p.tet)].max_i));
    return detail::fall_distance_portable(*this, p);
}
#endif

namespace {

// Solid cells of one byte: bit 0 for the even (high-nibble) column, bit 1 for the odd one.
constexpr std::array<std::uint8_t, 256> PAIR_SOLID = [] {
    std::array<std::uint8_t, 256> t{};
    for (int v = 0; v < 256; ++v)
        t[v] = static_cast<std::uint8_t>((is_solid_code(static_cast<std::uint8_t>(v >> 4)) ? 1 : 0) |
                                         (is_solid_code(static_cast<std::uint8_t>(v & 15)) ? 2 : 0));
    return t;
}();

constexpr int ALL_COLUMNS = (1 << BoardMatrix::COLS) - 1;

// Set bits of a 10-bit mask (no popcount instruction is assumed).
constexpr std::array<std::uint8_t, 1024> POPCOUNT10 = [] {
    std::array<std::uint8_t, 1024> t{};
    for (int v = 0; v < 1024; ++v) t[v] = static_cast<std::uint8_t>(std::popcount(static_cast<unsigned>(v)));
    return t;
}();
inline int popcount10(std::uint16_t v) { return POPCOUNT10[v & 1023]; }

// Row index of each column's highest solid cell (0 when none).
void column_heights(const SolidRows& rows, int (&h)[BoardMatrix::COLS]) {
    for (int& v : h) v = 0;
    int found = 0;
    for (int r = BoardMatrix::ROWS - 1; r >= 0 && found != ALL_COLUMNS; --r) {
        int fresh = rows[r] & ~found;
        found |= fresh;
        while (fresh) {
            const int c = std::countr_zero(static_cast<unsigned>(fresh));
            h[c] = r;
            fresh &= fresh - 1;
        }
    }
}

}  // namespace

bool BoardMatrix::row_empty_of_solid(int y) const { return solid_mask(*this, y) == 0; }

namespace {

// Bytes whose two cells are both solid, as a 200-bit mask (bit k of word k / 64 for byte k).
// A code is solid (1..8) exactly when its bit 3 differs from the OR of its bits 0..2, so bits 0
// and 4 of each byte of (v | v >> 1 | v >> 2) ^ v >> 3 are its two cells' solid bits; the
// shifts may carry bits across bytes, but never into those two bits.
using PairMask = std::array<std::uint64_t, 4>;

PairMask full_pairs_portable(const BoardMatrix& b) {
    PairMask mask{};
    for (int k = 0; k < 25; ++k) {
        std::uint64_t v;
        std::memcpy(&v, reinterpret_cast<const unsigned char*>(b.rows.data()) + 8 * k, 8);
        const std::uint64_t solid = ((v | v >> 1 | v >> 2) ^ v >> 3) & 0x1111111111111111ull;
        const std::uint64_t both = solid & solid >> 4 & 0x0101010101010101ull;
        // Bit 8j of `both` to bit j: no two partial products meet, so nothing carries.
        const std::uint64_t bits = (both * 0x0102040810204080ull) >> 56;
        mask[k / 8] |= bits << (8 * (k % 8));
    }
    return mask;
}

#if defined(__SSE2__)
// A byte's two cells are both solid where both its solid bits are set. The pair mask is made
// as the words come: through an array of both parities, GCC would read the 8-byte words
// back in wider loads, which wait for the stores to leave the store buffer.
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
#else
PairMask full_pairs(const BoardMatrix& b) { return full_pairs_portable(b); }
#endif

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

}  // namespace

std::uint64_t full_rows(const BoardMatrix& b) { return rows_of(full_pairs(b)); }

#if CORVELLE_BOARD_AVX2
namespace {
// The ghost cells of the 32 bytes at `at` erased (as erase_ghosts reads them); v holds them.
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

// erase_ghosts below, 32 bytes at a time.
CORVELLE_AVX2 void erase_ghosts_avx2(unsigned char* bytes) {
    for (int k = 0; k <= 6; ++k) {
        unsigned char* at = bytes + block_start(k);
        erase_ghosts_block(at, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
    }
}
}  // namespace
#endif

void erase_ghosts(BoardMatrix& b) {
    // A nibble is a ghost when it equals 9, i.e. when it XOR 9 has no bit set; the shifts may
    // carry bits across nibbles, but never into bit 0 of one, nor the mask out of one.
    auto* bytes = reinterpret_cast<unsigned char*>(b.rows.data());
    static_assert(sizeof(b.rows) == 200);
#if CORVELLE_BOARD_AVX2
    if (board_avx2) return erase_ghosts_avx2(bytes);
#endif
#if defined(__SSE2__)
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
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(m, _mm_setzero_si128())) == 0xFFFF) continue;
        m = _mm_or_si128(m, _mm_slli_epi64(m, 1));
        m = _mm_or_si128(m, _mm_slli_epi64(m, 2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_andnot_si128(m, v));
    }
#else
    detail::erase_ghosts_portable(b);
#endif
}

#if CORVELLE_BOARD_AVX2
namespace {
// The ghost work of an accepted action, for the rounds of its seed step: the board's blocks
// after every other round (their ghost cells erased, their solid bits kept), then the piece's
// landing from those bits, then its ghost drawn through its window where it has one.
struct GhostSteps {
    BoardMatrix& board;
    const CurrentPcsInfo* piece;
    std::uint64_t bits[2][4]{};
    int drop = 0;
    bool drawn = false;

    CORVELLE_AVX2 void step(int k) {
        if (k < 14) {
            if (k % 2 == 0) block(k / 2);
        } else if (k == 14 && piece) {
            drop = fall_from_bits(*piece, bits);
        } else if (k == 15 && piece) {
            CurrentPcsInfo ghost = *piece;
            ghost.pos.y = static_cast<std::int8_t>(piece->pos.y - drop);
            drawn = draw_in_window(board, ghost, code(CellValue::Ghost)) == WindowDraw::Drawn;
        }
    }

    CORVELLE_AVX2 void block(int n) {
        unsigned char* at = reinterpret_cast<unsigned char*>(board.rows.data()) + block_start(n);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        std::uint32_t even, odd;
        solid_masks(v, even, odd);
        bits[0][block_word(n)] |= placed(even, block_shift(n));
        bits[1][block_word(n)] |= placed(odd, block_shift(n));
        erase_ghosts_block(at, v);
    }
};

namespace seeded_avx512 {
#define CORVELLE_VEC __attribute__((target("avx512f,avx512vl")))
#define CORVELLE_VECTOR_ROTATES 1
#include "random_rows.inc"
#undef CORVELLE_VECTOR_ROTATES
#undef CORVELLE_VEC
}  // namespace seeded_avx512

namespace seeded_avx2 {
#define CORVELLE_VEC __attribute__((target("avx2")))
#define CORVELLE_VECTOR_ROTATES 0
#include "random_rows.inc"
#undef CORVELLE_VECTOR_ROTATES
#undef CORVELLE_VEC
}  // namespace seeded_avx2
}  // namespace
#endif

Seed32 repaint_ghost_with_seed(BoardMatrix& b, const CurrentPcsInfo* piece, const Seed32& seed,
                               GameReplayEvent event, std::int64_t ts, std::uint32_t idx) {
    auto draw_ghost_down = [&](int drop) {
        CurrentPcsInfo ghost = *piece;
        ghost.pos.y = static_cast<std::int8_t>(piece->pos.y - drop);
        b.draw_ghost(ghost);
    };
#if CORVELLE_BOARD_AVX2
    using random::detail::Kernels;
    if (const Kernels k = random::detail::kernels(); board_avx2 && k != Kernels::portable) {
        GhostSteps work{b, piece};
        const auto hash = static_cast<std::uint32_t>(index(event.action));
        const auto uts = static_cast<std::uint64_t>(ts);
        const Seed32 next = k == Kernels::avx512
                                ? seeded_avx512::accept_event_rows(seed, hash, uts, idx, work)
                                : seeded_avx2::accept_event_rows(seed, hash, uts, idx, work);
        if (piece && !work.drawn) draw_ghost_down(work.drop);
        return next;
    }
#endif
    erase_ghosts(b);
    if (piece) draw_ghost_down(b.fall_distance(*piece));
    return random::accept_event(seed, event, ts, idx);
}

namespace detail {
bool use_board_avx2(bool on) {
#if CORVELLE_BOARD_AVX2
    const bool previous = board_avx2;
    board_avx2 = on && HAS_AVX2;
    return previous;
#else
    (void)on;
    return false;
#endif
}

void erase_ghosts_portable(BoardMatrix& b) {
    auto* bytes = reinterpret_cast<unsigned char*>(b.rows.data());
    constexpr std::uint64_t GHOST = 0x9999999999999999ull;
    constexpr std::uint64_t LOW_BITS = 0x1111111111111111ull;
    for (std::size_t off = 0; off < 200; off += 8) {
        std::uint64_t v;
        std::memcpy(&v, bytes + off, 8);
        std::uint64_t t = v ^ GHOST;
        t |= t >> 1;
        t |= t >> 2;
        const std::uint64_t ghost_low = ~t & LOW_BITS;
        if (!ghost_low) continue;
        v &= ~(ghost_low * 0xF);
        std::memcpy(bytes + off, &v, 8);
    }
}
}  // namespace detail

namespace detail {
std::uint64_t full_rows_portable(const BoardMatrix& b) { return rows_of(full_pairs_portable(b)); }
}  // namespace detail

int solid_mask(const BoardMatrix& b, int y) {
    const auto& v = b.rows[y].v_r;
    return PAIR_SOLID[v[0].v] | PAIR_SOLID[v[1].v] << 2 | PAIR_SOLID[v[2].v] << 4 |
           PAIR_SOLID[v[3].v] << 6 | PAIR_SOLID[v[4].v] << 8;
}

int get_height_for_column(const BoardMatrix& b, int column) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (b.solid(r, column)) return r;
    return 0;
}

int get_height(const BoardMatrix& b) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (solid_mask(b, r)) return r;
    return 0;
}

SolidRows solid_rows(const BoardMatrix& b) {
    SolidRows rows;
    for (int r = 0; r < BoardMatrix::ROWS; ++r) rows[r] = static_cast<std::uint16_t>(solid_mask(b, r));
    return rows;
}

int get_height(const SolidRows& rows) {
    for (int r = BoardMatrix::ROWS - 1; r >= 0; --r)
        if (rows[r]) return r;
    return 0;
}

BoardMetrics board_metrics(const SolidRows& rows) {
    int h[BoardMatrix::COLS];
    column_heights(rows, h);
    BoardMetrics m{0, 0, 0};
    // Columns leave the set of columns still above row r once r reaches their height.
    std::array<std::uint16_t, BoardMatrix::ROWS> reaches_top{};
    std::uint16_t above = 0;
    for (int c = 0; c < BoardMatrix::COLS; ++c) {
        m.height = std::max(m.height, h[c]);
        reaches_top[h[c]] = static_cast<std::uint16_t>(reaches_top[h[c]] | (1u << c));
        if (h[c] > 0) above = static_cast<std::uint16_t>(above | (1u << c));
    }
    for (int c = 0; c + 1 < BoardMatrix::COLS; ++c)
        m.bumpi = std::max(m.bumpi, std::abs(h[c] - h[c + 1]));
    // Holes: free cells in rows below each column's height.
    for (int r = 0; r < m.height; ++r) {
        above = static_cast<std::uint16_t>(above & ~reaches_top[r]);
        m.holes += popcount10(static_cast<std::uint16_t>(above & ~rows[r]));
    }
    return m;
}

BoardMetrics board_metrics(const BoardMatrix& b) { return board_metrics(solid_rows(b)); }

SolidCols solid_cols(const SolidRows& rows) {
    SolidCols cols{};
    for (int y = 0; y < BoardMatrix::ROWS; ++y)
        for (unsigned m = rows[y]; m; m &= m - 1)
            cols[std::countr_zero(m)] |= std::uint64_t{1} << y;
    return cols;
}

BoardMetrics board_metrics(const SolidCols& cols) {
    // With top = one more than the highest solid row, a column's height is top - 1 and its
    // holes are the free cells below that row: top - 1 - (solid cells - 1).
    BoardMetrics m{0, 0, 0};
    int prev = 0;
    for (int c = 0; c < BoardMatrix::COLS; ++c) {
        const int top = column_top(cols[c]);
        const int h = top ? top - 1 : 0;
        if (top) m.holes += top - popcount64(cols[c]);
        m.height = std::max(m.height, h);
        if (c) m.bumpi = std::max(m.bumpi, std::abs(prev - h));
        prev = h;
    }
    return m;
}

int get_height(const SolidCols& cols) {
    int top = 0;
    for (const std::uint64_t col : cols) top = std::max(top, column_top(col));
    return top ? top - 1 : 0;
}

int board_holes(const BoardMatrix& b) { return board_metrics(b).holes; }

int board_bumpi(const BoardMatrix& b) { return board_metrics(b).bumpi; }

}  // namespace game::tet
