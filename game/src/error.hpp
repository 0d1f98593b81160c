// Error values and internal failures shared by the whole engine.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace game {

// What went wrong in an engine operation. Every code has one fixed message; a few carry
// numbers, kept in the error and formatted only when the message is asked for, so that a
// failing action allocates nothing.
enum class ErrorCode : std::uint8_t {
    Ok,
    GameOver,               // "game over"
    NoCurrentPcs,           // "no current pcs"
    HoldNotUsable,          // "can_use=false for hold"
    AllOffsetsBlocked,      // "all ooffset are blocked"
    CellTaken,              // "cell position already taken"
    OutOfBounds,            // "given position out of game bounds (got (x={a} y={b}), max (x=10 y=40)"
    AlreadyHaveNextPcs,     // "already have next pcs"
    GameAlreadyOver,        // "game already over"
    NextPcsOutOfRange,      // "next_pcs_idx out of range: {a}"
    DuplicateSliceMismatch, // "duplicate slice mismatch"
    FirstSliceMismatch,     // "first slice mismatch: got slice {a} expected slice 0"
    BotNameNotFound,        // "bot name not found."
    ErrorInGeneratingBoard, // "error in generating board"
};

// The failure side of an engine operation: a code and up to two numbers for its message (the
// second is only ever a row). Eight bytes, so that GCC returns it in one register: a wider
// error is assembled on the stack and read back from there.
struct [[nodiscard]] Error {
    ErrorCode code = ErrorCode::Ok;
    std::int16_t b = 0;
    std::int32_t a = 0;

    constexpr bool ok() const { return code == ErrorCode::Ok; }
    constexpr bool failed() const { return code != ErrorCode::Ok; }
    constexpr bool operator==(const Error&) const = default;

    // The message text, exactly as callers show it.
    std::string message() const;
};

constexpr Error ok() { return {}; }
constexpr Error fail(ErrorCode code, std::int32_t a = 0, std::int16_t b = 0) {
    return Error{code, b, a};
}
static_assert(sizeof(Error) == 8);

// A value or an error. `value` is meaningful only when `error.ok()`. The constructors keep
// GCC from clearing the whole object before it initializes a braced one member by member,
// which for a Result<GameState> is a second pass over four hundred bytes.
template <class T>
struct [[nodiscard]] Result {
    T value{};
    Error error{};

    constexpr Result() = default;
    constexpr Result(const T& v, Error e) : value(v), error(e) {}
    constexpr Result(T&& v, Error e) : value(std::move(v)), error(e) {}

    constexpr bool ok() const { return error.ok(); }
    constexpr bool failed() const { return error.failed(); }
};

// Raised for broken invariants that the engine's own states never reach ("cannot happen"
// stops). The text is a fixed message; the Python layer turns it into its own exception.
class InternalError : public std::exception {
public:
    explicit InternalError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void internal_failure(const char* message);

}  // namespace game
