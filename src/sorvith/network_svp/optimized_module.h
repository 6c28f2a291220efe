// NVROptimizedModule: a dendritic neuron module rebuilt for inference from a freshly built
// network, its dendrite copies made by simulate_cycles and its values loaded from a file.
#pragma once

#include "host/common.h"

namespace sorvith::network_svp {

py::object make_optimized_module_class(py::handle module);

} // namespace sorvith::network_svp
