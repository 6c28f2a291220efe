// The walk that rewrites a whole network in place: blockwise_network and optimize_module,
// with the small accessor get_pretrained_nvr_var (get_pretrained_nvr_attr is shared).
#pragma once

#include "companion/common.h"

namespace sorvith::blockwise_svp {

extern PyMethodDef get_pretrained_nvr_var_def;
extern PyMethodDef optimize_module_def;
extern PyMethodDef blockwise_network_def;

} // namespace sorvith::blockwise_svp
