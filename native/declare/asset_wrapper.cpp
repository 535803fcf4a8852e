#include "declare/asset_wrapper.hpp"

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "declare/asset_protocol.hpp"
#include "frame/binder.hpp"
#include "frame/call.hpp"

namespace quarl {
namespace {

// Immutable once made, but for `function`, which the cycle collector may set to None (tp_clear).
// `vectorcall` comes first so that its offset is fixed for CPython.
struct AssetWrapper {
    vectorcallfunc vectorcall;
    AssetMetadata metadata;
    Ref function;
    // Whether `function` is a plain Python function, whose call enters the interpreter and so is
    // counted against the recursion limit by the interpreter itself.
    bool interpreted;
};

// The type of plain Python functions, kept for the process once the first wrapper is made: the
// type of a function compiled here, so that it is the interpreter's own whatever types.FunctionType
// has been made to say (were anything else taken for it, its wrappers would skip the count), and
// found without importing anything.
PyObject* python_function_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        Ref code = own(Py_CompileString("lambda: None", "<quarl>", Py_eval_input));
        Ref globals = own(PyDict_New());
        Ref function = own(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
        // Running that code may have let another thread make its first wrapper meanwhile.
        if (type == nullptr) type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(function.get())));
    }
    return type;
}

// Calls go straight to the wrapped callable with the caller's argument vector: no tuple or dict
// is built on the way. A wrapper may wrap a wrapper (or a functools.partial of one, ...): such a
// chain calls through C frames only, which the interpreter does not count, so such a call counts
// itself. A call of a plain Python function is counted by the interpreter already.
constexpr const char calling_an_asset[] = " while calling an asset";

// The counted call is kept out of line: inlined, its scope would make every call, the plain
// function's too, save and restore registers around it (16 of some 620 instructions per call).
[[gnu::noinline]] PyObject* counted_vectorcall(PyObject* function, PyObject* const* args,
                                               std::size_t nargsf, PyObject* kwnames) noexcept {
    return guard([&] {
        RecursionScope scope(calling_an_asset);
        return own(PyObject_Vectorcall(function, args, nargsf, kwnames));
    });
}

PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept {
    const auto& wrapper = value_of<AssetWrapper>(self);
    if (!wrapper.interpreted) {
        return counted_vectorcall(wrapper.function.get(), args, nargsf, kwnames);
    }
    return guard(
        [&] { return own(PyObject_Vectorcall(wrapper.function.get(), args, nargsf, kwnames)); });
}

PyObject* wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] {
        const auto& wrapper = checked_value_of<AssetWrapper>(self, asset_wrapper_type);
        if (kwargs != nullptr) Arguments<1>({"kwargs"}, {kwargs}).convert(0, to_dict);
        RecursionScope scope(calling_an_asset);
        return own(PyObject_Call(wrapper.function.get(), args, kwargs));
    });
}

// Freeing a wrapper releases its function, which may be the next wrapper of a chain, whose free
// releases the next, and so on: a million links would be a million nested C frames. Past a few
// levels a function is handed back to the outermost free instead, which releases those one after
// another. Only touched with the interpreter lock held; the list is never destroyed, as wrappers
// may still be freed while the process exits.
constexpr int nested_frees_limit = 50;
int nested_frees = 0;
std::vector<Ref>& deferred_functions = *new std::vector<Ref>();

void release_function(Ref function) noexcept {
    if (nested_frees >= nested_frees_limit) {
        try {
            deferred_functions.push_back(std::move(function));
            return;
        } catch (const std::bad_alloc&) {
            // No room to defer it: release it here after all, one level deeper.
        }
    }
    ++nested_frees;
    function = Ref();
    if (nested_frees == 1) {
        while (!deferred_functions.empty()) {
            Ref next = std::move(deferred_functions.back());
            deferred_functions.pop_back();
        }
    }
    --nested_frees;
}

Ref& function_of(PyObject* self) {
    return reinterpret_cast<Instance<AssetWrapper>*>(self)->value.function;
}

void dealloc_wrapper(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Ref function = std::move(function_of(self));
    dealloc_instance<AssetWrapper>(self);
    release_function(std::move(function));
}

