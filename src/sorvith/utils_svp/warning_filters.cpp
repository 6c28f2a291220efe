#include "warning_filters.h"

#include "host/globals.h"
#include "host/pyclass.h"

namespace sorvith::utils_svp {

namespace {

py::object filters(py::handle module) {
    return attr(global(module, SV_NAME("warnings")), SV_NAME("filters"));
}

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

} // namespace

PyMethodDef add_future_warning_def =
    SV_DOCUMENTED(add_future_warning, add_future_warning, "()",
        "Put an 'ignore every warning' filter at the front of warnings.filters; returns None.");
PyMethodDef remove_future_warning_def =
    SV_DOCUMENTED(remove_future_warning, remove_future_warning, "()",
        "Remove the front entry of warnings.filters (undoes add_future_warning); returns None.");

} // namespace sorvith::utils_svp
