#include "modules.h"

namespace sorvith {

py::object import(const char *name) { return steal(PyImport_ImportModule(name)); }

py::object import_from(const char *name, const char *attr) {
    py::object module = import(name);
    PyObject *value = PyObject_GetAttrString(module.ptr(), attr);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attr, name);
    }
    return steal(value);
}

py::object loaded_module(py::handle name) {
    PyObject *modules = PyImport_GetModuleDict(); // borrowed
    PyObject *found = PyDict_GetItemWithError(modules, name.ptr());
    if (!found && PyErr_Occurred())
        throw py::error_already_set();
    return found ? borrow(found) : py::object();
}

py::object imported(py::handle name) {
    if (py::object found = loaded_module(name))
        return found;
    return steal(PyImport_Import(name.ptr()));
}

} // namespace sorvith
