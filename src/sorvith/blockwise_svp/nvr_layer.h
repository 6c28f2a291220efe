// NVRLayer: one dendritic neuron module flattened into a block: the dendrite modules and the
// main module side by side in `layer_array`, their processors, and one skip tensor that
// weights every earlier block's output into each later block's output.
#pragma once

#include "companion/common.h"

namespace sorvith::blockwise_svp {

// The identification texts coded into the `module_id` buffers: one for the layer itself, one
// for each of its block modules.
extern const char *const layer_id_text;
extern const char *const block_id_text;

py::object make_nvr_layer_class(py::handle module);

} // namespace sorvith::blockwise_svp
