#include "declare/asset.hpp"

#include <memory>
#include <optional>
#include <string>

#include "declare/asset_metadata.hpp"
#include "declare/asset_protocol.hpp"
#include "declare/asset_wrapper.hpp"
#include "declare/partitions.hpp"
#include "frame/binder.hpp"
#include "frame/convert.hpp"
#include "json/json_writer.hpp"

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

constexpr const char metadata_capsule[] = "quarl.AssetMetadata";

std::optional<std::string> copy_text(std::optional<std::string_view> text) {
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

PyObject* given(PyObject* argument) { return argument == Py_None ? nullptr : argument; }

// The (key, value) pairs of a dict, in its order. Iterating a snapshot keeps us safe from Python
// code (run while reading a value) that changes the dict.
Ref dict_items(PyObject* dict) { return own(PyDict_Items(to_dict(dict))); }

template <class Visit>
void for_each_item(PyObject* items, Visit&& visit) {
    const Py_ssize_t n = check_size(PyList_Size(items));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = check(PyList_GetItem(items, i));
        visit(check(PyTuple_GetItem(pair, 0)), check(PyTuple_GetItem(pair, 1)));
    }
}

std::vector<std::pair<std::string, std::string>> read_inputs(PyObject* inputs) {
    std::vector<std::pair<std::string, std::string>> out;
    Ref items = dict_items(inputs);
    for_each_item(items.get(), [&](PyObject* key, PyObject* value) {
        std::string parameter(to_text(key));
        if (is_asset(value)) {
            out.emplace_back(std::move(parameter), asset_reference(value));
        } else if (PyUnicode_Check(value)) {
            out.emplace_back(std::move(parameter), to_text(value));
        } else {
            raise(PyExc_TypeError,
                  "inputs values must be @asset-decorated functions or asset ref strings");
        }
    });
    return out;
}

std::vector<PartitionDimension> read_partitions(PyObject* partitions) {
    std::vector<PartitionDimension> out;
    Ref items = dict_items(partitions);
    for_each_item(items.get(), [&](PyObject* key, PyObject* value) {
        std::string name(to_text(key));
        if (!partitions_type.has_instance(value)) {
            raise(PyExc_TypeError, "partition values must be partitions([...]) instances");
        }
        const JsonArray& values = partition_values(value);
        out.push_back({std::move(name), values, write_json(JsonValue(values))});
    });
    return out;
}

const AssetMetadata& decorator_metadata(PyObject* capsule) {
    return *static_cast<const AssetMetadata*>(
        check_ptr(PyCapsule_GetPointer(capsule, metadata_capsule)));
}

void destroy_metadata(PyObject* capsule) noexcept {
    guard_unraisable(capsule, [capsule] { delete &decorator_metadata(capsule); });
}

// The decorator that asset(...) returns: wraps its one positional argument, whatever it is;
// keyword arguments are accepted and ignored.
Ref asset_decorator(PyObject* capsule, const FastArgs& call) {
    if (call.nargs != 1) {
        raise(PyExc_TypeError, "asset() decorator expects exactly one argument (the function)");
    }
    return make_asset_wrapper(decorator_metadata(capsule), call.args[0]);
}

PyMethodDef asset_decorator_method = fastcall_method<asset_decorator>("asset_decorator", nullptr);

Ref asset_function(PyObject*, const FastArgs& call) {
    auto args = bind(asset_signature, call);
    auto metadata = std::make_unique<AssetMetadata>();
    metadata->name = copy_text(args.convert(0, to_optional_text));
    PyObject* inputs = given(args[1]);
    PyObject* partitions = given(args[2]);
    metadata->serializer = copy_text(args.convert(3, to_optional_text));
    if (inputs != nullptr) metadata->inputs = read_inputs(inputs);
    if (partitions != nullptr) metadata->partitions = read_partitions(partitions);

    Ref capsule = own(PyCapsule_New(metadata.get(), metadata_capsule, destroy_metadata));
    static_cast<void>(metadata.release());  // the capsule owns it now
    return own(PyCFunction_NewEx(&asset_decorator_method, capsule.get(), nullptr));
}

}  // namespace

PyMethodDef asset_method = fastcall_method<asset_function>("asset", asset_doc);

}  // namespace quarl
