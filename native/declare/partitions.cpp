#include "declare/partitions.hpp"

#include "frame/binder.hpp"
#include "frame/convert.hpp"

namespace quarl {
namespace {

struct Partitions {};

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

Ref partitions_function(PyObject*, const FastArgs& call) {
    auto args = bind(partitions_signature, call);
    args.convert(0, to_list);
    raise(PyExc_NotImplementedError, "partitions() is not built yet");
}

PyType_Slot partitions_slots[] = {
    slot(Py_tp_doc, "Marker type returned by `partitions([...])`. Stores the static values."),
    slot(Py_tp_new, no_constructor),
    slot(Py_tp_dealloc, dealloc_instance<Partitions>),
    {0, nullptr},
};

PyType_Spec partitions_spec{"Partitions", sizeof(Instance<Partitions>), 0, Py_TPFLAGS_DEFAULT,
                            partitions_slots};

}  // namespace

HeapType partitions_type{"Partitions", partitions_spec};

PyMethodDef partitions_method = fastcall_method<partitions_function>("partitions", partitions_doc);

}  // namespace quarl
