#include "conversion.h"

#include "companion/host.h"
#include "companion/nevrane.h"
#include "companion/pyclass.h"

#include <vector>

namespace sorvith::network_svp {

namespace {

py::object convert_network(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "layer_name", nullptr};
    PyObject *net_arg, *layer_name = nullptr;
    parse_args(args, kwargs, "O|O:convert_network", names, &net_arg, &layer_name);
    py::object net = borrow(net_arg);
    py::object name = layer_name ? borrow(layer_name) : py::str("");
    namespace getters = companion::getters;

    if (contains(companion::setting(module, getters::modules_to_replace()), type_of(net)))
        net = companion::replace_predefined_modules(module, net);
    if (contains(companion::setting(module, getters::modules_to_convert()), type_of(net))) {
        if (equal(name, py::str(""))) {
            print(module, "converting a single layer without a name, add a layer_name param to "
                          "the call");
            exit_process(module, make_int(-1));
            // An exit that returns leaves the module as it is: no block without a name.
        } else {
            net = call(global(module, SV_NAME("NVROptimizedModule")), net, name);
        }
    } else {
        print(module, "starting main call");
        net = companion::convert_module(module, net, global(module, SV_NAME("NVROptimizedModule")),
                                        global(module, SV_NAME("NVRTrackedModule")));
    }
    return net;
}

// The walk of get_nvr_modules. `path` holds the modules above `net`: a member that is one of
// them (not only `net` itself) is skipped, so a back-reference to an ancestor cannot recurse
// forever.
void find_optimized(py::handle module, py::handle net, py::handle depth,
                    WalkPath &path, py::list &found);

// get_nvr_modules(child, depth + 1), through the module's late-bound name: our own walk when it
// is still this function, the caller's replacement otherwise (also when the caller is running
// the original after rebinding the name).
void recurse(py::handle module, py::handle child, py::handle depth,
             WalkPath &path, py::list &found) {
    py::object next_depth = add(depth, make_int(1));
    py::object bound = global(module, SV_NAME("get_nvr_modules"));
    if (is_function_of(bound, &get_nvr_modules_def, module)) {
        find_optimized(module, child, next_depth, path, found);
        return;
    }
    py::object more = call(bound, child, next_depth);
    for (py::handle item : more)
        found.append(item);
}

void find_optimized(py::handle module, py::handle net, py::handle depth,
                    WalkPath &path, py::list &found) {
    RecursionLevel level;
    py::object members = call_method(net, SV_NAME("__dir__"));
    py::object nn = global(module, SV_NAME("nn"));
    py::object optimized_class = global(module, SV_NAME("NVROptimizedModule"));
    path.push_back(net.ptr());
    py::handle cls = type_of(net);
    bool container = is_subclass(cls, attr(nn, SV_NAME("Sequential"))) ||
                     is_subclass(cls, attr(nn, SV_NAME("ModuleList")));
    if (container) {
        py::object children = call_method(net, SV_NAME("named_children"));
        for (py::handle entry : children) {
            py::object child_name = getitem(entry, 0);
            py::object child = call_method(net, SV_NAME("get_submodule"), child_name);
            if (on_path(path, child))
                continue;
            child = call_method(net, SV_NAME("get_submodule"), child_name);
            if (type_of(child).ptr() == optimized_class.ptr()) {
                found.append(child);
                continue;
            }
            recurse(module, call_method(net, SV_NAME("get_submodule"), child_name), depth, path,
                    found);
        }
    } else {
        py::object module_class = attr(nn, SV_NAME("Module"));
        for (py::handle member : members) {
            if (on_path(path, attr_or_none(net, member)))
                continue;
            if (type_of(attr_or_none(net, member)).ptr() == optimized_class.ptr()) {
                found.append(attr(net, member));
                continue;
            }
            if (is_subclass(type_of(attr_or_none(net, member)), module_class))
                recurse(module, attr(net, member), depth, path, found);
        }
    }
    path.pop_back();
}

py::object get_nvr_modules(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", nullptr};
    PyObject *net, *depth;
    parse_args(args, kwargs, "OO:get_nvr_modules", names, &net, &depth);
    WalkPath path;
    py::list found;
    find_optimized(module, net, depth, path, found);
    return std::move(found);
}

// Torch used to load a saved 1-dimensional tensor into a 0-dimensional parameter or buffer by
// taking its first element, and cleaned files rely on it: each dendrite and main module there
// carries its `module_id` as a text tensor, where a freshly built block holds a 0-dimensional
// buffer. Current torch refuses the shapes instead, so those entries are narrowed to their first
// element here, in a copy of the mapping. Without such entries the mapping itself is returned.
py::object narrow_scalar_entries(py::handle module, py::handle net, py::handle state_dict) {
    py::object is_tensor = attr(global(module, SV_NAME("torch")), SV_NAME("is_tensor"));
    auto count = [](py::handle tensor, py::handle method) {
        py::object value = call_method(tensor, method);
        long n = PyLong_AsLong(value.ptr());
        if (n == -1 && PyErr_Occurred())
            throw py::error_already_set();
        return n;
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
        if (!merged) {
            merged = steal(PyDict_New());
            if (PyDict_Update(merged.ptr(), state_dict.ptr()) < 0)
                throw py::error_already_set();
        }
        if (PyDict_SetItem(merged.ptr(), key.ptr(), getitem(saved, make_int(0)).ptr()) < 0)
            throw py::error_already_set();
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
        py::object cycles = steal(PyNumber_Long(call_method(saved(".num_cycles"), SV_NAME("item")).ptr()));
        if (truth(steal(PyObject_RichCompare(cycles.ptr(), make_int(0).ptr(), Py_GT))))
            call_method(m, SV_NAME("simulate_cycles"), cycles, make_int(10));

        py::object processor = attr(m, SV_NAME("processor"));
        py::object entry = py::none();
        if (!is_none(processor)) {
            entry = call_method(global(module, SV_NAME("copy")), SV_NAME("deepcopy"), processor);
            // Bound to the module's own processor, not to the copy.
            set_attr(entry, SV_NAME("pre"), attr(attr(m, SV_NAME("processor")), SV_NAME("post_n1")));
            set_attr(entry, SV_NAME("post"), attr(attr(m, SV_NAME("processor")), SV_NAME("post_n2")));
        }
        call_method(attr(m, SV_NAME("processor_array")), SV_NAME("append"), entry);

        py::object torch = global(module, SV_NAME("torch"));
        py::object shape = attr(saved(".skip_weights"), SV_NAME("shape"));
        py::object weights = call_method(global(module, SV_NAME("nn")), SV_NAME("Parameter"),
                                         call_method(torch, SV_NAME("randn"), shape));
        register_parameter(m, SV_NAME("skip_weights"), weights);
        register_buffer(m, SV_NAME("module_id"), saved(".module_id"));
        register_buffer(m, SV_NAME("view_tuple"), saved(".view_tuple"));
    }
    call_method(net, SV_NAME("load_state_dict"), narrow_scalar_entries(module, net, state_dict));
    return net;
}

} // namespace

PyMethodDef convert_network_def =
    SV_METHOD("convert_network", convert_network, "convert_network(net, layer_name='')\n--\n\n");
PyMethodDef get_nvr_modules_def =
    SV_METHOD("get_nvr_modules", get_nvr_modules, "get_nvr_modules(net, depth)\n--\n\n");
PyMethodDef load_nvr_model_def =
    SV_METHOD("load_nvr_model", load_nvr_model, "load_nvr_model(net, filename)\n--\n\n");

} // namespace sorvith::network_svp
