// check_requires_grad(module): whether a module takes gradients; debug_print_grad_modules (in
// walk/) asks it for each module it visits, through the module's late-bound name.
#include "functions.h"

#include "host/protocols.h"
#include "host/pyclass.h"

namespace sorvith::utils_svp {

py::object check_requires_grad(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"module", nullptr};
    PyObject *module_arg;
    parse_args(args, kwargs, "O:check_requires_grad", names, &module_arg);
    py::object parameters = call_method(module_arg, SV_NAME("parameters"));
    for (py::handle param : parameters)
        if (truth(attr(param, SV_NAME("requires_grad"))))
            return py::bool_(true);
    return py::bool_(false);
}

} // namespace sorvith::utils_svp
