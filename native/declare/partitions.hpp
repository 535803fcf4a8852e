#pragma once

#include <vector>

#include "frame/heap_type.hpp"

namespace quarl {

extern HeapType partitions_type;
extern PyMethodDef partitions_method;

}  // namespace quarl
