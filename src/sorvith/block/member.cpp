#include "member.h"

#include "host/errors.h"
#include "host/made_once.h"
#include "host/method.h"
#include "host/modules.h"
#include "host/pyclass.h"

#include <cstring>

namespace sorvith::block {

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
    py::object nn;
    try {
        nn = import("torch.nn");
    } catch (py::error_already_set &) {
        return found; // no fast paths
    }
    PyObject *module_class = PyObject_GetAttrString(nn.ptr(), "Module");
    if (module_class && PyType_Check(module_class)) {
        found.module_getattr = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(module_class),
                                              SV_NAME("__getattr__").ptr());
        Py_XINCREF(found.module_getattr);
    }
    Py_XDECREF(module_class);
    found.module_list = PyObject_GetAttrString(nn.ptr(), "ModuleList");
    found.sequential = PyObject_GetAttrString(nn.ptr(), "Sequential");
    PyErr_Clear();
    return found;
}

const KnownClasses &known() {
    static MadeOnce<KnownClasses> classes;
    return classes.get(find_known_classes);
}

// Whether attribute lookup on instances of `type` is object.__getattribute__ itself.
bool generic_getattribute(PyTypeObject *type) {
    return _PyType_Lookup(type, SV_NAME("__getattribute__").ptr()) ==
           _PyType_Lookup(&PyBaseObject_Type, SV_NAME("__getattribute__").ptr());
}

// Whether `attribute` (as a class holds it, borrowed, may be null) is a method that this
// extension made from the C function `body`. Each extension compiles its own copy of the
// block engine, so another extension's method is not recognised and takes the ordinary path.
bool is_method_from(PyObject *attribute, PyCFunction body) {
    PyObject *function = method_function(attribute);
    return function && PyCFunction_Check(function) && PyCFunction_GET_FUNCTION(function) == body;
}

} // namespace

// Recognised by its function, or by its text signature and owner: a method that a module of
// the package made from its own copy of main_module_fallback_def.
bool is_block_fallback(PyObject *hook) {
    PyObject *function = package_method_function(hook);
    if (!function && PyInstanceMethod_Check(hook))
        function = PyInstanceMethod_GET_FUNCTION(hook);
    if (!function || !PyCFunction_Check(function))
        return false;
    if (PyCFunction_GET_FUNCTION(function) == main_module_fallback_def.ml_meth)
        return true;
    PyObject *owner = PyCFunction_GET_SELF(function);
    const char *doc = reinterpret_cast<PyCFunctionObject *>(function)->m_ml->ml_doc;
    if (!owner || !PyModule_Check(owner) || !doc ||
        std::strcmp(doc, main_module_fallback_def.ml_doc) != 0)
        return false;
    const char *name = PyModule_GetName(owner);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return std::strncmp(name, "sorvith.", 8) == 0;
}

namespace {

// True when attribute lookup on `type` is exactly object.__getattribute__ followed by
// nn.Module.__getattr__ or the blocks' fallback (which asks nn.Module.__getattr__ first), and
// the class defines nothing under `name`: then a name in the instance's tables can be found
// here without raising and catching an AttributeError inside the host.
bool plain_module_lookup(PyTypeObject *type, py::handle name) {
    if (_PyType_Lookup(type, name.ptr()) || !generic_getattribute(type))
        return false;
    PyObject *getattr_hook = _PyType_Lookup(type, SV_NAME("__getattr__").ptr());
    return getattr_hook &&
           (getattr_hook == known().module_getattr || is_block_fallback(getattr_hook));
}

// __foo__
bool is_protocol_name(py::handle name) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ_CHAR(name.ptr(), i); };
    return n > 4 && at(0) == '_' && at(1) == '_' && at(n - 2) == '_' && at(n - 1) == '_';
}

// The names of the blocks' own state, in the three classes together.
bool is_block_state(py::handle name) {
    for (const char *own : {"layer_array", "processor_array", "processor", "skip_weights",
                            "original", "node_index", "module_id", "num_cycles", "view_tuple",
                            "internal_nonlinearity", "name"})
        if (PyUnicode_CompareWithASCIIString(name.ptr(), own) == 0)
            return true;
    return false;
}

