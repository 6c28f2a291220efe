// get_nvr_modules(net, depth): the NVROptimizedModule blocks of a converted network, in the
// order of a depth-first walk.
#include "walks.h"

#include "walk.h"

namespace sorvith::walk {

namespace {

void find_optimized(Walk &w, py::handle net, py::handle depth, py::list &found);

// get_nvr_modules(child, depth + 1): the blocks below `child` join `found`, gathered there
// directly while the walk goes on internally.
void find_below(Walk &w, py::handle child, py::handle depth, py::list &found) {
    auto own = [&found](Walk &walk, py::handle next, py::handle next_depth) {
        find_optimized(walk, next, next_depth, found);
        return py::object();
    };
    if (py::object more = descend(w, own, child, depth))
        for (py::handle item : more)
            found.append(item);
}

void find_optimized(Walk &w, py::handle net, py::handle depth, py::list &found) {
    Level level(w, net);
    py::handle module = w.module;
    py::object members = w.members_of(net);
    py::object optimized_class = global(module, SV_NAME("NVROptimizedModule"));
    auto is_optimized = [&](py::handle value) {
        return is_block(type_of(value), BlockBy::optimized_type, optimized_class);
    };
    if (is_container(module, type_of(net))) {
        py::object children = call_method(net, SV_NAME("named_children"));
        for (py::handle entry : children) {
            py::object child_name = getitem(entry, 0);
            auto child = [&] { return call_method(net, SV_NAME("get_submodule"), child_name); };
            if (w.is_ancestor(child()))
                continue;
            if (py::object current = child(); is_optimized(current)) {
                found.append(current);
                continue;
            }
            find_below(w, child(), depth, found);
        }
    } else {
        py::object nn_module = module_class(module);
        for (py::handle member : members) {
            if (w.is_ancestor(attr_or_none(net, member)))
                continue;
            if (is_optimized(attr_or_none(net, member))) {
                found.append(attr(net, member));
                continue;
            }
            if (is_subclass(type_of(attr_or_none(net, member)), nn_module))
                find_below(w, attr(net, member), depth, found);
        }
    }
}

} // namespace

py::object get_nvr_modules(py::handle module, py::handle args, py::handle kwargs) {
    static const char *const names[] = {"net", "depth", nullptr};
    PyObject *net, *depth;
    parse_args(args, kwargs, "OO:get_nvr_modules", names, &net, &depth);
    Walk w(module, recursion_through<get_nvr_modules>(SV_NAME("get_nvr_modules")));
    py::list found;
    find_optimized(w, net, depth, found);
    return std::move(found);
}

} // namespace sorvith::walk
