// debug_print_grad_modules(net, depth, name_so_far): one line per module below net saying
// whether it has a parameter that requires gradients (through the module's late-bound
// check_requires_grad).
#include "walks.h"

#include "walk.h"

namespace sorvith::walk {

namespace {

// One module's line, then the modules below it; returns nothing (a null object).
py::object print_grad_modules(Walk &w, py::handle net, py::handle depth,
                              py::handle name_so_far) {
    Level level(w, net);
    py::handle module = w.module;
    py::object flag = call(global(module, SV_NAME("check_requires_grad")), net);
    print(module, format("%s: has req grads: %d", py::make_tuple(name_so_far, flag)));
    py::object all_members = w.members_of(net);
    if (is_container(module, type_of(net))) {
        py::object children = call_method(net, SV_NAME("named_children"));
        for (py::handle entry : children) {
            py::object submodule_id = getitem(entry, 0);
            py::object sub_name = concat({name_so_far, py::str("."), text(submodule_id)});
            auto child = [&] { return call_method(net, SV_NAME("get_submodule"), submodule_id); };
            if (w.not_self_or_ancestor(net, child()))
                descend(w, print_grad_modules, child(), depth, sub_name);
        }
    } else {
        py::object nn_module = module_class(module);
        for (py::handle member : all_members) {
            py::object sub_name = concat({name_so_far, py::str("."), member});
            if (!probe_member(net, member))
                continue; // a member that cannot be read is passed over
            if (!is_subclass(type_of(attr_or_none(net, member)), nn_module))
                continue;
            if (w.not_self_or_ancestor(net, attr(net, member)))
                descend(w, print_grad_modules, attr(net, member), depth, sub_name);
        }
    }
    return py::object();
}

} // namespace

py::object debug_print_grad_modules(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", "name_so_far", nullptr};
    PyObject *net, *depth, *name_so_far;
    parse_args(args, kwargs, "OOO:debug_print_grad_modules", names, &net, &depth, &name_so_far);
    Walk w(module,
           recursion_through<debug_print_grad_modules>(SV_NAME("debug_print_grad_modules")));
    print_grad_modules(w, net, depth, name_so_far);
    return py::none();
}

} // namespace sorvith::walk
