#include "tracked_module.h"

#include "host/globals.h"
#include "host/protocols.h"
#include "companion/nevrane.h"
#include "host/pyclass.h"
#include "walk/walk.h"

namespace sorvith::network_svp {

namespace {

py::object tracked_init(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", "start_module", "name", nullptr};
    PyObject *self, *start_module, *name;
    parse_args(args, kwargs, "OOO:__init__", names, &self, &start_module, &name);

    init_module_base(self);
    if (is_instance(start_module, walk::module_class(module))) {
        set_attr(self, SV_NAME("main_module"), start_module);
    } else {
        print(module, format("start_module must be nn.Module: %s", name));
        print(module, type_of(start_module));
        print(module, start_module);
        exit_process(module, make_int(-1));
    }
    set_attr(self, SV_NAME("name"), name);
    set_attr(self, SV_NAME("type"), py::str("tracked_module"));
    return py::none();
}

extern PyMethodDef tracked_getattr_def;

py::object tracked_getattr_(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", "name", nullptr};
    PyObject *self, *name;
    parse_args(args, kwargs, "OO:__getattr__", names, &self, &name);
    // The lookup goes on after this class in the instance's method order, as super() would.
    py::object base = zero_argument_super(self, &tracked_getattr_def, module);
    try {
        return call_method(base, SV_NAME("__getattr__"), name);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_AttributeError))
            throw;
    }
    // The wrapped module is read without coming back here: a half-built or half-restored
    // instance without one gets an AttributeError, not an endless recursion.
    py::object main_module;
    try {
        main_module = call_method(base, SV_NAME("__getattr__"), SV_NAME("main_module"));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_AttributeError))
            throw;
        // The text nn.Module gives; the name is converted with str(), whatever it is.
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%S'",
                     Py_TYPE(self)->tp_name, name);
        throw py::error_already_set();
    }
    return attr(main_module, name);
}

py::object tracked_forward(py::handle, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "forward");
    return call_with(attr(self, SV_NAME("main_module")), rest_of(args, 1), kwargs);
}

py::object tracked_str(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", nullptr};
    PyObject *self;
    parse_args(args, kwargs, "O:__str__", names, &self);
    // The verbose setting is read (the configuration may count it) but changes nothing.
    companion::flag(module, companion::getters::verbose());
    py::object inner = call_method(attr(self, SV_NAME("main_module")), SV_NAME("__str__"));
    // Concatenated as Python code would: a result that is no str raises the host's TypeError.
    return concat({py::str("NVRTrackedLayer("), inner, py::str(")")});
}

py::object tracked_repr(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", nullptr};
    PyObject *self;
    parse_args(args, kwargs, "O:__repr__", names, &self);
    return call_method(self, SV_NAME("__str__"));
}

PyMethodDef tracked_init_def = SV_METHOD("__init__", tracked_init,
    "__init__(self, start_module, name)\n--\n\n"
    "Initialize NVRTrackedModule.\n\n"
    "Sets up the tracked neuron module to wrap the start module without adding dendrites.\n\n"
    "Parameters\n----------\n"
    "start_module : nn.Module\n    The module to wrap.\n"
    "name : str\n    The name of the neuron module.\n");

PyMethodDef tracked_getattr_def = SV_METHOD("__getattr__", tracked_getattr_,
    "__getattr__(self, name)\n--\n\n"
    "Get member variables from the main module.\n\n"
    "Parameters\n----------\n"
    "name : str\n    The name of the variable.\n\n"
    "Returns\n-------\n"
    "Any\n    The requested variable.\n\n"
    "Notes\n-----\n"
    "The attribute is first looked up on the tracked module and then on the wrapped\n"
    "main_module, which gives access to the wrapped module's attributes without changes\n"
    "to other code.\n");

PyMethodDef tracked_forward_def = SV_METHOD("forward", tracked_forward,
    "forward(self, /, *args, **kwargs)\n--\n\n"
    "Forward pass for tracked layer.\n\n"
    "Parameters\n----------\n"
    "*args\n    Positional arguments for the wrapped module.\n"
    "**kwargs\n    Keyword arguments for the wrapped module.\n\n"
    "Returns\n-------\n"
    "Any\n    The output of the module.\n\n"
    "Notes\n-----\n"
    "The output has the same format as the wrapped module's output.\n");

PyMethodDef tracked_str_def = SV_METHOD("__str__", tracked_str,
    "__str__(self)\n--\n\n"
    "String representation of the layer.\n\n"
    "Parameters\n----------\n"
    "None\n\n"
    "Returns\n-------\n"
    "str\n    The string.\n\n"
    "Notes\n-----\n"
    "The verbose setting is consulted, but both settings give the same text.\n");

PyMethodDef tracked_repr_def = SV_METHOD("__repr__", tracked_repr,
    "__repr__(self)\n--\n\n"
    "Representation of the layer.");

} // namespace

py::object make_tracked_module_class(py::handle module) {
    return make_module_class(
        module, "NVRTrackedModule",
        "Wrapper for modules you don't want to add dendrites to. Ensures all modules are "
        "accounted for.",
        {&tracked_init_def, &tracked_getattr_def, &tracked_forward_def, &tracked_str_def,
         &tracked_repr_def});
}

} // namespace sorvith::network_svp
