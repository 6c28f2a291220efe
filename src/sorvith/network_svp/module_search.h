// get_nvr_modules(net, depth): the NVROptimizedModule blocks of a converted network, in the
// order of a depth-first walk.
#pragma once

#include "host/common.h"

namespace sorvith::network_svp {

extern PyMethodDef get_nvr_modules_def;

} // namespace sorvith::network_svp
