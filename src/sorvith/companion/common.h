// Shared by every extension of the package: handles, interned names and the few call
// helpers that the modules use on their hot paths.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace py = pybind11;

namespace sorvith {

// An interned str made once per call site and kept for the life of the process.
// Statics hold nothing else (see host.h for everything that is looked up at run time).
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

inline py::object borrow(PyObject *value) { return py::reinterpret_borrow<py::object>(value); }

// obj.name, with the ordinary attribute protocol.
inline py::object attr(py::handle obj, py::handle name) {
    return steal(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0)
        throw py::error_already_set();
}

// obj[key], with the ordinary item protocol (so the host's own index and key errors).
inline py::object getitem(py::handle obj, py::handle key) {
    return steal(PyObject_GetItem(obj.ptr(), key.ptr()));
}

inline py::object getitem(py::handle obj, Py_ssize_t index) {
    return steal(PySequence_GetItem(obj.ptr(), index));
}

inline void setitem(py::handle obj, Py_ssize_t index, py::handle value) {
    if (PySequence_SetItem(obj.ptr(), index, value.ptr()) < 0)
        throw py::error_already_set();
}

inline Py_ssize_t length(py::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw py::error_already_set();
    return n;
}

// callable(*args) through vectorcall.
template <typename... Args> py::object call(py::handle callable, Args &&...args) {
    PyObject *argv[] = {nullptr, py::handle(args).ptr()...};
    return steal(PyObject_Vectorcall(callable.ptr(), argv + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args) through vectorcall, without making a bound method.
template <typename... Args>
py::object call_method(py::handle obj, py::handle name, Args &&...args) {
    PyObject *argv[] = {obj.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(name.ptr(), argv,
                                           (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// callable(*args, **kwargs) with a tuple and an optional dict.
inline py::object call_with(py::handle callable, py::handle args, py::handle kwargs) {
    return steal(PyObject_Call(callable.ptr(), args.ptr(), kwargs ? kwargs.ptr() : nullptr));
}

inline py::object make_int(long long value) { return steal(PyLong_FromLongLong(value)); }

inline bool is_none(py::handle obj) { return obj.ptr() == Py_None; }

} // namespace sorvith
