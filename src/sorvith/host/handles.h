// Handles: interned names, owned versus borrowed references, and the attribute and item
// protocols, each turning a Python error into a C++ exception (py::error_already_set) so that
// it reaches the caller unchanged.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace py = pybind11;

namespace sorvith {

// An interned str made once per call site and kept for the life of the process. Statics hold
// such immutable names and the values of host/made_once.h; every module global is looked up at
// run time (host/globals.h).
#define SV_NAME(text)                                                                  \
    ([]() -> ::pybind11::handle {                                                      \
        static PyObject *interned = PyUnicode_InternFromString(text);                  \
        return interned;                                                               \
    }())

// Takes ownership of a new reference; a null pointer means a Python error is set.
inline py::object steal(PyObject *result) {
    if (!result)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// A new reference to a borrowed one.
inline py::object borrow(PyObject *value) { return py::reinterpret_borrow<py::object>(value); }

// Raises the pending Python error when a CPython call reported failure (a negative status).
inline void check(int status) {
    if (status < 0)
        throw py::error_already_set();
}

// obj.name, setattr(obj, name, value) and delattr(obj, name): the ordinary attribute protocol.
inline py::object attr(py::handle obj, py::handle name) {
    return steal(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void set_attr(py::handle obj, py::handle name, py::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

inline void del_attr(py::handle obj, py::handle name) {
    check(PyObject_SetAttr(obj.ptr(), name.ptr(), nullptr));
}

// obj[key], obj[key] = value and del obj[key]: the ordinary item protocol, so the host's own
// index and key errors.
inline py::object getitem(py::handle obj, py::handle key) {
    return steal(PyObject_GetItem(obj.ptr(), key.ptr()));
}

inline py::object getitem(py::handle obj, Py_ssize_t index) {
    return steal(PySequence_GetItem(obj.ptr(), index));
}

inline void setitem(py::handle obj, py::handle key, py::handle value) {
    check(PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()));
}

inline void setitem(py::handle obj, Py_ssize_t index, py::handle value) {
    check(PySequence_SetItem(obj.ptr(), index, value.ptr()));
}

inline void delitem(py::handle obj, py::handle key) {
    check(PyObject_DelItem(obj.ptr(), key.ptr()));
}

inline Py_ssize_t length(py::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw py::error_already_set();
    return n;
}

inline py::object make_int(long long value) { return steal(PyLong_FromLongLong(value)); }

// An integer-like value as a size (OverflowError beyond Py_ssize_t).
inline Py_ssize_t as_size(py::handle value) {
    Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return n;
}

inline bool is_none(py::handle obj) { return obj.ptr() == Py_None; }

inline py::handle type_of(py::handle obj) {
    return reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()));
}

// [value]
inline py::list list_of(py::handle value) {
    py::list result;
    result.append(value);
    return result;
}

// [None] * size
inline py::list none_list(Py_ssize_t size) {
    py::list list(size);
    for (Py_ssize_t i = 0; i < size; ++i)
        PyList_SET_ITEM(list.ptr(), i, py::none().release().ptr());
    return list;
}

} // namespace sorvith
