#include "optimized_module.h"

#include "block/forward.h"
#include "block/processors.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "companion/nevrane.h"
#include "host/pyclass.h"

namespace sorvith::network_svp {

namespace {

py::object tensor_of(py::handle module, long long value) {
    return call_method(global(module, SV_NAME("torch")), SV_NAME("tensor"), make_int(value));
}

// The processor for the wrapped module's class: matched by exact class, else by class name,
// against the configuration's two pairs of parallel lists.
py::object choose_processor(py::handle module, py::handle original) {
    namespace getters = companion::getters;
    py::handle cls = type_of(original);
    if (contains(companion::setting(module, getters::modules_with_processing()), cls)) {
        py::object index = call_method(
            companion::setting(module, getters::modules_with_processing()), SV_NAME("index"), cls);
        return call(getitem(companion::setting(module, getters::modules_processing_classes()),
                            index));
    }
    py::object name = attr(cls, SV_NAME("__name__"));
    if (contains(companion::setting(module, getters::module_names_with_processing()), name)) {
        py::object index =
            call_method(companion::setting(module, getters::module_names_with_processing()),
                        SV_NAME("index"), name);
        return call(getitem(
            companion::setting(module, getters::module_by_name_processing_classes()), index));
    }
    return py::none();
}

py::object init(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", "original_module", "name", nullptr};
    PyObject *self, *original, *name;
    parse_args(args, kwargs, "OOO:__init__", names, &self, &original, &name);

    init_module_base(self);
    set_attr(self, SV_NAME("name"), name);
    for (const char *buffer : {"node_index", "module_id", "num_cycles", "view_tuple"})
        register_buffer(self, py::str(buffer), tensor_of(module, -1));
    set_attr(self, SV_NAME("processor_array"), py::list());
    set_attr(self, SV_NAME("processor"), py::none());
    py::object nn = global(module, SV_NAME("nn"));
    set_attr(self, SV_NAME("layer_array"),
            call_method(nn, SV_NAME("ModuleList"), py::make_tuple(py::handle(original))));
    py::object last = getitem(attr(self, SV_NAME("layer_array")), make_int(-1));
    register_buffer(last, SV_NAME("module_id"), tensor_of(module, -1));
    set_attr(self, SV_NAME("processor"), choose_processor(module, original));
    register_buffer(self, SV_NAME("module_id"), tensor_of(module, 0));
    return py::none();
}

py::object simulate_cycles(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"", "num_cycles", "nodeCount", nullptr};
    PyObject *self, *num_cycles, *node_count;
    parse_args(args, kwargs, "OOO:simulate_cycles", names, &self, &num_cycles, &node_count);

    // range(0, num_cycles, 2): one copy for every two cycles, rounded up.
    py::object cycles = steal(PyNumber_Index(num_cycles));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(cycles.ptr(), &overflow);
    if (overflow > 0) {
        PyErr_SetString(PyExc_OverflowError, "cycle count too large");
        throw py::error_already_set();
    }
    long long copies = (overflow < 0 || n <= 0) ? 0 : (n + 1) / 2;

    for (long long i = 0; i < copies; ++i) {
        py::object layers = attr(self, SV_NAME("layer_array"));
        py::object copy = global(module, SV_NAME("copy"));
        py::object duplicate =
            call_method(copy, SV_NAME("deepcopy"), getitem(layers, make_int(0)));
        call_method(layers, SV_NAME("append"), duplicate);
        register_buffer(getitem(attr(self, SV_NAME("layer_array")), make_int(-1)),
                        SV_NAME("module_id"), tensor_of(module, -1));
        py::object processor = attr(self, SV_NAME("processor"));
        py::object entry = py::none();
        if (!is_none(processor)) {
            entry = call_method(copy, SV_NAME("deepcopy"), processor);
            // Bound to the one original processor, not to the copy.
            block::bind_steps([&] { return entry; }, [&] { return processor; },
                                   block::ProcessorRole::dendrite);
        }
        call_method(attr(self, SV_NAME("processor_array")), SV_NAME("append"), entry);
    }
    return py::none();
}

PyMethodDef init_def = SV_FUNCTION(__init__, init, "(self, original_module, name)");
PyMethodDef simulate_cycles_def =
    SV_FUNCTION(simulate_cycles, simulate_cycles, "(self, num_cycles, nodeCount)");

} // namespace

py::object make_optimized_module_class(py::handle module) {
    return block::make_step_class(module, block::StepClass::optimized, "NVROptimizedModule",
                                  {&init_def, &simulate_cycles_def});
}

} // namespace sorvith::network_svp
