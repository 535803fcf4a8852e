// Converters from borrowed Python objects to what a body needs. Each refuses with the TypeError
// the binder reports against the parameter's name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/ref.hpp"

namespace quarl {

// "'{type}' object cannot be converted to '{target}'"
[[noreturn]] void raise_cannot_convert(PyObject* object, std::string_view target);

// A str as UTF-8; the view lives as long as the str does.
std::string_view to_text(PyObject* object);
// None, or a slot left empty, is absent.
std::optional<std::string_view> to_optional_text(PyObject* object);
// A list (a subclass counts), borrowed.
PyObject* to_list(PyObject* object);
// A dict (a subclass counts), borrowed.
PyObject* to_dict(PyObject* object);
// Any sequence but a str, its items read by iteration; every item a str.
std::vector<std::string> to_text_list(PyObject* object);

}  // namespace quarl
