// The bodies of blockwise_svp's own module-level functions; module.cpp's functions table binds
// them with the owner readers and the rewrite walk (walk/) in the module's order.
#pragma once

#include "host/common.h"

namespace sorvith::blockwise_svp {

py::object unwrap_params(py::handle module, py::handle args, py::handle kwargs);
py::object convert_to_nvr_layer_block(py::handle module, py::handle args, py::handle kwargs);

} // namespace sorvith::blockwise_svp
