// The module corvelle_vim: its definition and state, the three module functions, the
// creation of the two classes and the internal-error exception, and PyInit_corvelle_vim.
//
// Diagnostics: when the environment variable CORVELLE_VIM_LOG is set at import to anything
// but "" or "0", the engine's log records (target "game::tet") go to Python's
// logging.getLogger("game::tet") at level ERROR, WARNING or INFO. Otherwise none are made.
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert.h"
#include "log.hpp"
#include "module.h"
#include "pyref.h"
#include "random.hpp"
#include "timestamp.hpp"

namespace binding {

namespace {

// The one module object of the process: a second initialisation returns it again.
PyObject* the_module = nullptr;

// ---- Module functions --------------------------------------------------------------------

// sum_as_string(a, b): the decimal text of a + b modulo 2^64.
PyObject* sum_as_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded<PyObject*>(state_of_module(module), [&]() -> PyObject* {
        std::uint64_t a = 0, b = 0;
        if (!bind_args("sum_as_string", {{"a", convert_u64, &a}, {"b", convert_u64, &b}}, args,
                       nargs, kwnames))
            return nullptr;
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, a + b);
        return str_to_py({buf, static_cast<std::size_t>(r.ptr - buf)});
    });
}

// generate_seed(ts, seed): a GameSeedPy holding exactly the given values.
PyObject* generate_seed(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    const ModuleState* st = state_of_module(module);
    return guarded<PyObject*>(st, [&]() -> PyObject* {
        game::tet::GameSeed seed;
        if (!bind_args("generate_seed",
                       {{"ts", convert_i64, &seed.ts}, {"seed", convert_seed32, &seed.seed}}, args,
                       nargs, kwnames))
            return nullptr;
        return seed_to_py(*st, seed);
    });
}

// generate_random_seed(): the clock now, then 32 fresh random bytes.
PyObject* generate_random_seed(PyObject* module, PyObject*) {
    const ModuleState* st = state_of_module(module);
    return guarded<PyObject*>(st, [&]() -> PyObject* {
        game::tet::GameSeed seed;
        seed.ts = game::timestamp::get_timestamp_now_nano();
        seed.seed = game::random::get_random_seed();
        return seed_to_py(*st, seed);
    });
}

PyMethodDef module_methods[] = {
    {.ml_name = "sum_as_string",
     .ml_meth = CORVELLE_CFUNC(sum_as_string),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."},
    {.ml_name = "generate_seed",
     .ml_meth = CORVELLE_CFUNC(generate_seed),
     .ml_flags = METH_FASTCALL | METH_KEYWORDS,
     .ml_doc = "generate_seed(ts, seed)\n--\n\n"
             "A GameSeedPy from a start time `ts` (signed 64-bit, microseconds since the Unix\n"
             "epoch by convention) and 32 seed bytes `seed` (any sequence of 32 ints 0..255),\n"
             "taken as given."},
    {.ml_name = "generate_random_seed",
     .ml_meth = CORVELLE_CFUNC(generate_random_seed),
     .ml_flags = METH_NOARGS,
     .ml_doc = "generate_random_seed()\n--\n\n"
             "A GameSeedPy from the current time (microseconds since the Unix epoch) and 32\n"
             "fresh random bytes."},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

// ---- Diagnostics -------------------------------------------------------------------------

// Keeps the exception pending on entry aside while a log record is forwarded.
class SavedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedError() : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exc_); }

private:
    PyObject* exc_;
#else
    SavedError() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
public:
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
};

// The engine's log sink: logger.log(level, message). Engine work runs with the GIL held, so
// this does too. A failing logging call is reported as unraisable and changes nothing else.
void forward_log_record(game::log::Level level, const char* target,
                        const std::string& message) noexcept {
    if (!the_module) return;
    const ModuleState* st = state_of_module(the_module);
    if (!st || !st->logger || !st->log_name) return;
    SavedError saved;
    PyRef other;
    PyObject* logger = st->logger;
    if (std::strcmp(target, game::log::TET_TARGET) != 0) {
        PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
        if (logging)
            other = PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", target));
        logger = other.get();
    }
    const int py_level = level == game::log::Level::Error  ? 40
                         : level == game::log::Level::Warn ? 30
                                                           : 20;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyRef result;
    PyRef level_int = PyRef::steal(PyLong_FromLong(py_level));
    if (logger && text && level_int)
        result = PyRef::steal(PyObject_CallMethodObjArgs(logger, st->log_name, level_int.get(),
                                                         text.get(), nullptr));
    if (!result) PyErr_WriteUnraisable(logger ? logger : the_module);
}

// Installs the log sink when CORVELLE_VIM_LOG asks for it. A failure to reach Python's
// logging is reported as unraisable; the import goes on without diagnostics.
void setup_logging(ModuleState& st) {
    const char* flag = std::getenv("CORVELLE_VIM_LOG");
    if (!flag || !*flag || std::strcmp(flag, "0") == 0) return;
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (logging)
        st.logger = PyObject_CallMethod(logging.get(), "getLogger", "s", game::log::TET_TARGET);
    if (st.logger) st.log_name = PyUnicode_InternFromString("log");
    if (!st.logger || !st.log_name) {
        Py_CLEAR(st.logger);
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    game::log::set_sink(&forward_log_record);
}

// ---- Module state ------------------------------------------------------------------------

int module_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = state_of_module(m);
    if (!st) return 0;
    Py_VISIT(st->game_state_type);
    Py_VISIT(st->game_seed_type);
    Py_VISIT(st->internal_error);
    Py_VISIT(st->logger);
    return 0;
}

