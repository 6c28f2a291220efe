// The owner readers get_pretrained_nvr_attr and get_pretrained_nvr_var, through which
// refresh_net and a caller's replacement blocks reach the module being replaced.
#include "walks.h"

#include "host/pyclass.h"

#include <utility>

namespace sorvith::walk {

namespace {

// The owner and the key of a call (pretrained_dendrite, <key_name>).
std::pair<PyObject *, PyObject *> parse_owner(py::handle args, py::handle kwargs,
                                              const char *format, const char *key_name) {
    const char *const names[] = {"pretrained_dendrite", key_name, nullptr};
    PyObject *owner, *key;
    parse_args(args, kwargs, format, names, &owner, &key);
    return {owner, key};
}

py::object pretrained_attribute(py::handle, py::handle args, py::handle kwargs) {
    auto [owner, member] = parse_owner(args, kwargs, "OO:get_pretrained_nvr_attr", "member");
    if (is_none(owner))
        return py::none();
    return attr(owner, member); // a missing member raises
}

py::object pretrained_item(py::handle, py::handle args, py::handle kwargs) {
    auto [owner, submodule_id] =
        parse_owner(args, kwargs, "OO:get_pretrained_nvr_var", "submodule_id");
    if (is_none(owner))
        return py::none();
    return getitem(owner, submodule_id);
}

py::object pretrained_submodule(py::handle, py::handle args, py::handle kwargs) {
    auto [owner, submodule_id] =
        parse_owner(args, kwargs, "OO:get_pretrained_nvr_var", "submodule_id");
    if (is_none(owner))
        return py::none();
    return call_method(owner, SV_NAME("get_submodule"), submodule_id);
}

} // namespace

PyMethodDef get_pretrained_nvr_attr =
    SV_DOCUMENTED(get_pretrained_nvr_attr, pretrained_attribute, "(pretrained_dendrite, member)",
        "Return None for None, else getattr(pretrained_dendrite, member).");
PyMethodDef get_pretrained_nvr_var_item =
    SV_DOCUMENTED(get_pretrained_nvr_var, pretrained_item, "(pretrained_dendrite, submodule_id)",
        "Return None for None, else pretrained_dendrite[submodule_id].");
PyMethodDef get_pretrained_nvr_var_submodule =
    SV_DOCUMENTED(get_pretrained_nvr_var, pretrained_submodule,
        "(pretrained_dendrite, submodule_id)",
        "Return None for None, else pretrained_dendrite.get_submodule(submodule_id).");

} // namespace sorvith::walk
