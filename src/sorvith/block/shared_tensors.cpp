#include "shared_tensors.h"

#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace sorvith::block {

namespace {

[[noreturn]] void refuse(const char *pattern, py::handle values) {
    PyErr_SetObject(PyExc_ValueError, format(pattern, values).ptr());
    throw py::error_already_set();
}

unsigned long long address(py::handle value) {
    unsigned long long result = PyLong_AsUnsignedLongLong(value.ptr());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw py::error_already_set();
    return result;
}

py::object identity_token(py::handle tensor) { return steal(PyLong_FromVoidPtr(tensor.ptr())); }

// Where a tensor's values lie, for a tensor that has memory of its own to compare.
struct Memory {
    py::object device;
    unsigned long long storage = 0; // the storage's address
    unsigned long long size = 0;    // the storage's bytes
    unsigned long long start = 0;   // the first value's address
    unsigned long long stop = 0;    // one past the last value's last byte
    py::object token;
};

// False for a value that has no memory to compare: no tensor, a lazy or meta tensor, an empty
// storage, or a tensor whose storage cannot be read (a tracer's stand-in).
bool memory_of(py::handle module, py::handle value, Memory &out) {
    py::object torch = global(module, SV_NAME("torch"));
    if (!truth(call_method(torch, SV_NAME("is_tensor"), value)))
        return false;
    py::object is_lazy = attr(attr(attr(torch, SV_NAME("nn")), SV_NAME("parameter")),
                              SV_NAME("is_lazy"));
    if (truth(call(is_lazy, value)) || truth(attr(value, SV_NAME("is_meta"))))
        return false;
    py::object storage;
    try {
        storage = call_method(value, SV_NAME("untyped_storage"));
        out.storage = address(call_method(storage, SV_NAME("data_ptr")));
        out.size = address(call_method(storage, SV_NAME("nbytes")));
        out.start = address(call_method(value, SV_NAME("data_ptr")));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return false;
    }
    if (out.storage == 0 || out.size == 0)
        return false;
    py::object shape = steal(PySequence_Tuple(attr(value, SV_NAME("shape")).ptr()));
    py::object strides = steal(PySequence_Tuple(call_method(value, SV_NAME("stride")).ptr()));
    // The last value sits sum((size - 1) * stride) elements after the first.
    unsigned long long last = 0;
    bool empty = false;
    for (Py_ssize_t i = 0, n = length(shape); i < n; ++i) {
        long long size = as_size(getitem(shape, i)), stride = as_size(getitem(strides, i));
        empty = empty || size == 0;
        if (size > 0 && stride > 0)
            last += static_cast<unsigned long long>(size - 1) * static_cast<unsigned long long>(stride);
    }
    unsigned long long item = as_size(call_method(value, SV_NAME("element_size")));
    out.stop = empty ? out.start : out.start + (last + 1) * item;
    out.device = attr(value, SV_NAME("device"));
    out.token = py::make_tuple(out.device, make_int(static_cast<long long>(out.storage)),
                               make_int(static_cast<long long>(out.start)), shape, strides,
                               attr(value, SV_NAME("dtype")));
    return true;
}

py::object entry_text(py::handle value) {
    py::object shown = steal(PyObject_Repr(value.ptr()));
    if (length(shown) > 80)
        shown = add(getitem(shown, steal(PySlice_New(nullptr, make_int(77).ptr(), nullptr))),
                    py::str("..."));
    return shown;
}

} // namespace

py::handle aliases_entry() { return SV_NAME("sorvith.shared_tensors"); }

py::object tensor_token(py::handle module, py::handle tensor) {
    Memory memory;
    return memory_of(module, tensor, memory) ? memory.token : identity_token(tensor);
}

