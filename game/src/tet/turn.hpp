// The quarter turn with wall kicks and the spin flags it sets: the one routine the engine's
// actions and its searches turn a piece with, on whatever form of the board they hold.
#pragma once

#include <cstdint>

#include "tet/board.hpp"

namespace game::tet {

// A quarter turn of `piece` (clockwise or not): the turned piece moved by the first of the
// five offset tests of its kind and turn at which fits(candidate) holds. On success `piece`
// becomes that candidate and `kick` the offset it took; otherwise both are left as they were
// and the result is false ("all ooffset are blocked").
template <class Fits>
bool turn_with_kicks(CurrentPcsInfo& piece, bool clockwise, Fits&& fits, rot::Offset& kick) {
    const RotState to = clockwise ? rot::turned_right(piece.rs) : rot::turned_left(piece.rs);
    for (const rot::Offset& off : rot::offsets(piece.tet == Tet::I, piece.rs, to)) {
        CurrentPcsInfo turned = piece;
        turned.rs = to;
        turned.pos = Pos{static_cast<std::int8_t>(piece.pos.y + off.dy),
                         static_cast<std::int8_t>(piece.pos.x + off.dx)};
        if (!fits(turned)) continue;
        piece = turned;
        kick = off;
        return true;
    }
    return false;
}

template <class Fits>
bool turn_with_kicks(CurrentPcsInfo& piece, bool clockwise, Fits&& fits) {
    rot::Offset kick;
    return turn_with_kicks(piece, clockwise, fits, kick);
}

// The spin flags a turn leaves. A T counts the solid corners of its 3 x 3 grid (off-board
// corners do not count): two or more make a mini spin, three or more a spin too. Any other
// kind spins when the turn needed a kick. solid(y, x) reads a cell on the board.
struct SpinFlags {
    bool t_spin = false;
    bool t_mini_spin = false;
};
template <class Solid>
SpinFlags spin_after_turn(const CurrentPcsInfo& turned, rot::Offset kick, Solid&& solid) {
    if (turned.tet != Tet::T) return {!(kick == rot::Offset{0, 0}), false};
    const int y = turned.pos.y, x = turned.pos.x;
    int corners = 0;
    for (const int dy : {0, 2})
        for (const int dx : {0, 2})
            corners += BoardMatrix::on_board(y + dy, x + dx) && solid(y + dy, x + dx);
    return {corners >= 3, corners >= 2};
}

}  // namespace game::tet
