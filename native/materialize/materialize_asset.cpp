#include "materialize/materialize_asset.hpp"

#include "frame/binder.hpp"
#include "frame/convert.hpp"

namespace quarl {
namespace {

constexpr const char materialize_asset_doc[] =
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n"
    "--\n"
    "\n"
    "Materialize a single asset function. Called by the `python -m quarl.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.";

constexpr Signature<4> materialize_asset_signature{
    "materialize_asset", {"module_name", "function_name", "output_dir", "input_kwargs_json"}, 3};

Ref materialize_asset_function(PyObject*, const FastArgs& call) {
    auto args = bind(materialize_asset_signature, call);
    args.convert(0, to_text);
    args.convert(1, to_text);
    args.convert(2, to_text);
    args.convert(3, to_optional_text);
    raise(PyExc_NotImplementedError, "materialize_asset() is not built yet");
}

}  // namespace

PyMethodDef materialize_asset_method =
    fastcall_method<materialize_asset_function>("materialize_asset", materialize_asset_doc);

}  // namespace quarl
