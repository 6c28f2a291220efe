// add_future_warning and remove_future_warning: a catch-all "ignore" entry at the front of the
// process's warning filters, and its removal.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

extern PyMethodDef add_future_warning_def;
extern PyMethodDef remove_future_warning_def;

} // namespace sorvith::utils_svp
