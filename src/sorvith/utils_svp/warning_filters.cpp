// add_future_warning and remove_future_warning: a catch-all "ignore" entry at the front of the
// process's warning filters, and its removal.
#include "functions.h"

#include "host/globals.h"
#include "host/pyclass.h"

namespace sorvith::utils_svp {

namespace {

py::object filters(py::handle module) {
    return attr(global(module, SV_NAME("warnings")), SV_NAME("filters"));
}

} // namespace

py::object add_future_warning(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {nullptr};
    parse_args(args, kwargs, ":add_future_warning", names);
    // (action, message, category, module, line): ignore every warning from anywhere.
    py::object entry = py::make_tuple(py::str("ignore"), py::none(),
                                      py::handle(PyExc_Warning), py::none(), make_int(0));
    call_method(filters(module), SV_NAME("insert"), make_int(0), entry);
    return py::none();
}

py::object remove_future_warning(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {nullptr};
    parse_args(args, kwargs, ":remove_future_warning", names);
    // del warnings.filters[0], whatever entry is there.
    delitem(filters(module), make_int(0));
    return py::none();
}

} // namespace sorvith::utils_svp
