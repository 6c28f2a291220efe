// The network that clean_net, sv_save_net and sv_count_params work on when the caller passes
// the wrapper it trains with, and the refusal of networks whose parameters are sharded.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

// `net` itself, or the module that an nn.DataParallel or DistributedDataParallel (or a
// subclass of either) wraps, unwrapping nested wrappers too. The wrapper is not changed.
// Raises TypeError naming `function` and what `net` is when it is no nn.Module (None, a class,
// a path), before anything else.
// Raises TypeError, naming `function` and the full-state-dict route, when a parameter of the
// result is a DTensor (sharded by fully_shard or a device mesh): such a network can be
// neither deep-copied nor cleaned, and nothing has been changed or created when this raises.
py::object network_to_clean(py::handle module, py::handle net, const char *function);

} // namespace sorvith::utils_svp
