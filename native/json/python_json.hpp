// Python values into the JSON model, through Python's own json.dumps.
#pragma once

#include <string_view>

#include "frame/ref.hpp"
#include "json/json_value.hpp"

namespace quarl {

// json.dumps(value) parsed into a JsonValue. Errors of importing json and of json.dumps pass
// unchanged; a text that does not parse raises `error_type` with `prefix` and the parser's
// description ("invalid partition value: expected value at line 1 column 1").
JsonValue python_to_json(PyObject* value, PyObject* error_type, std::string_view prefix);

// The same with the json module already imported by the caller (json.dumps is looked up on it
// now).
JsonValue python_to_json_with(PyObject* json_module, PyObject* value, PyObject* error_type,
                              std::string_view prefix);

// A new str holding the compact text of `value`.
Ref json_to_python_text(const JsonValue& value);

}  // namespace quarl
