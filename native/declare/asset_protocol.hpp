// The asset protocol: the attributes by which the module's functions know an asset, find the
// function behind it and name it. AssetWrapper answers these attributes; any other object that
// answers them is taken for an asset too.
#pragma once

#include <string>

#include "frame/ref.hpp"

namespace quarl {

inline constexpr char kind_attribute[] = "__quarl_kind__";
inline constexpr char metadata_attribute[] = "__quarl_metadata__";
inline constexpr char original_attribute[] = "__quarl_original__";
// The value of __quarl_kind__ that marks an asset.
inline constexpr char asset_kind[] = "asset";

// Only a str equal to "asset" in __quarl_kind__ marks an asset; an object whose marker cannot be
// read is not one.
bool is_asset(PyObject* object);

// The function an asset runs, undecorated: its __quarl_original__, or the object itself when that
// cannot be read, so that a plain callable stands for itself.
Ref original_function(PyObject* object);

// __quarl_metadata__ of an asset.
Ref asset_metadata(PyObject* asset);

// An asset is referred to as "<source file>:<name>" of its original function. The decorator
// builds that text for inputs= (asset_reference); the inspection report gives its two parts, and
// the orchestrator joins them. Both take the parts from the functions below, so that a reference
// in inputs= always names an asset of the report.

// What source_file gives when inspect.getsourcefile itself raises.
enum class UnknownFile {
    raise,  // its error
    empty,  // "", where the error may be discarded
};

// str(pathlib.Path(inspect.getsourcefile(function)).resolve()), from the modules given. Only the
// failure of getsourcefile is subject to `unknown`; a result that pathlib refuses still raises.
std::string source_file(PyObject* inspect, PyObject* pathlib, PyObject* function,
                        UnknownFile unknown);

// The text of function.__name__.
std::string function_name(PyObject* function);

// "<source file>:<name>" of the original function of `asset`.
std::string asset_reference(PyObject* asset);

}  // namespace quarl
