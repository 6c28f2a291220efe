// The bodies of blockwise_svp's own module-level functions; module.cpp's functions table binds
// them with the owner readers and the rewrite walk (walk/) in the module's order.
#pragma once

#include "walk/walks.h"

namespace sorvith::blockwise_svp {

walk::Function unwrap_params, convert_to_nvr_layer_block;

} // namespace sorvith::blockwise_svp
