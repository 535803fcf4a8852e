// How failures travel through the module's C++ code.
//
// A Python exception is carried by PyError, which owns the raised exception object. Anything else
// that is thrown (Fault, std::bad_alloc, ...) is an internal fault; the call boundary turns it into
// PanicException.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "frame/ref.hpp"

namespace quarl {

class PyError {
public:
    explicit PyError(Ref exception) noexcept : exception_(std::move(exception)) {}

    // Takes the pending Python exception. With none pending, the error is the SystemError
    // "attempted to fetch exception but none was set". A PanicException raised by a nested call
    // into this module is not passed on as a Python error: the fault resumes (a ResumedPanic is
    // thrown).
    static PyError fetch();

    PyObject* value() const noexcept { return exception_.get(); }
    bool is_instance_of(PyObject* type) const noexcept;
    // Makes the exception the current one again (PyErr_SetRaisedException).
    void restore() && noexcept { PyErr_SetRaisedException(exception_.release()); }

private:
    Ref exception_;
};

// An internal fault: a broken invariant of the module itself, never a user error.
class Fault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A fault resumed from a PanicException that came back out of Python code this module called.
// It keeps that exception: the call boundary shows it on standard error before raising a new
// PanicException with the same message, and a caller that records failures takes it as it is.
class ResumedPanic : public Fault {
public:
    ResumedPanic(const std::string& message, Ref exception)
        : Fault(message), exception_(std::move(exception)) {}
    // The notice that the fault resumes, then the PanicException with its traceback.
    void report() noexcept;
    Ref take_exception() noexcept { return std::move(exception_); }

private:
    Ref exception_;
};

// Sets the Python exception for the C++ exception being handled, as the call boundary raises it;
// call it only inside a catch block. A PyError is restored as it is, a ResumedPanic is shown on
// standard error and becomes a new PanicException with its message, std::bad_alloc becomes
// MemoryError, and any other fault a PanicException.
void set_current_error() noexcept;

// The same, taken as a PyError instead of set, except that a ResumedPanic gives the
// PanicException it came from: a caller that records failures records that one.
PyError current_error() noexcept;

[[noreturn]] void throw_fetched();

// Checks the result of a C API call that signals failure by NULL or a negative number.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw_fetched();
    return result;
}
inline int check(int result) {
    if (result < 0) throw_fetched();
    return result;
}
template <class T>
T* check_ptr(T* result) {
    if (result == nullptr) throw_fetched();
    return result;
}
inline Py_ssize_t check_size(Py_ssize_t result) {
    if (result < 0) throw_fetched();
    return result;
}
// A new reference from the C API, checked and owned.
inline Ref own(PyObject* result) { return Ref::steal(check(result)); }

// Where a failed step only means "not available here" (a marker that cannot be read, a module
// that cannot be imported), its error is dropped, but only an ordinary one (an Exception):
// KeyboardInterrupt, SystemExit and the like ask the process to stop and still end the call.
bool may_discard(const PyError& error) noexcept;
// Takes the pending error and drops it, or rethrows it when it may not be dropped.
void discard_error();

// Writes all of `text` to file descriptor 2, past the interpreter's sys.stderr; 0 on success,
// otherwise the errno of the failed write.
int write_to_fd2(std::string_view text) noexcept;

// Raises `type` with `message` (UTF-8, surrogates allowed) the way a raise statement would.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Raises PanicException for a fault at the call boundary; leaves the exception set.
void raise_panic(const char* message) noexcept;
// The PanicException type, created on first need and kept for the life of the process.
PyObject* panic_exception_type();
// What the boundary does when even fault handling fails.
[[noreturn]] void abort_uncaught() noexcept;

}  // namespace quarl
