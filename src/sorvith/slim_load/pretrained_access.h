// get_pretrained_nvr_var: how the rebuild reads a container child it is about to replace, by
// child name (None stays None). Its member-name twin is the shared get_pretrained_nvr_attr.
#pragma once

#include "companion/common.h"

namespace sorvith::slim_load {

extern PyMethodDef get_pretrained_nvr_var_def;

} // namespace sorvith::slim_load
