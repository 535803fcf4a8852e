// The module's classes: heap types made from a PyType_Spec on first need and kept for the life
// of the process. An instance is a PyObject header followed by one immutable C++ value.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "frame/convert.hpp"
#include "frame/guard.hpp"

namespace quarl {

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
};

class HeapType {
public:
    // `finish`, if given, completes a newly created type before it is first used.
    constexpr HeapType(const char* name, PyType_Spec& spec, void (*finish)(PyTypeObject*) = nullptr)
        : name_(name), spec_(spec), finish_(finish) {}

    const char* name() const { return name_; }
    // The type object, created now if this is the first need; a failure to create it is the
    // Python exception that CPython raised.
    PyTypeObject* get();
    // The same, where a failure can only mean a broken module: an internal fault.
    PyTypeObject* require();
    // Whether `object` is an instance (a subclass would count; the module's classes have none).
    bool has_instance(PyObject* object);

private:
    const char* name_;
    PyType_Spec& spec_;
    void (*finish_)(PyTypeObject*);
    PyTypeObject* type_ = nullptr;  // set once, never released
};

// Allocates an instance of `type` and moves `value` into it.
template <class T>
Ref new_instance(PyTypeObject* type, T&& value) {
    static_assert(std::is_nothrow_move_constructible_v<std::decay_t<T>>);
    PyObject* self = check(PyType_GenericAlloc(type, 0));
    ::new (static_cast<void*>(&reinterpret_cast<Instance<std::decay_t<T>>*>(self)->value))
        std::decay_t<T>(std::forward<T>(value));
    return Ref::steal(self);
}

template <class T>
const T& value_of(PyObject* self) {
    return reinterpret_cast<Instance<T>*>(self)->value;
}

// The C++ value of `self` after checking that it is an instance of `type`: "'{}' object cannot be
// converted to '{name}'" otherwise.
template <class T>
const T& checked_value_of(PyObject* self, HeapType& type) {
    if (!type.has_instance(self)) raise_cannot_convert(self, type.name());
    return value_of<T>(self);
}

// tp_dealloc: destroys the C++ value, frees the memory and drops the instance's reference to
// its heap type.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
    guard_unraisable(self, [self] {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&reinterpret_cast<Instance<T>*>(self)->value);
        auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free(self);
        Py_DECREF(type);
    });
}

// One slot of a PyType_Spec.
template <class Function>
PyType_Slot slot(int id, Function* function) {
    return {id, reinterpret_cast<void*>(function)};
}
inline PyType_Slot slot(int id, const char* text) { return {id, const_cast<char*>(text)}; }
inline PyType_Slot slot(int id, void* data) { return {id, data}; }

// tp_new of a class that Python code cannot construct.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace quarl
