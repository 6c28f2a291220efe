// The module-level functions whose bodies are walks, one file each beside this header. The
// modules bind them from their functions tables: get_nvr_modules in network_svp;
// optimize_module and blockwise_network in blockwise_svp; refresh_nvr and refresh_net in
// slim_load; debug_print_grad_modules in utils_svp. The owner readers come with their table
// entries, which both blockwise_svp and slim_load bind.
#pragma once

#include "host/pyclass.h"

#include <type_traits>

namespace sorvith::walk {

// The type of a function body, py::object(py::handle module, py::handle args, py::handle
// kwargs) (host's Body points to one), for declaring bodies by name.
using Function = std::remove_pointer_t<Body>;

Function get_nvr_modules, optimize_module, blockwise_network, refresh_nvr, refresh_net,
    debug_print_grad_modules;

// get_pretrained_nvr_attr(pretrained_dendrite, member) and get_pretrained_nvr_var(
// pretrained_dendrite, submodule_id), bound by blockwise_svp and slim_load between their own
// functions: None for a None owner (identity), else the owner's member or child. The attribute
// reader is the same in both modules; the child readers differ, so each module binds its own
// under the one public name.
extern PyMethodDef get_pretrained_nvr_attr;
extern PyMethodDef get_pretrained_nvr_var_item;      // pretrained_dendrite[submodule_id]
extern PyMethodDef get_pretrained_nvr_var_submodule; // .get_submodule(submodule_id)

} // namespace sorvith::walk
