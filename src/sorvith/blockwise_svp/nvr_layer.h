// NVRLayer: one dendritic neuron module flattened into a block: the dendrite modules and the
// main module side by side in `layer_array`, their processors, and one skip tensor that
// weights every earlier block's output into each later block's output.
#pragma once

#include "host/common.h"

namespace sorvith::blockwise_svp {

py::object make_nvr_layer_class(py::handle module);

} // namespace sorvith::blockwise_svp
