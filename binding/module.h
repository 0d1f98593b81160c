// Declarations shared by the binding's files: the module state, how entry points find it,
// the guard every entry point runs its body in, and what each class file exports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

#include "bot/random_choice_bot.hpp"
#include "native_common.h"
#include "tet/records.hpp"
#include "tet/state.hpp"

namespace binding CORVELLE_HIDDEN {

// Everything the module owns. It lives in the module object's state block (never in C
// statics); entry points reach it through their class or module object.
struct ModuleState {
    PyTypeObject* game_state_type;
    PyTypeObject* game_seed_type;
    // Internal engine failures: derives from BaseException, not a module attribute.
    PyObject* internal_error;
    // Interned results: kind letters by kind index, action names by action index, "".
    PyObject* kind_str[game::tet::TET_NB];
    PyObject* action_str[game::tet::ACTION_NB];
    PyObject* empty_str;
    // The name list of each chain of the move-chain list, never handed out: callers get
    // slices of them, whose item arrays are not zeroed first as a new list's are.
    PyObject* chain_names[game::bot::random_choice_bot::CHAIN_NB];
    // The ints 0..255. The interpreter keeps these as cached singletons laid out at a fixed
    // power-of-two stride, which lets a byte value be read from an int object's address
    // (byte_int_shift is -1 where that layout does not hold).
    PyObject* byte_int[256];
    int byte_int_shift;
    // logging.getLogger("game::tet") when diagnostics are forwarded, else null, and the
    // interned name of its method "log".
    PyObject* logger;
    PyObject* log_name;
};

extern PyModuleDef module_def;

// The state of the module that created `tp`, which must be one of this module's types.
inline ModuleState* state_of_type(PyTypeObject* tp) {
    return static_cast<ModuleState*>(PyType_GetModuleState(tp));
}
inline ModuleState* state_of_module(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}
// The state of this module if `tp` is one of its types (or derives from one), else null;
// never leaves an exception set.
ModuleState* find_state(PyTypeObject* tp);
// The state of the module object of the current interpreter (PyState_FindModule), else null.
ModuleState* find_module_state();

// Sets the internal-error exception (or SystemError when the module is unknown).
void raise_internal_error(const ModuleState* st, const char* message);

// Runs an entry point's body (see guarded_with); a C++ failure other than a failed
// allocation raises the module's internal-error exception.
template <class R, class Body>
R guarded(const ModuleState* st, Body&& body) noexcept {
    return guarded_with<R>([st](const char* message) { raise_internal_error(st, message); },
                           std::forward<Body>(body));
}

// game_state.cpp: the GameStatePy type.
extern PyType_Spec game_state_spec;
// A new GameStatePy of type `tp` holding a copy of `s`.
PyObject* new_game_state_object(PyTypeObject* tp, const game::tet::GameState& s);
// A new GameStatePy of type `tp` whose state is still to be built: the caller places a
// GameState at game_state_payload_mut before handing the object on (dropping it unbuilt is
// safe, the state is never read on the way out).
PyObject* new_unbuilt_game_state_object(PyTypeObject* tp);
// The state held by a GameStatePy (the caller has checked the type).
const game::tet::GameState& game_state_payload(PyObject* o);
// The same, for filling in an object that has not been handed to Python yet.
game::tet::GameState& game_state_payload_mut(PyObject* o);

// game_seed.cpp: the GameSeedPy type.
extern PyType_Spec game_seed_spec;
PyObject* new_game_seed_object(PyTypeObject* tp, const game::tet::GameSeed& s);
const game::tet::GameSeed& game_seed_payload(PyObject* o);

}  // namespace binding