// self.__dict__["_modules"]["layer_array"], else self.__dict__["layer_array"]; null when
// neither is there. Read from the tables directly, so a half-built block cannot recurse here.
py::object own_layer_array(py::handle self) {
    py::object dict = steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    PyObject *children = PyDict_GetItemWithError(dict.ptr(), SV_NAME("_modules").ptr());
    PyObject *found = nullptr;
    if (children && PyDict_Check(children))
        found = PyDict_GetItemWithError(children, SV_NAME("layer_array").ptr());
    if (!found && !PyErr_Occurred())
        found = PyDict_GetItemWithError(dict.ptr(), SV_NAME("layer_array").ptr());
    if (PyErr_Occurred())
        throw py::error_already_set();
    return found ? borrow(found) : py::object();
}

// Whether `error`, raised by reading main.<name>, says only that the main module has no such
// attribute: an AttributeError about that very name, while main's class defines nothing under
// it. An AttributeError from inside a property or another descriptor of the class, or one
// about another name (raised inside main's own __getattr__), is a fault of that code and
// reaches the caller unchanged.
bool main_lacks(py::handle main, py::handle name, py::handle error) {
    if (!PyErr_GivenExceptionMatches(error.ptr(), PyExc_AttributeError) ||
        _PyType_Lookup(Py_TYPE(main.ptr()), name.ptr()))
        return false;
    PyObject *reported = PyObject_GetAttr(error.ptr(), SV_NAME("name").ptr());
    if (!reported) {
        PyErr_Clear();
        return true; // an error that names nothing is not about another name
    }
    int same = reported == Py_None ? 1 : PyObject_RichCompareBool(reported, name.ptr(), Py_EQ);
    Py_DECREF(reported);
    if (same < 0)
        PyErr_Clear(); // a name that cannot be compared: the error is not known to be about it
    return same == 1;
}

// What nn.Module's lookup does not find, from the main module.
py::object from_main_module(py::handle self, py::handle name) {
    py::error_already_set missing; // nn.Module's AttributeError, pending until now
    py::object blocks = own_layer_array(self);
    if (!blocks)
        throw missing;
    py::object main;
    try {
        main = child_at(blocks, -1);
    } catch (py::error_already_set &empty) {
        if (!empty.matches(PyExc_IndexError))
            throw;
        throw missing; // no main module yet: the block's own error
    }
    if (PyObject *found = PyObject_GetAttr(main.ptr(), name.ptr()))
        return steal(found);
    py::object error = take_current_exception();
    if (!main_lacks(main, name, error))
        raise_exception_object(error);
    throw missing; // the name is nowhere: the block's own error
}

// The method itself. A miss on a name that is never read from the main module (hasattr of
// a block's own state before its registration, a copy's protocol lookups) is the common case
// here: its AttributeError goes back as nn.Module raised it, without a C++ exception.
PyObject *main_module_fallback(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"", "name", nullptr};
    PyObject *self, *name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU:__getattr__", const_cast<char **>(names),
                                     &self, &name))
        return nullptr;
    PyObject *found = module_base_getattr_raw(self, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError) || is_protocol_name(name) ||
        is_block_state(name))
        return found;
    try {
        return from_main_module(self, name).release().ptr();
    } catch (std::exception &) {
        set_python_error();
    }
    return nullptr;
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

PyMethodDef main_module_fallback_def = {
    "__getattr__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&main_module_fallback)),
    METH_VARARGS | METH_KEYWORDS,
    "__getattr__(self, name)\n--\n\nAn attribute the block lacks, read from its main module."};

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

bool reads_own_method(py::handle self, py::handle name, PyCFunction function) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (!generic_getattribute(type) ||
        !is_method_from(_PyType_Lookup(type, name.ptr()), function))
        return false;
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    int held = PyDict_Contains(dict, name.ptr());
    Py_DECREF(dict);
    if (held < 0) {
        PyErr_Clear();
        return false;
    }
    return held == 0;
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

} // namespace sorvith::block
