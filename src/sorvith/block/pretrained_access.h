// get_pretrained_nvr_attr(pretrained_dendrite, member) and get_pretrained_nvr_var(
// pretrained_dendrite, submodule_id), module-level functions of blockwise_svp and slim_load:
// None for a None owner (identity), else the owner's member or child. The attribute reader is
// the same in both modules; the child readers differ, so each module binds its own under the
// one public name.
#pragma once

#include "host/common.h"

namespace sorvith::pretrained_access {

extern PyMethodDef attribute_def; // getattr(pretrained_dendrite, member): a missing one raises
extern PyMethodDef item_def;      // pretrained_dendrite[submodule_id] (blockwise_svp)
extern PyMethodDef submodule_def; // pretrained_dendrite.get_submodule(submodule_id) (slim_load)

} // namespace sorvith::pretrained_access
