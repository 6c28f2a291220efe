// The bodies of network_svp's own module-level functions; module.cpp's functions table binds
// them with get_nvr_modules (walk/) in the module's order.
#pragma once

#include "host/common.h"

namespace sorvith::network_svp {

py::object convert_network(py::handle module, py::handle args, py::handle kwargs);
py::object load_nvr_model(py::handle module, py::handle args, py::handle kwargs);

} // namespace sorvith::network_svp
