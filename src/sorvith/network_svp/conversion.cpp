// convert_network(net, layer_name=''): a freshly built network's dendritic modules become
// NVROptimizedModule blocks and its other listed modules NVRTrackedModule wrappers, through the
// companion library's conversion.
#include "functions.h"

#include "companion/nevrane.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"

namespace sorvith::network_svp {

py::object convert_network(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "layer_name", nullptr};
    PyObject *net_arg, *layer_name = nullptr;
    parse_args(args, kwargs, "O|O:convert_network", names, &net_arg, &layer_name);
    py::object net = borrow(net_arg);
    py::object name = layer_name ? borrow(layer_name) : py::str("");
    namespace getters = companion::getters;

    if (contains(companion::setting(module, getters::modules_to_replace()), type_of(net)))
        net = companion::replace_predefined_modules(module, net);
    if (contains(companion::setting(module, getters::modules_to_convert()), type_of(net))) {
        if (equal(name, py::str(""))) {
            print(module, "converting a single layer without a name, add a layer_name param to "
                          "the call");
            exit_process(module, make_int(-1));
            // An exit that returns leaves the module as it is: no block without a name.
        } else {
            net = call(global(module, SV_NAME("NVROptimizedModule")), net, name);
        }
    } else {
        print(module, "starting main call");
        net = companion::convert_module(module, net, global(module, SV_NAME("NVROptimizedModule")),
                                        global(module, SV_NAME("NVRTrackedModule")));
    }
    return net;
}

} // namespace sorvith::network_svp
