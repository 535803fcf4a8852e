#pragma once

#include "frame/python.hpp"

namespace quarl {

extern PyMethodDef materialize_asset_method;

}  // namespace quarl
