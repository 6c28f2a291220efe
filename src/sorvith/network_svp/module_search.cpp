#include "module_search.h"

#include "block/walk.h"
#include "host/protocols.h"

namespace sorvith::network_svp {

namespace {

void find_optimized(walk::Walk &w, py::handle net, py::handle depth, py::list &found);

// get_nvr_modules(child, depth + 1), through the module's late-bound name.
void descend(walk::Walk &w, py::handle child, py::handle depth, py::list &found) {
    py::object next_depth = add(depth, make_int(1));
    py::object more = walk::recurse(
        w, SV_NAME("get_nvr_modules"), &get_nvr_modules_def,
        [&] {
            find_optimized(w, child, next_depth, found);
            return py::object();
        },
        child, next_depth);
    if (more)
        for (py::handle item : more)
            found.append(item);
}

void find_optimized(walk::Walk &w, py::handle net, py::handle depth, py::list &found) {
    walk::Level level(w, net);
    py::handle module = w.module;
    py::object members = w.members_of(net);
    py::object optimized_class = global(module, SV_NAME("NVROptimizedModule"));
    if (walk::is_container(module, type_of(net))) {
        py::object children = call_method(net, SV_NAME("named_children"));
        for (py::handle entry : children) {
            py::object child_name = getitem(entry, 0);
            // The child is fetched anew for each use: each get_submodule is visible to callers.
            py::object child = call_method(net, SV_NAME("get_submodule"), child_name);
            if (w.is_ancestor(child))
                continue;
            child = call_method(net, SV_NAME("get_submodule"), child_name);
            if (type_of(child).ptr() == optimized_class.ptr()) {
                found.append(child);
                continue;
            }
            descend(w, call_method(net, SV_NAME("get_submodule"), child_name), depth, found);
        }
    } else {
        py::object module_class = attr(global(module, SV_NAME("nn")), SV_NAME("Module"));
        for (py::handle member : members) {
            // Read anew for each use: a property runs each time, as callers may observe.
            if (w.is_ancestor(attr_or_none(net, member)))
                continue;
            if (type_of(attr_or_none(net, member)).ptr() == optimized_class.ptr()) {
                found.append(attr(net, member));
                continue;
            }
            if (is_subclass(type_of(attr_or_none(net, member)), module_class))
                descend(w, attr(net, member), depth, found);
        }
    }
}

py::object get_nvr_modules(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", nullptr};
    PyObject *net, *depth;
    parse_args(args, kwargs, "OO:get_nvr_modules", names, &net, &depth);
    walk::Walk w(module);
    py::list found;
    find_optimized(w, net, depth, found);
    return std::move(found);
}

} // namespace

PyMethodDef get_nvr_modules_def =
    SV_DOCUMENTED(get_nvr_modules, get_nvr_modules, "(net, depth)",
        "Return a new list of the NVROptimizedModule instances in net, depth-first (depth: 0).");

} // namespace sorvith::network_svp
