// AssetWrapper: what @asset(...) puts in place of a decorated function. It calls through to the
// function, shows the function's identity, and carries the asset's metadata.
#pragma once

#include "declare/asset_metadata.hpp"
#include "frame/heap_type.hpp"

namespace quarl {

extern HeapType asset_wrapper_type;

Ref make_asset_wrapper(AssetMetadata metadata, PyObject* function);

}  // namespace quarl
