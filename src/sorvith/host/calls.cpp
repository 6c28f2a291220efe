#include "calls.h"

#include "protocols.h"

#include <vector>

namespace sorvith {

namespace {

// How the host names a callee in its call-site errors.
py::object function_text(py::handle callee) {
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

} // namespace

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

py::object call_kw(py::handle callable, py::tuple args,
                   std::initializer_list<std::pair<const char *, py::handle>> keywords) {
    py::dict kw;
    for (const auto &entry : keywords)
        kw[entry.first] = entry.second;
    return call_with(callable, args, kw);
}

py::object call_method_from(py::handle obj, py::handle name, py::handle args, Py_ssize_t start,
                            py::handle kwargs) {
    Py_ssize_t positional = PyTuple_GET_SIZE(args.ptr()) - start;
    Py_ssize_t keywords = kwargs ? PyDict_GET_SIZE(kwargs.ptr()) : 0;
    PyObject *small[8];
    std::vector<PyObject *> large;
    PyObject **stack = small;
    if (1 + positional + keywords > 8) {
        large.resize(static_cast<size_t>(1 + positional + keywords));
        stack = large.data();
    }
    stack[0] = obj.ptr();
    for (Py_ssize_t i = 0; i < positional; ++i)
        stack[1 + i] = PyTuple_GET_ITEM(args.ptr(), start + i);
    py::object names;
    if (keywords) {
        names = steal(PyTuple_New(keywords));
        Py_ssize_t position = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs.ptr(), &position, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(names.ptr(), i, key);
            stack[1 + positional + i++] = value;
        }
    }
    return steal(PyObject_VectorcallMethod(name.ptr(), stack,
                                           static_cast<size_t>(1 + positional), names.ptr()));
}

} // namespace sorvith
