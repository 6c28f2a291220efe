// The bodies of utils_svp's own module-level functions; module.cpp's functions table binds them
// with the gradient walk (walk/) in the module's order.
#pragma once

#include "walk/walks.h"

namespace sorvith::utils_svp {

walk::Function check_requires_grad, add_future_warning, remove_future_warning, load_net, clean_net,
    sv_save_net, sv_count_params;

} // namespace sorvith::utils_svp
