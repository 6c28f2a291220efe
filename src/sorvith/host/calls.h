// Calls into Python: positional calls through vectorcall, calls with keywords, method calls
// without a bound method in between, and calls written with * and ** as the host checks them.
// A Python error becomes py::error_already_set and reaches the caller unchanged.
#pragma once

#include "handles.h"

#include <initializer_list>
#include <utility>

namespace sorvith {

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

// callable(*args, **kwargs) with the keywords given as name/value pairs.
py::object call_kw(py::handle callable, py::tuple args,
                   std::initializer_list<std::pair<const char *, py::handle>> keywords);

// obj.name(*args[start:], **kwargs) through vectorcall, without a bound method in between
// (`kwargs` a dict or a null handle).
py::object call_method_from(py::handle obj, py::handle name, py::handle args, Py_ssize_t start,
                            py::handle kwargs);

// callee(*args, **kwargs) where args may be any iterable and kwargs must be a mapping,
// raising the host's errors for a call site written with * and **.
py::object call_unpacked(py::handle callee, py::handle args, py::handle kwargs);

} // namespace sorvith
