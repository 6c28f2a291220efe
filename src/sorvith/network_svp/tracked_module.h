// NVRTrackedModule: the wrapper around a module that gets no dendrites, so that every module
// of a converted network is accounted for. It behaves like the module it wraps.
#pragma once

#include "host/common.h"

namespace sorvith::network_svp {

py::object make_tracked_module_class(py::handle module);

} // namespace sorvith::network_svp
