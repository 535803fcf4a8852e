// The JSON parser: standard JSON text to JsonValue.
#pragma once

#include <stdexcept>
#include <string_view>

#include "json/json_value.hpp"

namespace quarl {

// Nesting of arrays and objects deeper than this fails with "recursion limit exceeded".
inline constexpr int json_max_depth = 128;

// A text that is not JSON. what() is the description: "{message} at line {L} column {C}".
class JsonParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the whole text: whitespace may surround the one value, nothing else may follow it.
JsonValue parse_json(std::string_view text);

}  // namespace quarl
