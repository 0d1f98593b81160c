#include "convert.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "pyref.h"
#include "rot.hpp"

namespace binding {

using game::tet::BoardMatrix;
using game::tet::CurrentPcsInfo;
using game::tet::GameSeed;
using game::tet::GameState;
using game::tet::HoldPcsInfo;
using game::tet::Seed32;
using game::tet::Tet;
using game::tet::TetAction;

namespace {

constexpr std::size_t MAX_PARAMS = 4;
constexpr const char* OUT_OF_RANGE = "out of range integral type conversion attempted";

// TypeError "'{type name}' object cannot be converted to '{target}'".
int refuse_type(PyObject* o, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'",
                 Py_TYPE(o)->tp_name, target);
    return 0;
}

bool is_keyword(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// Replaces a pending exception of exactly class TypeError by
// TypeError "argument '{name}': {message}"; leaves every other exception as it is.
void prefix_type_error(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(exc.release());
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(exc.get()));
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef owned_type = PyRef::steal(type), exc = PyRef::steal(value), owned_tb = PyRef::steal(tb);
    PyRef text = PyRef::steal(exc ? PyObject_Str(exc.get()) : PyUnicode_FromString(""));
#endif
    if (text) PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

// Binds positional values and (name, value) keyword pairs to `params` with CPython's
// messages, then converts each in declaration order.
int bind_core(const char* fname, std::initializer_list<Param> params, PyObject* const* pos,
              Py_ssize_t npos, PyObject* const* kw_names, PyObject* const* kw_values,
              Py_ssize_t nkw) {
    const auto maxargs = static_cast<Py_ssize_t>(params.size());
    if (params.size() > MAX_PARAMS) {
        PyErr_Format(PyExc_SystemError, "%.200s(): too many parameters to bind", fname);
        return 0;
    }
    if (npos + nkw > maxargs) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zd %sargument%s (%zd given)",
                     fname, maxargs, npos == 0 ? "keyword " : "", maxargs == 1 ? "" : "s",
                     npos + nkw);
        return 0;
    }

    // Step 1. Every parameter takes its positional value or its keyword value.
    PyObject* bound[MAX_PARAMS] = {};
    Py_ssize_t kw_left = nkw;
    Py_ssize_t i = 0;
    for (const Param& p : params) {
        if (i < npos) {
            bound[i] = pos[i];
        } else {
            for (Py_ssize_t k = 0; k < nkw && kw_left > 0; ++k) {
                if (is_keyword(kw_names[k], p.name)) {
                    bound[i] = kw_values[k];
                    --kw_left;
                    break;
                }
            }
            if (!bound[i]) {
                PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zd)",
                             fname, p.name, i + 1);
                return 0;
            }
        }
        ++i;
    }

    // Step 2. With every parameter required, a keyword is left over only when another
    // parameter is missing (reported above); this covers C callers with odd keyword vectors.
    if (kw_left > 0) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!PyUnicode_Check(kw_names[k])) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return 0;
            }
        }
        PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %.200s()",
                     kw_names[0], fname);
        return 0;
    }

    // Step 3. Convert in declaration order; the first failure stops the call.
    i = 0;
    for (const Param& p : params) {
        if (!p.convert(bound[i], p.out)) {
            prefix_type_error(p.name);
            return 0;
        }
        ++i;
    }
    return 1;
}

// The int value of an int or __index__ object as a new reference.
PyObject* as_index(PyObject* o) { return PyLong_CheckExact(o) ? Py_NewRef(o) : PyNumber_Index(o); }

// Converts one item and appends it.
int push_item(ByteSeq& seq, PyObject* item) {
    std::uint8_t b = 0;
    if (!convert_u8(item, &b)) return 0;
    seq.push_back(b);
    return 1;
}

// Appends the items of a list or tuple, reading the length afresh before each item as the
// list iterator does (converting a non-int item runs Python code that may change the list).
int push_items(ByteSeq& seq, PyObject* o) {
    const bool is_list = PyList_CheckExact(o);
    seq.reserve(static_cast<std::size_t>(Py_SIZE(o)));
    // The leading cached ints straight from the item array: no Python code runs meanwhile.
    Py_ssize_t i = static_cast<Py_ssize_t>(
        seq.push_cached(PySequence_Fast_ITEMS(o), static_cast<std::size_t>(Py_SIZE(o))));
    for (; i < Py_SIZE(o); ++i) {
        PyObject* item = is_list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
        if (const int cached = seq.cached_byte(item); cached >= 0) {
            seq.push_back(static_cast<std::uint8_t>(cached));
            continue;
        }
        if (PyLong_CheckExact(item)) {
            // Plain ints in range take the short way; anything else the full conversion.
            int overflow = 0;
            const long x = PyLong_AsLongAndOverflow(item, &overflow);
            if (!overflow && x >= 0 && x <= 255) {
                seq.push_back(static_cast<std::uint8_t>(x));
                continue;
            }
            if (!push_item(seq, item)) return 0;
        } else {
            PyRef held = PyRef::borrow(item);
            if (!push_item(seq, held.get())) return 0;
        }
    }
    return 1;
}

}  // namespace

