#include "network_rewrite.h"

#include "companion/host.h"
#include "companion/nevrane.h"
#include "companion/pyclass.h"

#include <vector>

namespace sorvith::blockwise_svp {

namespace {

// [value]
py::list list_of(py::handle value) {
    py::list result;
    result.append(value);
    return result;
}

py::object get_pretrained_nvr_var(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"pretrained_dendrite", "submodule_id", nullptr};
    PyObject *owner, *submodule_id;
    parse_args(args, kwargs, "OO:get_pretrained_nvr_var", names, &owner, &submodule_id);
    if (is_none(owner))
        return py::none();
    return getitem(owner, submodule_id);
}

// One walk: the modules from the top of this walk down to the one being walked. A member or
// child that is one of them is skipped like a self pointer, so a back-reference to an ancestor
// cannot recurse without end.
struct Walk {
    py::handle module;
    WalkPath path;
};

py::object walk(Walk &state, py::handle net, py::handle depth, py::handle name_so_far,
                py::object converted_list);


// optimize_module(child, depth + 1, path, converted_list) through the module's late-bound
// name: this walk when it is still our own function, the caller's replacement otherwise.
py::object descend(Walk &state, py::handle child, py::handle depth, py::handle path,
                   py::handle converted_list) {
    py::object function = global(state.module, SV_NAME("optimize_module"));
    py::object next_depth = add(depth, make_int(1));
    if (is_function_of(function, &optimize_module_def, state.module))
        return walk(state, child, next_depth, path, borrow(converted_list.ptr()));
    return call(function, child, next_depth, path, converted_list);
}

bool verbose(py::handle module) {
    return companion::flag(module, companion::getters::extra_verbose());
}

// "text % value", as the host formats it.
py::object format(const char *text, py::handle value) {
    return steal(PyUnicode_Format(py::str(text).ptr(), value.ptr()));
}

py::object concat(std::initializer_list<py::handle> parts) {
    py::object result = borrow(parts.begin()->ptr());
    for (auto part = parts.begin() + 1; part != parts.end(); ++part)
        result = add(result, *part);
    return result;
}

py::object neuron_class(py::handle module) { return companion::neuron_module_class(module); }

py::object convert(py::handle module, py::handle neuron) {
    return call(global(module, SV_NAME("convert_to_nvr_layer_block")), neuron);
}

void walk_children(Walk &state, py::handle net, py::handle depth, py::handle name_so_far,
                   py::object &converted_list) {
    py::handle module = state.module;
    py::object children = call_method(net, SV_NAME("named_children"));
    for (py::handle entry : children) {
        py::object submodule_id = unpack_pair(entry).first;
        auto child = [&] { return call_method(net, SV_NAME("get_submodule"), submodule_id); };
        auto path = [&] {
            return concat({name_so_far, py::str("["), py::str(submodule_id), py::str("]")});
        };
        if (type_of(child()).ptr() == neuron_class(module).ptr()) {
            if (verbose(module))
                sorvith::print(module,
                               concat({format("Seq sub is NVR so optimizing: %s", name_so_far),
                                       py::str("["), py::str(submodule_id), py::str("]")}));
            set_attr(net, submodule_id, convert(module, child()));
            continue;
        }
        py::object current = child();
        if (not_equal(net, current) && !on_path(state.path, current)) {
            py::object sub_path = path();
            converted_list = add_in_place(converted_list, list_of(sub_path));
            set_attr(net, submodule_id, descend(state, child(), depth, path(), converted_list));
        } else if (verbose(module)) {
            sorvith::print(module, format("%s is a self pointer so skipping", path()));
        }
    }
}

void walk_members(Walk &state, py::handle net, py::handle members, py::handle depth,
                  py::handle name_so_far, py::object &converted_list) {
    py::handle module = state.module;
    for (py::handle member : members) {
        if (!probe_member(net, member))
            continue;
        py::object sub_name = concat({name_so_far, py::str("."), member});
        py::object not_to_save =
            companion::setting(module, companion::getters::module_names_to_not_save());
        if (contains(not_to_save, sub_name) || contains(converted_list, sub_name)) {
            if (verbose(module))
                sorvith::print(module, format("Skipping %s during save", sub_name));
            continue;
        }
        if (type_of(attr_or_none(net, member)).ptr() == neuron_class(module).ptr()) {
            if (verbose(module))
                sorvith::print(
                    module,
                    concat({format("Sub is in conversion list so initiating optimization for: %s",
                                   name_so_far),
                            py::str("."), member}));
            set_attr(net, member, convert(module, attr(net, member)));
            continue;
        }
        py::object module_class = attr(global(module, SV_NAME("nn")), SV_NAME("Module"));
        if (!is_subclass(type_of(attr_or_none(net, member)), module_class))
            continue;
        py::object current = attr(net, member);
        if (not_equal(net, current) && !on_path(state.path, current)) {
            converted_list = add_in_place(converted_list, list_of(sub_name));
            set_attr(net, member,
                     descend(state, attr(net, member), depth, sub_name, converted_list));
        } else if (verbose(module)) {
            sorvith::print(module, format("%s is a self pointer so skipping", sub_name));
        }
    }
}

py::object walk(Walk &state, py::handle net, py::handle depth, py::handle name_so_far,
                py::object converted_list) {
    RecursionLevel level;
    py::object members = call_method(net, SV_NAME("__dir__"));
    py::object nn = global(state.module, SV_NAME("nn"));
    py::handle cls = type_of(net);
    state.path.push_back(net.ptr());
    struct Pop {
        Walk &state;
        ~Pop() { state.path.pop_back(); }
    } pop{state};
    if (is_subclass(cls, attr(nn, SV_NAME("Sequential"))) ||
        is_subclass(cls, attr(nn, SV_NAME("ModuleList"))))
        walk_children(state, net, depth, name_so_far, converted_list);
    else
        walk_members(state, net, members, depth, name_so_far, converted_list);
    return borrow(net.ptr());
}

py::object optimize_module(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", "name_so_far", "converted_list", nullptr};
    PyObject *net, *depth, *name_so_far, *converted_list;
    parse_args(args, kwargs, "OOOO:optimize_module", names, &net, &depth, &name_so_far,
               &converted_list);
    Walk state{module, {}};
    return walk(state, net, depth, name_so_far, borrow(converted_list));
}

py::object blockwise_network(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", nullptr};
    PyObject *net;
    parse_args(args, kwargs, "O:blockwise_network", names, &net);
    py::object function = global(module, SV_NAME("optimize_module"));
    if (is_function_of(function, &optimize_module_def, module)) {
        Walk state{module, {}};
        return walk(state, net, make_int(0), py::str(""), py::list());
    }
    return call(function, net, make_int(0), py::str(""), py::list());
}

} // namespace

PyMethodDef get_pretrained_nvr_var_def =
    SV_METHOD("get_pretrained_nvr_var", get_pretrained_nvr_var,
              "get_pretrained_nvr_var(pretrained_dendrite, submodule_id)\n--\n\n");
PyMethodDef optimize_module_def =
    SV_METHOD("optimize_module", optimize_module,
              "optimize_module(net, depth, name_so_far, converted_list)\n--\n\n");
PyMethodDef blockwise_network_def =
    SV_METHOD("blockwise_network", blockwise_network, "blockwise_network(net)\n--\n\n");

} // namespace sorvith::blockwise_svp
