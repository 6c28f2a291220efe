// The storage modes of a saved-network file: which one the configuration selects, and how each
// writes a cleaned network and reads a file back. A file must be read in the mode it was
// written in; nothing in the file says which that was.
#pragma once

#include "host/common.h"

namespace sorvith::utils_svp {

struct StorageMode {
    // Writes the cleaned network `net` to `path`.
    void (*write)(py::handle module, py::handle net, py::handle path);
    // Reads the file at `path` into `net`; returns what the companion library returns.
    py::object (*read)(py::handle module, py::handle net, py::handle path);
};

// The mode the configuration selects now: get_using_safe_tensors() first and, only when it is
// true, get_weight_tying_experimental(). Saving and loading ask it at the moment they need it.
//   weight tying: both true, the companion library's format for shared tensors;
//   safetensors:  the first true, the second false, the network's state dictionary (each
//                 tensor held under several names stored once, block/shared_tensors.h);
//   torch:        the first false, the whole network pickled by torch.save.
const StorageMode &selected_storage_mode(py::handle module);

} // namespace sorvith::utils_svp
