// A move-only owner of one strong reference to a Python object.
//
// It replaces the C idiom of one exit label that drops every reference the function took:
//
//     PyObject *list = PyList_New(0);
//     if (list == NULL) goto exit;
//     PyObject *item = PyLong_FromLong(1);
//     if (item == NULL) goto exit;
//     if (PyList_Append(list, item) < 0) goto exit;
//     result = list; list = NULL;
//   exit:
//     Py_XDECREF(item);
//     Py_XDECREF(list);
//     return result;
//
// with scoped owners that drop their reference on every way out, C++ exceptions included:
//
//     PyRef list = PyRef::steal(PyList_New(0));
//     if (!list) return nullptr;
//     PyRef item = PyRef::steal(PyLong_FromLong(1));
//     if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
//     return list.release();
//
// `steal` adopts a new reference (the result of a call returning one), `borrow` takes an
// extra reference to a borrowed one, `release` hands the reference to a stealing call
// (PyList_SET_ITEM, PyTuple_SET_ITEM) or to the caller. Copying is deleted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "hidden.h"

#include <utility>

// Py_NewRef and PyModule_AddObjectRef arrived in 3.10.
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
    Py_XINCREF(o);
    return o;
}
static inline int PyModule_AddObjectRef(PyObject* m, const char* name, PyObject* value) {
    if (PyModule_AddObject(m, name, Py_NewRef(value)) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}
#endif

namespace binding CORVELLE_HIDDEN {

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    // Adopts `p` (a new reference, or null).
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    // Takes one more reference to `p` (borrowed, or null).
    static PyRef borrow(PyObject* p) noexcept { return PyRef(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    // Gives up ownership: the caller now holds the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace binding
