#include "nvr_layer.h"

#include "block/forward.h"
#include "block/member.h"
#include "block/processors.h"
#include "block/rows/view_shape.h"
#include "companion/nevrane.h"
#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "skip_tensor.h"

namespace sorvith::blockwise_svp {

namespace {

// Coded into `module_id` by the companion's string_to_tensor: the layer's text travels with the
// block into its cleaned and saved forms, the block modules' text with each dendrite and main
// module. The block text is one character: the loading side gives each block module a
// 0-dimensional `module_id`, and torch loads a saved 1-dimensional tensor into one only when it
// holds a single element.
const char *const layer_id_text = "sorvith.blockwise.layer";
const char *const block_id_text = "b";

py::object init(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"",          "layer_array", "processor_array",
                                        "dendrites_to_top", "dendrites_to_dendrites",
                                        "node_index", "num_cycles", "view_tuple", nullptr};
    PyObject *self, *layer_array, *processor_array, *dendrites_to_top, *dendrites_to_dendrites,
        *node_index, *num_cycles, *view_tuple;
    parse_args(args, kwargs, "OOOOOOOO:__init__", names, &self, &layer_array, &processor_array,
               &dendrites_to_top, &dendrites_to_dendrites, &node_index, &num_cycles, &view_tuple);

    init_module_base(self);
    set_attr(self, SV_NAME("layer_array"), layer_array);
    register_buffer(self, SV_NAME("module_id"),
                    companion::string_to_tensor(module, py::str(layer_id_text)));
    register_buffer(self, SV_NAME("num_cycles"), num_cycles);
    py::object view_buffer =
        call_method(global(module, SV_NAME("torch")), SV_NAME("tensor"), view_tuple);
    register_buffer(self, SV_NAME("view_tuple"), view_buffer);
    block::rows::remember_view_tuple(self, view_buffer);
    for (py::handle block : block::member(self, SV_NAME("layer_array")))
        register_buffer(block, SV_NAME("module_id"),
                        companion::string_to_tensor(module, py::str(block_id_text)));
    set_attr(self, SV_NAME("processor_array"), processor_array);

    // The skip list: the companion's own dendrite-to-dendrite list (so the append below also
    // lands in the companion's dendrite module), or one zero entry when it is empty.
    if (truth(dendrites_to_dendrites)) {
        set_attr(self, SV_NAME("skip_weights"), dendrites_to_dendrites);
    } else {
        py::object zeros = call_method(global(module, SV_NAME("torch")), SV_NAME("zeros"),
                                       make_int(1), make_int(1), make_int(1));
        set_attr(self, SV_NAME("skip_weights"),
                 call_method(global(module, SV_NAME("nn")), SV_NAME("ParameterList"),
                             list_of(zeros)));
    }
    if (truth(dendrites_to_top)) {
        py::object last = getitem(dendrites_to_top, make_int(length(dendrites_to_top) - 1));
        call_method(block::member(self, SV_NAME("skip_weights")), SV_NAME("append"), last);
    } else {
        set_attr(self, SV_NAME("skip_weights"),
                 call_method(global(module, SV_NAME("nn")), SV_NAME("ParameterList")));
    }

    py::object skip = build_skip_tensor(module, block::member(self, SV_NAME("skip_weights")));

    set_attr(self, SV_NAME("original"), block::member(self, SV_NAME("skip_weights")));
    py::object parameter_class =
        attr(attr(global(module, SV_NAME("torch")), SV_NAME("nn")), SV_NAME("Parameter"));
    set_attr(self, SV_NAME("skip_weights"),
             call(parameter_class, call_method(skip, SV_NAME("detach"))));
    set_attr(self, SV_NAME("node_index"), node_index);
    set_attr(self, SV_NAME("internal_nonlinearity"),
             companion::setting(module, companion::getters::nvr_forward_function()));
    return py::none();
}

// One block's output as it enters the cascade. Processors work as in the cleaned block module:
// a dendrite's `pre` makes its arguments and its `post` maps its output; the main module's
// `pre` maps its output (its `post` is applied to the final value). Every block is called as a
// module, so its hooks run.
py::object block_output(py::handle self, Py_ssize_t c, bool main, py::handle inputs,
                        py::handle keywords) {
    py::object position = make_int(c);
    if (main) {
        py::object layer = block::child_at(block::member(self, SV_NAME("layer_array")), c);
        py::object out = call_with(layer, inputs, keywords);
        return block::main_output(
            getitem(block::member(self, SV_NAME("processor_array")), make_int(-1)), out);
    }
    return block::dendrite_output(
        [&] { return getitem(block::member(self, SV_NAME("processor_array")), position); },
        [&] { return block::child_at(block::member(self, SV_NAME("layer_array")), c); },
        borrow(inputs.ptr()), borrow(keywords.ptr()));
}

py::object forward(py::handle module, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "forward");
    py::object inputs = rest_of(args, 1);
    py::object keywords = kwargs_dict(kwargs);

    Py_ssize_t count = block::child_count(block::member(self, SV_NAME("layer_array")));
    py::object outputs = none_list(count);
    for (Py_ssize_t c = 0; c < count; ++c)
        setitem(outputs, c, block_output(self, c, c == count - 1, inputs, keywords));

    py::object current =
        block::cascade(module, self, outputs, /*add_in_place=*/true, block::Activation::stored);
    if (!current)
        raise_unbound_local("current_out");
    return block::block_result(
        getitem(block::member(self, SV_NAME("processor_array")), make_int(-1)), current);
}

PyMethodDef init_def =
    SV_METHOD("__init__", init,
              "__init__(self, layer_array, processor_array, dendrites_to_top, "
              "dendrites_to_dendrites, node_index, num_cycles, view_tuple)\n--\n\n");
PyMethodDef forward_def = SV_FUNCTION(forward, forward, "(self, /, *args, **kwargs)");

} // namespace

py::object make_nvr_layer_class(py::handle module) {
    return make_module_class(module, "NVRLayer", nullptr,
                             {&init_def, &forward_def, &block::main_module_fallback_def});
}

} // namespace sorvith::blockwise_svp
