#include "loading.h"

#include "companion/host.h"
#include "companion/nevrane.h"
#include "companion/pyclass.h"
#include "handled_exception.h"

namespace sorvith::utils_svp {

namespace {

// torch.load(path, map_location=torch.device("cpu")[, weights_only=False]).state_dict()
py::object torch_state_dict(py::handle module, py::handle path, bool with_weights_only) {
    py::object torch = global(module, SV_NAME("torch"));
    py::dict options;
    options[SV_NAME("map_location")] = call_method(torch, SV_NAME("device"), py::str("cpu"));
    if (with_weights_only)
        options[SV_NAME("weights_only")] = py::bool_(false);
    py::object loaded = call_with(attr(torch, SV_NAME("load")), py::make_tuple(path), options);
    return call_method(loaded, SV_NAME("state_dict"));
}

// Torch mode: the whole pickled network is read, with every warning silenced. A first attempt
// with weights_only=False, whatever it raises, is followed by one without that keyword (for
// readers that do not know it). The silencing filter is removed on every outcome, as a
// `finally` would; a failure reaches the caller as the second attempt's error, chained to the
// first's.
py::object read_torch_mode(py::handle module, py::handle path) {
    call(global(module, SV_NAME("add_future_warning")));
    py::object state_dict;
    try {
        try {
            state_dict = torch_state_dict(module, path, true);
        } catch (py::error_already_set &first) {
            HandledException handling(first.value());
            state_dict = torch_state_dict(module, path, false);
        }
    } catch (py::error_already_set &second) {
        HandledException handling(second.value());
        call(global(module, SV_NAME("remove_future_warning")));
        throw;
    }
    call(global(module, SV_NAME("remove_future_warning")));
    return state_dict;
}

py::object load_net(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "folder", "name", nullptr};
    PyObject *net, *folder, *name;
    parse_args(args, kwargs, "OOO:load_net", names, &net, &folder, &name);
    namespace getters = companion::getters;

    py::object save_point = add(folder, py::str("/"));
    py::object path = add(add(save_point, name), py::str(".pt"));
    py::object state_dict;
    if (companion::flag(module, getters::using_safe_tensors())) {
        if (companion::flag(module, getters::weight_tying_experimental()))
            return companion::load_model_with_weight_tying(module, net, path);
        state_dict = call(global(module, SV_NAME("load_file")), path);
    } else {
        state_dict = read_torch_mode(module, path);
    }
    return companion::load_net_from_dict(module, net, state_dict);
}

} // namespace

PyMethodDef load_net_def = SV_METHOD("load_net", load_net, "load_net(net, folder, name)\n--\n\n");

} // namespace sorvith::utils_svp
