// The ghost repainted and the seed advanced after an accepted action. Where the seed step runs
// its vector kernels and the board its 32-byte passes, the board's ghost passes are placed
// between the seed step's rounds, which form one chain of dependent steps that leaves room for
// independent work: the action then costs little more than the seed step alone. Elsewhere the
// plain sequence runs: erase_ghosts, fall_distance, draw_ghost, random::accept_event.
#include "tet/accept_step.hpp"

#include <bit>
#include <cstring>

#include "random.hpp"
#include "random_detail.hpp"
#include "tet/board_simd.hpp"

namespace game::tet::detail {

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

// The seed step's row kernels, once for each instruction set the seed step dispatches to.
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

}  // namespace game::tet::detail
