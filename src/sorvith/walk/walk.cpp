#include "walk.h"

#include "block/member.h"
#include "companion/nevrane.h"
#include "host/errors.h"
#include "host/protocols.h"

#include <cstring>

namespace sorvith::walk {

bool Recursion::is_own(py::handle candidate, py::handle module) const {
    PyObject *f = candidate.ptr();
    return PyCFunction_Check(f) && PyCFunction_GET_FUNCTION(f) == entry &&
           PyCFunction_GET_SELF(f) == module.ptr();
}

Walk::Walk(py::handle module, Recursion recursion, bool owns_paths)
    : module(module), recursion(recursion) {
    if (owns_paths)
        listed_ = steal(PySet_New(nullptr));
}

bool Walk::is_listed(py::handle converted_list, py::handle path) {
    if (listed_ && PyList_CheckExact(converted_list.ptr()) && PyUnicode_CheckExact(path.ptr())) {
        int found = PySet_Contains(listed_.ptr(), path.ptr());
        check(found);
        return found != 0;
    }
    return contains(converted_list, path);
}

void Walk::list_path(py::object &converted_list, py::handle path) {
    converted_list = add_in_place(converted_list, list_of(path));
    if (!listed_)
        return;
    if (PyList_CheckExact(converted_list.ptr()) && PyUnicode_CheckExact(path.ptr()))
        check(PySet_Add(listed_.ptr(), path.ptr()));
    else
        listed_ = py::object(); // from here on the list itself answers
}

namespace {

// cls.__dict__[name] as the class itself holds it (borrowed), or null.
PyObject *own_attribute(py::handle cls, const char *name) {
    if (!cls || !PyType_Check(cls.ptr()))
        return nullptr;
    PyObject *dict = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
    PyObject *found = dict ? PyDict_GetItemString(dict, name) : nullptr;
    return found;
}

// The attribute `name` of `type` as instance lookup finds it on the class (borrowed, or null).
PyObject *class_lookup(PyTypeObject *type, py::handle name) {
    return _PyType_Lookup(type, name.ptr());
}

bool has_version(PyTypeObject *type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

// Appends the keys of an exact dict, in order; false when one is not a str that torch's filter
// can read (an empty name makes its key[0] raise).
bool append_keys(PyObject *list, PyObject *dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) == 0)
            return false;
        check(PyList_Append(list, key));
    }
    return true;
}

} // namespace

void Walk::find_torch_classes() {
    if (!torch_dirs_found_) {
        torch_dirs_found_ = true;
        // torch's own classes, whatever the walking module binds as `nn`: what is recognised
        // here is torch's method, found on the class in hand.
        py::object nn = import("torch.nn");
        module_class_ = attr(nn, SV_NAME("Module"));
        module_dir_ = borrow(own_attribute(module_class_, "__dir__"));
        module_get_submodule_ = borrow(own_attribute(module_class_, "get_submodule"));
        module_named_children_ = borrow(own_attribute(module_class_, "named_children"));
        const char *containers[] = {"Sequential", "ModuleList", "ParameterList"};
        for (int i = 0; i < 3; ++i) {
            container_classes_[i] = attr(nn, py::str(containers[i]));
            container_dirs_[i] = borrow(own_attribute(container_classes_[i], "__dir__"));
        }
    }
}

