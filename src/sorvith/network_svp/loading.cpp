#include "loading.h"

#include "block/processors.h"
#include "block/view_shape.h"
#include "companion/nevrane.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"

#include <vector>

namespace sorvith::network_svp {

namespace {

// Torch used to load a saved 1-dimensional tensor into a 0-dimensional parameter or buffer by
// taking its first element, and cleaned files rely on it: each dendrite and main module there
// carries its `module_id` as a text tensor, where a freshly built block holds a 0-dimensional
// buffer. Current torch refuses the shapes instead, so those entries are narrowed to their first
// element here, in a copy of the mapping. Without such entries the mapping itself is returned.
py::object narrow_scalar_entries(py::handle module, py::handle net, py::handle state_dict) {
    py::object is_tensor = attr(global(module, SV_NAME("torch")), SV_NAME("is_tensor"));
    auto count = [](py::handle tensor, py::handle method) {
        return as_size(call_method(tensor, method));
    };
    py::dict keep_vars;
    keep_vars["keep_vars"] = py::bool_(true);
    py::object targets = call_with(attr(net, SV_NAME("state_dict")), py::tuple(), keep_vars);
    py::object merged;
    for (py::handle entry : call_method(targets, SV_NAME("items"))) {
        py::object key = getitem(entry, 0);
        if (!contains(state_dict, key))
            continue;
        py::object saved = getitem(state_dict, key);
        // Anything else is left for load_state_dict to accept or to report.
        if (!truth(call(is_tensor, saved)) || count(getitem(entry, 1), SV_NAME("dim")) != 0 ||
            count(saved, SV_NAME("dim")) != 1 || count(saved, SV_NAME("numel")) < 1)
            continue;
        if (!merged) { // a copy: the mapping as read stays as it is
            merged = steal(PyDict_New());
            check(PyDict_Update(merged.ptr(), state_dict.ptr()));
        }
        setitem(merged, key, getitem(saved, make_int(0)));
    }
    return merged ? merged : borrow(state_dict.ptr());
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
    std::vector<py::object> rebuilt; // held, so that an identity cannot be reused meanwhile
    for (py::handle m : optimized) {
        bool seen = false;
        for (const py::object &done : rebuilt)
            seen = seen || done.ptr() == m.ptr();
        if (seen)
            continue;
        rebuilt.push_back(borrow(m.ptr()));
        py::object prefix = companion::get_module_base_name(module, m);
        auto saved = [&](const char *suffix) {
            return getitem(state_dict, add(prefix, py::str(suffix)));
        };
        py::object cycles =
            steal(PyNumber_Long(call_method(saved(".num_cycles"), SV_NAME("item")).ptr()));
        if (greater(cycles, make_int(0)))
            call_method(m, SV_NAME("simulate_cycles"), cycles, make_int(10));

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
        py::object shape = attr(saved(".skip_weights"), SV_NAME("shape"));
        py::object weights = call_method(global(module, SV_NAME("nn")), SV_NAME("Parameter"),
                                         call_method(torch, SV_NAME("randn"), shape));
        register_parameter(m, SV_NAME("skip_weights"), weights);
        register_buffer(m, SV_NAME("module_id"), saved(".module_id"));
        py::object view_tuple = saved(".view_tuple");
        register_buffer(m, SV_NAME("view_tuple"), view_tuple);
        block::remember_view_tuple(m, view_tuple);
    }
    call_method(net, SV_NAME("load_state_dict"), narrow_scalar_entries(module, net, state_dict));
    return net;
}

} // namespace

PyMethodDef load_nvr_model_def = SV_FUNCTION(load_nvr_model, load_nvr_model, "(net, filename)");

} // namespace sorvith::network_svp
