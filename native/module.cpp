// PyInit__quarl: builds the module once per process and registers its classes and functions.
#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "declare/asset.hpp"
#include "declare/asset_wrapper.hpp"
#include "declare/partitions.hpp"
#include "frame/guard.hpp"
#include "frame/text.hpp"
#include "inspect/inspect_modules.hpp"
#include "materialize/materialize_asset.hpp"

namespace quarl {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quarl",
    "The native `_quarl` module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; the module's state is not per-interpreter.
std::atomic<std::int64_t> owner_interpreter{-1};
// The built module, kept for the life of the process: a later init returns the same object.
PyObject* cached_module = nullptr;

// Stores `value` as the attribute `name` and appends the name to __all__.
void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all = own(PyList_New(0));
        check(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    check(PyList_Append(all.get(), name));
    check(PyObject_SetAttr(module, name, value));
}

void add_class(PyObject* module, HeapType& type) {
    auto* type_object = reinterpret_cast<PyObject*>(type.get());
    Ref name = own(PyType_GetName(type.get()));
    add_to_module(module, name.get(), type_object);
}

// The module's function for `def`, its __name__ read back from it.
std::pair<Ref, Ref> make_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = own(PyModule_GetNameObject(module));
    Ref function = own(PyCFunction_NewEx(&def, module, module_name.get()));
    Ref name = own(PyObject_GetAttrString(function.get(), "__name__"));
    return {std::move(name), std::move(function)};
}

void add_function(PyObject* module, PyMethodDef& def) {
    auto [name, function] = make_function(module, def);
    add_to_module(module, name.get(), function.get());
}

// A function for the package's own use: an attribute of the module, not one of its public names.
void add_private_function(PyObject* module, PyMethodDef& def) {
    auto [name, function] = make_function(module, def);
    check(PyObject_SetAttr(module, name.get(), function.get()));
}

// CPython 3.12 refuses a module like this one in an isolated sub-interpreter only after its init
// has run (later versions ask first), by then too late: that interpreter would own the module and
// hold its objects. The same question is asked here first, of the function that 3.12 asks, which
// it exports outside the limited API; where it is not found, CPython asks before the init itself.
void refuse_where_cpython_will() {
    using Check = int (*)(const char*);
    static const auto check = reinterpret_cast<Check>(
        dlsym(RTLD_DEFAULT, "_PyImport_CheckSubinterpIncompatibleExtensionAllowed"));
    if (check != nullptr && check("_quarl") < 0) throw_fetched();
}

Ref init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_fetched();
    if (owner_interpreter.load() != id) refuse_where_cpython_will();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "_quarl does not support sub-interpreters: it was first imported in interpreter " +
                  str_cat(expected, " and cannot be imported in interpreter ", id));
    }
    if (cached_module != nullptr) return Ref::borrow(cached_module);

    Ref module = own(PyModule_Create(&module_def));
    add_class(module.get(), asset_wrapper_type);
    add_class(module.get(), partitions_type);
    for (PyMethodDef* def :
         {&asset_method, &partitions_method, &inspect_modules_method, &materialize_asset_method}) {
        add_function(module.get(), *def);
    }
    add_private_function(module.get(), inspect_modules_compact_method);
    cached_module = Ref::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace quarl

PyMODINIT_FUNC PyInit__quarl() { return quarl::guard(quarl::init_module); }