// ---- Argument binding --------------------------------------------------------------------

int bind_args(const char* fname, std::initializer_list<Param> params, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* names = nkw ? PySequence_Fast_ITEMS(kwnames) : nullptr;
    return bind_core(fname, params, args, nargs, names, args + nargs, nkw);
}

int bind_args(const char* fname, std::initializer_list<Param> params, PyObject* args,
              PyObject* kwargs) {
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> names, values;
    names.reserve(static_cast<std::size_t>(nkw));
    values.reserve(static_cast<std::size_t>(nkw));
    Py_ssize_t it = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (kwargs && PyDict_Next(kwargs, &it, &key, &value)) {
        names.push_back(key);
        values.push_back(value);
    }
    return bind_core(fname, params, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args),
                     names.data(), values.data(), nkw);
}

// ---- Python to engine --------------------------------------------------------------------

int convert_u64(PyObject* o, void* out) {
    PyRef v = PyRef::steal(as_index(o));
    if (!v) return 0;
    const unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return 0;
    *static_cast<std::uint64_t*>(out) = x;
    return 1;
}

int convert_i64(PyObject* o, void* out) {
    PyRef v = PyRef::steal(as_index(o));
    if (!v) return 0;
    const long long x = PyLong_AsLongLong(v.get());
    if (x == -1 && PyErr_Occurred()) return 0;
    *static_cast<std::int64_t*>(out) = x;
    return 1;
}

int convert_u8(PyObject* o, void* out) {
    PyRef v = PyRef::steal(as_index(o));
    if (!v) return 0;
    int overflow = 0;
    const long x = PyLong_AsLongAndOverflow(v.get(), &overflow);
    if (x == -1 && !overflow && PyErr_Occurred()) return 0;
    if (overflow || x < 0 || x > 255) {
        PyErr_SetString(PyExc_OverflowError, OUT_OF_RANGE);
        return 0;
    }
    *static_cast<std::uint8_t*>(out) = static_cast<std::uint8_t>(x);
    return 1;
}

int convert_seed32(PyObject* o, void* out) {
    Seed32& seed = *static_cast<Seed32*>(out);
    constexpr auto N = static_cast<Py_ssize_t>(std::tuple_size_v<Seed32>);
    if (PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) == N) {
        std::memcpy(seed.data(), PyBytes_AS_STRING(o), seed.size());
        return 1;
    }
    if (!PySequence_Check(o)) return refuse_type(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return 0;
    if (n != N) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", N, n);
        return 0;
    }
    for (Py_ssize_t i = 0; i < N; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(o, i));
        if (!item || !convert_u8(item.get(), &seed[static_cast<std::size_t>(i)])) return 0;
    }
    return 1;
}

int convert_str(PyObject* o, void* out) {
    if (!PyUnicode_Check(o)) return refuse_type(o, "PyString");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return 0;
    *static_cast<std::string_view*>(out) = std::string_view(s, static_cast<std::size_t>(n));
    return 1;
}

int convert_game_seed(PyObject* o, void* out) {
    const ModuleState* st = find_state(Py_TYPE(o));
    if (!st || !Py_IS_TYPE(o, st->game_seed_type)) return refuse_type(o, "GameSeedPy");
    *static_cast<GameSeed*>(out) = game_seed_payload(o);
    return 1;
}

int convert_game_state(PyObject* o, void* out) {
    const ModuleState* st = find_state(Py_TYPE(o));
    if (!st || !Py_IS_TYPE(o, st->game_state_type)) return refuse_type(o, "GameStatePy");
    *static_cast<const GameState**>(out) = &game_state_payload(o);
    return 1;
}

void ByteSeq::view(std::span<const std::uint8_t> bytes) {
    data_ = bytes.data();
    size_ = bytes.size();
}

void ByteSeq::reserve(std::size_t n) {
    if (n <= INLINE_CAPACITY || on_heap_ || size_ != 0) return;
    heap_.reserve(std::min(n, MAX_RESERVE));
    on_heap_ = true;
    data_ = heap_.data();
}

