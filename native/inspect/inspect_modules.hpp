#pragma once

#include "frame/python.hpp"

namespace quarl {

extern PyMethodDef inspect_modules_method;
// The compact report for the orchestrator; a private function of the module, outside __all__.
extern PyMethodDef inspect_modules_compact_method;

}  // namespace quarl
