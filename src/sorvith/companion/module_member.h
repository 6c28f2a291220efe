// Reading a member of an nn.Module instance (a plain attribute, parameter, buffer or child)
// on the block forward paths, where it is read many times per call.
#pragma once

#include "common.h"

namespace sorvith {

// self.name, with the result the ordinary attribute lookup gives.
py::object member(py::handle self, py::handle name);

} // namespace sorvith
