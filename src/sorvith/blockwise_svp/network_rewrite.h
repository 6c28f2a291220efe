// The walk that rewrites a whole network in place: blockwise_network and optimize_module,
// with the two small accessors get_pretrained_nvr_attr and get_pretrained_nvr_var.
#pragma once

#include "companion/common.h"

namespace sorvith::blockwise_svp {

extern PyMethodDef get_pretrained_nvr_attr_def;
extern PyMethodDef get_pretrained_nvr_var_def;
extern PyMethodDef optimize_module_def;
extern PyMethodDef blockwise_network_def;

} // namespace sorvith::blockwise_svp
