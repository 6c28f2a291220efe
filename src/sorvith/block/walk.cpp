#include "walk.h"

#include "host/protocols.h"

namespace sorvith::walk {

Walk::Walk(py::handle module, bool owns_paths) : module(module) {
    if (owns_paths)
        listed_ = steal(PySet_New(nullptr));
}

bool Walk::is_listed(py::handle converted_list, py::handle path) {
    if (listed_ && PyList_CheckExact(converted_list.ptr()) && PyUnicode_CheckExact(path.ptr())) {
        int found = PySet_Contains(listed_.ptr(), path.ptr());
        check(found);
        return found != 0;
    }
    return contains(converted_list, path);
}

void Walk::list_path(py::object &converted_list, py::handle path) {
    converted_list = add_in_place(converted_list, list_of(path));
    if (!listed_)
        return;
    if (PyList_CheckExact(converted_list.ptr()) && PyUnicode_CheckExact(path.ptr()))
        check(PySet_Add(listed_.ptr(), path.ptr()));
    else
        listed_ = py::object(); // from here on the list itself answers
}

bool Walk::is_ancestor(py::handle candidate) const {
    for (PyObject *ancestor : path_)
        if (ancestor == candidate.ptr())
            return true;
    return false;
}

Level::Level(Walk &walk, py::handle net) : walk_(walk) {
    if (Py_EnterRecursiveCall(""))
        throw py::error_already_set();
    walk_.path_.push_back(net.ptr());
}

Level::~Level() {
    walk_.path_.pop_back();
    Py_LeaveRecursiveCall();
}

bool is_container(py::handle module, py::handle cls) {
    py::object nn = global(module, SV_NAME("nn"));
    return is_subclass(cls, attr(nn, SV_NAME("Sequential"))) ||
           is_subclass(cls, attr(nn, SV_NAME("ModuleList")));
}

bool probe_member(py::handle obj, py::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return true; // read as None
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw py::error_already_set();
    PyErr_Clear();
    return false;
}

py::object child_path(py::handle name_so_far, py::handle submodule_id) {
    return concat({name_so_far, py::str("["), text(submodule_id), py::str("]")});
}

void assign_if_replaced(py::handle owner, py::handle name, py::handle walked, py::handle result) {
    if (result.ptr() != walked.ptr())
        set_attr(owner, name, result);
}

void store_if_replaced(py::handle owner, Py_ssize_t index, py::handle walked, py::handle result) {
    if (result.ptr() != walked.ptr())
        setitem(owner, index, result);
}

py::object run_path_walk(py::handle module, py::handle args, py::handle kwargs,
                         const char *format, PathWalk walk_from) {
    static const char *const names[] = {"net", "depth", "name_so_far", "converted_list", nullptr};
    PyObject *net, *depth, *name_so_far, *converted_list;
    parse_args(args, kwargs, format, names, &net, &depth, &name_so_far, &converted_list);
    Walk walk(module);
    return walk_from(walk, net, depth, name_so_far, borrow(converted_list));
}

py::object descend(Walk &walk, py::handle name, const PyMethodDef *def, PathWalk walk_from,
                   py::handle child, py::handle depth, py::handle path, py::handle converted_list) {
    py::object next_depth = add(depth, make_int(1));
    return recurse(
        walk, name, def,
        [&] { return walk_from(walk, child, next_depth, path, borrow(converted_list.ptr())); },
        child, next_depth, path, converted_list);
}

py::object start_at_top(py::handle module, py::handle name, const PyMethodDef *def,
                        PathWalk walk_from, py::handle net) {
    py::object bound = global(module, name);
    if (!is_function_of(bound, def, module))
        return call(bound, net, make_int(0), py::str(""), py::list());
    Walk walk(module, /*owns_paths=*/true);
    return walk_from(walk, net, make_int(0), py::str(""), py::list());
}

} // namespace sorvith::walk