int module_clear(PyObject* m) {
    ModuleState* st = state_of_module(m);
    if (!st) return 0;
    Py_CLEAR(st->game_state_type);
    Py_CLEAR(st->game_seed_type);
    Py_CLEAR(st->internal_error);
    for (PyObject*& s : st->kind_str) Py_CLEAR(s);
    for (PyObject*& s : st->action_str) Py_CLEAR(s);
    Py_CLEAR(st->empty_str);
    for (PyObject*& l : st->chain_names) Py_CLEAR(l);
    for (PyObject*& v : st->byte_int) Py_CLEAR(v);
    Py_CLEAR(st->logger);
    Py_CLEAR(st->log_name);
    return 0;
}

void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

// Creates one of the module's classes and adds it to the module. Its PyType_Spec names the
// class "corvelle_vim.Name", which sets its __module__; the C-level name then drops the
// prefix (it points into the type's own copy of that name), so messages use the bare name.
PyTypeObject* add_type(PyObject* m, PyType_Spec* spec) {
    PyObject* t = PyType_FromModuleAndSpec(m, spec, nullptr);
    if (!t) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(t);
    if (const char* dot = std::strrchr(tp->tp_name, '.')) tp->tp_name = dot + 1;
    if (PyModule_AddType(m, tp) < 0) {
        Py_DECREF(t);
        return nullptr;
    }
    return tp;
}

// Fills the state and adds the classes and __all__ (the functions came with the module).
int init_module_state(PyObject* m, ModuleState& st) {
    // Step 1. Interned result strings.
    for (int i = 0; i < game::tet::TET_NB; ++i) {
        const char letter[2] = {game::tet::letter(game::tet::tet_from_index(i)), '\0'};
        if (!(st.kind_str[i] = PyUnicode_InternFromString(letter))) return -1;
    }
    for (int i = 0; i < game::tet::ACTION_NB; ++i) {
        const char* name = game::tet::name(game::tet::action_from_index(i));
        if (!(st.action_str[i] = PyUnicode_InternFromString(name))) return -1;
    }
    if (!(st.empty_str = PyUnicode_InternFromString(""))) return -1;
    const auto& chains = game::bot::random_choice_bot::all_move_chains();
    for (std::size_t c = 0; c < chains.size(); ++c)
        if (!(st.chain_names[c] = actions_to_py(st, chains[c]))) return -1;
    for (int i = 0; i < 256; ++i)
        if (!(st.byte_int[i] = PyLong_FromLong(i))) return -1;
    const auto base = reinterpret_cast<std::uintptr_t>(st.byte_int[0]);
    const std::uintptr_t stride = reinterpret_cast<std::uintptr_t>(st.byte_int[1]) - base;
    st.byte_int_shift = std::has_single_bit(stride) ? std::countr_zero(stride) : -1;
    for (int i = 0; i < 256 && st.byte_int_shift >= 0; ++i)
        if (reinterpret_cast<std::uintptr_t>(st.byte_int[i]) !=
            base + (static_cast<std::uintptr_t>(i) << st.byte_int_shift))
            st.byte_int_shift = -1;

    // Step 2. The internal-error exception; kept out of the module's namespace.
    st.internal_error = PyErr_NewExceptionWithDoc(
        "corvelle_vim.PanicException",
        "An internal failure of the engine: a broken invariant or a failing system service.",
        PyExc_BaseException, nullptr);
    if (!st.internal_error) return -1;

    // Step 3. The classes, in registration order.
    if (!(st.game_state_type = add_type(m, &game_state_spec))) return -1;
    if (!(st.game_seed_type = add_type(m, &game_seed_spec))) return -1;

    // Step 4. __all__, the members in registration order.
    PyRef all = PyRef::steal(Py_BuildValue("[sssss]", "sum_as_string", "generate_seed",
                                           "generate_random_seed", "GameStatePy", "GameSeedPy"));
    if (!all || PyModule_AddObjectRef(m, "__all__", all.get()) < 0) return -1;

    setup_logging(st);
    return 0;
}

PyObject* init_module() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "corvelle_vim: sub-interpreters are not supported; import the module "
                        "in the main interpreter only");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);
    PyRef m = PyRef::steal(PyModule_Create(&module_def));
    if (!m || init_module_state(m.get(), *state_of_module(m.get())) < 0) return nullptr;
    the_module = Py_NewRef(m.get());
    return m.release();
}

}  // namespace

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "corvelle_vim",
    .m_doc = "A Python module implemented in C++.",
    .m_size = sizeof(ModuleState),
    .m_methods = module_methods,
    .m_slots = nullptr,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

ModuleState* find_state(PyTypeObject* tp) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* m = PyType_GetModuleByDef(tp, &module_def);
#else
    PyObject* m = PyType_GetModule(tp);
    if (m && PyModule_GetDef(m) != &module_def) m = nullptr;
#endif
    if (!m) {
        PyErr_Clear();
        return nullptr;
    }
    return state_of_module(m);
}

ModuleState* find_module_state() {
    PyObject* m = PyState_FindModule(&module_def);
    return m ? state_of_module(m) : nullptr;
}

void raise_internal_error(const ModuleState* st, const char* message) {
    PyErr_SetString(st && st->internal_error ? st->internal_error : PyExc_SystemError, message);
}

}  // namespace binding

PyMODINIT_FUNC PyInit_corvelle_vim(void) {
    return binding::guarded<PyObject*>(nullptr, [] { return binding::init_module(); });
}
