#include "member.h"

namespace sorvith {

namespace {

// torch.nn's classes that the fast paths recognise, found once. Holding them is safe: each
// fast path compares them with what the object in hand has now, and anything that differs
// (a patched class, a reloaded torch) simply takes the ordinary path.
struct KnownClasses {
    PyObject *module_getattr = nullptr; // nn.Module.__getattr__
    PyObject *module_list = nullptr;    // nn.ModuleList
    PyObject *sequential = nullptr;     // nn.Sequential
};

KnownClasses find_known_classes() {
    KnownClasses found;
    PyObject *nn = PyImport_ImportModule("torch.nn");
    if (!nn) {
        PyErr_Clear();
        return found;
    }
    PyObject *module_class = PyObject_GetAttrString(nn, "Module");
    if (module_class && PyType_Check(module_class)) {
        found.module_getattr = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(module_class),
                                              SV_NAME("__getattr__").ptr());
        Py_XINCREF(found.module_getattr);
    }
    Py_XDECREF(module_class);
    found.module_list = PyObject_GetAttrString(nn, "ModuleList");
    found.sequential = PyObject_GetAttrString(nn, "Sequential");
    PyErr_Clear();
    Py_DECREF(nn);
    return found;
}

// Set once, under the GIL. Not a function-local static: its initialisation guard would be held
// across the import above, which may let another thread run and block on the same guard while
// holding the GIL. Two threads that race here both look the classes up; one result is kept.
const KnownClasses &known() {
    static const KnownClasses *classes = nullptr;
    if (!classes) {
        KnownClasses found = find_known_classes();
        if (!classes)
            classes = new KnownClasses(found);
    }
    return *classes;
}

// True when attribute lookup on `type` is exactly object.__getattribute__ followed by
// nn.Module.__getattr__, and the class defines nothing under `name`: then the lookup can be
// done here without raising and catching an AttributeError inside the host.
bool plain_module_lookup(PyTypeObject *type, py::handle name) {
    if (_PyType_Lookup(type, name.ptr()))
        return false;
    if (_PyType_Lookup(type, SV_NAME("__getattribute__").ptr()) !=
        _PyType_Lookup(&PyBaseObject_Type, SV_NAME("__getattribute__").ptr()))
        return false;
    PyObject *getattr_hook = _PyType_Lookup(type, SV_NAME("__getattr__").ptr());
    return getattr_hook && getattr_hook == known().module_getattr;
}

// The child table of an exact nn.ModuleList or nn.Sequential (borrowed), else null.
PyObject *plain_container_children(py::handle container) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(container.ptr()));
    if (type != known().module_list && type != known().sequential)
        return nullptr;
    PyObject *dict = PyObject_GenericGetDict(container.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *children = PyDict_GetItemWithError(dict, SV_NAME("_modules").ptr());
    Py_DECREF(dict); // the instance keeps its dict, and the dict keeps the table
    if (!children || !PyDict_Check(children)) {
        PyErr_Clear();
        return nullptr;
    }
    return children;
}

} // namespace

py::object child_at(py::handle container, Py_ssize_t index) {
    if (PyObject *children = plain_container_children(container)) {
        Py_ssize_t n = PyDict_GET_SIZE(children);
        Py_ssize_t wanted = index < 0 ? index + n : index;
        if (wanted >= 0 && wanted < n) {
            Py_ssize_t position = 0, seen = 0;
            PyObject *key, *value;
            while (PyDict_Next(children, &position, &key, &value))
                if (seen++ == wanted)
                    return borrow(value);
        }
    }
    return getitem(container, make_int(index));
}

Py_ssize_t child_count(py::handle container) {
    if (PyObject *children = plain_container_children(container))
        return PyDict_GET_SIZE(children);
    return length(container);
}

py::object member(py::handle self, py::handle name) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (plain_module_lookup(type, name)) {
        PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
        if (!dict)
            throw py::error_already_set();
        py::object instance_dict = steal(dict);
        if (PyObject *found = PyDict_GetItemWithError(dict, name.ptr()))
            return borrow(found);
        for (py::handle table : {SV_NAME("_parameters"), SV_NAME("_buffers"), SV_NAME("_modules")}) {
            PyObject *entries = PyDict_GetItemWithError(dict, table.ptr());
            if (entries && PyDict_Check(entries))
                if (PyObject *found = PyDict_GetItemWithError(entries, name.ptr()))
                    return borrow(found);
            if (PyErr_Occurred())
                throw py::error_already_set();
        }
    }
    // Anything unusual, and every miss, takes the ordinary path with its own errors.
    return attr(self, name);
}

} // namespace sorvith