Walk::ClassNames Walk::read_class(PyTypeObject *type) {
    find_torch_classes();
    ClassNames entry;
    entry.cls = borrow(reinterpret_cast<PyObject *>(type));
    PyObject *dir_method = class_lookup(type, SV_NAME("__dir__"));
    if (!dir_method || !module_dir_)
        return entry;
    // nn.Module's method, or a container's, which drops the names that are all digits from
    // what nn.Module's gives: those already start with a digit, which nn.Module's drops.
    bool torchs = dir_method == module_dir_.ptr();
    if (!torchs) {
        for (int i = 0; i < 3 && !torchs; ++i) {
            if (!container_dirs_[i] || dir_method != container_dirs_[i].ptr())
                continue;
            // The container's method asks super().__dir__(): the next class after the
            // container's own in type(net).__mro__ that defines __dir__ must be nn.Module.
            PyObject *mro = type->tp_mro;
            Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0, at = 0;
            while (at < n && PyTuple_GET_ITEM(mro, at) != container_classes_[i].ptr())
                ++at;
            for (++at; at < n; ++at) {
                PyObject *base = PyTuple_GET_ITEM(mro, at);
                PyObject *own = own_attribute(base, "__dir__");
                if (!own)
                    continue;
                torchs = base == module_class_.ptr() && own == module_dir_.ptr();
                break;
            }
        }
    }
    if (!torchs)
        return entry;
    // What torch's method reads: self.__class__ (the class itself), self.__dict__ (the
    // instance dictionary) and the three tables, which must not be class attributes; and
    // dir(self.__class__), which reads the classes through `type` alone.
    PyObject *mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i)
        if (Py_TYPE(PyTuple_GET_ITEM(mro, i)) != &PyType_Type)
            return entry;
    PyObject *instance_dict = class_lookup(type, SV_NAME("__dict__"));
    if (Py_TYPE(type) != &PyType_Type || !mro ||
        class_lookup(type, SV_NAME("__class__")) !=
            class_lookup(&PyBaseObject_Type, SV_NAME("__class__")) ||
        class_lookup(type, SV_NAME("__getattribute__")) !=
            class_lookup(&PyBaseObject_Type, SV_NAME("__getattribute__")) ||
        !instance_dict || !Py_IS_TYPE(instance_dict, &PyGetSetDescr_Type) ||
        class_lookup(type, SV_NAME("_parameters")) || class_lookup(type, SV_NAME("_modules")) ||
        class_lookup(type, SV_NAME("_buffers")))
        return entry;
    entry.names = steal(PyObject_Dir(reinterpret_cast<PyObject *>(type)));
    if (!PyList_CheckExact(entry.names.ptr()))
        return entry;
    entry.torchs_dir = true;
    entry.version = type->tp_version_tag;
    return entry;
}

const Walk::ClassNames &Walk::class_names(PyTypeObject *type) {
    // The lookup gives the class a version tag if it has none yet.
    class_lookup(type, SV_NAME("__dir__"));
    auto found = classes_.find(type);
    if (found != classes_.end() && has_version(type) &&
        found->second.version == type->tp_version_tag)
        return found->second;
    ClassNames entry = read_class(type);
    if (!has_version(type) || entry.version != type->tp_version_tag) {
        unversioned_ = std::move(entry);
        unversioned_.torchs_dir = false; // no tag tells whether the class changes: not used
        return unversioned_;
    }
    return classes_[type] = std::move(entry);
}

py::object Walk::tables_dir(py::handle net, const ClassNames &names) {
    py::object dict = steal(PyObject_GetAttr(net.ptr(), SV_NAME("__dict__").ptr()));
    if (!PyDict_CheckExact(dict.ptr()))
        return py::object();
    PyObject *tables[3];
    const char *table_names[] = {"_parameters", "_modules", "_buffers"};
    for (int i = 0; i < 3; ++i) {
        tables[i] = PyDict_GetItemString(dict.ptr(), table_names[i]);
        if (!tables[i] || !PyDict_CheckExact(tables[i]))
            return py::object();
    }
    // module_attrs + attrs + parameters + modules + buffers, as torch joins them.
    PyObject *class_names = names.names.ptr();
    py::object keys = steal(PyList_GetSlice(class_names, 0, PyList_GET_SIZE(class_names)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        PyObject *key = PyList_GET_ITEM(keys.ptr(), i);
        if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) == 0)
            return py::object();
    }
    if (!append_keys(keys.ptr(), dict.ptr()) || !append_keys(keys.ptr(), tables[0]) ||
        !append_keys(keys.ptr(), tables[1]) || !append_keys(keys.ptr(), tables[2]))
        return py::object();
    // sorted(key for key in keys if not key[0].isdigit())
    Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
    py::object kept = steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *key = PyList_GET_ITEM(keys.ptr(), i);
        if (Py_UNICODE_ISDIGIT(PyUnicode_READ_CHAR(key, 0)))
            continue;
        check(PyList_Append(kept.ptr(), key));
    }
    check(PyList_Sort(kept.ptr()));
    return kept;
}

