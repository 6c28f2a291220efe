// sorvith.slim_load: the cleaned, inference form of a blockwise network. NVRModulePyThread
// takes the place of every NVRLayer, and refresh_net walks a network to put it there.
#include "block/pretrained_access.h"
#include "companion/nevrane.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "py_thread_module.h"
#include "rebuild.h"

using namespace sorvith;

static PyModuleDef slim_load_module = {
    PyModuleDef_HEAD_INIT, "sorvith.slim_load",
    "The cleaned block module and the rebuild of blockwise networks into their cleaned form.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr};

// The names are bound in this order; functions look every one of them up again when they run,
// so a caller who assigns doing_threading or ModuleType changes every later call.
static void bind_names(py::handle m) {
    bind(m, "GNV", companion::import_globals());
    bind(m, "load_file", import_from("safetensors.torch", "load_file"));
    bind(m, "copy", import("copy"));
    bind(m, "nn", import("torch.nn"));
    bind(m, "torch", import("torch"));
    bind(m, "pdb", import("pdb"));
    bind(m, "Thread", import_from("threading", "Thread"));
    bind(m, "doing_threading", py::bool_(false));
    bind(m, "loaded_full_print", py::bool_(false));
    py::object block_class = slim_load::make_py_thread_module_class(m);
    bind(m, "NVRModulePyThread", block_class);
    bind_function(m, &pretrained_access::attribute_def);
    bind_function(m, &pretrained_access::submodule_def);
    bind(m, "ModuleType", block_class);
    bind_function(m, &slim_load::make_module_def);
    bind_function(m, &slim_load::refresh_nvr_def);
    bind_function(m, &slim_load::refresh_net_def);
    // The fused forward of the blocks (off by default), bound after the names above.
    bind(m, "doing_fusion", py::bool_(false));
}

PyMODINIT_FUNC PyInit_slim_load() {
    return create_module(&slim_load_module, bind_names);
}
