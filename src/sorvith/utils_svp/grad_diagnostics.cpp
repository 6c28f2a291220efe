#include "grad_diagnostics.h"

#include "block/walk.h"
#include "host/protocols.h"

namespace sorvith::utils_svp {

namespace {

py::object check_requires_grad(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"module", nullptr};
    PyObject *module_arg;
    parse_args(args, kwargs, "O:check_requires_grad", names, &module_arg);
    py::object parameters = call_method(module_arg, SV_NAME("parameters"));
    for (py::handle param : parameters)
        if (truth(attr(param, SV_NAME("requires_grad"))))
            return py::bool_(true);
    return py::bool_(false);
}


void print_grad_modules(walk::Walk &w, py::handle net, py::handle depth, py::handle name_so_far);

// debug_print_grad_modules(child, depth + 1, sub_name), through the module's late-bound name.
void descend(walk::Walk &w, py::handle child, py::handle depth, py::handle sub_name) {
    py::object next_depth = add(depth, make_int(1));
    walk::recurse(
        w, SV_NAME("debug_print_grad_modules"), &debug_print_grad_modules_def,
        [&] {
            print_grad_modules(w, child, next_depth, sub_name);
            return py::object();
        },
        child, next_depth, sub_name);
}

void print_grad_modules(walk::Walk &w, py::handle net, py::handle depth, py::handle name_so_far) {
    walk::Level level(w, net);
    py::handle module = w.module;
    py::object flag = call(global(module, SV_NAME("check_requires_grad")), net);
    print(module, format("%s: has req grads: %d", py::make_tuple(name_so_far, flag)));
    py::object all_members = w.members_of(net);
    if (walk::is_container(module, type_of(net))) {
        py::object children = call_method(net, SV_NAME("named_children"));
        for (py::handle entry : children) {
            py::object submodule_id = getitem(entry, 0);
            py::object sub_name = concat({name_so_far, py::str("."), text(submodule_id)});
            // Fetched anew for the test and for the call: each get_submodule is visible.
            py::object child = call_method(net, SV_NAME("get_submodule"), submodule_id);
            if (not_equal(net, child) && !w.is_ancestor(child))
                descend(w, call_method(net, SV_NAME("get_submodule"), submodule_id), depth,
                        sub_name);
        }
    } else {
        py::object module_class = attr(global(module, SV_NAME("nn")), SV_NAME("Module"));
        for (py::handle member : all_members) {
            py::object sub_name = concat({name_so_far, py::str("."), member});
            if (!walk::probe_member(net, member))
                continue; // a member that cannot be read is passed over
            // Read anew at every use: a property runs each time, as callers may observe.
            if (!is_subclass(type_of(attr_or_none(net, member)), module_class))
                continue;
            py::object value = attr(net, member);
            if (not_equal(net, value) && !w.is_ancestor(value))
                descend(w, attr(net, member), depth, sub_name);
        }
    }
}

py::object debug_print_grad_modules(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", "name_so_far", nullptr};
    PyObject *net, *depth, *name_so_far;
    parse_args(args, kwargs, "OOO:debug_print_grad_modules", names, &net, &depth, &name_so_far);
    walk::Walk w(module);
    print_grad_modules(w, net, depth, name_so_far);
    return py::none();
}

} // namespace

PyMethodDef check_requires_grad_def =
    SV_DOCUMENTED(check_requires_grad, check_requires_grad, "(module)",
        "Return whether any parameter of module requires gradients.");
PyMethodDef debug_print_grad_modules_def =
    SV_DOCUMENTED(debug_print_grad_modules, debug_print_grad_modules, "(net, depth, name_so_far)",
        "Print one line per module below net saying whether it has a parameter that requires\n"
        "gradients (pass depth=0 and the name to print for net); returns None.");

} // namespace sorvith::utils_svp
