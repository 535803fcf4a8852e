#include "declare/asset_wrapper.hpp"

namespace quarl {
namespace {

struct AssetWrapper {};

PyType_Slot asset_wrapper_slots[] = {
    slot(Py_tp_doc, "The `@asset()` decorator wrapper. Stores the original function and metadata."),
    slot(Py_tp_new, no_constructor),
    slot(Py_tp_dealloc, dealloc_instance<AssetWrapper>),
    {0, nullptr},
};

PyType_Spec asset_wrapper_spec{"AssetWrapper", sizeof(Instance<AssetWrapper>), 0,
                               Py_TPFLAGS_DEFAULT, asset_wrapper_slots};

}  // namespace

HeapType asset_wrapper_type{"AssetWrapper", asset_wrapper_spec};

}  // namespace quarl
