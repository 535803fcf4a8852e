#include "declare/asset.hpp"

#include "frame/binder.hpp"
#include "frame/convert.hpp"

namespace quarl {
namespace {

constexpr const char asset_doc[] =
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n"
    "--\n"
    "\n"
    "Decorator that registers a Python function as a quarl asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from quarl import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Quarl will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Quarl will create one materialization job per partition combination.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from quarl import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    Reserved for future use.  Leave unset.";

constexpr Signature<0, 4> asset_signature{
    "asset", {}, 0, {"name", "inputs", "partitions", "serializer"}};

Ref asset_function(PyObject*, const FastArgs& call) {
    auto args = bind(asset_signature, call);
    args.convert(0, to_optional_text);
    args.convert(3, to_optional_text);
    raise(PyExc_NotImplementedError, "asset() is not built yet");
}

}  // namespace

PyMethodDef asset_method = fastcall_method<asset_function>("asset", asset_doc);

}  // namespace quarl
