// The kit of the network walks: one file beside this per walk, named after the public
// function it implements (get_nvr_modules, blockwise_network with optimize_module, refresh_net
// with refresh_nvr, debug_print_grad_modules), and the owner readers of pretrained_access.
//
// Every walk keeps these rules, which callers can observe:
// - It recurses through the module's late-bound name (get_nvr_modules, optimize_module,
//   refresh_nvr, debug_print_grad_modules): while that holds the module's own function the
//   walk goes on internally, else the bound callable is called and walks on its own (descend).
// - Each module visited is one step of the recursion limit and stands on the walk's path
//   (Level). A member or child equal to the module (`!=`) or one of the modules on the path
//   (identity) is not walked into (not_self_or_ancestor; get_nvr_modules asks the path only).
// - The members are the names net.__dir__() gave at the start of the visit, before anything
//   changed. Each member is read anew at every use (a property runs each time) and the
//   companion getters are asked anew for each member. Containers (subclasses of nn.Sequential
//   or nn.ModuleList, with the module's `nn`) are walked by their children instead, each
//   fetched anew by name at every use.
// - A member that cannot be read (an Exception) is passed over; an interrupt or an exit stops
//   the walk (probe_member). A walked member is assigned back only when the walk gave back
//   another object (assign_if_replaced).
//
// The reads each walk is bound to, per module visited (m: a member, c: a child name):
// - get_nvr_modules: __dir__, NVROptimizedModule; then per c of named_children():
//   get_submodule(c) on the path? / get_submodule(c) exactly NVROptimizedModule (collected) /
//   get_submodule(c) walked; or per m: getattr(m, None) on the path? / getattr(m, None)
//   exactly NVROptimizedModule (getattr(m) collected) / getattr(m, None) a module (getattr(m)
//   walked).
// - optimize_module: __dir__; per c: child is a neuron module (replaced by
//   convert_to_nvr_layer_block(child)) / child not self or ancestor, path listed, child walked;
//   per m: the probe, module_names_to_not_save, converted_list, getattr(m, None) a neuron
//   module (replaced), getattr(m, None) a module, getattr(m) not self or ancestor, path
//   listed, getattr(m) walked.
// - refresh_nvr: the verbose headers, ModuleType (a block already replaced is left), __dir__;
//   per c: child not self or ancestor (listed, walked), child named NVRLayer (replaced through
//   get_pretrained_nvr_var and make_module); a plain list by index alike; unless the class is
//   in modules_to_track, per m: the probe, device/dtype, module_names_to_not_save (at the top
//   asked again, with converted_list), a module or layer_array (listed, getattr(m) not self or
//   ancestor, walked), then getattr(m, None) named NVRLayer (get_pretrained_nvr_attr,
//   make_module); last net itself, when named NVRLayer, goes through make_module.
// - debug_print_grad_modules: check_requires_grad(net) printed, __dir__; per c:
//   get_submodule(c) not self or ancestor / get_submodule(c) walked; per m: the probe,
//   getattr(m, None) a module, getattr(m) not self or ancestor, getattr(m) walked.
#pragma once

#include "host/common.h"
#include "host/globals.h"
#include "host/pyclass.h"
#include "host/protocols.h"

#include <unordered_map>
#include <utility>
#include <vector>

namespace sorvith::walk {

// What getattr(obj, name, None) gives, known without reading it when the read runs no code
// but torch's: a function or built-in method of the class (a new bound method each time), a
// value in the instance's __dict__ or on the class, a slot of a built-in base, an entry of the
// parameter, buffer or child table that nn.Module.__getattr__ returns (also behind the blocks'
// fallback, which asks it first), or None for a name nothing has and no __getattr__ is asked
// for. Reading such a member again changes nothing and gives a value of the same type, so a
// walk may take `type` for what the read would give. `quiet` is false, and the walk reads,
// when the read may run other code: a property or another descriptor, another __getattr__, a
// class with its own __getattribute__, a name that is not a str.
struct QuietRead {
    bool quiet = false;
    py::object type; // the type of the value the read gives, when quiet
};

// The late-bound function a walk recurses through: its name in the module, and the C entry of
// the body that the module's own function of that name runs.
struct Recursion {
    py::handle name;
    PyCFunction entry;
    // Whether `candidate` is the module's own function (made for `module` from an entry of
    // that body), not one a caller put in its place.
    bool is_own(py::handle candidate, py::handle module) const;
};

// The recursion through `name`, whose own function runs body F.
template <Body F> Recursion recursion_through(py::handle name) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<F>))};
}

// One walk, started by one call of a module-level walk function: the extension module (for
// its late-bound names), the function it recurses through and the modules being walked,
// outermost first.
class Walk {
  public:
    // `owns_paths`: the walk made its path list (`converted_list`) itself, so no other code
    // holds it (see is_listed).
    Walk(py::handle module, Recursion recursion, bool owns_paths = false);
    const py::handle module;
    const Recursion recursion;

    // Whether `candidate` is one of the modules being walked (identity). A member or child that
    // is one of them is treated like a self reference, so a back-reference to an ancestor cannot
    // send a walk round a cycle.
    bool is_ancestor(py::handle candidate) const;

