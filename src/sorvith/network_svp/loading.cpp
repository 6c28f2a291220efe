// load_nvr_model(net, filename): a freshly built network converted, its blocks rebuilt to the
// shapes a saved cleaned file describes, and every saved value loaded.
#include "functions.h"

#include "block/processors.h"
#include "block/shared_tensors.h"
#include "block/rows/view_shape.h"
#include "companion/nevrane.h"
#include "host/arguments.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "rebuilt_ties.h"
#include "saved_blocks.h"
#include "walk/walk.h"

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

// A network that already holds a block built by a load (dendrite copies appended, processor
// entries or skip_weights registered) is refused before anything changes: loading again would
// append more copies, the strict load would then refuse the file and leave every block with
// entries that its skip weights do not cover.
void refuse_loaded_blocks(py::handle module, py::handle net, py::handle filename) {
    if (!is_instance(net, walk::module_class(module)))
        return;
    py::object optimized_class = global(module, SV_NAME("NVROptimizedModule"));
    py::object named = call_method(net, SV_NAME("named_modules"));
    for (py::handle entry : named) {
        py::object m = getitem(entry, 1);
        if (type_of(m).ptr() != optimized_class.ptr())
            continue;
        py::object layers = attr_or_none(m, SV_NAME("layer_array"));
        py::object processors = attr_or_none(m, SV_NAME("processor_array"));
        py::object parameters = attr_or_none(m, SV_NAME("_parameters"));
        py::object sign;
        if (!is_none(layers) && length(layers) > 1)
            sign = format("its layer_array has %d entries",
                          py::make_tuple(make_int(length(layers))));
        else if (!is_none(processors) && length(processors) > 0)
            sign = py::str("its processor_array has entries");
        else if (!is_none(parameters) && contains(parameters, SV_NAME("skip_weights")))
            sign = py::str("its skip_weights is registered");
        if (!sign)
            continue;
        py::object path = getitem(entry, 0);
        py::object where = equal(path, py::str(""))
                               ? py::object(py::str("the network itself"))
                               : format("'%s'", py::make_tuple(path));
        PyErr_SetObject(
            PyExc_ValueError,
            format("%s: the network already holds loaded blocks: %s is one (%s). "
                   "load_nvr_model builds the blocks of a freshly built network; build the "
                   "network again and load the file into that",
                   py::make_tuple(text(filename), where, sign))
                .ptr());
        throw py::error_already_set();
    }
}

// Each block once, in the order found: a block reachable under two names (an alias attribute,
// a shared layer) is listed once per name; it is one module with one saved state, so it is
// rebuilt once. Rebuilding it again would double its dendrite copies and the strict load would
// refuse the file.
std::vector<py::object> distinct(py::handle optimized) {
    std::vector<py::object> blocks;
    for (py::handle m : optimized) {
        bool seen = false;
        for (const py::object &done : blocks)
            seen = seen || done.ptr() == m.ptr();
        if (!seen)
            blocks.push_back(borrow(m.ptr()));
    }
    return blocks;
}

// layer_array[0] and layer_array[-1] change places.
void move_original_last(py::handle m) {
    py::object layers = attr(m, SV_NAME("layer_array"));
    py::object last = make_int(length(layers) - 1);
    py::object original = getitem(layers, make_int(0)), copy = getitem(layers, last);
    setitem(layers, make_int(0), copy);
    setitem(layers, last, original);
}

// load_file(filename). Its error for a file of torch.save gains a note that says so and
// where such a file is read; the error stays the reader's.
py::object read_file(py::handle module, py::handle filename) {
    try {
        return call(global(module, SV_NAME("load_file")), filename);
    } catch (py::error_already_set &error) {
        if (file_kind(filename) == FileKind::zip)
            add_note(error.value(),
                     format("%s is a zip archive, as torch.save writes: a file of the torch "
                            "storage mode (GNV.pc.get_using_safe_tensors() false when it was "
                            "saved). load_nvr_model reads safetensors files only: read this one "
                            "with utils_svp.load_net in torch mode, or save the network again "
                            "with get_using_safe_tensors() true.",
                            py::make_tuple(text(filename))));
        throw;
    }
}

} // namespace

