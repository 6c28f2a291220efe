#include "method.h"

#include "made_once.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace sorvith {

namespace {

struct Method {
    PyObject_HEAD
    PyObject *function;   // the builtin function, never null once made
    PyObject *class_name; // str, for the text form
    PyObject *dict;       // __module__, __name__, __qualname__, __doc__, __wrapped__
};

Method *fields(PyObject *self) { return reinterpret_cast<Method *>(self); }

int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(fields(self)->function);
    Py_VISIT(fields(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// The function is kept, so a method reached after the collector has cleared it still calls
// and binds; the cycle it is in (module, class, method, function, module) is broken at the
// class and the module.
int clear(PyObject *self) {
    Py_CLEAR(fields(self)->dict);
    return 0;
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(fields(self)->dict);
    Py_CLEAR(fields(self)->class_name);
    Py_CLEAR(fields(self)->function);
    type->tp_free(self);
    Py_DECREF(type);
}

// obj.m is a bound method; Cls.m and m.__get__(None, Cls) are the method itself, as for a
// Python function.
PyObject *bind_to(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(fields(self)->function, obj);
}

// Cls.m(obj, ...) is the builtin called with the same arguments. With the type flagged as a
// method descriptor, the interpreter calls obj.m(...) this way too, without a bound method.
PyObject *call_function(PyObject *self, PyObject *args, PyObject *kwargs) {
    return PyObject_Call(fields(self)->function, args, kwargs);
}

PyObject *text_form(PyObject *self) {
    PyObject *name = PyObject_GetAttrString(fields(self)->function, "__name__");
    if (!name)
        return nullptr;
    PyObject *text = PyUnicode_FromFormat("<method %R of %R objects>", name,
                                          fields(self)->class_name);
    Py_DECREF(name);
    return text;
}

// Pickled by reference, as a function is: the name under which pickle finds the method in
// its module (`Cls.m`, through __module__).
PyObject *reduce(PyObject *self, PyObject *) {
    return PyObject_GetAttr(self, SV_NAME("__qualname__").ptr());
}

PyMethodDef methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&reduce)),
     METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {const_cast<char *>("__func__"), T_OBJECT, offsetof(Method, function), READONLY, nullptr},
    {const_cast<char *>("__dictoffset__"), T_PYSSIZET, offsetof(Method, dict), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {const_cast<char *>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(&dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(&clear)},
    {Py_tp_descr_get, reinterpret_cast<void *>(&bind_to)},
    {Py_tp_call, reinterpret_cast<void *>(&call_function)},
    {Py_tp_repr, reinterpret_cast<void *>(&text_form)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_getset, getsets},
    {0, nullptr},
};

// No Py_tp_doc: the type's own __doc__ would hide each method's (its __dict__ holds it).
PyType_Spec method_layout = {"sorvith.module_method", sizeof(Method), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};

MadeOnce<py::object> made_type; // the method type, made with the first method

PyTypeObject *method_type() {
    const py::object &type = made_type.get([] { return steal(PyType_FromSpec(&method_layout)); });
    return reinterpret_cast<PyTypeObject *>(type.ptr());
}

} // namespace

py::object make_method(py::handle function, const char *class_name) {
    py::object name = attr(function, SV_NAME("__name__"));
    py::dict dict;
    dict["__module__"] = attr(function, SV_NAME("__module__"));
    dict["__name__"] = name;
    dict["__qualname__"] = steal(PyUnicode_FromFormat("%s.%U", class_name, name.ptr()));
    dict["__doc__"] = attr(function, SV_NAME("__doc__"));
    dict["__wrapped__"] = function;
    py::object owner = py::str(class_name);

    py::object method = steal(PyType_GenericAlloc(method_type(), 0));
    Method *made = fields(method.ptr());
    made->function = py::object(borrow(function.ptr())).release().ptr();
    made->class_name = owner.release().ptr();
    made->dict = dict.release().ptr();
    return method;
}

PyObject *method_function(PyObject *candidate) {
    // Before the first method is made, nothing is one.
    const py::object *type = made_type.made();
    if (!candidate || !type || reinterpret_cast<PyObject *>(Py_TYPE(candidate)) != type->ptr())
        return nullptr;
    return fields(candidate)->function;
}

PyObject *package_method_function(PyObject *candidate) {
    if (PyObject *own = method_function(candidate))
        return own;
    if (!candidate)
        return nullptr;
    // Another extension's method type: made from this same spec, so with this layout.
    PyTypeObject *type = Py_TYPE(candidate);
    bool same_spec = (type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
                     type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Method)) &&
                     std::strcmp(type->tp_name, method_layout.name) == 0;
    return same_spec ? fields(candidate)->function : nullptr;
}

} // namespace sorvith
