// load_net: reading a saved network file back in the storage mode the configuration selects.
#include "functions.h"

#include "host/arguments.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "storage_modes.h"

namespace sorvith::utils_svp {

py::object load_net(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "folder", "name", nullptr};
    PyObject *net, *folder_arg, *name_arg;
    parse_args(args, kwargs, "OOO:load_net", names, &net, &folder_arg, &name_arg);
    py::object folder = path_argument(folder_arg), name = path_argument(name_arg);
    py::object save_point = add(folder, py::str("/"));
    py::object path = add(add(save_point, name), py::str(".pt"));
    return selected_storage_mode(module).read(module, net, path);
}

} // namespace sorvith::utils_svp
