// What the two extension modules, corvelle_vim and corvelle._batch, share besides PyRef: the
// flags of their types, the cast that puts a fast-call function into a method table, and the
// guard every entry point runs its body in, so that no C++ exception reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "hidden.h"

#include <exception>
#include <new>
#include <type_traits>

// Every type: final (no Py_TPFLAGS_BASETYPE), no instance dict, no weak references, and
// immutable where the interpreter knows the flag (3.10+).
#ifdef Py_TPFLAGS_IMMUTABLETYPE
#define CORVELLE_TYPE_FLAGS (Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE)
#else
#define CORVELLE_TYPE_FLAGS Py_TPFLAGS_DEFAULT
#endif

// A METH_FASTCALL, METH_NOARGS, METH_O or keyword function as the PyCFunction a PyMethodDef
// stores.
#define CORVELLE_CFUNC(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

namespace binding CORVELLE_HIDDEN {

// Runs an entry point's body, turning every C++ exception into a Python exception: a failed
// allocation into MemoryError, anything else into what `raise_failure(message)` sets, which
// is each module's own choice of exception. R is PyObject* (null on error) or int (-1 on
// error).
template <class R, class Raise, class Body>
R guarded_with(Raise&& raise_failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_failure(e.what());
    } catch (...) {
        raise_failure("unknown C++ exception");
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return -1;
    }
}

}  // namespace binding
