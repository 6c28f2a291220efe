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

// How the host names a callee in its call-site errors.
static py::object function_text(py::handle callee) {
    PyObject *qualname = PyObject_GetAttr(callee.ptr(), SV_NAME("__qualname__").ptr());
    if (!qualname) {
        PyErr_Clear();
        return steal(PyObject_Str(callee.ptr()));
    }
    py::object qual = steal(qualname);
    py::object module = attr_or_none(callee, SV_NAME("__module__"));
    if (PyUnicode_Check(module.ptr()) &&
        PyUnicode_CompareWithASCIIString(module.ptr(), "builtins") != 0)
        return steal(PyUnicode_FromFormat("%U.%U()", module.ptr(), qual.ptr()));
    return steal(PyUnicode_FromFormat("%U()", qual.ptr()));
}

py::object call_unpacked(py::handle callee, py::handle args, py::handle kwargs) {
    // The host merges the ** mapping before it turns the * iterable into a tuple, so a call
    // with both wrong reports the mapping.
    py::object keywords;
    if (PyDict_CheckExact(kwargs.ptr())) {
        keywords = borrow(kwargs.ptr());
    } else {
        int has_keys = PyObject_HasAttr(kwargs.ptr(), SV_NAME("keys").ptr());
        if (!has_keys) {
            py::object text = function_text(callee);
            PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                         text.ptr(), Py_TYPE(kwargs.ptr())->tp_name);
            throw py::error_already_set();
        }
        keywords = steal(PyDict_New());
        if (PyDict_Update(keywords.ptr(), kwargs.ptr()) < 0)
            throw py::error_already_set();
    }
    py::object positional;
    if (PyTuple_CheckExact(args.ptr())) {
        positional = borrow(args.ptr());
    } else {
        PyObject *tuple = PySequence_Tuple(args.ptr());
        if (!tuple) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(args.ptr())->tp_iter &&
                !PySequence_Check(args.ptr())) {
                PyErr_Clear();
                py::object text = function_text(callee);
                PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                             text.ptr(), Py_TYPE(args.ptr())->tp_name);
            }
            throw py::error_already_set();
        }
        positional = steal(tuple);
    }
    return call_with(callee, positional, keywords);
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