py::object Walk::members_of(py::handle net) {
    const ClassNames &names = class_names(Py_TYPE(net.ptr()));
    if (names.torchs_dir)
        if (py::object members = tables_dir(net, names))
            return members;
    return call_method(net, SV_NAME("__dir__"));
}

bool Walk::is_ancestor(py::handle candidate) const {
    for (PyObject *ancestor : path_)
        if (ancestor == candidate.ptr())
            return true;
    return false;
}

Level::Level(Walk &walk, py::handle net) : walk_(walk) {
    if (Py_EnterRecursiveCall(""))
        throw py::error_already_set();
    walk_.path_.push_back(net.ptr());
}

Level::~Level() {
    walk_.path_.pop_back();
    Py_LeaveRecursiveCall();
}

bool is_container(py::handle module, py::handle cls) {
    py::object nn = global(module, SV_NAME("nn"));
    return is_subclass(cls, attr(nn, SV_NAME("Sequential"))) ||
           is_subclass(cls, attr(nn, SV_NAME("ModuleList")));
}

bool probe_member(py::handle obj, py::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return true; // read as None
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw py::error_already_set();
    PyErr_Clear();
    return false;
}

const Walk::Lookup &Walk::lookup_of(PyTypeObject *type) {
    PyObject *getattr_hook = class_lookup(type, SV_NAME("__getattr__"));
    if (lookup_.cls.ptr() == reinterpret_cast<PyObject *>(type) && has_version(type) &&
        lookup_.version == type->tp_version_tag)
        return lookup_;
    find_torch_classes();
    Lookup found;
    found.cls = borrow(reinterpret_cast<PyObject *>(type));
    found.version = has_version(type) ? type->tp_version_tag : 0;
    found.generic = (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
                     type->tp_getattro == PyObject_GenericGetAttr) &&
                    class_lookup(type, SV_NAME("__getattribute__")) ==
                        class_lookup(&PyBaseObject_Type, SV_NAME("__getattribute__"));
    PyObject *module_getattr = module_class_ ? class_lookup(reinterpret_cast<PyTypeObject *>(
                                                                module_class_.ptr()),
                                                            SV_NAME("__getattr__"))
                                             : nullptr;
    found.tables =
        getattr_hook && (getattr_hook == module_getattr || is_block_fallback(getattr_hook));
    found.other_getattr = getattr_hook && !found.tables;
    if (!has_version(type))
        found.cls = py::object(); // read anew next time
    lookup_ = std::move(found);
    return lookup_;
}

QuietRead Walk::quiet_read(py::handle obj, py::handle name) {
    return quiet_lookup(obj, name, nullptr);
}

py::object Walk::quiet_value(py::handle obj, py::handle name) {
    py::object value;
    quiet_lookup(obj, name, &value);
    return value;
}

