// load_nvr_model(net, filename): a freshly built network converted, its blocks rebuilt to the
// shapes a saved cleaned file describes, and every saved value loaded.
#pragma once

#include "host/common.h"

namespace sorvith::network_svp {

extern PyMethodDef load_nvr_model_def;

} // namespace sorvith::network_svp
