#include "tracked_module.h"

#include "host/globals.h"
#include "host/protocols.h"
#include "companion/nevrane.h"
#include "host/pyclass.h"

namespace sorvith::network_svp {

namespace {

py::object init(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", "start_module", "name", nullptr};
    PyObject *self, *start_module, *name;
    parse_args(args, kwargs, "OOO:__init__", names, &self, &start_module, &name);

    init_module_base(self);
    py::object module_class = attr(global(module, SV_NAME("nn")), SV_NAME("Module"));
    if (is_instance(start_module, module_class)) {
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

extern PyMethodDef getattr_def;

py::object getattr_(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", "name", nullptr};
    PyObject *self, *name;
    parse_args(args, kwargs, "OO:__getattr__", names, &self, &name);
    // The lookup goes on after this class in the instance's method order, as super() would.
    py::object base = zero_argument_super(self, &getattr_def, module);
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

py::object forward(py::handle, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "forward");
    return call_with(attr(self, SV_NAME("main_module")), rest_of(args, 1), kwargs);
}

py::object str(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", nullptr};
    PyObject *self;
    parse_args(args, kwargs, "O:__str__", names, &self);
    // The verbose setting is read (the configuration may count it) but changes nothing.
    companion::flag(module, companion::getters::verbose());
    py::object inner = call_method(attr(self, SV_NAME("main_module")), SV_NAME("__str__"));
    // Concatenated as Python code would: a result that is no str raises the host's TypeError.
    return concat({py::str("NVRTrackedLayer("), inner, py::str(")")});
}

py::object repr(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", nullptr};
    PyObject *self;
    parse_args(args, kwargs, "O:__repr__", names, &self);
    return call_method(self, SV_NAME("__str__"));
}

PyMethodDef init_def = SV_METHOD("__init__", init,
    "__init__(self, start_module, name)\n--\n\n"
    "Initialize NVRTrackedModule.\n\n"
    "Sets up the tracked neuron module to wrap the start module without adding dendrites.\n\n"
    "Parameters\n----------\n"
    "start_module : nn.Module\n    The module to wrap.\n"
    "name : str\n    The name of the neuron module.\n");

PyMethodDef getattr_def = SV_METHOD("__getattr__", getattr_,
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

PyMethodDef forward_def = SV_METHOD("forward", forward,
    "forward(self, /, *args, **kwargs)\n--\n\n"
    "Forward pass for tracked layer.\n\n"
    "Parameters\n----------\n"
    "*args\n    Positional arguments for the wrapped module.\n"
    "**kwargs\n    Keyword arguments for the wrapped module.\n\n"
    "Returns\n-------\n"
    "Any\n    The output of the module.\n\n"
    "Notes\n-----\n"
    "The output has the same format as the wrapped module's output.\n");

PyMethodDef str_def = SV_METHOD("__str__", str,
    "__str__(self)\n--\n\n"
    "String representation of the layer.\n\n"
    "Parameters\n----------\n"
    "None\n\n"
    "Returns\n-------\n"
    "str\n    The string.\n\n"
    "Notes\n-----\n"
    "The verbose setting is consulted, but both settings give the same text.\n");

PyMethodDef repr_def = SV_METHOD("__repr__", repr,
    "__repr__(self)\n--\n\n"
    "Representation of the layer.");

} // namespace

py::object make_tracked_module_class(py::handle module) {
    return make_module_class(
        module, "NVRTrackedModule",
        "Wrapper for modules you don't want to add dendrites to. Ensures all modules are "
        "accounted for.",
        {&init_def, &getattr_def, &forward_def, &str_def, &repr_def});
}

} // namespace sorvith::network_svp
