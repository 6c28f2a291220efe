// sorvith.utils_svp: cleaning, saving and loading dendritic networks, counting their
// parameters and printing gradient diagnostics.
#include "companion/nevrane.h"
#include "functions.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "walk/walks.h"

using namespace sorvith;

// The module-level functions, bound in this order after the module's other names.
static PyMethodDef functions[] = {
    SV_DOCUMENTED(check_requires_grad, utils_svp::check_requires_grad, "(module)",
        "Return whether any parameter of module requires gradients."),
    SV_DOCUMENTED(debug_print_grad_modules, walk::debug_print_grad_modules,
        "(net, depth, name_so_far)",
        "Print one line per module below net saying whether it has a parameter that requires\n"
        "gradients (pass depth=0 and the name to print for net); returns None."),
    SV_DOCUMENTED(add_future_warning, utils_svp::add_future_warning, "()",
        "Put an 'ignore every warning' filter at the front of warnings.filters; returns None."),
    SV_DOCUMENTED(remove_future_warning, utils_svp::remove_future_warning, "()",
        "Remove the front entry of warnings.filters (undoes add_future_warning); returns None."),
    SV_DOCUMENTED(load_net, utils_svp::load_net, "(net, folder, name)",
        "Load folder/name.pt into net, a network of the cleaned structure, in the storage mode\n"
        "it was saved in; returns the loaded network (sv_save_net's file: name + '_nvr')."),
    SV_DOCUMENTED(clean_net, utils_svp::clean_net, "(net)",
        "Return the cleaned inference form of a trained dendritic network, a new network. net\n"
        "itself is rewritten into blockwise form first: pass a copy to keep training it."),
    SV_DOCUMENTED(sv_save_net, utils_svp::sv_save_net, "(net, folder, name)",
        "Clean a copy of net and write it to folder/name_nvr.pt, creating folder if needed;\n"
        "returns None, net is left unchanged. Only a process whose RANK is unset or 0 writes."),
    SV_DOCUMENTED(sv_count_params, utils_svp::sv_count_params, "(net)",
        "Return the number of parameters of net (shared tensors counted once), of its training\n"
        "or its cleaned form as the training library's configuration selects."),
};

// The names are bound in this order; functions look every one of them up again when they run.
static void bind_names(py::handle m) {
    bind_imports(m, {imports::torch, imports::nn, {"init", "torch.nn.init"},
                     {"F", "torch.nn.functional"}, {"math", "math"}, imports::np, imports::pdb,
                     {"os", "os"}, {"time", "time"}, {"warnings", "warnings"}, companion::GNV,
                     companion::UNV, {"SL", "sorvith.slim_load"}, {"BSV", "sorvith.blockwise_svp"},
                     imports::copy, imports::load_file,
                     {"save_file", "safetensors.torch", "save_file"}});
    bind_functions(m, functions);
}

SV_MODULE(utils_svp,
    "Cleaning, saving and loading of dendritic networks, parameter counts and gradient "
    "diagnostics.",
    bind_names)
