#include "protocols.h"

namespace sorvith {

bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    check(result);
    return result != 0;
}

static bool compare(py::handle a, py::handle b, int op) {
    return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

bool equal(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
bool not_equal(py::handle a, py::handle b) { return compare(a, b, Py_NE); }
bool less(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
bool greater(py::handle a, py::handle b) { return compare(a, b, Py_GT); }

bool contains(py::handle container, py::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    check(result);
    return result != 0;
}

bool is_subclass(py::handle cls, py::handle base) {
    int result = PyObject_IsSubclass(cls.ptr(), base.ptr());
    check(result);
    return result != 0;
}

bool is_instance(py::handle obj, py::handle cls) {
    int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    check(result);
    return result != 0;
}

py::object attr_or_none(py::handle obj, py::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value)
        return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

py::object add(py::handle a, py::handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }

py::object add_in_place(py::handle a, py::handle b) {
    return steal(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}

py::object multiply(py::handle a, py::handle b) {
    return steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}

py::object text(py::handle value) { return steal(PyObject_Str(value.ptr())); }

py::object concat(std::initializer_list<py::handle> parts) {
    py::object result = borrow(parts.begin()->ptr());
    for (auto part = parts.begin() + 1; part != parts.end(); ++part)
        result = add(result, *part);
    return result;
}

py::object format(const char *pattern, py::handle values) {
    return steal(PyUnicode_Format(py::str(pattern).ptr(), values.ptr()));
}

} // namespace sorvith
