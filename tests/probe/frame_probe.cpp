// _quarl_probe: a test-only module on the same call boundary as _quarl, with functions that fault
// on purpose. Built only with -DQUARL_TEST_PROBE=ON (make test); never part of a release.
#include "frame/binder.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"

namespace quarl {
namespace {

constexpr Signature<1> message_signature{"fault", {"message"}, 0};
constexpr Signature<1> callable_signature{"call", {"callable"}, 1};
constexpr Signature<0> no_arguments{"fetch_unset", {}, 0};

// fault(message=None): an internal fault, with the message if one is given.
Ref fault(PyObject*, const FastArgs& call) {
    auto args = bind(message_signature, call);
    auto message = args.convert(0, to_optional_text);
    if (!message) throw 42;  // a fault that carries no message
    throw Fault(std::string(*message));
}

// call(callable): callable() through the boundary's own calling helper.
Ref call_through(PyObject*, const FastArgs& call) {
    auto args = bind(callable_signature, call);
    return quarl::call(args[0]);
}

// fetch_unset(): takes an error when none is pending.
Ref fetch_unset(PyObject*, const FastArgs& call) {
    bind(no_arguments, call);
    throw_fetched();
}

PyMethodDef probe_methods[] = {
    fastcall_method<fault>("fault", nullptr),
    fastcall_method<call_through>("call", nullptr),
    fastcall_method<fetch_unset>("fetch_unset", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "_quarl_probe",
    nullptr,
    0,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarl

PyMODINIT_FUNC PyInit__quarl_probe() {
    return quarl::guard([] { return quarl::own(PyModule_Create(&quarl::probe_module)); });
}
