#include "safe_write.h"

#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"

namespace sorvith::utils_svp {

namespace {

// A regular file, not a folder and not a link: only such a file is moved aside. A link is
// left for the writer to follow, as it would without the move.
bool is_plain_file(py::handle os_path, py::handle path) {
    return truth(call_method(os_path, SV_NAME("isfile"), path)) &&
           !truth(call_method(os_path, SV_NAME("islink"), path));
}

// A new, empty file next to `path` whose name is reserved for the previous copy. mkstemp
// creates it exclusively, so it can clash with nothing, and the hidden name keeps it from
// looking like a saved network.
py::object reserve_aside_name(py::handle os, py::handle os_path, py::handle path) {
    py::object prefix =
        add(add(py::str("."), call_method(os_path, SV_NAME("basename"), path)), py::str("."));
    py::dict options;
    options["prefix"] = prefix;
    options["suffix"] = py::str(".previous");
    options["dir"] = call_method(os_path, SV_NAME("dirname"), path);
    py::object mkstemp = attr(import("tempfile"), SV_NAME("mkstemp"));
    py::object reserved = call_with(mkstemp, py::tuple(), options);
    call_method(os, SV_NAME("close"), getitem(reserved, 0));
    return getitem(reserved, 1);
}

} // namespace

void write_keeping_previous(py::handle module, py::handle path, const std::function<void()> &write) {
    py::object os = global(module, SV_NAME("os"));
    py::object os_path = attr(os, SV_NAME("path"));
    bool had_previous = is_plain_file(os_path, path);
    py::object aside;
    if (had_previous) {
        aside = reserve_aside_name(os, os_path, path);
        try {
            call_method(os, SV_NAME("replace"), path, aside);
        } catch (py::error_already_set &) {
            call_method(os, SV_NAME("remove"), aside);
            throw;
        }
    }
    try {
        write();
    } catch (py::error_already_set &error) {
        // Undo as a `finally` would: an error while undoing carries the writer's as context.
        HandledException handling(error.value());
        if (had_previous)
            call_method(os, SV_NAME("replace"), aside, path);
        else if (is_plain_file(os_path, path))
            call_method(os, SV_NAME("remove"), path);
        throw;
    }
    if (had_previous)
        call_method(os, SV_NAME("remove"), aside);
}

} // namespace sorvith::utils_svp
