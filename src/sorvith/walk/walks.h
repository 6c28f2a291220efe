// The module-level functions whose bodies are walks, one file each beside this header. The
// modules bind them from their functions tables: get_nvr_modules in network_svp;
// optimize_module and blockwise_network in blockwise_svp; refresh_nvr and refresh_net in
// slim_load; debug_print_grad_modules in utils_svp; the owner readers in blockwise_svp and
// slim_load.
#pragma once

#include "host/common.h"

namespace sorvith::walk {

py::object get_nvr_modules(py::handle module, py::handle args, py::handle kwargs);
py::object optimize_module(py::handle module, py::handle args, py::handle kwargs);
py::object blockwise_network(py::handle module, py::handle args, py::handle kwargs);
py::object refresh_nvr(py::handle module, py::handle args, py::handle kwargs);
py::object refresh_net(py::handle module, py::handle args, py::handle kwargs);
py::object debug_print_grad_modules(py::handle module, py::handle args, py::handle kwargs);

// get_pretrained_nvr_attr(pretrained_dendrite, member) and get_pretrained_nvr_var(
// pretrained_dendrite, submodule_id): None for a None owner (identity), else the owner's member
// or child. The attribute reader is the same in both modules; the child readers differ, so each
// module binds its own under the one public name.
py::object pretrained_attribute(py::handle module, py::handle args, py::handle kwargs);
py::object pretrained_item(py::handle module, py::handle args, py::handle kwargs); // [id]
py::object pretrained_submodule(py::handle module, py::handle args, py::handle kwargs);

} // namespace sorvith::walk