    // `net != candidate and candidate is no module on the path`: whether the walk may go on
    // from `net` into `candidate` (the test of every walk but get_nvr_modules).
    bool not_self_or_ancestor(py::handle net, py::handle candidate) const {
        return not_equal(net, candidate) && !is_ancestor(candidate);
    }

    // `path in converted_list` and `converted_list += [path]`. A walk that asks the `in` test of
    // every member of a network would compare each path with every one listed before it, so a
    // walk that owns its list keeps a set of the same strings beside it and asks the set, with
    // the same answer, while nothing but the walk can have changed the list: only str paths
    // in an exact list, until the list is handed to a function the caller put in place of the
    // walk's own. Otherwise the list itself is asked.
    bool is_listed(py::handle converted_list, py::handle path);
    void list_path(py::object &converted_list, py::handle path);

    // Called after the path list was handed to foreign code, which may have changed it.
    void paths_shared() { listed_ = py::object(); }

    // getattr(obj, name, None) worked out without the read where that is quiet (above).
    QuietRead quiet_read(py::handle obj, py::handle name);

    // getattr(obj, name) where that read is quiet and gives an object that is there already
    // (not a bound method made for the read); else null, and the caller reads.
    py::object quiet_value(py::handle obj, py::handle name);

    // net.get_submodule(submodule_id), as a container walk fetches each child. When the method
    // is torch's (which reads the attribute and checks that it is a module) and the name is one
    // plain child name read quietly, the child is taken from the table without the call.
    py::object submodule(py::handle net, py::handle submodule_id);

    // `net.__dir__()`: the list a walk takes before it changes anything. When the method is
    // torch's own (nn.Module's, or the containers' that drop the child indices from it), the
    // same list is put together here from the same tables: the class's names (what
    // dir(type(net)) gives, read once per class and walk while the class and its bases stay
    // unchanged), then the keys of net.__dict__, _parameters, _modules and _buffers, filtered
    // and sorted the same way. Anything else calls the method.
    py::object members_of(py::handle net);

  private:
    friend class Level;
    // What torch's __dir__ of one class lists from the class itself, while the class is as it
    // was (the interpreter gives a class a new version tag whenever it or a base changes).
    struct ClassNames {
        py::object cls;          // held, so that no other class takes its address meanwhile
        unsigned int version = 0;
        bool torchs_dir = false; // __dir__ is torch's and reads only what is put together here
        py::object names;        // dir(cls), sorted
    };
    // How instances of the class last read quietly are looked up, while it is unchanged.
    struct Lookup {
        py::object cls;
        unsigned int version = 0;
        bool generic = false;      // object.__getattribute__ itself
        bool tables = false;       // a miss asks nn.Module.__getattr__ (first)
        bool other_getattr = true; // a miss asks another __getattr__
    };
    const Lookup &lookup_of(PyTypeObject *type);
    QuietRead quiet_lookup(py::handle obj, py::handle name, py::object *value);
    const ClassNames &class_names(PyTypeObject *type);
    ClassNames read_class(PyTypeObject *type);
    void find_torch_classes();
    py::object tables_dir(py::handle net, const ClassNames &names);
    std::vector<PyObject *> path_;
    py::object listed_; // the set beside the list, while it answers for it
    std::unordered_map<PyTypeObject *, ClassNames> classes_;
    ClassNames unversioned_; // a class without a version tag, read anew at each use
    Lookup lookup_;
    // torch's nn.Module.__dir__ and nn.Module; the three containers' __dir__ and classes.
    py::object module_dir_, module_class_, container_dirs_[3], container_classes_[3];
    py::object module_get_submodule_; // torch's nn.Module.get_submodule
    py::object module_named_children_; // torch's nn.Module.named_children
    friend class Children;
    bool torch_dirs_found_ = false;
};

// The child names that net.named_children() yields, one at a time, for a container walk (which
// fetches each child anew by name). When the method is torch's own, its iteration is done here:
// the entries of net._modules in order, passing over None and any child yielded before (its
// memo, a set), with the dict's own errors when the table changes size meanwhile. Unlike
// torch's generator, the memo lets go of a yielded child that nothing else holds any more (one
// the walk has replaced), so replaced children are freed as the walk goes rather than all at
// its end: such a child can never be met again. Anything else iterates the method's result.
class Children {
  public:
    Children(Walk &walk, py::handle net);
    py::object next(); // null at the end

  private:
    py::object iterator_;
    bool own_ = false;
    py::object memo_, last_;
};

// One module's visit, held for its scope: one step of the interpreter's recursion limit, as a
// Python call takes (a network nested too deeply raises RecursionError instead of overflowing
// the C stack), and `net` on the walk's path.
class Level {
  public:
    Level(Walk &walk, py::handle net);
    ~Level();
    Level(const Level &) = delete;
    Level &operator=(const Level &) = delete;

  private:
    Walk &walk_;
};

