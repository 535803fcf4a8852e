#include "declare/partitions.hpp"

#include <algorithm>

#include "frame/binder.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "frame/text.hpp"
#include "json/python_json.hpp"

namespace quarl {
namespace {

// Immutable once made; it holds no reference to any Python object.
struct Partitions {
    JsonArray values;
};

constexpr const char partitions_doc[] =
    "partitions(values)\n"
    "--\n"
    "\n"
    "Declare a static partition universe for use with ``@asset(partitions=...)``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from quarl import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...";

constexpr Signature<1> partitions_signature{"partitions", {"values"}, 1};

Name json_name{"json"};

Ref partitions_function(PyObject*, const FastArgs& call) {
    auto args = bind(partitions_signature, call);
    PyObject* list = args.convert(0, to_list);
    Ref json = import_module(json_name);
    JsonArray values;
    // json.dumps can run Python code that changes the list: the bound is read again before each
    // element, so a list that shrinks ends the walk and appended elements are not visited.
    const Py_ssize_t initial = PyList_Size(list);
    values.reserve(static_cast<std::size_t>(initial));
    for (Py_ssize_t i = 0; i < std::min(initial, PyList_Size(list)); ++i) {
        Ref element = Ref::borrow(check(PyList_GetItem(list, i)));
        values.push_back(python_to_json_with(json.get(), element.get(), PyExc_ValueError,
                                             "invalid partition value: "));
    }
    return new_instance(partitions_type.require(), Partitions{std::move(values)});
}

PyObject* partitions_repr(PyObject* self) noexcept {
    return guard([self] {
        return make_text(
            str_cat("Partitions(", value_of<Partitions>(self).values.size(), " values)"));
    });
}

PyType_Slot partitions_slots[] = {
    slot(Py_tp_doc, "Marker type returned by `partitions([...])`. Stores the static values."),
    slot(Py_tp_new, no_constructor),
    slot(Py_tp_dealloc, dealloc_instance<Partitions>),
    slot(Py_tp_repr, partitions_repr),
    {0, nullptr},
};

// The dotted name gives the class its __module__ ("_quarl"); its __name__ stays "Partitions". A
// bare name would leave __module__ unreadable and warn (DeprecationWarning) on every import.
PyType_Spec partitions_spec{"_quarl.Partitions", sizeof(Instance<Partitions>), 0,
                            Py_TPFLAGS_DEFAULT, partitions_slots};

}  // namespace

HeapType partitions_type{"Partitions", partitions_spec};

PyMethodDef partitions_method = fastcall_method<partitions_function>("partitions", partitions_doc);

const JsonArray& partition_values(PyObject* partitions) {
    return value_of<Partitions>(partitions).values;
}

}  // namespace quarl
