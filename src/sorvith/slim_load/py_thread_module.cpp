#include "py_thread_module.h"

#include "block/forward.h"
#include "block/member.h"
#include "block/rows/view_shape.h"
#include "host/pyclass.h"

namespace sorvith::slim_load {

namespace {

// original_module.<name>.clone().detach(): a copy of its own, cut from autograd.
py::object detached_copy(py::handle original, py::handle name) {
    py::object copy = call_method(block::member(original, name), SV_NAME("clone"));
    return call_method(copy, SV_NAME("detach"));
}

py::object init(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", "original_module", nullptr};
    PyObject *self, *original;
    parse_args(args, kwargs, "OO:__init__", names, &self, &original);

    init_module_base(self);
    // Shared with the layer: a change made through either object is seen by both.
    // (member: the attribute lookup, reading a block's tables directly)
    set_attr(self, SV_NAME("layer_array"), block::member(original, SV_NAME("layer_array")));
    set_attr(self, SV_NAME("processor_array"),
             block::member(original, SV_NAME("processor_array")));
    set_attr(self, SV_NAME("skip_weights"), block::member(original, SV_NAME("skip_weights")));
    register_buffer(self, SV_NAME("node_index"), detached_copy(original, SV_NAME("node_index")));
    register_buffer(self, SV_NAME("module_id"), detached_copy(original, SV_NAME("module_id")));
    register_buffer(self, SV_NAME("num_cycles"), block::member(original, SV_NAME("num_cycles")));
    py::object view_tuple = block::member(original, SV_NAME("view_tuple"));
    register_buffer(self, SV_NAME("view_tuple"), view_tuple);
    block::rows::remember_view_tuple(self, view_tuple);
    return py::none();
}

PyMethodDef init_def = SV_FUNCTION(__init__, init, "(self, original_module)");

} // namespace

py::object make_py_thread_module_class(py::handle module) {
    return block::make_step_class(module, block::StepClass::cleaned, "NVRModulePyThread",
                                  {&init_def});
}

} // namespace sorvith::slim_load
