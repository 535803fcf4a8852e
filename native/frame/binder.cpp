#include "frame/binder.hpp"

#include <string>
#include <vector>

#include "frame/call.hpp"
#include "frame/text.hpp"

namespace quarl {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += str_cat('\'', names[i], '\'');
    }
    return out;
}

[[noreturn]] void raise_missing(const SignatureView& signature, const char* kind,
                                const std::vector<const char*>& names) {
    raise(PyExc_TypeError,
          str_cat(signature.function, "() missing ", names.size(), " required ", kind,
                  names.size() == 1 ? " argument: " : " arguments: ", quoted_list(names)));
}

[[noreturn]] void raise_too_many_positional(const SignatureView& signature, Py_ssize_t given) {
    const std::size_t total = signature.positional.size();
    std::string takes = signature.required == total
                            ? str_cat(total)
                            : str_cat("from ", signature.required, " to ", total);
    raise(PyExc_TypeError,
          str_cat(signature.function, "() takes ", takes, " positional arguments but ", given,
                  given == 1 ? " was given" : " were given"));
}

// The slot index of the parameter called `name`: keyword-only parameters first, then positional
// ones; -1 when none matches.
Py_ssize_t find_parameter(const SignatureView& signature, PyObject* name) {
    const std::size_t p = signature.positional.size();
    for (std::size_t i = 0; i < signature.keyword_only.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.keyword_only[i]) == 0) {
            return static_cast<Py_ssize_t>(p + i);
        }
    }
    for (std::size_t i = 0; i < p; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.positional[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

void bind_into(const SignatureView& signature, const FastArgs& call, PyObject** slots) {
    const std::size_t p = signature.positional.size();
    if (call.nargs > static_cast<Py_ssize_t>(p)) raise_too_many_positional(signature, call.nargs);
    for (Py_ssize_t i = 0; i < call.nargs; ++i) slots[i] = call.args[i];

    if (call.kwnames != nullptr) {
        const Py_ssize_t nkw = check_size(PyTuple_Size(call.kwnames));
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* name = check(PyTuple_GetItem(call.kwnames, k));
            const Py_ssize_t index = find_parameter(signature, name);
            if (index < 0) {
                raise(PyExc_TypeError,
                      str_cat(signature.function, "() got an unexpected keyword argument '",
                              surrogate_text(name), '\''));
            }
            if (slots[index] != nullptr) {
                raise(PyExc_TypeError,
                      str_cat(signature.function, "() got multiple values for argument '",
                              surrogate_text(name), '\''));
            }
            slots[index] = call.args[call.nargs + k];
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(signature.positional[i]);
    }
    if (!missing.empty()) raise_missing(signature, "positional", missing);
}

void reraise_for_argument(const char* name, PyError&& error) {
    PyObject* first = error.value();
    if (Py_TYPE(first) != (PyTypeObject*)PyExc_TypeError) throw std::move(error);
    Ref message = own(PyObject_Str(first));
    Ref text = own(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    Ref remapped = call(PyExc_TypeError, text.get());
    if (PyObject* cause = PyException_GetCause(first)) {
        PyException_SetCause(remapped.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, remapped.get());
    throw_fetched();
}

}  // namespace quarl
