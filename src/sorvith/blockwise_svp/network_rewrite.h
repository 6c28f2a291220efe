// The walk that rewrites a whole network in place: blockwise_network and optimize_module.
#pragma once

#include "host/common.h"

namespace sorvith::blockwise_svp {

extern PyMethodDef optimize_module_def;
extern PyMethodDef blockwise_network_def;

} // namespace sorvith::blockwise_svp
