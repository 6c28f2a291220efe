#include "nevrane.h"

#include "host/globals.h"
#include "host/protocols.h"

namespace sorvith::companion {

// A missing companion library is the first error a new user meets. The error stays what the
// import raised (type, message, name, traceback); where the interpreter has exception notes
// (3.11 and newer) it gains one saying what to install.
static py::object import_companion(const char *name) {
    try {
        return import(name);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ModuleNotFoundError) &&
            py::getattr(e.value(), "name", py::none()).equal(py::str("nevrane")) &&
            py::hasattr(e.value(), "add_note"))
            e.value().attr("add_note")(
                "sorvith imports the dendritic training library nevrane: install the one you "
                "train with into this environment (in a clone of the sorvith repository, "
                "'pip install ./nevrane' installs a small stand-in of it).");
        throw;
    }
}

const Import GNV{"GNV", "nevrane.globals_nevrane", nullptr, import_companion};
const Import UNV{"UNV", "nevrane.utils_nevrane", nullptr, import_companion};
const Import NV{"NV", "nevrane.modules_nevrane", nullptr, import_companion};

// GNV.pc, both read afresh: from the companion module's namespace directly when GNV is a plain
// module that holds `pc` (the same object its attribute gives, without the attribute call that
// a walk would otherwise make once per member), else through its attribute.
static py::object config(py::handle module) {
    py::object companion_globals = global(module, SV_NAME("GNV"));
    if (PyModule_CheckExact(companion_globals.ptr())) {
        PyObject *dict = PyModule_GetDict(companion_globals.ptr());
        if (PyObject *found = PyDict_GetItemWithError(dict, SV_NAME("pc").ptr()))
            return borrow(found);
        if (PyErr_Occurred())
            throw py::error_already_set();
    }
    return attr(companion_globals, SV_NAME("pc"));
}

py::object setting(py::handle module, py::handle getter) {
    return call_method(config(module), getter);
}

bool flag(py::handle module, py::handle getter) { return truth(setting(module, getter)); }

namespace getters {
py::handle modules_to_replace() { return SV_NAME("get_modules_to_replace"); }
py::handle modules_to_convert() { return SV_NAME("get_modules_to_convert"); }
py::handle modules_to_track() { return SV_NAME("get_modules_to_track"); }
py::handle modules_with_processing() { return SV_NAME("get_modules_with_processing"); }
py::handle modules_processing_classes() { return SV_NAME("get_modules_processing_classes"); }
py::handle module_names_with_processing() { return SV_NAME("get_module_names_with_processing"); }
py::handle module_by_name_processing_classes() {
    return SV_NAME("get_module_by_name_processing_classes");
}
py::handle nvr_forward_function() { return SV_NAME("get_nvr_forward_function"); }
py::handle verbose() { return SV_NAME("get_verbose"); }
py::handle extra_verbose() { return SV_NAME("get_extra_verbose"); }
py::handle using_safe_tensors() { return SV_NAME("get_using_safe_tensors"); }
py::handle weight_tying_experimental() { return SV_NAME("get_weight_tying_experimental"); }
py::handle count_training_params() { return SV_NAME("get_count_training_params"); }
py::handle module_names_to_not_save() { return SV_NAME("get_module_names_to_not_save"); }
} // namespace getters

static py::object utils(py::handle module) { return global(module, SV_NAME("UNV")); }

py::object replace_predefined_modules(py::handle module, py::handle net) {
    return call_method(utils(module), SV_NAME("replace_predefined_modules"), net);
}

py::object convert_module(py::handle module, py::handle net, py::handle optimized_class,
                          py::handle tracked_class) {
    return call_method(utils(module), SV_NAME("convert_module"), net, make_int(0), py::str(""),
                       py::list(), py::list(), optimized_class, tracked_class);
}

py::object get_module_base_name(py::handle module, py::handle net) {
    return call_method(utils(module), SV_NAME("get_module_base_name"), net);
}

py::object string_to_tensor(py::handle module, py::handle text) {
    return call_method(utils(module), SV_NAME("string_to_tensor"), text);
}

py::object deep_copy_nvr(py::handle module, py::handle net) {
    return call_method(utils(module), SV_NAME("deep_copy_nvr"), net);
}

py::object save_model_with_weight_tying(py::handle module, py::handle net, py::handle path) {
    return call_method(utils(module), SV_NAME("save_model_with_weight_tying"), net, path);
}

py::object load_model_with_weight_tying(py::handle module, py::handle net, py::handle path) {
    return call_method(utils(module), SV_NAME("load_model_with_weight_tying"), net, path);
}

py::object load_net_from_dict(py::handle module, py::handle net, py::handle state_dict) {
    return call_method(utils(module), SV_NAME("load_net_from_dict"), net, state_dict);
}

py::object neuron_module_class(py::handle module) {
    return attr(global(module, SV_NAME("NV")), SV_NAME("NVRNeuronModule"));
}

} // namespace sorvith::companion
