// Partitions: the marker that partitions([...]) returns, holding a static list of partition keys.
#pragma once

#include "frame/heap_type.hpp"
#include "json/json_value.hpp"

namespace quarl {

extern HeapType partitions_type;
extern PyMethodDef partitions_method;

// The values of a Partitions instance (the caller checked the type).
const JsonArray& partition_values(PyObject* partitions);

}  // namespace quarl
