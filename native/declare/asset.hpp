#pragma once

#include "frame/python.hpp"

namespace quarl {

extern PyMethodDef asset_method;

}  // namespace quarl
