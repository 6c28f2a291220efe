// refresh_net(pretrained_dendrite) and the walk behind it, refresh_nvr(net, depth, name_so_far,
// converted_list): a blockwise network turned into its cleaned form by putting what
// make_module gives (a ModuleType block, NVRModulePyThread by default) in the place of every
// NVRLayer the walk reaches.
#include "walks.h"

#include "companion/nevrane.h"
#include "host/errors.h"
#include "walk.h"

namespace sorvith::walk {

namespace {

namespace getters = companion::getters;

bool is_layer_block(py::handle value) { return is_block(type_of(value), BlockBy::layer_name); }

py::object make_module(py::handle module, py::handle layer) {
    return call(global(module, SV_NAME("make_module")), layer);
}

py::object rebuild(Walk &w, py::handle net_arg, py::handle depth, py::handle name_so_far,
                   py::object converted_list);

void print_headers(py::handle module, py::handle net, py::handle depth, py::handle name_so_far) {
    print(module, format("SL calling convert on %s depth %d", py::make_tuple(net, depth)));
    py::object type_name = attr(type_of(net), SV_NAME("__name__"));
    print(module, format("SL calling convert on %s: %s, depth %d",
                         py::make_tuple(name_so_far, type_name, depth)));
}

// nn.Sequential and nn.ModuleList (and subclasses): every child that named_children yields,
// fetched anew by name at every use (each call of a get_submodule other than torch's is
// visible to callers; torch's own reads the child table).
void rebuild_children(Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                      py::object &converted_list) {
    Children children(w, net);
    while (py::object submodule_id = children.next()) {
        auto child = [&] { return w.submodule(net, submodule_id); };
        if (w.not_self_or_ancestor(net, child())) {
            py::object path = child_path(name_so_far, submodule_id);
            w.list_path(converted_list, path);
            py::object next = child();
            assign_if_replaced(net, submodule_id, next,
                               descend(w, rebuild, next, depth, path, converted_list));
        }
        if (is_layer_block(child())) {
            py::object make = global(w.module, SV_NAME("make_module"));
            py::object layer =
                call(global(w.module, SV_NAME("get_pretrained_nvr_var")), net, submodule_id);
            set_attr(net, submodule_id, call(make, layer));
        }
    }
}

// A plain list (a layer_array kept as a list, say) has no named_children: its entries are
// walked by index under the container rules, module entries recursed into and blocks
// replaced in place.
void rebuild_list(Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                  py::object &converted_list) {
    for (Py_ssize_t i = 0; i < length(net); ++i) {
        py::object current = getitem(net, i);
        if (is_subclass(type_of(current), module_class(w.module)) &&
            w.not_self_or_ancestor(net, current)) {
            py::object path = child_path(name_so_far, make_int(i));
            w.list_path(converted_list, path);
            py::object next = getitem(net, i);
            store_if_replaced(net, i, next,
                              descend(w, rebuild, next, depth, path, converted_list));
        }
        if (is_layer_block(getitem(net, i)))
            setitem(net, i, make_module(w.module, getitem(net, i)));
    }
}

// The type of what getattr(net, member, None) gives: worked out without the read when the
// read runs no code, else read.
py::object member_type(const QuietRead &read, py::handle net, py::handle member) {
    if (read.quiet)
        return read.type;
    return borrow(type_of(attr_or_none(net, member)).ptr());
}

// Every other module: its members, by the rules of every walk (walk.h). A read that runs no
// code at all (a method, a plain value) is worked out instead of made, which nothing can tell
// apart.
void rebuild_members(Walk &w, py::handle net, py::handle members, py::handle depth,
                     py::handle name_so_far, py::object &converted_list) {
    py::handle module = w.module;
    MemberPaths paths(name_so_far);
    each_readable_member(w, net, members, paths, [&](py::handle member, py::handle sub_name) {
        if (name_is(member, SV_NAME("device")) || name_is(member, SV_NAME("dtype")))
            return;
        if (contains(companion::setting(module, getters::module_names_to_not_save()), sub_name))
            return;
        // At the top the list is asked again: each call of a getter is visible to callers.
        if (paths.at_top() &&
            (contains(companion::setting(module, getters::module_names_to_not_save()), sub_name) ||
             w.is_listed(converted_list, sub_name))) {
            if (verbose(module))
                print(module, format("Skipping %s during save", py::make_tuple(sub_name)));
            return;
        }
        py::object nn_module = module_class(module);
        QuietRead read = w.quiet_read(net, member);
        bool walked = is_subclass(member_type(read, net, member), nn_module) ||
                      name_is(member, SV_NAME("layer_array"));
        if (walked) {
            w.list_path(converted_list, sub_name);
            if (w.not_self_or_ancestor(net, attr(net, member))) {
                py::object next = attr(net, member);
                assign_if_replaced(net, member, next,
                                   descend(w, rebuild, next, depth, sub_name, converted_list));
            }
        }
        // Read again, after any replacement. What the quiet read above found still holds when
        // nothing has run since: no walk, a class test against a plain class, a str name.
        bool unchanged = read.quiet && !walked && PyType_CheckExact(nn_module.ptr()) &&
                         PyUnicode_CheckExact(member.ptr());
        if (!unchanged)
            read = w.quiet_read(net, member);
        if (is_block(member_type(read, net, member), BlockBy::layer_name)) {
            py::object make = global(module, SV_NAME("make_module"));
            py::object layer =
                call(global(module, SV_NAME("get_pretrained_nvr_attr")), net, member);
            set_attr(net, member, call(make, layer));
        }
    });
}

py::object rebuild(Walk &w, py::handle net_arg, py::handle depth, py::handle name_so_far,
                   py::object converted_list) {
    Level level(w, net_arg);
    py::handle module = w.module;
    py::object net = borrow(net_arg.ptr());
    if (verbose(module))
        print_headers(module, net, depth, name_so_far);

    if (is_block(type_of(net), BlockBy::module_type, global(module, SV_NAME("ModuleType")))) {
        if (verbose(module))
            print(module, "this is only being called because something in your model is pointed to "
                          "twice by two different variables.  Highest thing on the list is one "
                          "of the duplicates");
        return net;
    }

    py::object members = w.members_of(net);
    py::handle cls = type_of(net);
    if (is_container(module, cls)) {
        rebuild_children(w, net, depth, name_so_far, converted_list);
    } else if (is_subclass(cls, global(module, SV_NAME("list")))) {
        rebuild_list(w, net, depth, name_so_far, converted_list);
    } else {
        if (contains(companion::setting(module, getters::modules_to_track()), cls))
            return net; // left whole: its blocks stay as they are
        rebuild_members(w, net, members, depth, name_so_far, converted_list);
    }

    if (is_layer_block(net))
        net = make_module(module, net);
    return net;
}

Recursion through_refresh_nvr() {
    return recursion_through<refresh_nvr>(SV_NAME("refresh_nvr"));
}

} // namespace

py::object refresh_nvr(py::handle module, py::handle args, py::handle kwargs) {
    return run_path_walk(module, args, kwargs, "OOOO:refresh_nvr", through_refresh_nvr(),
                         rebuild);
}

py::object refresh_net(py::handle module, py::handle args, py::handle kwargs) {
    return start_at_top(module, args, kwargs, "O:refresh_net", "pretrained_dendrite",
                        through_refresh_nvr(), rebuild);
}

} // namespace sorvith::walk
