// NVRModulePyThread: the block module of a cleaned network. It takes over an NVRLayer's
// modules, processors and skip weights and runs the block's dendrite and main steps, one after
// another or each on a host thread, before combining their outputs in the skip cascade.
#pragma once

#include "host/common.h"

namespace sorvith::slim_load {

py::object make_py_thread_module_class(py::handle module);

} // namespace sorvith::slim_load
