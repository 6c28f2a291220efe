#include "errors.h"

#include "protocols.h"

namespace sorvith {

void raise_unbound_local(const char *name) {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value", name);
#else
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
#endif
    throw py::error_already_set();
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject *v = value.ptr();
    if (PyTuple_CheckExact(v) || PyList_CheckExact(v)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        if (n == 2) {
            PyObject **items = PySequence_Fast_ITEMS(v);
            return {borrow(items[0]), borrow(items[1])};
        }
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
#if PY_VERSION_HEX >= 0x030C0000
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
#else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
#endif
        throw py::error_already_set();
    }
    PyObject *it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter &&
            !PySequence_Check(v)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(v)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = steal(it);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        items[i] = steal(item);
    }
    if (PyObject *extra = PyIter_Next(it)) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

py::object take_current_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return steal(value);
#endif
}

void raise_exception_object(py::handle exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(py::object(borrow(exception.ptr())).release().ptr());
#else
    PyObject *value = exception.ptr();
    Py_INCREF(value);
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
    throw py::error_already_set();
}

HandledException::HandledException(py::handle exception) {
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    PyObject *value = exception.ptr();
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
    Py_INCREF(type);
    Py_INCREF(value);
    PyErr_SetExcInfo(type, value, PyException_GetTraceback(value)); // steals all three
}

HandledException::~HandledException() { PyErr_SetExcInfo(type_, value_, traceback_); }

} // namespace sorvith
