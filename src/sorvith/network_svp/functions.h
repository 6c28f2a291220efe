// The bodies of network_svp's own module-level functions; module.cpp's functions table binds
// them with get_nvr_modules (walk/) in the module's order.
#pragma once

#include "walk/walks.h"

namespace sorvith::network_svp {

walk::Function convert_network, load_nvr_model;

} // namespace sorvith::network_svp
