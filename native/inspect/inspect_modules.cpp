#include "inspect/inspect_modules.hpp"

#include "frame/binder.hpp"
#include "frame/convert.hpp"

namespace quarl {
namespace {

constexpr const char inspect_modules_doc[] =
    "inspect_modules(modules)\n"
    "--\n"
    "\n"
    "Inspect modules for quarl assets. Called by the `python -m quarl.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__quarl_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.";

constexpr Signature<1> inspect_modules_signature{"inspect_modules", {"modules"}, 1};

Ref inspect_modules_function(PyObject*, const FastArgs& call) {
    auto args = bind(inspect_modules_signature, call);
    args.convert(0, to_text_list);
    raise(PyExc_NotImplementedError, "inspect_modules() is not built yet");
}

}  // namespace

PyMethodDef inspect_modules_method =
    fastcall_method<inspect_modules_function>("inspect_modules", inspect_modules_doc);

}  // namespace quarl
