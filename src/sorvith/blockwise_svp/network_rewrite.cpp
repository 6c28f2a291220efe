#include "network_rewrite.h"

#include "block/walk.h"
#include "companion/nevrane.h"
#include "host/errors.h"
#include "host/protocols.h"

namespace sorvith::blockwise_svp {

namespace {

py::object rewrite(walk::Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                   py::object converted_list);

// optimize_module(child, depth + 1, path, converted_list), through the module's late-bound name.
py::object descend(walk::Walk &w, py::handle child, py::handle depth, py::handle path,
                   py::handle converted_list) {
    return walk::descend(w, SV_NAME("optimize_module"), &optimize_module_def, rewrite, child,
                         depth, path, converted_list);
}

bool verbose(py::handle module) {
    return companion::flag(module, companion::getters::extra_verbose());
}

bool is_neuron(py::handle module, py::handle value) {
    return type_of(value).ptr() == companion::neuron_module_class(module).ptr();
}

py::object convert(py::handle module, py::handle neuron) {
    return call(global(module, SV_NAME("convert_to_nvr_layer_block")), neuron);
}

// The children of nn.Sequential and nn.ModuleList (and subclasses), each fetched anew by name
// at every use: each call of a get_submodule other than torch's is visible to callers (torch's
// own reads the child table).
void rewrite_children(walk::Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                      py::object &converted_list) {
    py::handle module = w.module;
    walk::Children children(w, net);
    while (py::object submodule_id = children.next()) {
        auto child = [&] { return w.submodule(net, submodule_id); };
        auto path = [&] { return walk::child_path(name_so_far, submodule_id); };
        if (is_neuron(module, child())) {
            if (verbose(module))
                print(module, concat({format("Seq sub is NVR so optimizing: %s", name_so_far),
                                      py::str("["), text(submodule_id), py::str("]")}));
            set_attr(net, submodule_id, convert(module, child()));
            continue;
        }
        py::object current = child();
        if (not_equal(net, current) && !w.is_ancestor(current)) {
            w.list_path(converted_list, path());
            py::object next = child();
            walk::assign_if_replaced(net, submodule_id, next,
                                     descend(w, next, depth, path(), converted_list));
        } else if (verbose(module)) {
            print(module, format("%s is a self pointer so skipping", path()));
        }
    }
}

// Every other module: its members by the names __dir__ gave before anything changed. Each
// member is read anew at every use (a property runs each time) and the companion getters are
// asked anew for each member: callers may observe both.
void rewrite_members(walk::Walk &w, py::handle net, py::handle members, py::handle depth,
                     py::handle name_so_far, py::object &converted_list) {
    py::handle module = w.module;
    walk::MemberPaths paths(name_so_far);
    for (py::handle member : members) {
        // The probe, left out when the read runs no code (it cannot fail then).
        if (!w.quiet_read(net, member).quiet && !walk::probe_member(net, member))
            continue;
        py::object sub_name = paths.path(member);
        py::object not_to_save =
            companion::setting(module, companion::getters::module_names_to_not_save());
        if (contains(not_to_save, sub_name) || w.is_listed(converted_list, sub_name)) {
            if (verbose(module))
                print(module, format("Skipping %s during save", sub_name));
            continue;
        }
        if (is_neuron(module, attr_or_none(net, member))) {
            if (verbose(module))
                print(module,
                      concat({format("Sub is in conversion list so initiating optimization for: %s",
                                     name_so_far),
                              py::str("."), member}));
            set_attr(net, member, convert(module, attr(net, member)));
            continue;
        }
        py::object module_class = walk::module_class(module);
        if (!is_subclass(type_of(attr_or_none(net, member)), module_class))
            continue;
        py::object current = attr(net, member);
        if (not_equal(net, current) && !w.is_ancestor(current)) {
            w.list_path(converted_list, sub_name);
            py::object next = attr(net, member);
            walk::assign_if_replaced(net, member, next,
                                     descend(w, next, depth, sub_name, converted_list));
        } else if (verbose(module)) {
            print(module, format("%s is a self pointer so skipping", sub_name));
        }
    }
}

py::object rewrite(walk::Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                   py::object converted_list) {
    walk::Level level(w, net);
    py::object members = w.members_of(net);
    if (walk::is_container(w.module, type_of(net)))
        rewrite_children(w, net, depth, name_so_far, converted_list);
    else
        rewrite_members(w, net, members, depth, name_so_far, converted_list);
    return borrow(net.ptr());
}

py::object optimize_module(py::handle module, py::handle args, py::handle kwargs) {
    return walk::run_path_walk(module, args, kwargs, "OOOO:optimize_module", rewrite);
}

py::object blockwise_network(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", nullptr};
    PyObject *net;
    parse_args(args, kwargs, "O:blockwise_network", names, &net);
    return walk::start_at_top(module, SV_NAME("optimize_module"), &optimize_module_def, rewrite,
                              net);
}

} // namespace

PyMethodDef optimize_module_def =
    SV_DOCUMENTED(optimize_module, optimize_module, "(net, depth, name_so_far, converted_list)",
        "The walk behind blockwise_network: replace the dendritic neuron modules below net by\n"
        "NVRLayer blocks, in place, and return net.");
PyMethodDef blockwise_network_def =
    SV_DOCUMENTED(blockwise_network, blockwise_network, "(net)",
        "Replace, in place, every dendritic neuron module inside net by an NVRLayer; returns\n"
        "net.");

} // namespace sorvith::blockwise_svp
