// clean_net and sv_save_net: the cleaned inference form of a trained network, and its file.
#include "functions.h"

#include "companion/nevrane.h"
#include "host/arguments.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "atomic_write.h"
#include "storage_modes.h"
#include "training_wrappers.h"

namespace sorvith::utils_svp {

namespace {

py::object blockwise_network(py::handle module, py::handle net) {
    return call_method(global(module, SV_NAME("BSV")), SV_NAME("blockwise_network"), net);
}

py::object refresh_net(py::handle module, py::handle net) {
    return call_method(global(module, SV_NAME("SL")), SV_NAME("refresh_net"), net);
}

// True when the environment names this process as a nonzero rank of a distributed run.
bool other_rank(py::handle module, py::handle os) {
    py::object environ = attr(os, SV_NAME("environ"));
    if (!contains(environ, SV_NAME("RANK")))
        return false;
    py::object rank = call(global(module, SV_NAME("int")), getitem(environ, SV_NAME("RANK")));
    return truth(rank);
}

// Creates `folder` (with its parents) when missing; returns the save point, folder + "/".
py::object make_folders(py::handle os, py::handle folder) {
    py::object os_path = attr(os, SV_NAME("path"));
    if (!truth(call_method(os_path, SV_NAME("isdir"), folder)))
        call_method(os, SV_NAME("makedirs"), folder);
    py::object save_point = add(folder, py::str("/"));
    if (!truth(call_method(os_path, SV_NAME("isdir"), save_point)))
        call_method(os, SV_NAME("mkdir"), save_point);
    return save_point;
}

// Drops the companion's training marker and gives every parameter contiguous storage, which
// the safetensors writer requires.
void strip_for_saving(py::handle net) {
    del_attr(net, SV_NAME("tracker_string"));
    py::object parameters = call_method(net, SV_NAME("parameters"));
    for (py::handle param : parameters) {
        py::object data = attr(param, SV_NAME("data"));
        set_attr(param, SV_NAME("data"), call_method(data, SV_NAME("contiguous")));
    }
}

// A name that already ends in what the call appends is kept as given (the file of
// "classifier.pt" is "classifier.pt_nvr.pt"), with a UserWarning that names the file written
// and the name that gives the usual one.
void warn_about_name(py::handle module, py::handle folder, py::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        return;
    // "net.pt", "net_nvr" and "net_nvr.pt" all give "net".
    py::object base = borrow(name.ptr());
    for (const char *suffix : {".pt", "_nvr"}) {
        py::object tail = py::str(suffix);
        if (truth(call_method(base, SV_NAME("endswith"), tail)))
            base = getitem(base, steal(PySlice_New(nullptr, make_int(-length(tail)).ptr(),
                                                   nullptr)));
    }
    if (length(base) == length(name))
        return;
    py::object ending = getitem(name, steal(PySlice_New(make_int(length(base)).ptr(), nullptr,
                                                        nullptr)));
    py::object path = add(add(add(folder, py::str("/")), name), py::str("_nvr.pt"));
    py::object message = format(
        "sv_save_net: name %r ends in %r, and '_nvr.pt' is appended to every name: the file "
        "written is '%s'. Pass name=%r to write '%s_nvr.pt' (which load_net reads as name "
        "'%s_nvr').",
        py::make_tuple(name, ending, path, base, base, base));
    py::object warn = attr(global(module, SV_NAME("warnings")), SV_NAME("warn"));
    call(warn, message, borrow(PyExc_UserWarning));
}

} // namespace

py::object clean_net(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", nullptr};
    PyObject *net;
    parse_args(args, kwargs, "O:clean_net", names, &net);
    // The caller's own network (the wrapped module of a training wrapper) goes to the
    // blockwise rewrite, which changes it in place; the rebuild then works on a copy of the
    // rewritten network, which stays the caller's.
    py::object x = blockwise_network(module, network_to_clean(module, net, "clean_net"));
    x = companion::deep_copy_nvr(module, x);
    return refresh_net(module, x);
}

py::object sv_save_net(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "folder", "name", nullptr};
    PyObject *net_arg, *folder_arg, *name_arg;
    parse_args(args, kwargs, "OOO:sv_save_net", names, &net_arg, &folder_arg, &name_arg);
    // Checked before the rank gate: a wrong argument is a mistake in the script, which every
    // rank runs alike, so every rank raises and none goes on to wait for the others.
    require_module(module, net_arg, "sv_save_net", "net");
    py::object folder = path_argument(folder_arg), name = path_argument(name_arg);

    py::object os = global(module, SV_NAME("os"));
    if (other_rank(module, os))
        return py::none();
    warn_about_name(module, folder, name);
    // A sharded network is refused before the copy, which it does not support, and before the
    // folder is made.
    py::object caller_net = network_to_clean(module, net_arg, "sv_save_net");
    // Only this private copy is changed from here on. Nothing else can see it, so both walks
    // rewrite it in place: a second copy between them would hold a third network in memory
    // for the same cleaned result.
    py::object net = companion::deep_copy_nvr(module, caller_net);
    py::object save_point = make_folders(os, folder);
    net = blockwise_network(module, net);
    net = refresh_net(module, net);
    strip_for_saving(net);
    py::object path = add(add(save_point, name), py::str("_nvr.pt"));
    const StorageMode &mode = selected_storage_mode(module);
    write_atomically(module, path, [&](py::handle target) { mode.write(module, net, target); });
    return py::none();
}

} // namespace sorvith::utils_svp
