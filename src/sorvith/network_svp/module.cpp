// sorvith.network_svp: converting freshly built networks into optimised dendritic modules and
// loading saved cleaned networks into them.
#include "companion/nevrane.h"
#include "functions.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "optimized_module.h"
#include "tracked_module.h"
#include "walk/walks.h"

using namespace sorvith;

// The module-level functions, bound in this order after the module's other names.
static PyMethodDef functions[] = {
    SV_DOCUMENTED(convert_network, network_svp::convert_network, "(net, layer_name='')",
        "Convert net: modules listed for conversion become NVROptimizedModule, tracked ones\n"
        "NVRTrackedModule. Returns the converted network, which may be a new object."),
    SV_DOCUMENTED(get_nvr_modules, walk::get_nvr_modules, "(net, depth)",
        "Return a new list of the NVROptimizedModule instances in net, depth-first (depth: 0)."),
    SV_DOCUMENTED(load_nvr_model, network_svp::load_nvr_model, "(net, filename)",
        "Convert a freshly built net and load into it the safetensors file that sv_save_net\n"
        "wrote; returns the converted network. Exits the process if it holds no block."),
};

// The names are bound in this order; functions look every one of them up again when they run.
static void bind_names(py::handle m) {
    bind_imports(m, {companion::GNV, companion::UNV, {"sys", "sys"}, imports::load_file,
                     imports::copy, imports::nn, imports::torch, imports::Thread});
    bind(m, "doing_threading", py::bool_(false));
    bind(m, "loaded_full_print", py::bool_(false));
    bind_functions(m, functions);
    bind(m, "NVROptimizedModule", network_svp::make_optimized_module_class(m));
    bind(m, "NVRTrackedModule", network_svp::make_tracked_module_class(m));
    // The fused forward of the blocks (off by default), bound after the names above.
    bind(m, "doing_fusion", py::bool_(false));
}

SV_MODULE(network_svp,
    "Conversion of dendritic networks into optimised modules, and loading of saved networks.",
    bind_names)