// nn.Module, with `nn` the module's late-bound name read at each use (what `nn.Module` reads in
// any function of the module): from the namespace of `nn` directly when it is a plain module
// that holds the name (the same object its attribute gives), else through its attribute.
py::object module_class(py::handle module);

// Whether the class `cls` is walked by its children: a subclass of nn.Sequential or, tested
// only when it is not, of nn.ModuleList (with `nn` the module's late-bound name).
bool is_container(py::handle module, py::handle cls);

// The member probe: getattr(obj, name, None), true when it could be read. Any error while
// reading means "pass over this member" and is dropped, except an interrupt or an exit (a
// BaseException that is not an Exception), which reaches the caller: a Ctrl-C during a long
// walk still stops it.
bool probe_member(py::handle obj, py::handle name);

// A walk's member paths, name_so_far + "." + member, and its test `name_so_far == ""`: when
// name_so_far is a str, the prefix and the test are worked out once per module (joining and
// comparing strs runs no code); otherwise at each use, through the object's own operators.
class MemberPaths {
  public:
    explicit MemberPaths(py::handle name_so_far);
    py::object path(py::handle member) const;
    bool at_top() const;

  private:
    py::handle name_so_far_;
    py::object prefix_; // name_so_far + ".", when name_so_far is a str
    bool top_ = false;
};

// visit(member, paths.path(member)) for each name in `members` whose member can be read
// (probe_member, left out where the read runs no code and so cannot fail), in order.
template <typename Visit>
void each_readable_member(Walk &walk, py::handle net, py::handle members,
                          const MemberPaths &paths, Visit &&visit) {
    for (py::handle member : members)
        if (walk.quiet_read(net, member).quiet || probe_member(net, member))
            visit(member, paths.path(member));
}

// member == name, for a member name and an interned str (a str compares without running
// code).
bool name_is(py::handle member, py::handle name);

// The path of a container's child: name_so_far + "[" + str(submodule_id) + "]".
py::object child_path(py::handle name_so_far, py::handle submodule_id);

// setattr(owner, name, result) after a module read from there was walked into `result`, only
// when the walk gave back another object: assigning the very object again is not a no-op, since
// nn.Module.__setattr__ registers any module value as a child, also under the name of a
// property or a plain attribute (`base_model` of many model-zoo networks), and the network
// would then hold and save every tensor below it twice.
void assign_if_replaced(py::handle owner, py::handle name, py::handle walked, py::handle result);

// owner[index] = result, by the same rule, for a plain list walked by index.
void store_if_replaced(py::handle owner, Py_ssize_t index, py::handle walked, py::handle result);

// name(child, depth + 1, rest...) through the walk's late-bound name (walk.recursion): while
// that is the module's own function the walk goes on internally, by own(walk, child,
// depth + 1, rest...); otherwise the bound callable is called, and walks on its own. Returns
// what either returned.
template <typename Own, typename... Rest>
py::object descend(Walk &walk, Own &&own, py::handle child, py::handle depth,
                   const Rest &...rest) {
    py::object next_depth = add(depth, make_int(1));
    py::object bound = global(walk.module, walk.recursion.name);
    if (walk.recursion.is_own(bound, walk.module))
        return own(walk, child, next_depth, rest...);
    walk.paths_shared();
    return call(bound, child, next_depth, rest...);
}

// A walk function that carries a path, f(net, depth, name_so_far, converted_list).
using PathWalk = py::object (*)(Walk &walk, py::handle net, py::handle depth,
                                py::handle name_so_far, py::object converted_list);

// f(net, depth, name_so_far, converted_list) called from Python: the arguments parsed with the
// host's rules (`format` names the function), then a new walk of `net` by `walk_from`.
py::object run_path_walk(py::handle module, py::handle args, py::handle kwargs,
                         const char *format, Recursion recursion, PathWalk walk_from);

// f(net) called from Python (`format` names the function, `parameter` its one parameter): a
// walk from the top of `net`, name(net, 0, "", []) through the module's late-bound name, with
// a new, empty path list, which the walk owns while the name holds the module's own function.
py::object start_at_top(py::handle module, py::handle args, py::handle kwargs,
                        const char *format, const char *parameter, Recursion recursion,
                        PathWalk walk_from);

// The three ways a walk recognises a block by the type of a value. Each walk keeps its own:
// they differ for subclasses and for other classes of the same name, which callers can see.
enum class BlockBy {
    // type is NVROptimizedModule, as get_nvr_modules read it at the start of the visit (a
    // subclass is walked into, not collected): get_nvr_modules.
    optimized_type,
    // type.__name__ == "NVRLayer", whatever class it is: the blocks refresh_net replaces.
    layer_name,
    // type is ModuleType, as read for the test: a block refresh_net already put in place
    // (met again through a second reference), which it leaves.
    module_type,
};

// Whether `type` is a block's in the given way; `cls` is the class read for the two exact-type
// ways (none for layer_name).
bool is_block(py::handle type, BlockBy way, py::handle cls = py::handle());

// bool(GNV.pc.<extra_verbose getter>()), asked anew at each use: whether a walk prints its
// decisions.
bool verbose(py::handle module);

} // namespace sorvith::walk
