#include "frame/error.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "frame/text.hpp"

namespace quarl {
namespace {

constexpr const char panic_doc[] =
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

constexpr const char fault_without_message[] = "native code faulted without a message";

// Set once, on first need, and kept for the life of the process.
PyObject* panic_type = nullptr;

// A PanicException came back out of Python code that this module called: the fault that raised
// it resumes here.
[[noreturn]] void resume_panic(Ref exception) {
    std::string message = "Unwrapped panic from Python code";
    if (Ref text = Ref::steal(PyObject_Str(exception.get()))) {
        message = surrogate_text(text.get());
    } else {
        PyErr_Clear();
    }
    throw ResumedPanic(message, std::move(exception));
}

}  // namespace

PyError PyError::fetch() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exception = Ref::steal(PyErr_GetRaisedException());
    }
    if (panic_type != nullptr && PyObject_TypeCheck(exception.get(), (PyTypeObject*)panic_type)) {
        resume_panic(std::move(exception));
    }
    return PyError(std::move(exception));
}

bool PyError::is_instance_of(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
}

void ResumedPanic::report() noexcept {
    PySys_WriteStderr("quarl: resuming a fault after fetching a PanicException from Python\n");
    PySys_WriteStderr("Python stack trace below:\n");
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        PyErr_PrintEx(0);
    }
}

void set_current_error() noexcept {
    try {
        throw;
    } catch (PyError& error) {
        std::move(error).restore();
    } catch (ResumedPanic& panic) {
        panic.report();
        raise_panic(panic.what());
    } catch (const std::bad_alloc&) {
        // What Python raises when it runs out of memory itself.
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(nullptr);
    }
}

PyError current_error() noexcept {
    try {
        throw;
    } catch (ResumedPanic& panic) {
        if (Ref exception = panic.take_exception()) return PyError(std::move(exception));
        raise_panic(panic.what());
    } catch (...) {
        set_current_error();
    }
    // Taken as it is: fetch() would resume the PanicException just raised.
    return PyError(Ref::steal(PyErr_GetRaisedException()));
}

int write_to_fd2(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(2, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : EIO;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

bool may_discard(const PyError& error) noexcept { return error.is_instance_of(PyExc_Exception); }

void discard_error() {
    PyError error = PyError::fetch();
    if (!may_discard(error)) throw std::move(error);
}

void throw_fetched() { throw PyError::fetch(); }

void raise(PyObject* type, std::string_view message) {
    Ref text = make_text(message);
    PyErr_SetObject(type, text.get());
    throw_fetched();
}

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = check(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                     PyExc_BaseException, nullptr));
    }
    return panic_type;
}

void raise_panic(const char* message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        Ref text = make_text(message != nullptr && *message ? message : fault_without_message);
        PyErr_SetObject(type, text.get());
    } catch (PyError& error) {
        // The PanicException itself could not be made: report what stopped it instead.
        std::move(error).restore();
    } catch (...) {
        abort_uncaught();
    }
}

void abort_uncaught() noexcept {
    write_to_fd2("uncaught panic at ffi boundary\n");
    std::abort();
}

}  // namespace quarl