py::dict shared_names(py::handle module, py::handle state_dict) {
    struct Area {
        unsigned long long start, stop;
        std::string name;
        py::object key, token;
    };
    // Tensors by storage: (device, address, bytes), as safetensors groups them.
    py::dict index;
    std::vector<std::vector<Area>> storages;
    for (py::handle item : call_method(state_dict, SV_NAME("items"))) {
        py::object key = getitem(item, 0), value = getitem(item, 1);
        Memory memory;
        if (!PyUnicode_Check(key.ptr()) || !memory_of(module, value, memory))
            continue;
        py::object storage = py::make_tuple(memory.device,
                                            make_int(static_cast<long long>(memory.storage)),
                                            make_int(static_cast<long long>(memory.size)));
        PyObject *found = PyDict_GetItemWithError(index.ptr(), storage.ptr());
        if (!found && PyErr_Occurred())
            throw py::error_already_set();
        size_t at = found ? static_cast<size_t>(as_size(found)) : storages.size();
        if (!found) {
            setitem(index, storage, make_int(static_cast<long long>(at)));
            storages.emplace_back();
        }
        storages[at].push_back({memory.start, memory.stop, py::str(key).cast<std::string>(), key,
                                memory.token});
    }

    std::vector<std::pair<std::string, const Area *>> aliases; // alias name, kept area
    for (std::vector<Area> &areas : storages) {
        if (areas.size() < 2)
            continue;
        std::sort(areas.begin(), areas.end(), [](const Area &a, const Area &b) {
            return std::tie(a.start, a.stop, a.name) < std::tie(b.start, b.stop, b.name);
        });
        // Runs of overlapping areas; each run must be one tensor under several names.
        for (size_t first = 0; first < areas.size();) {
            size_t end = first + 1;
            unsigned long long stop = areas[first].stop;
            while (end < areas.size() && areas[end].start < stop) {
                stop = std::max(stop, areas[end].stop);
                ++end;
            }
            const Area *kept = &areas[first];
            for (size_t i = first + 1; i < end; ++i) {
                if (!equal(areas[i].token, areas[first].token))
                    refuse("'%s' and '%s' share memory but are not one tensor (one overlaps part "
                           "of the other): safetensors mode stores a tensor held under several "
                           "names once, but not parts of a tensor; save this network in "
                           "weight-tying or torch mode",
                           py::make_tuple(areas[first].key, areas[i].key));
                if (areas[i].name < kept->name)
                    kept = &areas[i];
            }
            for (size_t i = first; i < end; ++i)
                if (&areas[i] != kept)
                    aliases.emplace_back(areas[i].name, kept);
            first = end;
        }
    }
    std::sort(aliases.begin(), aliases.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    py::dict result;
    for (const auto &[name, kept] : aliases)
        setitem(result, py::str(name), kept->key);
    return result;
}

py::object saved_aliases(py::handle path, py::handle filename) {
    py::dict options;
    options[SV_NAME("framework")] = py::str("pt");
    py::object opened =
        call_with(import_from("safetensors", "safe_open"), py::make_tuple(path), options);
    py::object metadata = call_method(opened, SV_NAME("metadata"));
    opened = py::object(); // the file is let go at once
    if (is_none(metadata) || !contains(metadata, aliases_entry()))
        return py::object();
    py::object entry = getitem(metadata, aliases_entry());
    py::object parsed;
    try {
        parsed = call_method(import("json"), SV_NAME("loads"), entry);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError))
            throw;
        HandledException handling(error.value());
        refuse("%s: the metadata entry '%s' is no JSON text (%s); it names the file's shared "
               "tensors",
               py::make_tuple(filename, aliases_entry(), text(error.value())));
    }
    if (!PyDict_Check(parsed.ptr()))
        refuse("%s: the metadata entry '%s' must be a JSON object that maps each alias to the "
               "name of the tensor it shares; it is %s",
               py::make_tuple(filename, aliases_entry(), entry_text(entry)));
    for (py::handle item : call_method(parsed, SV_NAME("items"))) {
        py::object alias = getitem(item, 0), kept = getitem(item, 1);
        if (!PyUnicode_Check(kept.ptr()) || equal(alias, kept))
            refuse("%s: the metadata entry '%s' maps %s to %s, which is no other tensor name",
                   py::make_tuple(filename, aliases_entry(), entry_text(alias), entry_text(kept)));
    }
    return parsed;
}

py::object with_aliases(py::handle state_dict, py::handle aliases, py::handle filename) {
    py::dict result;
    check(PyDict_Update(result.ptr(), state_dict.ptr()));
    for (py::handle item : call_method(aliases, SV_NAME("items"))) {
        py::object alias = getitem(item, 0), kept = getitem(item, 1);
        if (contains(state_dict, alias))
            refuse("%s: the file stores '%s' and its metadata also names it an alias of '%s'",
                   py::make_tuple(filename, alias, kept));
        if (!contains(state_dict, kept))
            refuse("%s: the file's metadata names '%s' an alias of '%s', which the file does "
                   "not hold",
                   py::make_tuple(filename, alias, kept));
        setitem(result, alias, getitem(state_dict, kept));
    }
    return std::move(result);
}

void check_aliases(py::handle aliases, py::handle filename,
                   const std::function<py::object(py::handle key)> &token_of) {
    for (py::handle item : call_method(aliases, SV_NAME("items"))) {
        py::object alias = getitem(item, 0), kept = getitem(item, 1);
        py::object alias_token = token_of(alias);
        py::object kept_token = token_of(kept);
        for (py::handle key : {alias, kept})
            if (!(key.ptr() == alias.ptr() ? alias_token : kept_token))
                refuse("%s: the file stores '%s' as an alias of '%s', but '%s' is not a key of "
                       "the network",
                       py::make_tuple(filename, alias, kept, key));
        if (!equal(alias_token, kept_token))
            refuse("%s: the file stores '%s' and '%s' as one tensor, but the network holds two "
                   "tensors there (not tied, or of other shapes)",
                   py::make_tuple(filename, alias, kept));
    }
}

} // namespace sorvith::block
