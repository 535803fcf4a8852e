#pragma once

#include "frame/python.hpp"

namespace quarl {

extern PyMethodDef inspect_modules_method;

}  // namespace quarl
