// sorvith.blockwise_svp: rewriting each dendritic neuron module of a trained network into one
// flat NVRLayer block.
#include "block/pretrained_access.h"
#include "block_conversion.h"
#include "companion/nevrane.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "network_rewrite.h"
#include "nvr_layer.h"

using namespace sorvith;

static PyModuleDef blockwise_svp_module = {
    PyModuleDef_HEAD_INIT, "sorvith.blockwise_svp",
    "Blockwise rewriting of dendritic networks: each neuron module becomes one NVRLayer.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr};

// The names are bound in this order; functions look every one of them up again when they run.
// pdb, string and copy are used by no function but belong to the module's namespace.
static void bind_names(py::handle m) {
    bind(m, "GNV", companion::import_globals());
    bind(m, "NV", companion::import_modules());
    bind(m, "UNV", companion::import_utils());
    bind(m, "nn", import("torch.nn"));
    bind(m, "torch", import("torch"));
    bind(m, "pdb", import("pdb"));
    bind(m, "np", import("numpy"));
    bind(m, "string", import("string"));
    bind(m, "copy", import("copy"));
    bind(m, "NVRLayer", blockwise_svp::make_nvr_layer_class(m));
    bind_function(m, &blockwise_svp::unwrap_params_def);
    bind_function(m, &blockwise_svp::convert_to_nvr_layer_block_def);
    bind_function(m, &pretrained_access::attribute_def);
    bind_function(m, &pretrained_access::item_def);
    bind_function(m, &blockwise_svp::optimize_module_def);
    bind_function(m, &blockwise_svp::blockwise_network_def);
}

PyMODINIT_FUNC PyInit_blockwise_svp() {
    return create_module(&blockwise_svp_module, bind_names);
}
