// blockwise_network(net) and the walk behind it, optimize_module(net, depth, name_so_far,
// converted_list): every dendritic neuron module the walk reaches is replaced, in place, by the
// NVRLayer block that convert_to_nvr_layer_block makes from it.
#include "walks.h"

#include "companion/nevrane.h"
#include "host/errors.h"
#include "walk.h"

namespace sorvith::walk {

namespace {

py::object rewrite(Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                   py::object converted_list);

bool is_neuron(py::handle module, py::handle value) {
    return type_of(value).ptr() == companion::neuron_module_class(module).ptr();
}

py::object convert_neuron(py::handle module, py::handle neuron) {
    return call(global(module, SV_NAME("convert_to_nvr_layer_block")), neuron);
}

// The children of nn.Sequential and nn.ModuleList (and subclasses), each fetched anew by name
// at every use: each call of a get_submodule other than torch's is visible to callers (torch's
// own reads the child table).
void rewrite_children(Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                      py::object &converted_list) {
    py::handle module = w.module;
    Children children(w, net);
    while (py::object submodule_id = children.next()) {
        auto child = [&] { return w.submodule(net, submodule_id); };
        auto path = [&] { return child_path(name_so_far, submodule_id); };
        if (is_neuron(module, child())) {
            if (verbose(module))
                print(module, concat({format("Seq sub is NVR so optimizing: %s", name_so_far),
                                      py::str("["), text(submodule_id), py::str("]")}));
            set_attr(net, submodule_id, convert_neuron(module, child()));
            continue;
        }
        if (w.not_self_or_ancestor(net, child())) {
            w.list_path(converted_list, path());
            py::object next = child();
            assign_if_replaced(net, submodule_id, next,
                               descend(w, rewrite, next, depth, path(), converted_list));
        } else if (verbose(module)) {
            print(module, format("%s is a self pointer so skipping", path()));
        }
    }
}

// Every other module: its members, by the rules of every walk (walk.h).
void rewrite_members(Walk &w, py::handle net, py::handle members, py::handle depth,
                     py::handle name_so_far, py::object &converted_list) {
    py::handle module = w.module;
    MemberPaths paths(name_so_far);
    each_readable_member(w, net, members, paths, [&](py::handle member, py::handle sub_name) {
        py::object not_to_save =
            companion::setting(module, companion::getters::module_names_to_not_save());
        if (contains(not_to_save, sub_name) || w.is_listed(converted_list, sub_name)) {
            if (verbose(module))
                print(module, format("Skipping %s during save", sub_name));
            return;
        }
        if (is_neuron(module, attr_or_none(net, member))) {
            if (verbose(module))
                print(module,
                      concat({format("Sub is in conversion list so initiating optimization for: %s",
                                     name_so_far),
                              py::str("."), member}));
            set_attr(net, member, convert_neuron(module, attr(net, member)));
            return;
        }
        py::object nn_module = module_class(module);
        if (!is_subclass(type_of(attr_or_none(net, member)), nn_module))
            return;
        if (w.not_self_or_ancestor(net, attr(net, member))) {
            w.list_path(converted_list, sub_name);
            py::object next = attr(net, member);
            assign_if_replaced(net, member, next,
                               descend(w, rewrite, next, depth, sub_name, converted_list));
        } else if (verbose(module)) {
            print(module, format("%s is a self pointer so skipping", sub_name));
        }
    });
}

py::object rewrite(Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                   py::object converted_list) {
    Level level(w, net);
    py::object members = w.members_of(net);
    if (is_container(w.module, type_of(net)))
        rewrite_children(w, net, depth, name_so_far, converted_list);
    else
        rewrite_members(w, net, members, depth, name_so_far, converted_list);
    return borrow(net.ptr());
}

Recursion through_optimize_module() {
    return recursion_through<optimize_module>(SV_NAME("optimize_module"));
}

} // namespace

py::object optimize_module(py::handle module, py::handle args, py::handle kwargs) {
    return run_path_walk(module, args, kwargs, "OOOO:optimize_module",
                         through_optimize_module(), rewrite);
}

py::object blockwise_network(py::handle module, py::handle args, py::handle kwargs) {
    return start_at_top(module, args, kwargs, "O:blockwise_network", "net",
                        through_optimize_module(), rewrite);
}

} // namespace sorvith::walk