QuietRead Walk::quiet_lookup(py::handle obj, py::handle name, py::object *value_out) {
    QuietRead result;
    if (!PyUnicode_CheckExact(name.ptr()))
        return result;
    PyTypeObject *type = Py_TYPE(obj.ptr());
    const Lookup &lookup = lookup_of(type);
    if (!lookup.generic)
        return result;
    // A value found as it is (borrowed), or the type of one made for each read.
    auto quiet_found = [&](PyObject *value) {
        result.quiet = true;
        result.type = borrow(reinterpret_cast<PyObject *>(Py_TYPE(value)));
        if (value_out)
            *value_out = borrow(value);
        return result;
    };
    auto quiet_type = [&](PyObject *value_type) {
        if (value_out)
            return result; // a new object each read: not asked for by value
        result.quiet = true;
        result.type = borrow(value_type);
        return result;
    };
    auto quiet_made = [&](PyObject *value) {
        if (!value) {
            PyErr_Clear(); // the read itself will raise what it raises
            return result;
        }
        py::object held = steal(value);
        return value_out ? result : quiet_found(value);
    };
    PyObject *descriptor = _PyType_Lookup(type, name.ptr());
    PyTypeObject *kind = descriptor ? Py_TYPE(descriptor) : nullptr;
    descrgetfunc get = kind ? kind->tp_descr_get : nullptr;
    py::object held_descriptor = descriptor ? borrow(descriptor) : py::object();
    if (get && kind->tp_descr_set) {
        // A data descriptor comes first: only the slots of built-in types read quietly.
        if (kind != &PyGetSetDescr_Type && kind != &PyMemberDescr_Type)
            return result;
        return quiet_made(get(descriptor, obj.ptr(), reinterpret_cast<PyObject *>(type)));
    }
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return result;
    }
    py::object instance_dict = steal(dict);
    if (PyObject *held = PyDict_GetItemWithError(dict, name.ptr()))
        return quiet_found(held);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return result;
    }
    if (descriptor) {
        if (!get)
            return quiet_found(descriptor);
        if (kind == &PyFunction_Type || kind == &PyInstanceMethod_Type)
            return quiet_type(reinterpret_cast<PyObject *>(&PyMethod_Type));
        if (kind == &PyMethodDescr_Type || kind == &PyClassMethodDescr_Type ||
            kind == &PyWrapperDescr_Type || kind == &PyStaticMethod_Type)
            return quiet_made(get(descriptor, obj.ptr(), reinterpret_cast<PyObject *>(type)));
        return result;
    }
    if (lookup.tables) {
        // nn.Module.__getattr__: the parameters, the buffers, the children, in that order,
        // each table as the instance dict holds it.
        for (py::handle table :
             {SV_NAME("_parameters"), SV_NAME("_buffers"), SV_NAME("_modules")}) {
            PyObject *entries = PyDict_GetItemWithError(dict, table.ptr());
            if (!entries) {
                if (PyErr_Occurred()) {
                    PyErr_Clear();
                    return result;
                }
                continue;
            }
            if (!PyDict_CheckExact(entries))
                return result;
            if (PyObject *found = PyDict_GetItemWithError(entries, name.ptr()))
                return quiet_found(found);
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return result;
            }
        }
        return result; // its AttributeError, or the blocks' main module
    }
    if (lookup.other_getattr || value_out)
        return result; // (asked for by value: getattr without a default would raise)
    return quiet_type(reinterpret_cast<PyObject *>(Py_TYPE(Py_None)));
}

py::object Walk::submodule(py::handle net, py::handle submodule_id) {
    find_torch_classes();
    PyTypeObject *type = Py_TYPE(net.ptr());
    PyObject *name = submodule_id.ptr();
    // torch's method, not shadowed on the instance, and one plain name: it reads
    // getattr(net, name) (after hasattr, the same read) and checks that it is a module.
    bool plain = module_get_submodule_ && PyUnicode_CheckExact(name) &&
                 PyUnicode_GET_LENGTH(name) > 0 &&
                 PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1) == -1 &&
                 lookup_of(type).generic &&
                 class_lookup(type, SV_NAME("get_submodule")) == module_get_submodule_.ptr();
    if (plain) {
        PyObject *dict = PyObject_GenericGetDict(net.ptr(), nullptr);
        if (!dict) {
            PyErr_Clear();
            plain = false;
        } else {
            int shadowed = PyDict_Contains(dict, SV_NAME("get_submodule").ptr());
            Py_DECREF(dict);
            if (shadowed != 0)
                PyErr_Clear();
            plain = shadowed == 0;
        }
    }
    if (plain)
        if (py::object child = quiet_value(net, submodule_id))
            if (PyObject_TypeCheck(child.ptr(),
                                   reinterpret_cast<PyTypeObject *>(module_class_.ptr())))
                return child;
    return call_method(net, SV_NAME("get_submodule"), submodule_id);
}

