// GameSeedPy: a start timestamp and 32 seed bytes, made only by generate_seed and
// generate_random_seed and passed to the GameStatePy constructor.
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

PyGetSetDef game_seed_getset[] = {
    {.name = "ts", .get = get_ts, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = "seed", .get = get_seed, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = nullptr, .get = nullptr, .set = nullptr, .doc = nullptr, .closure = nullptr},
};

PyType_Slot game_seed_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(game_seed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_seed_dealloc)},
    {Py_tp_getset, game_seed_getset},
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
