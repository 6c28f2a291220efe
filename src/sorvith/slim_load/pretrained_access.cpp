#include "pretrained_access.h"

#include "companion/host.h"
#include "companion/pyclass.h"

namespace sorvith::slim_load {

namespace {

py::object get_pretrained_nvr_var(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"pretrained_dendrite", "submodule_id", nullptr};
    PyObject *owner, *submodule_id;
    parse_args(args, kwargs, "OO:get_pretrained_nvr_var", names, &owner, &submodule_id);
    if (is_none(owner))
        return py::none();
    return call_method(owner, SV_NAME("get_submodule"), submodule_id);
}

} // namespace

PyMethodDef get_pretrained_nvr_var_def =
    SV_METHOD("get_pretrained_nvr_var", get_pretrained_nvr_var,
              "get_pretrained_nvr_var(pretrained_dendrite, submodule_id)\n--\n\n");

} // namespace sorvith::slim_load