Children::Children(Walk &walk, py::handle net) {
    walk.find_torch_classes();
    PyTypeObject *type = Py_TYPE(net.ptr());
    PyObject *dict = nullptr;
    if (walk.module_named_children_ && walk.lookup_of(type).generic &&
        class_lookup(type, SV_NAME("named_children")) == walk.module_named_children_.ptr() &&
        !class_lookup(type, SV_NAME("_modules"))) {
        dict = PyObject_GenericGetDict(net.ptr(), nullptr);
        if (!dict)
            PyErr_Clear();
    }
    if (dict) {
        py::object instance_dict = steal(dict);
        PyObject *table = PyDict_GetItemWithError(dict, SV_NAME("_modules").ptr());
        int shadowed = PyDict_Contains(dict, SV_NAME("named_children").ptr());
        if (table && PyDict_CheckExact(table) && shadowed == 0) {
            iterator_ = steal(PyObject_GetIter(call_method(table, SV_NAME("items")).ptr()));
            memo_ = steal(PySet_New(nullptr));
            own_ = true;
            return;
        }
        PyErr_Clear();
    }
    iterator_ = steal(PyObject_GetIter(call_method(net, SV_NAME("named_children")).ptr()));
}

py::object Children::next() {
    if (!own_) {
        PyObject *entry = PyIter_Next(iterator_.ptr());
        if (!entry) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            return py::object();
        }
        return unpack_pair(steal(entry)).first;
    }
    for (;;) {
        PyObject *entry = PyIter_Next(iterator_.ptr());
        // The child yielded last, when only the memo holds it now (the iterator has let go of
        // its entry): nothing can meet it again, and with the default hash (its identity) no
        // later child can compare equal to it.
        if (last_) {
            if (Py_REFCNT(last_.ptr()) == 2 &&
                Py_TYPE(last_.ptr())->tp_hash == PyBaseObject_Type.tp_hash &&
                PySet_Discard(memo_.ptr(), last_.ptr()) < 0) {
                Py_XDECREF(entry);
                throw py::error_already_set();
            }
            last_ = py::object();
        }
        if (!entry) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            return py::object();
        }
        py::object pair = steal(entry);
        PyObject *name = PyTuple_GET_ITEM(entry, 0), *child = PyTuple_GET_ITEM(entry, 1);
        if (child == Py_None)
            continue;
        int seen = PySet_Contains(memo_.ptr(), child);
        check(seen);
        if (seen)
            continue;
        check(PySet_Add(memo_.ptr(), child));
        last_ = borrow(child);
        return borrow(name);
    }
}

py::object module_class(py::handle module) {
    py::object nn = global(module, SV_NAME("nn"));
    if (PyModule_CheckExact(nn.ptr()))
        if (PyObject *found =
                PyDict_GetItemWithError(PyModule_GetDict(nn.ptr()), SV_NAME("Module").ptr()))
            return borrow(found);
    if (PyErr_Occurred())
        throw py::error_already_set();
    return attr(nn, SV_NAME("Module"));
}

MemberPaths::MemberPaths(py::handle name_so_far) : name_so_far_(name_so_far) {
    if (PyUnicode_CheckExact(name_so_far.ptr())) {
        prefix_ = steal(PyUnicode_Concat(name_so_far.ptr(), SV_NAME(".").ptr()));
        top_ = PyUnicode_GET_LENGTH(name_so_far.ptr()) == 0;
    }
}

