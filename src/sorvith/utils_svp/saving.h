// clean_net and sv_save_net: the cleaned inference form of a trained network, and its file.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

extern PyMethodDef clean_net_def;
extern PyMethodDef sv_save_net_def;

} // namespace sorvith::utils_svp
