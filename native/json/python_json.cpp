#include "json/python_json.hpp"

#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "frame/text.hpp"
#include "json/json_parser.hpp"
#include "json/json_writer.hpp"

namespace quarl {
namespace {

Name json_name{"json"};
Name dumps_name{"dumps"};

}  // namespace

JsonValue python_to_json(PyObject* value, PyObject* error_type, std::string_view prefix) {
    Ref json = import_module(json_name);
    return python_to_json_with(json.get(), value, error_type, prefix);
}

JsonValue python_to_json_with(PyObject* json_module, PyObject* value, PyObject* error_type,
                              std::string_view prefix) {
    Ref text = call_method(json_module, dumps_name, value);
    const std::string_view utf8 = to_text(text.get());
    try {
        return parse_json(utf8);
    } catch (const JsonParseError& error) {
        raise(error_type, str_cat(prefix, error.what()));
    }
}

Ref json_to_python_text(const JsonValue& value) {
    std::string text = write_json(value);
    return own(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace quarl
