// sorvith.blockwise_svp: rewriting each dendritic neuron module of a trained network into one
// flat NVRLayer block.
#include "companion/nevrane.h"
#include "functions.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "nvr_layer.h"
#include "walk/walks.h"

using namespace sorvith;

// The module's own functions, then its walks, bound in this order after the module's other
// names, with the owner readers (walk/pretrained_access.cpp) between the two tables.
static PyMethodDef functions[] = {
    SV_DOCUMENTED(unWrap_params, blockwise_svp::unwrap_params, "(model)",
        "Remove the training library's 'wrapped' marker from every parameter of model; returns\n"
        "None."),
    SV_DOCUMENTED(convert_to_nvr_layer_block, blockwise_svp::convert_to_nvr_layer_block,
        "(pretrained_dendrite)",
        "Return a new NVRLayer built from a dendritic neuron module (sharing its modules)."),
};

static PyMethodDef walks[] = {
    SV_DOCUMENTED(optimize_module, walk::optimize_module, "(net, depth, name_so_far, converted_list)",
        "The walk behind blockwise_network: replace the dendritic neuron modules below net by\n"
        "NVRLayer blocks, in place, and return net."),
    SV_DOCUMENTED(blockwise_network, walk::blockwise_network, "(net)",
        "Replace, in place, every dendritic neuron module inside net by an NVRLayer; returns\n"
        "net."),
};

// The names are bound in this order; functions look every one of them up again when they run.
// pdb, string and copy are used by no function but belong to the module's namespace.
static void bind_names(py::handle m) {
    bind_imports(m, {companion::GNV, companion::NV, companion::UNV, imports::nn, imports::torch,
                     imports::pdb, imports::np, {"string", "string"}, imports::copy});
    bind(m, "NVRLayer", blockwise_svp::make_nvr_layer_class(m));
    bind_functions(m, functions);
    bind_functions(m, {&walk::get_pretrained_nvr_attr, &walk::get_pretrained_nvr_var_item});
    bind_functions(m, walks);
}

SV_MODULE(blockwise_svp,
    "Blockwise rewriting of dendritic networks: each neuron module becomes one NVRLayer.",
    bind_names)
