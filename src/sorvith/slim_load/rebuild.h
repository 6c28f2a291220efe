// make_module, refresh_nvr and refresh_net: the walk that turns a blockwise network into its
// cleaned form by putting a ModuleType block (NVRModulePyThread by default) in the place of
// every NVRLayer it reaches.
#pragma once

#include "host/common.h"

namespace sorvith::slim_load {

extern PyMethodDef make_module_def;
extern PyMethodDef refresh_nvr_def;
extern PyMethodDef refresh_net_def;

} // namespace sorvith::slim_load
