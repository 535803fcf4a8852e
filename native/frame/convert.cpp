#include "frame/convert.hpp"

#include "frame/error.hpp"
#include "frame/text.hpp"

namespace quarl {

void raise_cannot_convert(PyObject* object, std::string_view target) {
    raise(PyExc_TypeError,
          str_cat('\'', type_name(object), "' object cannot be converted to '", target, '\''));
}

std::string_view to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_cannot_convert(object, "PyString");
    Py_ssize_t size = 0;
    const char* data = check_ptr(PyUnicode_AsUTF8AndSize(object, &size));
    return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string_view> to_optional_text(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return to_text(object);
}

PyObject* to_list(PyObject* object) {
    if (!PyList_Check(object)) raise_cannot_convert(object, "PyList");
    return object;
}

PyObject* to_dict(PyObject* object) {
    if (!PyDict_Check(object)) raise_cannot_convert(object, "PyDict");
    return object;
}

std::vector<std::string> to_text_list(PyObject* object) {
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) raise_cannot_convert(object, "Sequence");
    std::vector<std::string> out;
    Ref iterator = own(PyObject_GetIter(object));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        out.emplace_back(to_text(item.get()));
    }
    if (PyErr_Occurred()) throw_fetched();
    return out;
}

}  // namespace quarl
