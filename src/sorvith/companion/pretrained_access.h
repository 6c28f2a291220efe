// get_pretrained_nvr_attr(pretrained_dendrite, member), the same module-level function in
// blockwise_svp and slim_load: None for a None owner, else the owner's attribute (a missing
// one raises). Each module binds it under its own name; their get_pretrained_nvr_var differ.
#pragma once

#include "common.h"

namespace sorvith::companion {

extern PyMethodDef get_pretrained_nvr_attr_def;

} // namespace sorvith::companion