std::size_t ByteSeq::push_cached(PyObject* const* items, std::size_t n) {
    if (!st_ || st_->byte_int_shift < 0) return 0;
    const auto base = reinterpret_cast<std::uintptr_t>(st_->byte_int[0]);
    const int shift = st_->byte_int_shift;
    PyObject* const* ints = st_->byte_int;
    std::size_t k = 0;
    auto next = [&](int& v) {
        const std::uintptr_t i = (reinterpret_cast<std::uintptr_t>(items[k]) - base) >> shift;
        v = static_cast<int>(i);
        return i < 256 && ints[i] == items[k];
    };
    int v = 0;
    if (!on_heap_) {
        const std::size_t m = std::min(n, INLINE_CAPACITY - size_);
        std::uint8_t* out = inline_ + size_;
        while (k < m && next(v)) out[k++] = static_cast<std::uint8_t>(v);
        size_ += k;
        if (k < m) return k;
    }
    for (; k < n && next(v); ++k) push_back(static_cast<std::uint8_t>(v));
    return k;
}

void ByteSeq::push_back_slow(std::uint8_t b) {
    if (!on_heap_) {
        heap_.assign(inline_, inline_ + size_);
        on_heap_ = true;
    }
    heap_.push_back(b);
    data_ = heap_.data();
    size_ = heap_.size();
}

int convert_byte_seq(PyObject* o, void* out) {
    ByteSeq& seq = *static_cast<ByteSeq*>(out);
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return 0;
    }
    if (!PySequence_Check(o)) return refuse_type(o, "Sequence");
    // Exact bytes and bytearray iterate to their own bytes; the call holds the object.
    if (PyBytes_CheckExact(o)) {
        seq.view({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(o))});
        return 1;
    }
    if (PyByteArray_CheckExact(o)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(o));
        const auto n = static_cast<std::size_t>(PyByteArray_GET_SIZE(o));
        seq.reserve(n);
        for (std::size_t i = 0; i < n; ++i) seq.push_back(p[i]);
        return 1;
    }
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return push_items(seq, o);

    // Any other sequence: the length is only a hint, the items come from iterating.
    const Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        seq.reserve(static_cast<std::size_t>(hint));
    }
    PyRef it = PyRef::steal(PyObject_GetIter(o));
    if (!it) return 0;
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        if (!push_item(seq, item.get())) return 0;
    }
    return PyErr_Occurred() ? 0 : 1;
}

// ---- Engine to Python --------------------------------------------------------------------

PyObject* kind_to_py(const ModuleState& st, Tet t) {
    const int i = game::tet::index(t);
    if (i < 0 || i >= game::tet::TET_NB) {
        PyErr_Format(PyExc_SystemError, "invalid piece kind %d", i);
        return nullptr;
    }
    return Py_NewRef(st.kind_str[i]);
}

PyObject* action_to_py(const ModuleState& st, TetAction a) {
    const int i = game::tet::index(a);
    if (i < 0 || i >= game::tet::ACTION_NB) {
        PyErr_Format(PyExc_SystemError, "invalid action %d", i);
        return nullptr;
    }
    return Py_NewRef(st.action_str[i]);
}

PyObject* bool_to_py(bool b) { return PyBool_FromLong(b); }

PyObject* int_to_py(long v) { return PyLong_FromLong(v); }

PyObject* str_to_py(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* actions_to_py(const ModuleState& st, std::span<const TetAction> chain) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(chain.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        PyObject* name = action_to_py(st, chain[i]);
        if (!name) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

PyObject* kinds_to_py(const ModuleState& st, std::span<const Tet> kinds) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(kinds.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        PyObject* letter = kind_to_py(st, kinds[i]);
        if (!letter) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), letter);
    }
    return list.release();
}

namespace {
// `n` more references to `o` at once: one at a time, each addition to the same count would
// wait for the one before it. One by one where a count is more than one number: the debug
// build's reference total counts each, and a free-threaded build splits the count by thread.
void add_references(PyObject* o, Py_ssize_t n) {
#if defined(Py_REF_DEBUG) || defined(Py_GIL_DISABLED)
    for (Py_ssize_t k = 0; k < n; ++k) Py_INCREF(o);
#else
    Py_SET_REFCNT(o, Py_REFCNT(o) + n);
#endif
}
}  // namespace

PyObject* bytes_to_py(const ModuleState& st, std::span<const std::uint8_t> bytes) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
    if (!list) return nullptr;
    // Most of a state's bytes are zero, often eight in a row: those take the zero int without a
    // reference each, and its count goes up once at the end.
    PyObject* const zero = st.byte_int[0];
    Py_ssize_t zeros = 0;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if (word == 0) {
            for (std::size_t k = i; k < i + 8; ++k)
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), zero);
            zeros += 8;
            continue;
        }
        for (std::size_t k = i; k < i + 8; ++k) {
            PyObject* v = st.byte_int[bytes[k]];
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), Py_NewRef(v));
        }
    }
    for (; i < bytes.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(st.byte_int[bytes[i]]));
    add_references(zero, zeros);
    return list.release();
}

