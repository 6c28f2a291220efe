#include "globals.h"

namespace sorvith {

py::object global(py::handle module, py::handle name) {
    PyObject *dict = PyModule_GetDict(module.ptr()); // borrowed
    if (!dict)
        throw py::error_already_set();
    if (PyObject *found = PyDict_GetItemWithError(dict, name.ptr()))
        return borrow(found);
    if (PyErr_Occurred())
        throw py::error_already_set();
    if (PyObject *builtins = PyEval_GetBuiltins()) {
        if (PyObject *found = PyDict_GetItemWithError(builtins, name.ptr()))
            return borrow(found);
        if (PyErr_Occurred())
            throw py::error_already_set();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw py::error_already_set();
}

void print(py::handle module, py::handle value) { call(global(module, SV_NAME("print")), value); }

void print(py::handle module, const char *text) {
    py::str value(text);
    print(module, py::handle(value));
}

void exit_process(py::handle module, py::handle status) {
    py::object exit = attr(global(module, SV_NAME("sys")), SV_NAME("exit"));
    if (status)
        call(exit, status);
    else
        call(exit);
}

} // namespace sorvith
