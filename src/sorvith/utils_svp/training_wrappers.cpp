#include "training_wrappers.h"

#include "host/arguments.h"
#include "host/globals.h"
#include "host/protocols.h"

namespace sorvith::utils_svp {

namespace {

// (nn.DataParallel, nn.parallel.DistributedDataParallel), through the module's own `nn`.
py::object wrapper_classes(py::handle module) {
    py::object nn = global(module, SV_NAME("nn"));
    py::object data_parallel = attr(nn, SV_NAME("DataParallel"));
    py::object distributed =
        attr(attr(nn, SV_NAME("parallel")), SV_NAME("DistributedDataParallel"));
    return steal(PyTuple_Pack(2, data_parallel.ptr(), distributed.ptr()));
}

// The DTensor class when torch.distributed.tensor has been imported, else null: no parameter
// can be a DTensor before that, and importing torch.distributed here would cost every call.
py::object dtensor_class() {
    py::object found = loaded_module(SV_NAME("torch.distributed.tensor"));
    if (!found)
        return py::object();
    py::object cls = attr_or_none(found, SV_NAME("DTensor"));
    return is_none(cls) ? py::object() : cls;
}

[[noreturn]] void refuse_sharded(const char *function, py::handle name) {
    PyErr_Format(
        PyExc_TypeError,
        "%s: the network's parameter '%U' is a DTensor: a network sharded with fully_shard "
        "(FSDP2) or a device mesh cannot be copied or cleaned. Gather its full state dict on "
        "every rank with torch.distributed.checkpoint.state_dict.get_model_state_dict(model, "
        "options=StateDictOptions(full_state_dict=True, cpu_offload=True)); then, on rank 0 "
        "only, load it into a plain (unsharded) dendritic network of the same architecture "
        "with load_state_dict and pass that network to sv_save_net.",
        function, text(name).ptr());
    throw py::error_already_set();
}

} // namespace

py::object network_to_clean(py::handle module, py::handle net, const char *function) {
    require_module(module, net, function, "net");
    py::object inner = borrow(net.ptr());
    py::object wrappers = wrapper_classes(module);
    while (is_instance(inner, wrappers))
        inner = attr(inner, SV_NAME("module"));

    if (py::object dtensor = dtensor_class()) {
        for (py::handle entry : call_method(inner, SV_NAME("named_parameters"))) {
            if (is_instance(getitem(entry, 1), dtensor))
                refuse_sharded(function, getitem(entry, 0));
        }
    }
    return inner;
}

} // namespace sorvith::utils_svp
