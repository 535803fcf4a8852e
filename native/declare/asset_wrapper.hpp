#pragma once

#include "frame/heap_type.hpp"

namespace quarl {

extern HeapType asset_wrapper_type;

}  // namespace quarl