PyObject* board_to_py(const BoardMatrix& board) {
    constexpr int SHOWN_ROWS = 20;
    PyRef rows = PyRef::steal(PyList_New(SHOWN_ROWS));
    if (!rows) return nullptr;
    Py_ssize_t solid = 0;
    // The cells take True and False without a reference each; both counts go up at the end,
    // also when a row cannot be made (the rows made so far hold their cells).
    int made = 0;
    for (int i = 0; i < SHOWN_ROWS; ++i, ++made) {
        const int y = SHOWN_ROWS - 1 - i;
        PyObject* row = PyList_New(BoardMatrix::COLS);
        if (!row) break;
        for (int x = 0; x < BoardMatrix::COLS; ++x) {
            const bool s = board.solid(y, x);
            solid += s;
            PyList_SET_ITEM(row, x, s ? Py_True : Py_False);
        }
        PyList_SET_ITEM(rows.get(), i, row);
    }
    add_references(Py_True, solid);
    add_references(Py_False, Py_ssize_t{made} * BoardMatrix::COLS - solid);
    if (made < SHOWN_ROWS) return nullptr;
    return rows.release();
}

PyObject* steal_pair(PyObject* first, PyObject* second) {
    PyRef a = PyRef::steal(first), b = PyRef::steal(second);
    if (!a || !b) return nullptr;
    PyObject* t = PyTuple_New(2);
    if (!t) return nullptr;
    PyTuple_SET_ITEM(t, 0, a.release());
    PyTuple_SET_ITEM(t, 1, b.release());
    return t;
}

PyObject* current_pcs_to_py(const ModuleState& st, const std::optional<CurrentPcsInfo>& pcs) {
    // The sentinel for "no falling piece": ("", -666, (-127, -127)).
    PyRef kind = PyRef::steal(pcs ? kind_to_py(st, pcs->tet) : Py_NewRef(st.empty_str));
    if (!kind) return nullptr;
    PyRef rs = PyRef::steal(int_to_py(pcs ? game::rot::index(pcs->rs) : -666));
    PyRef pos = PyRef::steal(
        steal_pair(int_to_py(pcs ? pcs->pos.y : -127), int_to_py(pcs ? pcs->pos.x : -127)));
    if (!rs || !pos) return nullptr;
    PyObject* t = PyTuple_New(3);
    if (!t) return nullptr;
    PyTuple_SET_ITEM(t, 0, kind.release());
    PyTuple_SET_ITEM(t, 1, rs.release());
    PyTuple_SET_ITEM(t, 2, pos.release());
    return t;
}

PyObject* hold_to_py(const ModuleState& st, const std::optional<HoldPcsInfo>& hold) {
    return hold ? kind_to_py(st, hold->tet) : Py_NewRef(Py_None);
}

PyObject* state_to_py(const ModuleState& st, const GameState& s) {
    return new_game_state_object(st.game_state_type, s);
}

PyObject* seed_to_py(const ModuleState& st, const GameSeed& s) {
    return new_game_seed_object(st.game_seed_type, s);
}

PyObject* action_state_pair(const ModuleState& st, TetAction a, const GameState& s) {
    return action_object_pair(st, a, state_to_py(st, s));
}

PyObject* action_object_pair(const ModuleState& st, TetAction a, PyObject* state) {
    PyObject* pair = steal_pair(action_to_py(st, a), state);
    // A tuple of a str and a state can never be part of a reference cycle: untracked now, as
    // the collector would untrack it on its first pass, so that long episodes and replays do
    // not make it walk their pairs.
    if (pair) PyObject_GC_UnTrack(pair);
    return pair;
}

PyObject* chain_names_to_py(const ModuleState& st, int c) {
    return PyList_GetSlice(st.chain_names[c], 0, PY_SSIZE_T_MAX);
}

PyObject* chain_object_pair(const ModuleState& st, int c, PyObject* state) {
    return steal_pair(chain_names_to_py(st, c), state);
}

// ---- Errors ------------------------------------------------------------------------------

PyObject* raise_value_error(std::string_view message) {
    PyRef text = PyRef::steal(str_to_py(message));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyObject* raise_engine_error(const game::Error& e) { return raise_value_error(e.message()); }

PyObject* raise_decode_error(const game::tet::DecodeError& e, std::string_view prefix) {
    std::string text(prefix);
    text += e.display();
    return raise_value_error(text);
}

}  // namespace binding
