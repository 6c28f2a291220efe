// Every call the package makes into the companion training library, in one place.
//
// The companion modules are bound in each extension's namespace under short names (GNV,
// UNV, NV) and looked up there at each use, and so is the configuration object GNV.pc: a
// caller who swaps either changes every later call.
#pragma once

#include "host/common.h"
#include "host/modules.h"

namespace sorvith::companion {

// The companion modules, as the extensions bind them (host/modules.h): GNV is
// nevrane.globals_nevrane, UNV nevrane.utils_nevrane, NV nevrane.modules_nevrane. An import
// error reaches the importer unchanged (with a note on what to install when nevrane itself is
// missing).
extern const Import GNV, UNV, NV;

// GNV.pc.<getter>(), GNV and pc read afresh.
py::object setting(py::handle module, py::handle getter);
bool flag(py::handle module, py::handle getter); // bool(GNV.pc.<getter>())

// The configuration getters, by name.
namespace getters {
py::handle modules_to_replace();
py::handle modules_to_convert();
py::handle modules_to_track();
py::handle modules_with_processing();
py::handle modules_processing_classes();
py::handle module_names_with_processing();
py::handle module_by_name_processing_classes();
py::handle nvr_forward_function();
py::handle verbose();
py::handle extra_verbose();
py::handle using_safe_tensors();
py::handle weight_tying_experimental();
py::handle count_training_params();
py::handle module_names_to_not_save();
} // namespace getters

// UNV.<function>(...), UNV read afresh.
py::object replace_predefined_modules(py::handle module, py::handle net);
py::object convert_module(py::handle module, py::handle net, py::handle optimized_class,
                          py::handle tracked_class);
py::object get_module_base_name(py::handle module, py::handle net);
py::object string_to_tensor(py::handle module, py::handle text);
py::object deep_copy_nvr(py::handle module, py::handle net);
py::object save_model_with_weight_tying(py::handle module, py::handle net, py::handle path);
py::object load_model_with_weight_tying(py::handle module, py::handle net, py::handle path);
py::object load_net_from_dict(py::handle module, py::handle net, py::handle state_dict);

// NV.NVRNeuronModule, the companion's dendritic neuron module class.
py::object neuron_module_class(py::handle module);

} // namespace sorvith::companion
