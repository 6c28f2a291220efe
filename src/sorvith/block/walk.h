// The machinery the four network walks share (the optimised-module search, the blockwise
// rewrite, the cleaned rebuild and the gradient diagnostics). Each walk keeps its own order of
// reads, calls and messages, which callers can observe; only the repeated mechanics live here.
#pragma once

#include "host/common.h"
#include "host/globals.h"
#include "host/pyclass.h"

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

// One walk, started by one call of a module-level walk function: the extension module (for
// its late-bound names) and the modules being walked, outermost first.
class Walk {
  public:
    // `owns_paths`: the walk made its path list (`converted_list`) itself, so no other code
    // holds it (see is_listed).
    explicit Walk(py::handle module, bool owns_paths = false);
    const py::handle module;

    // Whether `candidate` is one of the modules being walked (identity). A member or child that
    // is one of them is treated like a self reference, so a back-reference to an ancestor cannot
    // send a walk round a cycle.
    bool is_ancestor(py::handle candidate) const;

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

// nn.Module, with `nn` the module's late-bound name read at each use: from the module's
// namespace directly when `nn` is a plain module that holds the name (the same object its
// attribute gives), else through its attribute.
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

// member == name, for a member name and an interned str (a str compares without running
// code).
bool name_is(py::handle member, py::handle name);

// A recursion through the module's own late-bound walk function `name`: while that name is
// still bound to the function made from `def`, the walk goes on internally (`own()`, which
// carries the path along); once a caller has rebound it, the bound callable is called with
// `args` and starts a walk of its own. Returns what the call returned, or what `own()` did.
template <typename Own, typename... Args>
py::object recurse(Walk &walk, py::handle name, const PyMethodDef *def, Own &&own,
                   Args &&...args) {
    py::object bound = global(walk.module, name);
    if (is_function_of(bound, def, walk.module))
        return own();
    walk.paths_shared();
    return call(bound, std::forward<Args>(args)...);
}

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

// A walk function that carries a path, f(net, depth, name_so_far, converted_list): the
// arguments parsed with the host's rules (`format` names the function), then a new walk of
// `net` by `walk_from`.
using PathWalk = py::object (*)(Walk &walk, py::handle net, py::handle depth,
                                py::handle name_so_far, py::object converted_list);
py::object run_path_walk(py::handle module, py::handle args, py::handle kwargs,
                         const char *format, PathWalk walk_from);

// name(child, depth + 1, path, converted_list) through the module's late-bound `name`: this
// walk goes on into `child` by `walk_from` while `name` is still the function made from `def`.
py::object descend(Walk &walk, py::handle name, const PyMethodDef *def, PathWalk walk_from,
                   py::handle child, py::handle depth, py::handle path, py::handle converted_list);

// name(net, 0, "", []) through the module's late-bound `name`: a walk from the top of `net`
// with a new, empty path list, which the walk owns while `name` is its own function (`def`,
// walking by `walk_from`).
py::object start_at_top(py::handle module, py::handle name, const PyMethodDef *def,
                        PathWalk walk_from, py::handle net);

} // namespace sorvith::walk
