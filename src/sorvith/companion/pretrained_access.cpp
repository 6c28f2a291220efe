#include "pretrained_access.h"

#include "host.h"
#include "pyclass.h"

namespace sorvith::companion {

namespace {

py::object get_pretrained_nvr_attr(py::handle, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"pretrained_dendrite", "member", nullptr};
    PyObject *owner, *member;
    parse_args(args, kwargs, "OO:get_pretrained_nvr_attr", names, &owner, &member);
    if (is_none(owner))
        return py::none();
    return attr(owner, member);
}

} // namespace

PyMethodDef get_pretrained_nvr_attr_def =
    SV_METHOD("get_pretrained_nvr_attr", get_pretrained_nvr_attr,
              "get_pretrained_nvr_attr(pretrained_dendrite, member)\n--\n\n");

} // namespace sorvith::companion