// A wrapper takes part in the cycles its function closes (a module's function whose globals hold
// its own wrapper), which without these would never be reclaimed.
int traverse_wrapper(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function_of(self).get());
    return 0;
}

// The function gives way to None rather than to nothing: code that still reaches a cleared wrapper
// (a finalizer of the same cycle) calls and reads None, and gets that TypeError or AttributeError.
int clear_wrapper(PyObject* self) noexcept {
    release_function(std::exchange(function_of(self), Ref::borrow(Py_None)));
    return 0;
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
Name asset_text{asset_kind};

Ref get_metadata(const AssetWrapper& w) { return metadata_to_python(w.metadata); }
Ref get_kind(const AssetWrapper&) { return Ref::borrow(asset_text.get()); }
Ref get_original(const AssetWrapper& w) { return Ref::borrow(w.function.get()); }
// The identity attributes are read from the function on every access, so later changes show. The
// function may itself be a wrapper, so each read counts as a level of recursion, as a call does.
Ref forward(const AssetWrapper& w, Name& attribute) {
    RecursionScope scope(" while reading an asset's function");
    return get_attr(w.function.get(), attribute);
}
Ref get_name(const AssetWrapper& w) { return forward(w, name_name); }
Ref get_doc(const AssetWrapper& w) { return forward(w, doc_name); }
Ref get_module(const AssetWrapper& w) { return forward(w, module_name); }
Ref get_qualname(const AssetWrapper& w) { return forward(w, qualname_name); }

PyGetSetDef doc_getset = {"__doc__", getter<get_doc>, nullptr, "", nullptr};

PyGetSetDef wrapper_getsets[] = {
    {metadata_attribute, getter<get_metadata>, nullptr, "", nullptr},
    {kind_attribute, getter<get_kind>, nullptr, "", nullptr},
    {original_attribute, getter<get_original>, nullptr, "", nullptr},
    {"__name__", getter<get_name>, nullptr, "", nullptr},
    doc_getset,
    {"__module__", getter<get_module>, nullptr, "", nullptr},
    {"__qualname__", getter<get_qualname>, nullptr, "", nullptr},
    {"__wrapped__", getter<get_original>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Tells CPython where the vectorcall pointer lies; taken out of the class again once made (see
// finish_wrapper_type), as it is of no use to Python code.
PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(Instance<AssetWrapper>, value)), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    slot(Py_tp_doc, "The `@asset()` decorator wrapper. Stores the original function and metadata."),
    slot(Py_tp_new, no_constructor),
    slot(Py_tp_dealloc, dealloc_wrapper),
    slot(Py_tp_traverse, traverse_wrapper),
    slot(Py_tp_clear, clear_wrapper),
    slot(Py_tp_call, wrapper_call),
    slot(Py_tp_descr_get, wrapper_descr_get),
    slot(Py_tp_getset, wrapper_getsets),
    slot(Py_tp_members, wrapper_members),
    {0, nullptr},
};

PyType_Spec wrapper_spec{"AssetWrapper", sizeof(Instance<AssetWrapper>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC,
                         wrapper_slots};

Name vectorcalloffset_name{"__vectorcalloffset__"};

// Type creation stores the class doc under __doc__ in the type's dict, over the getter; put the
// getter back so that an instance's __doc__ is its function's docstring. The vectorcall offset
// was read into the type when it was made, so its member can go.
void finish_wrapper_type(PyTypeObject* type) {
    auto* type_object = reinterpret_cast<PyObject*>(type);
    Ref descriptor = own(PyDescr_NewGetSet(type, &doc_getset));
    check(PyObject_SetAttr(type_object, doc_name.get(), descriptor.get()));
    check(PyObject_DelAttr(type_object, vectorcalloffset_name.get()));
}

}  // namespace

HeapType asset_wrapper_type{"AssetWrapper", wrapper_spec, finish_wrapper_type};

Ref make_asset_wrapper(AssetMetadata metadata, PyObject* function) {
    const bool interpreted =
        reinterpret_cast<PyObject*>(Py_TYPE(function)) == python_function_type();
    return new_instance(
        asset_wrapper_type.require(),
        AssetWrapper{wrapper_vectorcall, std::move(metadata), Ref::borrow(function), interpreted});
}

}  // namespace quarl
