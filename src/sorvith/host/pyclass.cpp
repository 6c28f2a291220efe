#include "pyclass.h"

#include "modules.h"
#include "method.h"
#include "protocols.h"

namespace sorvith {

void set_python_error() {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

py::handle method_self(py::handle args, const char *method) {
    if (PyTuple_GET_SIZE(args.ptr()) == 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'self'",
                     method);
        throw py::error_already_set();
    }
    return PyTuple_GET_ITEM(args.ptr(), 0);
}

py::object rest_of(py::handle args, Py_ssize_t start) {
    return steal(PyTuple_GetSlice(args.ptr(), start, PyTuple_GET_SIZE(args.ptr())));
}

py::object kwargs_dict(py::handle kwargs) {
    if (kwargs)
        return borrow(kwargs.ptr());
    return steal(PyDict_New());
}

py::object make_function(PyMethodDef *def, py::handle module) {
    py::object module_name = attr(module, SV_NAME("__name__"));
    return steal(PyCFunction_NewEx(def, module.ptr(), module_name.ptr()));
}

bool is_function_of(py::handle candidate, const PyMethodDef *def, py::handle module) {
    PyObject *f = candidate.ptr();
    return PyCFunction_Check(f) && PyCFunction_GET_FUNCTION(f) == def->ml_meth &&
           PyCFunction_GET_SELF(f) == module.ptr();
}

// torch.nn.Module, from torch.nn as imported: no trip through the import system at every block
// construction and attribute miss.
static py::object torch_module_class() {
    return attr(imported(SV_NAME("torch.nn")), SV_NAME("Module"));
}

py::object make_module_class(py::handle module, const char *name, const char *doc,
                             const std::vector<PyMethodDef *> &methods) {
    py::dict namespace_;
    namespace_["__module__"] = attr(module, SV_NAME("__name__"));
    namespace_["__qualname__"] = py::str(name);
    namespace_["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    for (PyMethodDef *def : methods) {
        py::object function = make_function(def, module);
        namespace_[def->ml_name] = make_method(function, name);
    }
    py::tuple bases = py::make_tuple(torch_module_class());
    return call(reinterpret_cast<PyObject *>(&PyType_Type), py::str(name), bases, namespace_);
}

void init_module_base(py::handle self) {
    call(attr(torch_module_class(), SV_NAME("__init__")), self);
}

py::object module_base_getattr(py::handle self, py::handle name) {
    return steal(module_base_getattr_raw(self.ptr(), name.ptr()));
}

PyObject *module_base_getattr_raw(PyObject *self, PyObject *name) {
    try {
        py::object getattr_method = attr(torch_module_class(), SV_NAME("__getattr__"));
        PyObject *argv[] = {nullptr, self, name};
        return PyObject_Vectorcall(getattr_method.ptr(), argv + 1,
                                   2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    } catch (py::error_already_set &error) {
        error.restore();
        return nullptr;
    }
}

py::object zero_argument_super(py::handle self, const PyMethodDef *def, py::handle module) {
    py::object mro = attr(type_of(self), SV_NAME("__mro__"));
    py::object name = py::str(def->ml_name);
    for (py::handle cls : mro) {
        py::object own = attr(cls, SV_NAME("__dict__"));
        if (!contains(own, name))
            continue;
        py::object method = getitem(own, name);
        PyObject *function = method_function(method.ptr());
        if (function && is_function_of(function, def, module))
            return call(reinterpret_cast<PyObject *>(&PySuper_Type), cls, self);
    }
    PyErr_SetString(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    throw py::error_already_set();
}

void register_buffer(py::handle owner, py::handle name, py::handle tensor) {
    call_method(owner, SV_NAME("register_buffer"), name, tensor);
}

void register_parameter(py::handle owner, py::handle name, py::handle parameter) {
    call_method(owner, SV_NAME("register_parameter"), name, parameter);
}

void bind(py::handle module, const char *name, py::handle value) {
    if (PyModule_AddObjectRef(module.ptr(), name, value.ptr()) < 0)
        throw py::error_already_set();
}

void bind_function(py::handle module, PyMethodDef *def) {
    bind(module, def->ml_name, make_function(def, module));
}

void bind_functions(py::handle module, std::initializer_list<PyMethodDef *> defs) {
    for (PyMethodDef *def : defs)
        bind_function(module, def);
}

void bind_imports(py::handle module, std::initializer_list<Import> imports) {
    for (const Import &entry : imports) {
        bind(module, entry.name,
             entry.attribute ? import_from(entry.module, entry.attribute)
                             : entry.importer(entry.module));
    }
}

PyObject *create_module(PyModuleDef *def, void (*bind_names)(py::handle module)) {
    PyObject *module = PyModule_Create(def);
    if (!module)
        return nullptr;
    try {
        bind_names(module);
    } catch (py::error_already_set &error) {
        error.restore();
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

} // namespace sorvith
