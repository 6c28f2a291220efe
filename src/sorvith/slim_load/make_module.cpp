// make_module(module): the block that takes the place of an NVRLayer, ModuleType(module), with
// ModuleType read from the module's namespace at each call (NVRModulePyThread by default).
#include "functions.h"

#include "host/globals.h"
#include "host/pyclass.h"

namespace sorvith::slim_load {

py::object make_module(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"module", nullptr};
    PyObject *layer;
    parse_args(args, kwargs, "O:make_module", names, &layer);
    return call(global(module, SV_NAME("ModuleType")), layer);
}

} // namespace sorvith::slim_load
