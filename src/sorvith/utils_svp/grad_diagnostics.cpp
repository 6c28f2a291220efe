#include "grad_diagnostics.h"

#include "companion/host.h"
#include "companion/pyclass.h"

#include <vector>

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


void print_grad_modules(py::handle module, py::handle net, py::handle depth,
                        py::handle name_so_far, WalkPath &path);

// debug_print_grad_modules(child, depth + 1, sub_name) through the module's late-bound name:
// our own walk (which keeps the path) while it is this function, else the caller's
// replacement.
void recurse(py::handle module, py::handle child, py::handle depth, py::handle sub_name,
             WalkPath &path) {
    py::object next_depth = add(depth, make_int(1));
    py::object bound = global(module, SV_NAME("debug_print_grad_modules"));
    if (is_function_of(bound, &debug_print_grad_modules_def, module))
        print_grad_modules(module, child, next_depth, sub_name, path);
    else
        call(bound, child, next_depth, sub_name);
}

void print_grad_modules(py::handle module, py::handle net, py::handle depth,
                        py::handle name_so_far, WalkPath &path) {
    RecursionLevel level;
    py::object flag = call(global(module, SV_NAME("check_requires_grad")), net);
    print(module, steal(PyUnicode_Format(py::str("%s: has req grads: %d").ptr(),
                                         py::make_tuple(name_so_far, flag).ptr())));
    py::object all_members = call_method(net, SV_NAME("__dir__"));
    py::object nn = global(module, SV_NAME("nn"));
    py::handle cls = type_of(net);
    path.push_back(net.ptr());
    if (is_subclass(cls, attr(nn, SV_NAME("Sequential"))) ||
        is_subclass(cls, attr(nn, SV_NAME("ModuleList")))) {
        py::object children = call_method(net, SV_NAME("named_children"));
        for (py::handle entry : children) {
            py::object submodule_id = getitem(entry, 0);
            py::object sub_name =
                add(add(name_so_far, py::str(".")), steal(PyObject_Str(submodule_id.ptr())));
            py::object child = call_method(net, SV_NAME("get_submodule"), submodule_id);
            if (not_equal(net, child) && !on_path(path, child))
                recurse(module, call_method(net, SV_NAME("get_submodule"), submodule_id), depth,
                        sub_name, path);
        }
    } else {
        py::object module_class = attr(nn, SV_NAME("Module"));
        for (py::handle member : all_members) {
            py::object sub_name = add(add(name_so_far, py::str(".")), member);
            if (!probe_member(net, member))
                continue; // a member that cannot be read is passed over
            if (!is_subclass(type_of(attr_or_none(net, member)), module_class))
                continue;
            py::object value = attr(net, member);
            if (not_equal(net, value) && !on_path(path, value))
                recurse(module, attr(net, member), depth, sub_name, path);
        }
    }
    path.pop_back();
}

py::object debug_print_grad_modules(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", "name_so_far", nullptr};
    PyObject *net, *depth, *name_so_far;
    parse_args(args, kwargs, "OOO:debug_print_grad_modules", names, &net, &depth, &name_so_far);
    WalkPath path;
    print_grad_modules(module, net, depth, name_so_far, path);
    return py::none();
}

} // namespace

PyMethodDef check_requires_grad_def =
    SV_METHOD("check_requires_grad", check_requires_grad, "check_requires_grad(module)\n--\n\n");
PyMethodDef debug_print_grad_modules_def =
    SV_METHOD("debug_print_grad_modules", debug_print_grad_modules,
              "debug_print_grad_modules(net, depth, name_so_far)\n--\n\n");

} // namespace sorvith::utils_svp
