// convert_to_nvr_layer_block and unWrap_params: one companion neuron module into an NVRLayer.
#include "functions.h"

#include "block/processors.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"

namespace sorvith::blockwise_svp {

namespace {

// "wrapped" in parameter.__dir__(). For an nn.Parameter whose class keeps torch.Tensor's own
// __dir__, with no torch-function mode active, that list is the names of the class (what
// dir(type(p)) lists) plus the keys of p.__dict__, sorted: so the answer is read from those two
// without building and sorting some four hundred names per parameter. Anything else asks
// __dir__ itself.
bool lists_wrapped(py::handle parameter) {
    PyTypeObject *type = Py_TYPE(parameter.ptr());
    py::object torch = import("torch");
    py::object parameter_class = attr(attr(torch, SV_NAME("nn")), SV_NAME("Parameter"));
    py::object tensor_class = attr(torch, SV_NAME("Tensor"));
    bool plain = reinterpret_cast<PyObject *>(type) == parameter_class.ptr() &&
                 _PyType_Lookup(type, SV_NAME("__dir__").ptr()) ==
                     _PyType_Lookup(reinterpret_cast<PyTypeObject *>(tensor_class.ptr()),
                                    SV_NAME("__dir__").ptr()) &&
                 !truth(call_method(attr(torch, SV_NAME("_C")),
                                    SV_NAME("_is_torch_function_mode_enabled")));
    if (!plain)
        return contains(call_method(parameter, SV_NAME("__dir__")), SV_NAME("wrapped"));
    if (_PyType_Lookup(type, SV_NAME("wrapped").ptr()))
        return true;
    py::object instance_dict = steal(PyObject_GenericGetDict(parameter.ptr(), nullptr));
    return contains(instance_dict, SV_NAME("wrapped"));
}

// neuron.dendrite_module, read afresh at every use.
py::object dendrites(py::handle neuron) { return attr(neuron, SV_NAME("dendrite_module")); }

} // namespace

py::object unwrap_params(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"model", nullptr};
    PyObject *model;
    parse_args(args, kwargs, "O:unWrap_params", names, &model);
    py::object parameters = call_method(model, SV_NAME("parameters"));
    for (py::handle parameter : parameters) {
        if (lists_wrapped(parameter))
            del_attr(parameter, SV_NAME("wrapped"));
    }
    return py::none();
}

py::object convert_to_nvr_layer_block(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"pretrained_dendrite", nullptr};
    PyObject *neuron_arg;
    parse_args(args, kwargs, "O:convert_to_nvr_layer_block", names, &neuron_arg);
    py::object neuron = borrow(neuron_arg);

    call(global(module, SV_NAME("unWrap_params")), neuron);
    py::list layer_array, processor_array;
    Py_ssize_t count = length(attr(dendrites(neuron), SV_NAME("layers")));
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::object index = make_int(i);
        layer_array.append(getitem(attr(dendrites(neuron), SV_NAME("layers")), index));
        if (equal(attr(dendrites(neuron), SV_NAME("processors")), py::list())) {
            processor_array.append(py::none());
            continue;
        }
        auto processor = [&] {
            return getitem(attr(dendrites(neuron), SV_NAME("processors")), index);
        };
        // The companion's own processor gets its steps; it is read anew at each use, as each
        // read is visible to callers.
        if (!is_none(processor()))
            block::bind_steps(processor, processor, block::ProcessorRole::dendrite);
        processor_array.append(processor());
    }
    layer_array.append(attr(neuron, SV_NAME("main_module")));
    auto main_processor = [&] { return attr(neuron, SV_NAME("processor")); };
    if (!is_none(main_processor()))
        block::bind_steps(main_processor, main_processor, block::ProcessorRole::main);
    processor_array.append(main_processor());

    // -1 at the neuron dimension of a block output, 1 at every other dimension.
    auto values = [&] {
        return getitem(attr(dendrites(neuron), SV_NAME("dendrite_values")), make_int(0));
    };
    py::list view_tuple;
    Py_ssize_t rank = length(attr(values(), SV_NAME("this_output_dimensions")));
    for (Py_ssize_t dim = 0; dim < rank; ++dim)
        view_tuple.append(make_int(
            equal(make_int(dim), attr(values(), SV_NAME("this_node_index"))) ? -1 : 1));

    // Arguments in the order a Python call evaluates them.
    py::object layer_class = global(module, SV_NAME("NVRLayer"));
    py::object sequential = call_with(attr(global(module, SV_NAME("nn")), SV_NAME("Sequential")),
                                      py::tuple(layer_array), py::handle());
    py::object to_top = attr(neuron, SV_NAME("dendrites_to_top"));
    py::object to_dendrites = attr(dendrites(neuron), SV_NAME("dendrites_to_dendrites"));
    py::object node_index = attr(neuron, SV_NAME("this_node_index"));
    py::object num_cycles = attr(dendrites(neuron), SV_NAME("num_cycles"));
    return call(layer_class, sequential, processor_array, to_top, to_dendrites, node_index,
                num_cycles, view_tuple);
}

} // namespace sorvith::blockwise_svp