py::object MemberPaths::path(py::handle member) const {
    if (prefix_ && PyUnicode_CheckExact(member.ptr()))
        return steal(PyUnicode_Concat(prefix_.ptr(), member.ptr()));
    if (prefix_)
        return add(prefix_, member);
    return concat({name_so_far_, py::str("."), member});
}

bool MemberPaths::at_top() const {
    if (prefix_)
        return top_;
    return equal(name_so_far_, py::str(""));
}

bool name_is(py::handle member, py::handle name) {
    if (member.ptr() == name.ptr())
        return true;
    if (PyUnicode_CheckExact(member.ptr()))
        return PyUnicode_GET_LENGTH(member.ptr()) == PyUnicode_GET_LENGTH(name.ptr()) &&
               PyUnicode_Compare(member.ptr(), name.ptr()) == 0;
    return equal(member, name);
}

py::object child_path(py::handle name_so_far, py::handle submodule_id) {
    return concat({name_so_far, SV_NAME("["), text(submodule_id), SV_NAME("]")});
}

void assign_if_replaced(py::handle owner, py::handle name, py::handle walked, py::handle result) {
    if (result.ptr() != walked.ptr())
        set_attr(owner, name, result);
}

void store_if_replaced(py::handle owner, Py_ssize_t index, py::handle walked, py::handle result) {
    if (result.ptr() != walked.ptr())
        setitem(owner, index, result);
}

py::object run_path_walk(py::handle module, py::handle args, py::handle kwargs,
                         const char *format, Recursion recursion, PathWalk walk_from) {
    static const char *const names[] = {"net", "depth", "name_so_far", "converted_list", nullptr};
    PyObject *net, *depth, *name_so_far, *converted_list;
    parse_args(args, kwargs, format, names, &net, &depth, &name_so_far, &converted_list);
    Walk walk(module, recursion);
    return walk_from(walk, net, depth, name_so_far, borrow(converted_list));
}

py::object start_at_top(py::handle module, py::handle args, py::handle kwargs,
                        const char *format, const char *parameter, Recursion recursion,
                        PathWalk walk_from) {
    const char *const names[] = {parameter, nullptr};
    PyObject *net;
    parse_args(args, kwargs, format, names, &net);
    py::object bound = global(module, recursion.name);
    if (!recursion.is_own(bound, module))
        return call(bound, net, make_int(0), py::str(""), py::list());
    Walk walk(module, recursion, /*owns_paths=*/true);
    return walk_from(walk, net, make_int(0), py::str(""), py::list());
}

bool is_block(py::handle type, BlockBy way, py::handle cls) {
    if (way != BlockBy::layer_name)
        return type.ptr() == cls.ptr();
    // type.__name__ == "NVRLayer". A class of class `type` answers __name__ from its own record
    // (a heap type's name, or a built-in's after the last dot), which is read here without the
    // attribute lookup; any other class is asked.
    PyTypeObject *record = reinterpret_cast<PyTypeObject *>(type.ptr());
    if (PyType_CheckExact(type.ptr())) {
        if (PyType_HasFeature(record, Py_TPFLAGS_HEAPTYPE)) {
            PyObject *name = reinterpret_cast<PyHeapTypeObject *>(record)->ht_name;
            if (name && PyUnicode_CheckExact(name))
                return PyUnicode_CompareWithASCIIString(name, "NVRLayer") == 0;
        } else {
            const char *dot = std::strrchr(record->tp_name, '.');
            return std::strcmp(dot ? dot + 1 : record->tp_name, "NVRLayer") == 0;
        }
    }
    return equal(attr(type, SV_NAME("__name__")), SV_NAME("NVRLayer"));
}

bool verbose(py::handle module) {
    return companion::flag(module, companion::getters::extra_verbose());
}

} // namespace sorvith::walk
