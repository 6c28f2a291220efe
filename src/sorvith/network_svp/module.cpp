// sorvith.network_svp: converting freshly built networks into optimised dendritic modules and
// loading saved cleaned networks into them.
#include "companion/nevrane.h"
#include "conversion.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "loading.h"
#include "module_search.h"
#include "optimized_module.h"
#include "tracked_module.h"

using namespace sorvith;

static PyModuleDef network_svp_module = {
    PyModuleDef_HEAD_INIT, "sorvith.network_svp",
    "Conversion of dendritic networks into optimised modules, and loading of saved networks.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// The names are bound in this order; functions look every one of them up again when they run.
static void bind_names(py::handle m) {
    bind(m, "GNV", companion::import_globals());
    bind(m, "UNV", companion::import_utils());
    bind(m, "sys", import("sys"));
    bind(m, "load_file", import_from("safetensors.torch", "load_file"));
    bind(m, "copy", import("copy"));
    bind(m, "nn", import("torch.nn"));
    bind(m, "torch", import("torch"));
    bind(m, "Thread", import_from("threading", "Thread"));
    bind(m, "doing_threading", py::bool_(false));
    bind(m, "loaded_full_print", py::bool_(false));
    bind_function(m, &network_svp::convert_network_def);
    bind_function(m, &network_svp::get_nvr_modules_def);
    bind_function(m, &network_svp::load_nvr_model_def);
    bind(m, "NVROptimizedModule", network_svp::make_optimized_module_class(m));
    bind(m, "NVRTrackedModule", network_svp::make_tracked_module_class(m));
    // The fused forward of the blocks (off by default), bound after the names above.
    bind(m, "doing_fusion", py::bool_(false));
}

PyMODINIT_FUNC PyInit_network_svp() {
    return create_module(&network_svp_module, bind_names);
}
