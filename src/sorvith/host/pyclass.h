// Functions, methods and nn.Module classes made from C++.
//
// Every function and method is a plain PyMethodDef (METH_VARARGS | METH_KEYWORDS) whose
// `self` is the extension module, so that each body can reach its module's late-bound
// globals without any C++ state. Methods are wrapped in a method of host/method.h, so they
// bind as ordinary types.MethodType, receive the instance as the first positional argument,
// and read from the class they are themselves, which can be stored back.
// Classes are made with type(name, (torch.nn.Module,), namespace): real Python classes that
// pickle, deep-copy and subclass like any other.
#pragma once

#include "common.h"
#include "modules.h"

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace sorvith {

// A function body: `module` is the extension module, `args` the positional tuple (for a
// method the instance comes first), `kwargs` the keyword dict or a null handle.
using Body = py::object (*)(py::handle module, py::handle args, py::handle kwargs);

// Called in a catch block for std::exception at the boundary: makes the exception being
// handled the current Python error (a Python error as it was raised, pybind11's own as the
// Python type it stands for, any other as RuntimeError with its message).
void set_python_error();

// Turns C++ exceptions into Python errors at the boundary.
template <Body F> PyObject *entry(PyObject *module, PyObject *args, PyObject *kwargs) {
    try {
        return F(module, args, kwargs).release().ptr();
    } catch (std::exception &) {
        set_python_error();
    }
    return nullptr;
}

// A method table entry for body F. `doc` may start with a text signature
// ("name(a, b)\n--\n\n") so that inspect and editors see the parameters.
#define SV_METHOD(name, body, doc)                                                     \
    PyMethodDef {                                                                      \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(          \
                  &::sorvith::entry<body>)),                                           \
            METH_VARARGS | METH_KEYWORDS, doc                                          \
    }

// The entry for a method whose doc is its text signature alone: the Python name, the body,
// and the parameter list, e.g. SV_FUNCTION(forward, forward, "(self, /, *args, **kwargs)").
#define SV_FUNCTION(name, body, parameters) SV_METHOD(#name, body, #name parameters "\n--\n\n")

// The same with a docstring after the signature, for help() and editors: what the function
// does and what it returns, in one or two lines. Every module-level function has one.
#define SV_DOCUMENTED(name, body, parameters, doc)                                     \
    SV_METHOD(#name, body, #name parameters "\n--\n\n" doc)

// Parses the arguments with the host's own rules and error messages.
// `names` is null-terminated; "" marks a positional-only parameter (used for self).
template <typename... Out>
void parse_args(py::handle args, py::handle kwargs, const char *format, const char *const *names,
                Out **...out) {
    if (!PyArg_ParseTupleAndKeywords(args.ptr(), kwargs.ptr(), format,
                                     const_cast<char **>(names), out...))
        throw py::error_already_set();
}

// args[0], the instance of a method call. Called through the class with no arguments at all,
// the host would report the missing `self`; so does this, instead of reading past the tuple.
py::handle method_self(py::handle args, const char *method);

// args[1:], the arguments of a method call after the instance.
py::object rest_of(py::handle args, Py_ssize_t start);

// The kwargs of a call as a dict (a new empty one when the call had none).
py::object kwargs_dict(py::handle kwargs);

// A module-level function bound to `module`.
py::object make_function(PyMethodDef *def, py::handle module);

// Whether `candidate` is the function that make_function made from `def` for `module` (so a
// walk that finds its late-bound name still bound to itself may recurse internally).
bool is_function_of(py::handle candidate, const PyMethodDef *def, py::handle module);

// A class deriving torch.nn.Module, with __module__ the extension's name, __qualname__ its
// name, the given docstring (or none) and the methods in the given order.
py::object make_module_class(py::handle module, const char *name, const char *doc,
                             const std::vector<PyMethodDef *> &methods);

// nn.Module.__init__(self), nn.Module.__getattr__(self, name): the base class's own methods.
void init_module_base(py::handle self);
py::object module_base_getattr(py::handle self, py::handle name);
// The same as a new reference, or null with the error set (for hot paths where the error is
// the usual outcome, which a C++ exception would make slow).
PyObject *module_base_getattr_raw(PyObject *self, PyObject *name);

// super(), as a method made from `def` for `module` would write it without arguments: the
// class in type(self).__mro__ whose own namespace holds that method, and `self`. A subclass
// or a mixin between that class and nn.Module is honoured. Raises the host's TypeError when
// self's class does not have the method (it was called through the class on another object).
py::object zero_argument_super(py::handle self, const PyMethodDef *def, py::handle module);

// self.register_buffer(name, tensor) and self.register_parameter(name, param).
void register_buffer(py::handle owner, py::handle name, py::handle tensor);
void register_parameter(py::handle owner, py::handle name, py::handle parameter);

// Binds name = value in the module namespace.
void bind(py::handle module, const char *name, py::handle value);

// Binds the module-level function made from `def` under its own name.
void bind_function(py::handle module, PyMethodDef *def);

// Binds the functions made from a module's table, or from a list of entries kept elsewhere
// (the walks' owner readers), in order.
template <std::size_t N> void bind_functions(py::handle module, PyMethodDef (&defs)[N]) {
    for (PyMethodDef &def : defs)
        bind_function(module, &def);
}
void bind_functions(py::handle module, std::initializer_list<PyMethodDef *> defs);

// Imports and binds each entry (modules.h) in turn: the list's order is the order of the
// module's namespace, and an import that fails stops there with its own error.
void bind_imports(py::handle module, std::initializer_list<Import> imports);

// What PyInit_<name> does: creates the module and binds its names, in order; an error on the
// way (a missing companion library, most often) makes the import fail with that error.
PyObject *create_module(PyModuleDef *def, void (*bind_names)(py::handle module));

// Defines PyInit_<name>, the one symbol an extension exports: the module sorvith.<name> with
// the docstring `doc`, made by create_module with `bind_names`.
#define SV_MODULE(name, doc, bind_names)                                                       \
    PyMODINIT_FUNC PyInit_##name() {                                                          \
        static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "sorvith." #name, doc, -1,    \
                                         nullptr, nullptr, nullptr, nullptr, nullptr};        \
        return ::sorvith::create_module(&definition, bind_names);                             \
    }

} // namespace sorvith
