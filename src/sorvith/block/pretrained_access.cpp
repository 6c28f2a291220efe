#include "pretrained_access.h"

#include "host/pyclass.h"

#include <utility>

namespace sorvith::pretrained_access {

namespace {

// The owner and the key of a call (pretrained_dendrite, <key_name>).
std::pair<PyObject *, PyObject *> parse(py::handle args, py::handle kwargs, const char *format,
                                        const char *key_name) {
    const char *const names[] = {"pretrained_dendrite", key_name, nullptr};
    PyObject *owner, *key;
    parse_args(args, kwargs, format, names, &owner, &key);
    return {owner, key};
}

py::object attribute(py::handle, py::handle args, py::handle kwargs) {
    auto [owner, member] = parse(args, kwargs, "OO:get_pretrained_nvr_attr", "member");
    if (is_none(owner))
        return py::none();
    return attr(owner, member);
}

py::object item(py::handle, py::handle args, py::handle kwargs) {
    auto [owner, submodule_id] = parse(args, kwargs, "OO:get_pretrained_nvr_var", "submodule_id");
    if (is_none(owner))
        return py::none();
    return getitem(owner, submodule_id);
}

py::object submodule(py::handle, py::handle args, py::handle kwargs) {
    auto [owner, submodule_id] = parse(args, kwargs, "OO:get_pretrained_nvr_var", "submodule_id");
    if (is_none(owner))
        return py::none();
    return call_method(owner, SV_NAME("get_submodule"), submodule_id);
}

} // namespace

PyMethodDef attribute_def =
    SV_DOCUMENTED(get_pretrained_nvr_attr, attribute, "(pretrained_dendrite, member)",
        "Return None for None, else getattr(pretrained_dendrite, member).");
PyMethodDef item_def =
    SV_DOCUMENTED(get_pretrained_nvr_var, item, "(pretrained_dendrite, submodule_id)",
        "Return None for None, else pretrained_dendrite[submodule_id].");
PyMethodDef submodule_def =
    SV_DOCUMENTED(get_pretrained_nvr_var, submodule, "(pretrained_dendrite, submodule_id)",
        "Return None for None, else pretrained_dendrite.get_submodule(submodule_id).");

} // namespace sorvith::pretrained_access
