// Error messages by code, and the internal failure that stops an operation.
#include "error.hpp"

#include <cstdio>

namespace game {

std::string Error::message() const {
    char buf[128];
    switch (code) {
        case ErrorCode::Ok: return "ok";
        case ErrorCode::GameOver: return "game over";
        case ErrorCode::NoCurrentPcs: return "no current pcs";
        case ErrorCode::HoldNotUsable: return "can_use=false for hold";
        case ErrorCode::AllOffsetsBlocked: return "all ooffset are blocked";
        case ErrorCode::CellTaken: return "cell position already taken";
        case ErrorCode::OutOfBounds:
            std::snprintf(buf, sizeof buf,
                          "given position out of game bounds (got (x=%d y=%d), max (x=%d y=%d)", a,
                          b, 10, 40);
            return buf;
        case ErrorCode::AlreadyHaveNextPcs: return "already have next pcs";
        case ErrorCode::GameAlreadyOver: return "game already over";
        case ErrorCode::NextPcsOutOfRange:
            std::snprintf(buf, sizeof buf, "next_pcs_idx out of range: %d", a);
            return buf;
        case ErrorCode::DuplicateSliceMismatch: return "duplicate slice mismatch";
        case ErrorCode::FirstSliceMismatch:
            std::snprintf(buf, sizeof buf, "first slice mismatch: got slice %d expected slice 0",
                          a);
            return buf;
        case ErrorCode::BotNameNotFound: return "bot name not found.";
        case ErrorCode::ErrorInGeneratingBoard: return "error in generating board";
    }
    return "unknown error";
}

void internal_failure(const char* message) { throw InternalError(message); }

}  // namespace game
