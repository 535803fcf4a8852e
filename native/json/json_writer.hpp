// The JSON writer: compact text (no whitespace), objects in key order, non-ASCII as UTF-8.
#pragma once

#include <string>

#include "json/json_value.hpp"

namespace quarl {

// Appends the text of `value` to `out`.
void write_json(const JsonValue& value, std::string& out);
std::string write_json(const JsonValue& value);

}  // namespace quarl
