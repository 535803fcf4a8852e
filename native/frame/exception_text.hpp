// How an exception reads where the module reports one: "{type}: {message}".
#pragma once

#include <string>

#include "frame/python.hpp"

namespace quarl {

// Where the text goes decides the two ways in which making it differs.
enum class ExceptionTextFor {
    // A line on standard error while the call goes on: lone surrogates pass as they are, since
    // the stream takes any bytes, and an interrupt that str() of the exception raises ends the
    // call like any other interrupt.
    stream,
    // A record that must be valid UTF-8 and must be written whatever happens, as it is the only
    // trace of a failure: lone surrogates become '?', and nothing that str() raises stops it.
    record,
};

// The exception's type by its __qualname__ alone ("ConfigError", "Outer.Nested"), ": ", then
// str() of the exception, or "<exception str() failed>" when that raises. A type name that
// cannot be read is "<unknown>".
std::string exception_text(PyObject* exception, ExceptionTextFor destination);

}  // namespace quarl
