#include "frame/text.hpp"

#include "frame/error.hpp"

namespace quarl {

Ref make_text(std::string_view utf8) {
    return own(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass"));
}

std::string surrogate_text(PyObject* str) {
    Ref bytes = own(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string> replaced_utf8(PyObject* str) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* object) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "<unknown>";
    }
    return surrogate_text(name.get());
}

}  // namespace quarl
