// convert_network(net, layer_name=''): a freshly built network's dendritic modules become
// NVROptimizedModule blocks and its other listed modules NVRTrackedModule wrappers, through the
// companion library's conversion.
#pragma once

#include "host/common.h"

namespace sorvith::network_svp {

extern PyMethodDef convert_network_def;

} // namespace sorvith::network_svp
