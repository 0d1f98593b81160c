// GameSeedPy: a start timestamp and 32 seed bytes, made only by generate_seed and
// generate_random_seed and passed to the GameStatePy constructor.
#include <cstdint>
#include <new>
#include <type_traits>

#include "convert.h"
#include "module.h"
#include "pyref.h"

namespace binding {

using game::tet::GameSeed;

namespace {

struct GameSeedObject {
    PyObject_HEAD
    GameSeed seed;
};
static_assert(std::is_trivially_destructible_v<GameSeed>);

// Runs a getter body on the seed held by `self`.
template <class Body>
PyObject* with_seed(PyObject* self, Body&& body) {
    GameSeed seed;
    if (!convert_game_seed(self, &seed)) return nullptr;
    const ModuleState* st = state_of_type(Py_TYPE(self));
    return guarded<PyObject*>(st, [&] { return body(*st, seed); });
}

// Refuses construction from Python: seeds come from the module functions.
PyObject* game_seed_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// Frees the object and drops the reference every heap-type instance holds to its type.
void game_seed_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

// ts: the stored signed 64-bit timestamp.
PyObject* get_ts(PyObject* self, void*) {
    return with_seed(self, [](const ModuleState&, const GameSeed& s) {
        return PyLong_FromLongLong(s.ts);
    });
}

// seed: a new list of the 32 seed bytes.
PyObject* get_seed(PyObject* self, void*) {
    return with_seed(self, [](const ModuleState& st, const GameSeed& s) {
        return bytes_to_py(st, s.seed);
    });
}

// __reduce__(): rebuilt by corvelle_vim.generate_seed(ts, seed bytes), so pickling and
// copying keep both values.
PyObject* seed_reduce(PyObject* self, PyObject*) {
    GameSeed seed;
    if (!convert_game_seed(self, &seed)) return nullptr;
    PyObject* module = PyState_FindModule(&module_def);  // borrowed
    if (!module) {
        PyErr_SetString(PyExc_SystemError, "corvelle_vim is not initialised in this interpreter");
        return nullptr;
    }
    PyRef make = PyRef::steal(PyObject_GetAttrString(module, "generate_seed"));
    if (!make) return nullptr;
    return Py_BuildValue("(O(Ly#))", make.get(), static_cast<long long>(seed.ts),
                         reinterpret_cast<const char*>(seed.seed.data()),
                         static_cast<Py_ssize_t>(seed.seed.size()));
}

// == and != by timestamp and seed bytes.
PyObject* seed_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self))
        Py_RETURN_NOTIMPLEMENTED;
    const GameSeed& a = game_seed_payload(self);
    const GameSeed& b = game_seed_payload(other);
    const bool equal = a.ts == b.ts && a.seed == b.seed;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

// hash((ts, seed bytes)), consistent with ==.
Py_hash_t seed_hash(PyObject* self) {
    const GameSeed& s = game_seed_payload(self);
    PyRef key = PyRef::steal(Py_BuildValue("(Ly#)", static_cast<long long>(s.ts),
                                           reinterpret_cast<const char*>(s.seed.data()),
                                           static_cast<Py_ssize_t>(s.seed.size())));
    return key ? PyObject_Hash(key.get()) : -1;
}

// GameSeedPy(ts=5, seed='000102...1f'): the seed bytes in hex.
PyObject* seed_repr(PyObject* self) {
    const GameSeed& s = game_seed_payload(self);
    static constexpr char HEX[] = "0123456789abcdef";
    char hex[2 * 32 + 1];
    std::size_t n = 0;
    for (std::uint8_t b : s.seed) {
        hex[n++] = HEX[b >> 4];
        hex[n++] = HEX[b & 15];
    }
    hex[n] = 0;
    return PyUnicode_FromFormat("GameSeedPy(ts=%lld, seed='%s')", static_cast<long long>(s.ts), hex);
}

PyMethodDef game_seed_methods[] = {
    {.ml_name = "__reduce__",
     .ml_meth = CORVELLE_CFUNC(seed_reduce),
     .ml_flags = METH_NOARGS,
     .ml_doc = "__reduce__($self)\n--\n\nPickles and copies as generate_seed(ts, seed)."},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

PyGetSetDef game_seed_getset[] = {
    {.name = "ts",
     .get = get_ts,
     .set = nullptr,
     .doc = "The start time: a signed 64-bit integer.",
     .closure = nullptr},
    {.name = "seed",
     .get = get_seed,
     .set = nullptr,
     .doc = "The 32 seed bytes, as a new list of ints on every access.",
     .closure = nullptr},
    {.name = nullptr, .get = nullptr, .set = nullptr, .doc = nullptr, .closure = nullptr},
};

// What the class is (no text signature: it has no constructor).
constexpr char GAME_SEED_DOC[] =
    "A game's seed record: a start time and 32 seed bytes. Made only by generate_seed\n"
    "and generate_random_seed; compares, hashes and pickles by both values.";

PyType_Slot game_seed_slots[] = {
    {Py_tp_doc, const_cast<char*>(GAME_SEED_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(game_seed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_seed_dealloc)},
    {Py_tp_getset, game_seed_getset},
    {Py_tp_methods, game_seed_methods},
    {Py_tp_richcompare, reinterpret_cast<void*>(seed_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(seed_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(seed_repr)},
    {0, nullptr},
};

}  // namespace

PyType_Spec game_seed_spec = {
    .name = "corvelle_vim.GameSeedPy",
    .basicsize = static_cast<int>(sizeof(GameSeedObject)),
    .itemsize = 0,
    .flags = CORVELLE_TYPE_FLAGS,
    .slots = game_seed_slots,
};

PyObject* new_game_seed_object(PyTypeObject* tp, const GameSeed& s) {
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    new (&reinterpret_cast<GameSeedObject*>(o)->seed) GameSeed(s);
    return o;
}

const GameSeed& game_seed_payload(PyObject* o) {
    return reinterpret_cast<const GameSeedObject*>(o)->seed;
}

}  // namespace binding
