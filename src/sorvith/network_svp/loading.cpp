#include "loading.h"

#include "block/processors.h"
#include "block/view_shape.h"
#include "companion/nevrane.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "saved_blocks.h"

#include <vector>

namespace sorvith::network_svp {

namespace {

// torch.randn(shape): the new skip_weights, whose values the file's replace. In the dtype of
// the block's own weights where they are of another floating dtype than the default: a
// bfloat16 or float16 network's cascade then stays in its dtype, as the cleaned block's does,
// where float32 rows would turn its outputs to float32 and fail the next layer.
py::object skip_values(py::handle torch, py::handle block, py::handle shape) {
    py::object wrapped = getitem(attr(block, SV_NAME("layer_array")), make_int(0));
    for (py::handle parameter : call_method(wrapped, SV_NAME("parameters"))) {
        if (!truth(call_method(parameter, SV_NAME("is_floating_point"))))
            continue;
        py::object dtype = attr(parameter, SV_NAME("dtype"));
        if (equal(dtype, call_method(torch, SV_NAME("get_default_dtype"))))
            break;
        py::dict options;
        options["dtype"] = dtype;
        return call_with(attr(torch, SV_NAME("randn")), py::make_tuple(shape), options);
    }
    return call_method(torch, SV_NAME("randn"), shape);
}

py::object load_nvr_model(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "filename", nullptr};
    PyObject *net_arg, *filename;
    parse_args(args, kwargs, "OO:load_nvr_model", names, &net_arg, &filename);

    py::object net = call(global(module, SV_NAME("convert_network")), borrow(net_arg));
    py::object state_dict = call(global(module, SV_NAME("load_file")), borrow(filename));
    py::object optimized = call(global(module, SV_NAME("get_nvr_modules")), net, make_int(0));
    if (equal(optimized, py::list())) {
        print(module, "No NVR modules were found something went wrong with convert network");
        exit_process(module, py::handle());
    }
    // A block reachable under two names (an alias attribute, a shared layer) is listed once per
    // name; it is one module with one saved state, so it is rebuilt once. Rebuilding it again
    // would double its dendrite copies and the strict load below would refuse the file.
    // Every block's entries are looked up, then checked, before the first block changes: a key
    // missing in any block is reported as the KeyError of its lookup, ahead of a value refused
    // in an earlier block.
    SavedFile file(module, state_dict, borrow(filename));
    std::vector<SavedBlock> blocks;
    for (py::handle m : optimized) {
        bool seen = false;
        for (const SavedBlock &done : blocks)
            seen = seen || done.block.ptr() == m.ptr();
        if (!seen)
            blocks.push_back(file.read_keys(m, companion::get_module_base_name(module, m)));
    }
    for (SavedBlock &saved : blocks)
        file.check_values(saved);
    for (const SavedBlock &saved : blocks) {
        const py::object &m = saved.block;
        if (greater(saved.cycles, make_int(0)))
            call_method(m, SV_NAME("simulate_cycles"), saved.cycles, make_int(10));

        py::object processor = attr(m, SV_NAME("processor"));
        py::object entry = py::none();
        if (!is_none(processor)) {
            entry = call_method(global(module, SV_NAME("copy")), SV_NAME("deepcopy"), processor);
            // Bound to the module's own processor (read anew, as each read is visible to
            // callers), not to the copy.
            processors::bind_steps([&] { return entry; },
                                   [&] { return attr(m, SV_NAME("processor")); },
                                   processors::Role::main);
        }
        call_method(attr(m, SV_NAME("processor_array")), SV_NAME("append"), entry);

        py::object torch = global(module, SV_NAME("torch"));
        py::object weights = call_method(global(module, SV_NAME("nn")), SV_NAME("Parameter"),
                                         skip_values(torch, m, saved.skip_shape));
        register_parameter(m, SV_NAME("skip_weights"), weights);
        register_buffer(m, SV_NAME("module_id"), saved.module_id);
        register_buffer(m, SV_NAME("view_tuple"), saved.view_tuple);
        block::remember_view_tuple(m, saved.view_tuple);
    }
    call_method(net, SV_NAME("load_state_dict"), file.narrowed(net, blocks));
    return net;
}

} // namespace

PyMethodDef load_nvr_model_def =
    SV_DOCUMENTED(load_nvr_model, load_nvr_model, "(net, filename)",
        "Convert a freshly built net and load into it the safetensors file that sv_save_net\n"
        "wrote; returns the converted network. Exits the process if it holds no block.");

} // namespace sorvith::network_svp
