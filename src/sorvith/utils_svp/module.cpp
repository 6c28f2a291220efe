// sorvith.utils_svp: cleaning, saving and loading dendritic networks, counting their
// parameters and printing gradient diagnostics.
#include "companion/nevrane.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "counting.h"
#include "grad_diagnostics.h"
#include "loading.h"
#include "saving.h"
#include "warning_filters.h"

using namespace sorvith;

static PyModuleDef utils_svp_module = {
    PyModuleDef_HEAD_INIT, "sorvith.utils_svp",
    "Cleaning, saving and loading of dendritic networks, parameter counts and gradient "
    "diagnostics.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// The names are bound in this order; functions look every one of them up again when they run.
static void bind_names(py::handle m) {
    bind(m, "torch", import("torch"));
    bind(m, "nn", import("torch.nn"));
    bind(m, "init", import("torch.nn.init"));
    bind(m, "F", import("torch.nn.functional"));
    bind(m, "math", import("math"));
    bind(m, "np", import("numpy"));
    bind(m, "pdb", import("pdb"));
    bind(m, "os", import("os"));
    bind(m, "time", import("time"));
    bind(m, "warnings", import("warnings"));
    bind(m, "GNV", companion::import_globals());
    bind(m, "UNV", companion::import_utils());
    bind(m, "SL", import("sorvith.slim_load"));
    bind(m, "BSV", import("sorvith.blockwise_svp"));
    bind(m, "copy", import("copy"));
    bind(m, "load_file", import_from("safetensors.torch", "load_file"));
    bind(m, "save_file", import_from("safetensors.torch", "save_file"));
    bind_function(m, &utils_svp::check_requires_grad_def);
    bind_function(m, &utils_svp::debug_print_grad_modules_def);
    bind_function(m, &utils_svp::add_future_warning_def);
    bind_function(m, &utils_svp::remove_future_warning_def);
    bind_function(m, &utils_svp::load_net_def);
    bind_function(m, &utils_svp::clean_net_def);
    bind_function(m, &utils_svp::sv_save_net_def);
    bind_function(m, &utils_svp::sv_count_params_def);
}

PyMODINIT_FUNC PyInit_utils_svp() {
    return create_module(&utils_svp_module, bind_names);
}
