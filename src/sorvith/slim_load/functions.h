// The body of slim_load's own module-level function; module.cpp's functions table binds it with
// the owner readers and the rebuild walk (walk/) in the module's order.
#pragma once

#include "host/common.h"

namespace sorvith::slim_load {

py::object make_module(py::handle module, py::handle args, py::handle kwargs);

} // namespace sorvith::slim_load
