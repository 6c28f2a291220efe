// The bodies of utils_svp's own module-level functions; module.cpp's functions table binds them
// with the gradient walk (walk/) in the module's order.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

py::object check_requires_grad(py::handle module, py::handle args, py::handle kwargs);
py::object add_future_warning(py::handle module, py::handle args, py::handle kwargs);
py::object remove_future_warning(py::handle module, py::handle args, py::handle kwargs);
py::object load_net(py::handle module, py::handle args, py::handle kwargs);
py::object clean_net(py::handle module, py::handle args, py::handle kwargs);
py::object sv_save_net(py::handle module, py::handle args, py::handle kwargs);
py::object sv_count_params(py::handle module, py::handle args, py::handle kwargs);

} // namespace sorvith::utils_svp
