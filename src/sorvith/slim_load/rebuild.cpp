#include "rebuild.h"

#include "companion/host.h"
#include "companion/nevrane.h"
#include "companion/pyclass.h"

#include <vector>

namespace sorvith::slim_load {

namespace {

namespace getters = companion::getters;

// One walk started by a call of our refresh_nvr. `path` holds the modules being walked,
// outermost first: a member or child that is one of them is recorded as the walk records
// a self reference, but never walked again, so a back-reference to an ancestor cannot
// recurse without end.
struct Walk {
    py::handle module; // the extension module, for its late-bound names
    WalkPath path;
};

class OnPath {
  public:
    OnPath(Walk &walk, py::handle net) : walk_(walk) { walk_.path.push_back(net.ptr()); }
    ~OnPath() { walk_.path.pop_back(); }
    OnPath(const OnPath &) = delete;
    OnPath &operator=(const OnPath &) = delete;

  private:
    Walk &walk_;
};


// type(value).__name__ == "NVRLayer": the blocks are recognised by class name, so any class
// of that name counts.
bool is_layer_block(py::handle value) {
    return equal(attr(type_of(value), SV_NAME("__name__")), SV_NAME("NVRLayer"));
}

py::object format(const char *pattern, py::handle values) {
    return steal(PyUnicode_Format(py::str(pattern).ptr(), values.ptr()));
}

// name_so_far + "[" + str(submodule_id) + "]"
py::object child_path(py::handle name_so_far, py::handle submodule_id) {
    py::object text = add(name_so_far, py::str("["));
    text = add(text, steal(PyObject_Str(submodule_id.ptr())));
    return add(text, py::str("]"));
}

// converted_list += [path]; the result is what the name refers to afterwards.
py::object record(py::handle converted_list, py::handle path) {
    py::list entry;
    entry.append(path);
    return add_in_place(converted_list, entry);
}

py::object walk(Walk &w, py::handle net_arg, py::handle depth, py::handle name_so_far,
                py::object converted_list);

// refresh_nvr(child(), depth + 1, path, converted_list) through the module's late-bound
// name: our own walk when it is still our function, so that the ancestors are carried along;
// the caller's replacement otherwise.
template <typename Child>
py::object descend(Walk &w, Child &&child, py::handle depth, py::handle path,
                   py::handle converted_list) {
    py::object function = global(w.module, SV_NAME("refresh_nvr"));
    py::object target = child();
    py::object next_depth = add(depth, make_int(1));
    if (is_function_of(function, &refresh_nvr_def, w.module))
        return walk(w, target, next_depth, path, borrow(converted_list.ptr()));
    return call(function, target, next_depth, path, converted_list);
}

void print_headers(py::handle module, py::handle net, py::handle depth, py::handle name_so_far) {
    print(module, format("SL calling convert on %s depth %d", py::make_tuple(net, depth)));
    py::object type_name = attr(type_of(net), SV_NAME("__name__"));
    print(module, format("SL calling convert on %s: %s, depth %d",
                         py::make_tuple(name_so_far, type_name, depth)));
}

// nn.Sequential and nn.ModuleList (and subclasses): every child that named_children yields,
// always fetched afresh by name.
void walk_children(Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
                   py::object &converted_list) {
    py::object children = call_method(net, SV_NAME("named_children"));
    for (py::handle entry : children) {
        py::object submodule_id = unpack_pair(entry).first;
        auto child = [&] { return call_method(net, SV_NAME("get_submodule"), submodule_id); };
        py::object current = child();
        if (not_equal(net, current) && !on_path(w.path, current)) {
            py::object path = child_path(name_so_far, submodule_id);
            converted_list = record(converted_list, path);
            set_attr(net, submodule_id, descend(w, child, depth, path, converted_list));
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
void walk_list(Walk &w, py::handle net, py::handle depth, py::handle name_so_far,
               py::object &converted_list) {
    for (Py_ssize_t i = 0; i < length(net); ++i) {
        auto entry = [&] { return getitem(net, i); };
        py::object current = entry();
        py::object module_class = attr(global(w.module, SV_NAME("nn")), SV_NAME("Module"));
        if (is_subclass(type_of(current), module_class) && not_equal(net, current) &&
            !on_path(w.path, current)) {
            py::object path = child_path(name_so_far, make_int(i));
            converted_list = record(converted_list, path);
            setitem(net, i, descend(w, entry, depth, path, converted_list));
        }
        if (is_layer_block(entry()))
            setitem(net, i, call(global(w.module, SV_NAME("make_module")), entry()));
    }
}

// Every other module: its members by the names __dir__ gave before anything changed.
void walk_members(Walk &w, py::handle net, py::handle members, py::handle depth,
                  py::handle name_so_far, py::object &converted_list) {
    py::handle module = w.module;
    for (py::handle member : members) {
        if (!probe_member(net, member))
            continue; // a member that cannot even be read is passed over silently
        py::object sub_name = add(add(name_so_far, py::str(".")), member);
        if (equal(member, SV_NAME("device")) || equal(member, SV_NAME("dtype")))
            continue;
        if (contains(companion::setting(module, getters::module_names_to_not_save()), sub_name))
            continue;
        if (equal(name_so_far, py::str("")) &&
            (contains(companion::setting(module, getters::module_names_to_not_save()), sub_name) ||
             contains(converted_list, sub_name))) {
            if (companion::flag(module, getters::extra_verbose()))
                print(module, format("Skipping %s during save", py::make_tuple(sub_name)));
            continue;
        }
        py::object module_class = attr(global(module, SV_NAME("nn")), SV_NAME("Module"));
        if (is_subclass(type_of(attr_or_none(net, member)), module_class) ||
            equal(member, SV_NAME("layer_array"))) {
            converted_list = record(converted_list, sub_name);
            py::object current = attr(net, member);
            if (not_equal(net, current) && !on_path(w.path, current)) {
                auto read = [&] { return attr(net, member); };
                set_attr(net, member, descend(w, read, depth, sub_name, converted_list));
            }
        }
        if (is_layer_block(attr_or_none(net, member))) {
            py::object make = global(module, SV_NAME("make_module"));
            py::object layer =
                call(global(module, SV_NAME("get_pretrained_nvr_attr")), net, member);
            set_attr(net, member, call(make, layer));
        }
    }
}

py::object walk(Walk &w, py::handle net_arg, py::handle depth, py::handle name_so_far,
                py::object converted_list) {
    RecursionLevel level;
    py::handle module = w.module;
    py::object net = borrow(net_arg.ptr());
    if (companion::flag(module, getters::extra_verbose()))
        print_headers(module, net, depth, name_so_far);

    if (type_of(net).ptr() == global(module, SV_NAME("ModuleType")).ptr()) {
        if (companion::flag(module, getters::extra_verbose()))
            print(module, "this is only being called because something in your model is pointed to "
                          "twice by two different variables.  Highest thing on the list is one "
                          "of the duplicates");
        return net;
    }

    py::object members = call_method(net, SV_NAME("__dir__"));
    OnPath here(w, net);
    py::object nn = global(module, SV_NAME("nn"));
    py::handle cls = type_of(net);
    if (is_subclass(cls, attr(nn, SV_NAME("Sequential"))) ||
        is_subclass(cls, attr(nn, SV_NAME("ModuleList")))) {
        walk_children(w, net, depth, name_so_far, converted_list);
    } else if (is_subclass(cls, global(module, SV_NAME("list")))) {
        walk_list(w, net, depth, name_so_far, converted_list);
    } else {
        if (contains(companion::setting(module, getters::modules_to_track()), cls))
            return net; // left whole: its blocks stay as they are
        walk_members(w, net, members, depth, name_so_far, converted_list);
    }

    if (is_layer_block(net))
        net = call(global(module, SV_NAME("make_module")), net);
    return net;
}

py::object refresh_nvr(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", "name_so_far", "converted_list", nullptr};
    PyObject *net, *depth, *name_so_far, *converted_list;
    parse_args(args, kwargs, "OOOO:refresh_nvr", names, &net, &depth, &name_so_far,
               &converted_list);
    Walk w{module, {}};
    return walk(w, net, depth, name_so_far, borrow(converted_list));
}

py::object refresh_net(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"pretrained_dendrite", nullptr};
    PyObject *net;
    parse_args(args, kwargs, "O:refresh_net", names, &net);
    return call(global(module, SV_NAME("refresh_nvr")), net, make_int(0), py::str(""), py::list());
}

py::object make_module(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"module", nullptr};
    PyObject *layer;
    parse_args(args, kwargs, "O:make_module", names, &layer);
    return call(global(module, SV_NAME("ModuleType")), layer);
}

} // namespace

PyMethodDef make_module_def = SV_METHOD("make_module", make_module, "make_module(module)\n--\n\n");
PyMethodDef refresh_nvr_def =
    SV_METHOD("refresh_nvr", refresh_nvr,
              "refresh_nvr(net, depth, name_so_far, converted_list)\n--\n\n");
PyMethodDef refresh_net_def =
    SV_METHOD("refresh_net", refresh_net, "refresh_net(pretrained_dendrite)\n--\n\n");

} // namespace sorvith::slim_load
