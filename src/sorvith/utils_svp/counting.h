// sv_count_params: the parameter count of a network, in its training or its cleaned form.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

extern PyMethodDef sv_count_params_def;

} // namespace sorvith::utils_svp
