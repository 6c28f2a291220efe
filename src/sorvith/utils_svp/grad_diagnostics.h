// check_requires_grad and debug_print_grad_modules: which modules of a network take gradients.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

extern PyMethodDef check_requires_grad_def;
extern PyMethodDef debug_print_grad_modules_def;

} // namespace sorvith::utils_svp
