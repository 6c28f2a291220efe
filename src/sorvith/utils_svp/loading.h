// load_net: reading a saved network file back in the storage mode the configuration selects.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

extern PyMethodDef load_net_def;

} // namespace sorvith::utils_svp
