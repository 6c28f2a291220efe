// sv_count_params: the parameter count of a network, in its training or its cleaned form.
#include "functions.h"

#include "companion/nevrane.h"
#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "training_wrappers.h"

namespace sorvith::utils_svp {

py::object sv_count_params(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", nullptr};
    PyObject *net_arg;
    parse_args(args, kwargs, "O:sv_count_params", names, &net_arg);
    py::object net = network_to_clean(module, net_arg, "sv_count_params");

    py::object parameters;
    if (companion::flag(module, companion::getters::count_training_params())) {
        parameters = call_method(net, SV_NAME("named_parameters"));
    } else {
        // clean_net rewrites its argument in place, so it gets a private copy.
        py::object copy = companion::deep_copy_nvr(module, net);
        py::object cleaned = call(global(module, SV_NAME("clean_net")), copy);
        parameters = steal(PySequence_List(call_method(cleaned, SV_NAME("named_parameters")).ptr()));
    }
    // Keyed by the address of the first element: tensors that share storage from the same
    // start (tied weights) count once, with the last one's size.
    py::dict unique_params;
    for (py::handle entry : parameters) {
        auto [name, param] = unpack_pair(entry);
        if (contains(name, SV_NAME("parent_module")))
            continue;
        unique_params[call_method(param, SV_NAME("data_ptr"))] = param;
    }
    py::object total = make_int(0);
    for (auto item : unique_params)
        total = add(total, call_method(item.second, SV_NAME("numel")));
    return total;
}

} // namespace sorvith::utils_svp
