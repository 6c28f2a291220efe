// convert_network, get_nvr_modules and load_nvr_model: turning a freshly built network into
// optimised modules, finding them again, and loading a saved cleaned file into them.
#pragma once

#include "companion/common.h"

namespace sorvith::network_svp {

extern PyMethodDef convert_network_def;
extern PyMethodDef get_nvr_modules_def;
extern PyMethodDef load_nvr_model_def;

} // namespace sorvith::network_svp
