#include "declare/asset_wrapper.hpp"

#include <cstddef>

#include "frame/binder.hpp"
#include "frame/call.hpp"

namespace quarl {
namespace {

// Immutable once made. `vectorcall` comes first so that its offset is fixed for CPython.
struct AssetWrapper {
    vectorcallfunc vectorcall;
    AssetMetadata metadata;
    Ref function;
};

// Calls go straight to the wrapped callable with the caller's argument vector: no tuple or dict
// is built on the way.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept {
    return guard([&] {
        return own(PyObject_Vectorcall(value_of<AssetWrapper>(self).function.get(), args, nargsf,
                                       kwnames));
    });
}

PyObject* wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] {
        const AssetWrapper& wrapper = checked_value_of<AssetWrapper>(self, asset_wrapper_type);
        if (kwargs != nullptr) Arguments<1>({"kwargs"}, {kwargs}).convert(0, to_dict);
        return own(PyObject_Call(wrapper.function.get(), args, kwargs));
    });
}

// A wrapper stored on a class is not bound as a method: reading it through an instance gives
// the wrapper itself.
PyObject* wrapper_descr_get(PyObject* self, PyObject*, PyObject*) noexcept {
    return guard([self] { return Ref::borrow(self); });
}

using WrapperGetter = Ref (*)(const AssetWrapper&);

template <WrapperGetter Body>
PyObject* getter(PyObject* self, void*) noexcept {
    return guard([self] { return Body(checked_value_of<AssetWrapper>(self, asset_wrapper_type)); });
}

Name name_name{"__name__"};
Name doc_name{"__doc__"};
Name module_name{"__module__"};
Name qualname_name{"__qualname__"};
Name asset_text{"asset"};

Ref get_metadata(const AssetWrapper& w) { return metadata_to_python(w.metadata); }
Ref get_kind(const AssetWrapper&) { return Ref::borrow(asset_text.get()); }
Ref get_original(const AssetWrapper& w) { return Ref::borrow(w.function.get()); }
// The identity attributes are read from the function on every access, so later changes show.
Ref get_name(const AssetWrapper& w) { return get_attr(w.function.get(), name_name); }
Ref get_doc(const AssetWrapper& w) { return get_attr(w.function.get(), doc_name); }
Ref get_module(const AssetWrapper& w) { return get_attr(w.function.get(), module_name); }
Ref get_qualname(const AssetWrapper& w) { return get_attr(w.function.get(), qualname_name); }

PyGetSetDef doc_getset = {"__doc__", getter<get_doc>, nullptr, "", nullptr};

PyGetSetDef wrapper_getsets[] = {
    {"__quarl_metadata__", getter<get_metadata>, nullptr, "", nullptr},
    {"__quarl_kind__", getter<get_kind>, nullptr, "", nullptr},
    {"__quarl_original__", getter<get_original>, nullptr, "", nullptr},
    {"__name__", getter<get_name>, nullptr, "", nullptr},
    doc_getset,
    {"__module__", getter<get_module>, nullptr, "", nullptr},
    {"__qualname__", getter<get_qualname>, nullptr, "", nullptr},
    {"__wrapped__", getter<get_original>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(Instance<AssetWrapper>, value)), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    slot(Py_tp_doc, "The `@asset()` decorator wrapper. Stores the original function and metadata."),
    slot(Py_tp_new, no_constructor),
    slot(Py_tp_dealloc, dealloc_instance<AssetWrapper>),
    slot(Py_tp_call, wrapper_call),
    slot(Py_tp_descr_get, wrapper_descr_get),
    slot(Py_tp_getset, wrapper_getsets),
    slot(Py_tp_members, wrapper_members),
    {0, nullptr},
};

PyType_Spec wrapper_spec{"AssetWrapper", sizeof(Instance<AssetWrapper>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL, wrapper_slots};

// Type creation stores the class doc under __doc__ in the type's dict, over the getter; put the
// getter back so that an instance's __doc__ is its function's docstring.
void restore_doc_getter(PyTypeObject* type) {
    Ref descriptor = own(PyDescr_NewGetSet(type, &doc_getset));
    check(PyObject_SetAttr(reinterpret_cast<PyObject*>(type), doc_name.get(), descriptor.get()));
}

}  // namespace

HeapType asset_wrapper_type{"AssetWrapper", wrapper_spec, restore_doc_getter};

Ref make_asset_wrapper(AssetMetadata metadata, PyObject* function) {
    return new_instance(asset_wrapper_type.require(),
                        AssetWrapper{wrapper_vectorcall, std::move(metadata), Ref::borrow(function)});
}

}  // namespace quarl
