// get_pretrained_nvr_attr and get_pretrained_nvr_var: how the rebuild reads the block it is
// about to replace, by member name or by container child name (None stays None).
#pragma once

#include "companion/common.h"

namespace sorvith::slim_load {

extern PyMethodDef get_pretrained_nvr_attr_def;
extern PyMethodDef get_pretrained_nvr_var_def;

} // namespace sorvith::slim_load
