// sorvith.slim_load: the cleaned, inference form of a blockwise network. NVRModulePyThread
// takes the place of every NVRLayer, and refresh_net walks a network to put it there.
#include "companion/nevrane.h"
#include "functions.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "py_thread_module.h"
#include "walk/walks.h"

using namespace sorvith;

// The module's own function and its walks, bound in this order after the module's other names
// (the owner readers of walk/pretrained_access.cpp and ModuleType before them).
static PyMethodDef functions[] = {
    SV_DOCUMENTED(make_module, slim_load::make_module, "(module)",
        "Return ModuleType(module): by default a new NVRModulePyThread made from an NVRLayer."),
    SV_DOCUMENTED(refresh_nvr, walk::refresh_nvr, "(net, depth, name_so_far, converted_list)",
        "The walk behind refresh_net: replace the NVRLayer blocks below net in place; returns\n"
        "net, or its replacement when net is itself a block."),
    SV_DOCUMENTED(refresh_net, walk::refresh_net, "(pretrained_dendrite)",
        "Replace every NVRLayer in a blockwise network by ModuleType, in place; returns the\n"
        "network, or its replacement when the root is itself a block."),
};

// The names are bound in this order; functions look every one of them up again when they run,
// so a caller who assigns doing_threading or ModuleType changes every later call.
static void bind_names(py::handle m) {
    bind_imports(m, {companion::GNV, imports::load_file, imports::copy, imports::nn,
                     imports::torch, imports::pdb, imports::Thread});
    bind(m, "doing_threading", py::bool_(false));
    bind(m, "loaded_full_print", py::bool_(false));
    py::object block_class = slim_load::make_py_thread_module_class(m);
    bind(m, "NVRModulePyThread", block_class);
    bind_functions(m, {&walk::get_pretrained_nvr_attr, &walk::get_pretrained_nvr_var_submodule});
    bind(m, "ModuleType", block_class);
    bind_functions(m, functions);
    // The fused forward of the blocks (off by default), bound after the names above.
    bind(m, "doing_fusion", py::bool_(false));
}

SV_MODULE(slim_load,
    "The cleaned block module and the rebuild of blockwise networks into their cleaned form.",
    bind_names)
