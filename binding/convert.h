// Every conversion between Python objects and engine values, both ways, and the binding of
// call arguments to parameters.
//
// Python-to-engine converters have the `O&` shape: `int convert_x(PyObject* o, void* out)`
// stores the value through `out` and returns 1, or returns 0 with an exception set. Their
// messages are the bare conversion text; `bind_args` puts "argument '{name}': " in front of
// TypeErrors and leaves other classes (OverflowError, ValueError) as they are.
//
// Engine-to-Python conversions return a new reference, or null with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "bot/bot.hpp"
#include "error.hpp"
#include "module.h"
#include "tet/board.hpp"
#include "tet/codec.hpp"
#include "tet/records.hpp"
#include "tet/state.hpp"

namespace binding CORVELLE_HIDDEN {

using Converter = int (*)(PyObject*, void*);

// ---- Argument binding --------------------------------------------------------------------

// One declared parameter: positional or keyword, required.
struct Param {
    const char* name;
    Converter convert;
    void* out;
};

// Binds a vectorcall argument vector (`nargs` positional values, then one value per name in
// `kwnames`) to `params`, then converts each argument in declaration order. Binding errors
// read like CPython's ("f() missing required argument 'b' (pos 2)"); `fname` names the
// callable ("sum_as_string", "GameStatePy.bot_moves_raw"). Returns 1, or 0 with an exception.
int bind_args(const char* fname, std::initializer_list<Param> params, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames);
// The same for a tuple and an optional keyword dict (tp_new).
int bind_args(const char* fname, std::initializer_list<Param> params, PyObject* args,
              PyObject* kwargs);

// ---- Python to engine --------------------------------------------------------------------

// int or __index__ object in 0 .. 2^64 - 1. Out: std::uint64_t.
int convert_u64(PyObject* o, void* out);
// int or __index__ object in -2^63 .. 2^63 - 1. Out: std::int64_t.
int convert_i64(PyObject* o, void* out);
// int or __index__ object in 0 .. 255. Out: std::uint8_t.
int convert_u8(PyObject* o, void* out);
// A sequence of exactly 32 ints 0 .. 255, read by index. Out: game::tet::Seed32.
int convert_seed32(PyObject* o, void* out);
// A str (not bytes). Out: std::string_view into the str's UTF-8 form, valid while it lives.
int convert_str(PyObject* o, void* out);
// A GameSeedPy. Out: game::tet::GameSeed.
int convert_game_seed(PyObject* o, void* out);
// A GameStatePy. Out: const game::tet::GameState* into the object.
int convert_game_state(PyObject* o, void* out);

// Bytes taken from a sequence of ints: a view of a bytes object's buffer, or a copy held in
// an inline buffer that moves to the heap past its capacity.
class ByteSeq {
public:
    // With the module state, plain byte ints are recognised by their address.
    explicit ByteSeq(const ModuleState* st = nullptr) : st_(st) {}
    ByteSeq(const ByteSeq&) = delete;
    ByteSeq& operator=(const ByteSeq&) = delete;

    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

    // Refers to bytes owned elsewhere (an immutable bytes object the call holds).
    void view(std::span<const std::uint8_t> bytes);
    // A size hint: reserves room for up to `n` bytes (capped, since hints can lie).
    void reserve(std::size_t n);
    void push_back(std::uint8_t b) {
        if (!on_heap_ && size_ < INLINE_CAPACITY) {
            inline_[size_++] = b;
            return;
        }
        push_back_slow(b);
    }
    // Appends the values of the leading items that are cached ints 0..255 and returns how
    // many there were (0 without the module state).
    std::size_t push_cached(PyObject* const* items, std::size_t n);
    // The value of `item` when it is one of the cached ints 0..255, else -1.
    int cached_byte(PyObject* item) const {
        if (!st_ || st_->byte_int_shift < 0) return -1;
        const auto d = reinterpret_cast<std::uintptr_t>(item) -
                       reinterpret_cast<std::uintptr_t>(st_->byte_int[0]);
        const std::uintptr_t i = d >> st_->byte_int_shift;
        return i < 256 && st_->byte_int[i] == item ? static_cast<int>(i) : -1;
    }

private:
    void push_back_slow(std::uint8_t b);

    const ModuleState* st_ = nullptr;
    static constexpr std::size_t INLINE_CAPACITY = 512;
    static constexpr std::size_t MAX_RESERVE = std::size_t{1} << 16;

    std::uint8_t inline_[INLINE_CAPACITY];
    std::vector<std::uint8_t> heap_;
    const std::uint8_t* data_ = inline_;
    std::size_t size_ = 0;
    bool on_heap_ = false;
};

// A byte sequence argument (str refused, then any sequence, items read by iterating and
// converted like convert_u8). Out: ByteSeq.
int convert_byte_seq(PyObject* o, void* out);

// ---- Engine to Python --------------------------------------------------------------------

// Interned one-letter str of the kind: "I", "L", "J", "T", "S", "Z", "O".
PyObject* kind_to_py(const ModuleState& st, game::tet::Tet t);
// Interned str of the action's name.
PyObject* action_to_py(const ModuleState& st, game::tet::TetAction a);
PyObject* bool_to_py(bool b);
PyObject* int_to_py(long v);
PyObject* str_to_py(std::string_view s);
// A new list of the actions' names.
PyObject* actions_to_py(const ModuleState& st, std::span<const game::tet::TetAction> chain);
// A new list of the kinds' letters.
PyObject* kinds_to_py(const ModuleState& st, std::span<const game::tet::Tet> kinds);
// A new list of ints 0 .. 255.
PyObject* bytes_to_py(const ModuleState& st, std::span<const std::uint8_t> bytes);
// Board rows 19 down to 0 as 20 lists of 10 bools, True for solid cells.
PyObject* board_to_py(const game::tet::BoardMatrix& board);
// (letter, rotation index, (row, column)), or ("", -666, (-127, -127)) for no piece.
PyObject* current_pcs_to_py(const ModuleState& st,
                            const std::optional<game::tet::CurrentPcsInfo>& pcs);
// The held kind's letter, or None.
PyObject* hold_to_py(const ModuleState& st, const std::optional<game::tet::HoldPcsInfo>& hold);
// A new GameStatePy / GameSeedPy holding a copy of the value.
PyObject* state_to_py(const ModuleState& st, const game::tet::GameState& s);
PyObject* seed_to_py(const ModuleState& st, const game::tet::GameSeed& s);
// A 2-tuple that steals both items; null (dropping the other) if either is null.
PyObject* steal_pair(PyObject* first, PyObject* second);
// (name, GameStatePy).
PyObject* action_state_pair(const ModuleState& st, game::tet::TetAction a,
                            const game::tet::GameState& s);
// (name, state object): steals the object (null when it is null).
PyObject* action_object_pair(const ModuleState& st, game::tet::TetAction a, PyObject* state);
// A new list of the names of chain `c` of the move-chain list.
PyObject* chain_names_to_py(const ModuleState& st, int c);
// (names of chain `c` of the move-chain list, state object): steals the object (null when
// it is null).
PyObject* chain_object_pair(const ModuleState& st, int c, PyObject* state);

// ---- Errors ------------------------------------------------------------------------------

// An engine error as ValueError with its message unchanged; returns null.
PyObject* raise_engine_error(const game::Error& e);
// A decoding error as ValueError "{prefix}{display text}"; returns null.
PyObject* raise_decode_error(const game::tet::DecodeError& e, std::string_view prefix = {});
// ValueError with the given text; returns null.
PyObject* raise_value_error(std::string_view message);

}  // namespace binding
