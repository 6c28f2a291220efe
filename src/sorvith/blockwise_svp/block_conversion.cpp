#include "block_conversion.h"

#include "companion/host.h"
#include "companion/pyclass.h"

namespace sorvith::blockwise_svp {

namespace {

py::object unwrap_params(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"model", nullptr};
    PyObject *model;
    parse_args(args, kwargs, "O:unWrap_params", names, &model);
    py::object parameters = call_method(model, SV_NAME("parameters"));
    for (py::handle parameter : parameters) {
        if (contains(call_method(parameter, SV_NAME("__dir__")), SV_NAME("wrapped")))
            if (PyObject_DelAttr(parameter.ptr(), SV_NAME("wrapped").ptr()) < 0)
                throw py::error_already_set();
    }
    return py::none();
}

// neuron.dendrite_module, read afresh at every use.
py::object dendrites(py::handle neuron) { return attr(neuron, SV_NAME("dendrite_module")); }

// processor.pre = processor.<pre_name>; processor.post = processor.<post_name>
void bind_steps(py::handle processor, py::handle pre_name, py::handle post_name) {
    set_attr(processor, SV_NAME("pre"), attr(processor, pre_name));
    set_attr(processor, SV_NAME("post"), attr(processor, post_name));
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
        if (!is_none(processor()))
            bind_steps(processor(), SV_NAME("pre_d"), SV_NAME("post_d"));
        processor_array.append(processor());
    }
    layer_array.append(attr(neuron, SV_NAME("main_module")));
    if (!is_none(attr(neuron, SV_NAME("processor"))))
        bind_steps(attr(neuron, SV_NAME("processor")), SV_NAME("post_n1"), SV_NAME("post_n2"));
    processor_array.append(attr(neuron, SV_NAME("processor")));

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

} // namespace

PyMethodDef unwrap_params_def =
    SV_METHOD("unWrap_params", unwrap_params, "unWrap_params(model)\n--\n\n");
PyMethodDef convert_to_nvr_layer_block_def =
    SV_METHOD("convert_to_nvr_layer_block", convert_to_nvr_layer_block,
              "convert_to_nvr_layer_block(pretrained_dendrite)\n--\n\n");

} // namespace sorvith::blockwise_svp