py::object load_nvr_model(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "filename", nullptr};
    PyObject *net_arg, *filename_arg;
    parse_args(args, kwargs, "OO:load_nvr_model", names, &net_arg, &filename_arg);
    require_module(module, net_arg, "load_nvr_model", "net");
    py::object filename = path_argument(filename_arg);

    refuse_loaded_blocks(module, borrow(net_arg), filename);
    py::object net = call(global(module, SV_NAME("convert_network")), borrow(net_arg));
    py::object state_dict = read_file(module, filename);
    py::object optimized = call(global(module, SV_NAME("get_nvr_modules")), net, make_int(0));
    if (equal(optimized, py::list())) {
        print(module, "No NVR modules were found something went wrong with convert network");
        exit_process(module, py::handle());
    }
    std::vector<py::object> modules = distinct(optimized);

    // A tensor the network holds under several names (tied weights) is stored once. A file
    // of sv_save_net's safetensors mode names the other keys in its metadata: they are put
    // back first, and checked against the rebuilt network's ties below. A file that records
    // nothing of them (the companion's weight-tying format) gets every key it lacks that the
    // rebuilt network ties to a key it has.
    py::object filename_text = text(filename);
    py::object aliases = block::saved_aliases(filename, filename_text);
    if (aliases && length(aliases) == 0)
        aliases = py::object();
    if (aliases)
        state_dict = block::with_aliases(state_dict, aliases, filename_text);
    RebuiltTies ties(module, net, modules);
    SavedFile file(module, state_dict, filename);
    if (!aliases)
        file.complete(ties.own_additions(file.state()));

    // Every block's entries are looked up, then checked, before the first block changes: a key
    // missing in any block is reported as the KeyError of its lookup, ahead of a value refused
    // in an earlier block.
    std::vector<SavedBlock> blocks;
    for (const py::object &m : modules)
        blocks.push_back(file.read_keys(m, companion::get_module_base_name(module, m)));
    for (SavedBlock &saved : blocks)
        file.count_entries(saved);
    ties.plan(blocks, file);
    if (aliases)
        block::check_aliases(aliases, filename_text,
                             [&](py::handle key) { return ties.token(key); });
    else
        file.complete(ties.tied_additions(file.state()));
    for (SavedBlock &saved : blocks)
        file.check_values(saved);

    for (const SavedBlock &saved : blocks) {
        const py::object &m = saved.block;
        if (greater(saved.cycles, make_int(0)))
            call_method(m, SV_NAME("simulate_cycles"), saved.cycles, make_int(10));
        if (saved.original_last)
            move_original_last(m);

        py::object processor = attr(m, SV_NAME("processor"));
        py::object entry = py::none();
        if (!is_none(processor)) {
            entry = call_method(global(module, SV_NAME("copy")), SV_NAME("deepcopy"), processor);
            // Bound to the module's own processor (read anew, as each read is visible to
            // callers), not to the copy.
            block::bind_steps([&] { return entry; },
                                   [&] { return attr(m, SV_NAME("processor")); },
                                   block::ProcessorRole::main);
        }
        call_method(attr(m, SV_NAME("processor_array")), SV_NAME("append"), entry);

        py::object torch = global(module, SV_NAME("torch"));
        py::object weights = call_method(global(module, SV_NAME("nn")), SV_NAME("Parameter"),
                                         skip_values(torch, m, saved.skip_shape));
        register_parameter(m, SV_NAME("skip_weights"), weights);
        register_buffer(m, SV_NAME("module_id"), saved.module_id);
        register_buffer(m, SV_NAME("view_tuple"), saved.view_tuple);
        block::rows::remember_view_tuple(m, saved.view_tuple);
    }
    call_method(net, SV_NAME("load_state_dict"), file.narrowed(net, blocks));
    return net;
}

} // namespace sorvith::network_svp
