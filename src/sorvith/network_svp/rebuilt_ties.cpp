#include "rebuilt_ties.h"

#include "block/shared_tensors.h"
#include "host/protocols.h"

#include <set>
#include <string>
#include <unordered_map>

namespace sorvith::network_svp {

namespace {

// The tensors a block registers on itself; the rebuild adds skip_weights and replaces
// module_id and view_tuple by the file's.
constexpr const char *own_names[] = {"node_index", "module_id", "num_cycles", "view_tuple",
                                     "skip_weights"};

std::string prefix_of(const std::string &path) { return path.empty() ? path : path + "."; }

std::string text_of(py::handle key) { return py::str(key).cast<std::string>(); }

// sorted(keys)[0]
py::object first_sorted(const py::list &keys) {
    py::list sorted = steal(PySequence_List(keys.ptr()));
    check(PyList_Sort(sorted.ptr()));
    return getitem(sorted, 0);
}

} // namespace

RebuiltTies::RebuiltTies(py::handle module, py::handle net, const std::vector<py::object> &blocks)
    : module_(module), blocks_(blocks), paths_(blocks.size()) {
    py::dict keep_vars;
    keep_vars["keep_vars"] = py::bool_(true);
    targets_ = call_with(attr(net, SV_NAME("state_dict")), py::tuple(), keep_vars);
    py::dict every;
    every["remove_duplicate"] = py::bool_(false);
    py::object named = call_with(attr(net, SV_NAME("named_modules")), py::tuple(), every);
    for (py::handle entry : named) {
        py::object m = getitem(entry, 1);
        for (size_t b = 0; b < blocks_.size(); ++b)
            if (blocks_[b].ptr() == m.ptr())
                paths_[b].push_back(text_of(getitem(entry, 0)));
    }
}

py::dict RebuiltTies::own_additions(py::handle state) const {
    py::dict additions;
    for (size_t b = 0; b < blocks_.size(); ++b) {
        if (paths_[b].size() < 2)
            continue;
        for (const char *name : own_names) {
            py::list present, missing;
            for (const std::string &path : paths_[b]) {
                py::str key(prefix_of(path) + name);
                (contains(state, key) ? present : missing).append(key);
            }
            if (length(present) == 0)
                continue;
            py::object value = getitem(state, first_sorted(present));
            for (py::handle key : missing)
                setitem(additions, key, value);
        }
    }
    return additions;
}

void RebuiltTies::plan(std::vector<SavedBlock> &blocks, const SavedFile &file) {
    // Per block, its entries' keys in the network as converted (entry 0 under each name) and
    // its own; every other key belongs to the rest of the network.
    std::unordered_map<std::string, long long> entry_owner, own_owner;
    std::vector<SavedBlock *> saved(blocks_.size(), nullptr);
    for (size_t b = 0; b < blocks_.size(); ++b) {
        for (SavedBlock &s : blocks)
            if (s.block.ptr() == blocks_[b].ptr())
                saved[b] = &s;
        for (const std::string &path : paths_[b]) {
            std::string prefix = prefix_of(path);
            for (const char *name : own_names)
                own_owner[prefix + name] = static_cast<long long>(b);
            if (saved[b])
                for (py::handle rest : saved[b]->layer_state)
                    entry_owner[prefix + "layer_array.0." + text_of(rest)] =
                        static_cast<long long>(b);
        }
    }

    // Which owners hold each tensor of the network: a block (its entry 0) or the rest (-1).
    py::dict owners;
    for (py::handle item : call_method(targets_, SV_NAME("items"))) {
        py::object key = getitem(item, 0);
        std::string name = text_of(key);
        if (own_owner.count(name))
            continue;
        py::object token = block::tensor_token(module_, getitem(item, 1));
        auto entry = entry_owner.find(name);
        long long owner = entry == entry_owner.end() ? -1 : entry->second;
        PyObject *set = PyDict_GetItemWithError(owners.ptr(), token.ptr());
        if (!set) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            setitem(owners, token, steal(PySet_New(nullptr)));
            set = PyDict_GetItemWithError(owners.ptr(), token.ptr());
        }
        check(PySet_Add(set, make_int(owner).ptr()));
        if (owner < 0)
            setitem(predicted_, key, token);
    }

    for (size_t b = 0; b < blocks_.size(); ++b) {
        py::str kind_own("own"), kind_copy("copy");
        py::object index = make_int(static_cast<long long>(b));
        for (const std::string &path : paths_[b])
            for (const char *name : own_names)
                setitem(predicted_, py::str(prefix_of(path) + name),
                        py::make_tuple(kind_own, index, py::str(name)));
        if (!saved[b])
            continue;
        SavedBlock &block = *saved[b];
        // The module moves last when one of its tensors has another owner.
        std::vector<std::pair<std::string, py::object>> rests; // entry key: token
        bool shared = false;
        for (py::handle rest : block.layer_state) {
            py::object token = block::tensor_token(module_, getitem(block.layer_state, rest));
            PyObject *set = PyDict_GetItemWithError(owners.ptr(), token.ptr());
            if (!set && PyErr_Occurred())
                throw py::error_already_set();
            if (set) {
                int own = PySet_Contains(set, index.ptr());
                check(own);
                shared = shared || PySet_GET_SIZE(set) > 1 || !own;
            }
            rests.emplace_back(text_of(rest), token);
        }
        block.original_last = shared && block.entries >= 2;
        long long original = block.original_last ? block.entries - 1 : 0;
        // The entries the file holds keys for under any of the block's names (those the load
        // will check), and the module's.
        std::set<long long> indices{original};
        for (const std::string &path : paths_[b])
            for (long long i : file.entry_indices(path))
                if (i < block.entries)
                    indices.insert(i);
        for (const std::string &path : paths_[b]) {
            std::string prefix = prefix_of(path) + "layer_array.";
            for (long long i : indices)
                for (const auto &[rest, token] : rests)
                    setitem(predicted_, py::str(prefix + std::to_string(i) + "." + rest),
                            i == original
                                ? token
                                : py::object(py::make_tuple(kind_copy, index, make_int(i), token)));
        }
    }
}

py::object RebuiltTies::token(py::handle key) const {
    PyObject *found = PyDict_GetItemWithError(predicted_.ptr(), key.ptr());
    if (!found && PyErr_Occurred())
        throw py::error_already_set();
    return found ? borrow(found) : py::object();
}

py::dict RebuiltTies::tied_additions(py::handle state) const {
    py::dict groups; // token: the keys of that tensor
    for (py::handle item : call_method(predicted_, SV_NAME("items"))) {
        py::object token = getitem(item, 1);
        PyObject *keys = PyDict_GetItemWithError(groups.ptr(), token.ptr());
        if (!keys) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            setitem(groups, token, py::list());
            keys = PyDict_GetItemWithError(groups.ptr(), token.ptr());
        }
        check(PyList_Append(keys, getitem(item, 0).ptr()));
    }
    py::dict additions;
    for (py::handle keys : call_method(groups, SV_NAME("values"))) {
        if (length(keys) < 2)
            continue;
        py::list present, missing;
        for (py::handle key : keys)
            (contains(state, key) ? present : missing).append(key);
        if (length(present) == 0 || length(missing) == 0)
            continue;
        py::object value = getitem(state, first_sorted(present));
        for (py::handle key : missing)
            setitem(additions, key, value);
    }
    return additions;
}

} // namespace sorvith::network_svp
