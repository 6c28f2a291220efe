#include "rebuild.h"

#include "block/walk.h"
#include "companion/nevrane.h"
#include "host/errors.h"
#include "host/protocols.h"

#include <cstring>

namespace sorvith::slim_load {

namespace {

namespace getters = companion::getters;

// type(value).__name__ == "NVRLayer": the blocks are recognised by class name, so any class
// of that name counts.
bool is_layer_type(py::handle type) {
    // A class of class `type` answers __name__ from its own record (a heap type's name, or a
    // built-in's after the last dot), which is read here without the attribute lookup.
    PyTypeObject *cls = reinterpret_cast<PyTypeObject *>(type.ptr());
    if (PyType_CheckExact(type.ptr())) {
        if (PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE)) {
            PyObject *name = reinterpret_cast<PyHeapTypeObject *>(cls)->ht_name;
            if (name && PyUnicode_CheckExact(name))
                return PyUnicode_CompareWithASCIIString(name, "NVRLayer") == 0;
        } else {
            const char *dot = std::strrchr(cls->tp_name, '.');
            return std::strcmp(dot ? dot + 1 : cls->tp_name, "NVRLayer") == 0;
        }
    }
    return equal(attr(type, SV_NAME("__name__")), SV_NAME("NVRLayer"));
}

bool is_layer_block(py::handle value) { return is_layer_type(type_of(value)); }

bool verbose(py::handle module) { return companion::flag(module, getters::extra_verbose()); }

py::object make_module(py::handle module, py::handle layer) {
    return call(global(module, SV_NAME("make_module")), layer);
}

py::object rebuild(walk::Walk &w, py::handle net_arg, py::handle depth, py::handle name_so_far,
                   py::object converted_list);

// refresh_nvr(child, depth + 1, path, converted_list), through the module's late-bound name.
py::object descend(walk::Walk &w, py::handle child, py::handle depth, py::handle path,
                   py::handle converted_list) {
    return walk::descend(w, SV_NAME("refresh_nvr"), &refresh_nvr_def, rebuild, child, depth, path,
                         converted_list);
}

void print_headers(py::handle module, py::handle net, py::handle depth, py::handle name_so_far) {
    print(module, format("SL calling convert on %s depth %d", py::make_tuple(net, depth)));
    py::object type_name = attr(type_of(net), SV_NAME("__name__"));
    print(module, format("SL calling convert on %s: %s, depth %d",
                         py::make_tuple(name_so_far, type_name, depth)));
}

// nn.Sequential and nn.ModuleList (and subclasses): every child that named_children yields,
// fetched anew by name at every use (each call of a get_submodule other than torch's is
// visible to callers; torch's own reads the child table).
void rebuild_children(walk::Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                      py::object &converted_list) {
    walk::Children children(w, net);
    while (py::object submodule_id = children.next()) {
        auto child = [&] { return w.submodule(net, submodule_id); };
        py::object current = child();
        if (not_equal(net, current) && !w.is_ancestor(current)) {
            py::object path = walk::child_path(name_so_far, submodule_id);
            w.list_path(converted_list, path);
            py::object next = child();
            walk::assign_if_replaced(net, submodule_id, next,
                                     descend(w, next, depth, path, converted_list));
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
void rebuild_list(walk::Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                  py::object &converted_list) {
    for (Py_ssize_t i = 0; i < length(net); ++i) {
        py::object current = getitem(net, i);
        py::object module_class = walk::module_class(w.module);
        if (is_subclass(type_of(current), module_class) && not_equal(net, current) &&
            !w.is_ancestor(current)) {
            py::object path = walk::child_path(name_so_far, make_int(i));
            w.list_path(converted_list, path);
            py::object next = getitem(net, i);
            walk::store_if_replaced(net, i, next, descend(w, next, depth, path, converted_list));
        }
        if (is_layer_block(getitem(net, i)))
            setitem(net, i, make_module(w.module, getitem(net, i)));
    }
}

// The type of what getattr(net, member, None) gives: worked out without the read when the
// read runs no code, else read.
py::object member_type(const walk::QuietRead &read, py::handle net, py::handle member) {
    if (read.quiet)
        return read.type;
    return borrow(type_of(attr_or_none(net, member)).ptr());
}

// Every other module: its members by the names __dir__ gave before anything changed. Each
// member is read anew at every use (a property runs each time) and the companion getters are
// asked anew for each member: callers may observe both. A read that runs no code at all (a
// method, a plain value) is worked out instead of made, which nothing can tell apart.
void rebuild_members(walk::Walk &w, py::handle net, py::handle members, py::handle depth,
                     py::handle name_so_far, py::object &converted_list) {
    py::handle module = w.module;
    walk::MemberPaths paths(name_so_far);
    for (py::handle member : members) {
        if (!w.quiet_read(net, member).quiet && !walk::probe_member(net, member))
            continue; // a member that cannot even be read is passed over silently
        py::object sub_name = paths.path(member);
        if (walk::name_is(member, SV_NAME("device")) || walk::name_is(member, SV_NAME("dtype")))
            continue;
        if (contains(companion::setting(module, getters::module_names_to_not_save()), sub_name))
            continue;
        // At the top the list is asked again: each call of a getter is visible to callers.
        if (paths.at_top() &&
            (contains(companion::setting(module, getters::module_names_to_not_save()), sub_name) ||
             w.is_listed(converted_list, sub_name))) {
            if (verbose(module))
                print(module, format("Skipping %s during save", py::make_tuple(sub_name)));
            continue;
        }
        py::object module_class = walk::module_class(module);
        walk::QuietRead read = w.quiet_read(net, member);
        bool walked = is_subclass(member_type(read, net, member), module_class) ||
                      walk::name_is(member, SV_NAME("layer_array"));
        if (walked) {
            w.list_path(converted_list, sub_name);
            py::object current = attr(net, member);
            if (not_equal(net, current) && !w.is_ancestor(current)) {
                py::object next = attr(net, member);
                walk::assign_if_replaced(net, member, next,
                                         descend(w, next, depth, sub_name, converted_list));
            }
        }
        // Read again, after any replacement. What the quiet read above found still holds when
        // nothing has run since: no walk, a class test against a plain class, a str name.
        bool unchanged = read.quiet && !walked && PyType_CheckExact(module_class.ptr()) &&
                         PyUnicode_CheckExact(member.ptr());
        if (!unchanged)
            read = w.quiet_read(net, member);
        if (is_layer_type(member_type(read, net, member))) {
            py::object make = global(module, SV_NAME("make_module"));
            py::object layer =
                call(global(module, SV_NAME("get_pretrained_nvr_attr")), net, member);
            set_attr(net, member, call(make, layer));
        }
    }
}

py::object rebuild(walk::Walk &w, py::handle net_arg, py::handle depth, py::handle name_so_far,
                   py::object converted_list) {
    walk::Level level(w, net_arg);
    py::handle module = w.module;
    py::object net = borrow(net_arg.ptr());
    if (verbose(module))
        print_headers(module, net, depth, name_so_far);

    if (type_of(net).ptr() == global(module, SV_NAME("ModuleType")).ptr()) {
        if (verbose(module))
            print(module, "this is only being called because something in your model is pointed to "
                          "twice by two different variables.  Highest thing on the list is one "
                          "of the duplicates");
        return net;
    }

    py::object members = w.members_of(net);
    py::handle cls = type_of(net);
    if (walk::is_container(module, cls)) {
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

py::object refresh_nvr(py::handle module, py::handle args, py::handle kwargs) {
    return walk::run_path_walk(module, args, kwargs, "OOOO:refresh_nvr", rebuild);
}

py::object refresh_net(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"pretrained_dendrite", nullptr};
    PyObject *net;
    parse_args(args, kwargs, "O:refresh_net", names, &net);
    return walk::start_at_top(module, SV_NAME("refresh_nvr"), &refresh_nvr_def, rebuild, net);
}

py::object make_module_function(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"module", nullptr};
    PyObject *layer;
    parse_args(args, kwargs, "O:make_module", names, &layer);
    return call(global(module, SV_NAME("ModuleType")), layer);
}

} // namespace

PyMethodDef make_module_def =
    SV_DOCUMENTED(make_module, make_module_function, "(module)",
        "Return ModuleType(module): by default a new NVRModulePyThread made from an NVRLayer.");
PyMethodDef refresh_nvr_def =
    SV_DOCUMENTED(refresh_nvr, refresh_nvr, "(net, depth, name_so_far, converted_list)",
        "The walk behind refresh_net: replace the NVRLayer blocks below net in place; returns\n"
        "net, or its replacement when net is itself a block.");
PyMethodDef refresh_net_def =
    SV_DOCUMENTED(refresh_net, refresh_net, "(pretrained_dendrite)",
        "Replace every NVRLayer in a blockwise network by ModuleType, in place; returns the\n"
        "network, or its replacement when the root is itself a block.");

} // namespace sorvith::slim_load
