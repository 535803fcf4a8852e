// The call boundary: every function that CPython calls is a thin noexcept trampoline around
// guard(), which runs an ordinary C++ body that returns a Ref or throws.
#pragma once

#include <utility>

#include "frame/error.hpp"

namespace quarl {

// Runs `body`; returns its new reference, or NULL with the Python exception set. A PyError is
// restored as it is, std::bad_alloc becomes MemoryError, and any other C++ exception becomes
// PanicException. Should even that handling throw, the process aborts with "uncaught panic at ffi
// boundary" rather than unwind into CPython.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        try {
            return std::forward<Body>(body)().release();
        } catch (...) {
            set_current_error();
        }
    } catch (...) {
        abort_uncaught();
    }
    return nullptr;
}

// The boundary for destructors, which cannot report an error: a fault while destroying `self`
// is reported as an unraisable PanicException with the object as context.
template <class Body>
void guard_unraisable(PyObject* self, Body&& body) noexcept {
    try {
        try {
            std::forward<Body>(body)();
            return;
        } catch (...) {
            set_current_error();
        }
        PyErr_WriteUnraisable(self);
    } catch (...) {
        abort_uncaught();
    }
}

// The arguments of a METH_FASTCALL | METH_KEYWORDS call (or of a vectorcall): `nargs`
// positional values, followed by one value for each name in `kwnames` (a tuple, or NULL).
struct FastArgs {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

using FastBody = Ref (*)(PyObject* self, const FastArgs& call);

// Entry for a module function: METH_FASTCALL | METH_KEYWORDS.
template <FastBody Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guard([&] { return Body(self, FastArgs{args, nargs, kwnames}); });
}

// The method-table entry of a module function whose body is `Body`.
template <FastBody Body>
PyMethodDef fastcall_method(const char* name, const char* doc) {
    return {name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace quarl
