#include "arguments.h"

#include "globals.h"
#include "protocols.h"

#include <cstdio>
#include <cstring>

namespace sorvith {

void require_module(py::handle module, py::handle value, const char *function,
                    const char *argument) {
    py::object module_class = attr(global(module, SV_NAME("nn")), SV_NAME("Module"));
    if (is_instance(value, module_class))
        return;
    py::object what;
    if (PyType_Check(value.ptr()) && is_subclass(value, module_class)) {
        py::object name = attr(value, SV_NAME("__qualname__"));
        what = format("the class %s itself; pass an instance of it, %s()",
                      py::make_tuple(name, name));
    } else if (PyUnicode_Check(value.ptr()) && PyUnicode_GetLength(value.ptr()) <= 60) {
        what = format("the str %r", py::make_tuple(value));
    } else {
        what = py::str(Py_TYPE(value.ptr())->tp_name);
    }
    PyErr_Format(PyExc_TypeError, "%s: %s must be a torch.nn.Module (a network), not %U",
                 function, argument, what.ptr());
    throw py::error_already_set();
}

py::object path_argument(py::handle value) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
        !PyObject_HasAttr(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())),
                          SV_NAME("__fspath__").ptr()))
        return borrow(value.ptr());
    return steal(PyOS_FSPath(value.ptr()));
}

bool add_note(py::handle exception, py::handle note) {
    py::object method = attr_or_none(exception, SV_NAME("add_note"));
    if (is_none(method))
        return false;
    call(method, note);
    return true;
}

FileKind file_kind(py::handle path) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded)) {
        PyErr_Clear();
        return FileKind::unknown;
    }
    py::object owned = steal(encoded);
    std::FILE *file = std::fopen(PyBytes_AS_STRING(encoded), "rb");
    if (!file)
        return FileKind::unknown;
    unsigned char head[9];
    size_t n = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    if (n >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0)
        return FileKind::zip;
    if (n == sizeof head && head[8] == '{') {
        unsigned long long header = 0;
        for (int i = 7; i >= 0; --i)
            header = header << 8 | head[i];
        if (header >= 2 && header < (1ull << 40))
            return FileKind::safetensors;
    }
    return FileKind::unknown;
}

} // namespace sorvith
