// convert_to_nvr_layer_block and unWrap_params: one companion neuron module into an NVRLayer.
#pragma once

#include "host/common.h"

namespace sorvith::blockwise_svp {

extern PyMethodDef unwrap_params_def;
extern PyMethodDef convert_to_nvr_layer_block_def;

} // namespace sorvith::blockwise_svp
