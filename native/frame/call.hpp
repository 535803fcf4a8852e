// Calling Python: functions, methods and attributes by name, through vectorcall.
#pragma once

#include <cstddef>

#include "frame/error.hpp"

namespace quarl {

// An attribute or method name as an interned str, made on first use and kept for the process.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() {
        if (object_ == nullptr) object_ = check(PyUnicode_InternFromString(text_));
        return object_;
    }
    const char* text() const { return text_; }

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

// callable(*args); each argument is borrowed.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return own(PyObject_Vectorcall(callable, argv + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(*args), the method looked up on `self` now.
template <class... Args>
Ref call_method(PyObject* self, Name& name, Args... args) {
    PyObject* argv[] = {self, args...};
    return own(PyObject_VectorcallMethod(
        name.get(), argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref get_attr(PyObject* object, Name& name) {
    return own(PyObject_GetAttr(object, name.get()));
}

// object.name, or an empty Ref when reading it raised an error that may be discarded.
inline Ref get_attr_or_null(PyObject* object, Name& name) {
    Ref value = Ref::steal(PyObject_GetAttr(object, name.get()));
    if (!value) discard_error();
    return value;
}

// One level of recursion that passes only through native code (a wrapper calling a wrapper
// calling ...), which the interpreter's own checks do not count: past its limit the caller gets
// RecursionError "maximum recursion depth exceeded{where}" instead of a stack overflow.
class RecursionScope {
public:
    explicit RecursionScope(const char* where) {
        if (Py_EnterRecursiveCall(where) != 0) throw_fetched();
    }
    ~RecursionScope() { Py_LeaveRecursiveCall(); }
    RecursionScope(const RecursionScope&) = delete;
    RecursionScope& operator=(const RecursionScope&) = delete;
};

// import name, through the normal import machinery (sys.modules first).
inline Ref import_module(Name& name) { return own(PyImport_Import(name.get())); }

}  // namespace quarl
