#include "frame/heap_type.hpp"

#include "frame/text.hpp"

namespace quarl {

PyTypeObject* HeapType::get() {
    if (type_ == nullptr) {
        Ref type = own(PyType_FromSpec(&spec_));
        if (finish_ != nullptr) finish_(reinterpret_cast<PyTypeObject*>(type.get()));
        type_ = reinterpret_cast<PyTypeObject*>(type.release());
    }
    return type_;
}

PyTypeObject* HeapType::require() {
    try {
        return get();
    } catch (PyError& error) {
        // Keep CPython's reason visible; the caller gets the fault.
        std::move(error).restore();
        PyErr_WriteUnraisable(nullptr);
        throw Fault(str_cat("failed to create type object for ", name_));
    }
}

bool HeapType::has_instance(PyObject* object) { return PyObject_TypeCheck(object, require()) != 0; }

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return guard([type]() -> Ref {
        Ref name = Ref::steal(PyType_GetName(type));
        if (!name) PyErr_Clear();
        std::string text = name ? surrogate_text(name.get()) : "<unknown>";
        raise(PyExc_TypeError, str_cat("No constructor defined for ", text));
    });
}

}  // namespace quarl
