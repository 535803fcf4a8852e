#include "frame/exception_text.hpp"

#include <optional>

#include "frame/error.hpp"
#include "frame/text.hpp"

namespace quarl {
namespace {

constexpr const char unknown_type[] = "<unknown>";
constexpr const char str_failed[] = "<exception str() failed>";

// The UTF-8 of `text`, a new reference from a call that may have failed (an empty Ref), as the
// destination takes it; nothing when the call failed or the text could not be encoded.
std::optional<std::string> utf8_for(Ref text, ExceptionTextFor destination) {
    if (destination == ExceptionTextFor::stream) {
        if (!text) {
            discard_error();
            return std::nullopt;
        }
        return surrogate_text(text.get());
    }
    if (!text) {
        PyErr_Clear();
        return std::nullopt;
    }
    return replaced_utf8(text.get());
}

}  // namespace

std::string exception_text(PyObject* exception, ExceptionTextFor destination) {
    std::string text = utf8_for(Ref::steal(PyType_GetQualName(Py_TYPE(exception))), destination)
                           .value_or(unknown_type);
    text += ": ";
    text += utf8_for(Ref::steal(PyObject_Str(exception)), destination).value_or(str_failed);
    return text;
}

}  // namespace quarl
