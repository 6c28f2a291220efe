#include "storage_modes.h"

#include "block/shared_tensors.h"
#include "companion/nevrane.h"
#include "host/arguments.h"
#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"

namespace sorvith::utils_svp {

namespace {

// A reader's error for a file of another storage mode gains a note that says which mode the
// file's first bytes show and how to read it; the error itself stays the reader's.
template <typename Read> py::object reading(py::handle path, FileKind other, Read read) {
    try {
        return read();
    } catch (py::error_already_set &error) {
        if (file_kind(path) != other)
            throw;
        py::object note;
        if (other == FileKind::zip)
            note = format(
                "%s is a zip archive, as torch.save writes: a file of the torch storage mode, "
                "which load_net reads when GNV.pc.get_using_safe_tensors() is false; it was "
                "read here as a safetensors file because that setting is true.",
                py::make_tuple(text(path)));
        else
            note = format(
                "%s is a safetensors file (the safetensors or weight-tying storage mode), which "
                "load_net reads when GNV.pc.get_using_safe_tensors() is true (and "
                "get_weight_tying_experimental() as it was when saving), and "
                "network_svp.load_nvr_model reads too; it was read here as a torch.save file "
                "because that setting is false.",
                py::make_tuple(text(path)));
        add_note(error.value(), note);
        throw;
    }
}

void write_weight_tying(py::handle module, py::handle net, py::handle path) {
    companion::save_model_with_weight_tying(module, net, path);
}

py::object read_weight_tying(py::handle module, py::handle net, py::handle path) {
    return reading(path, FileKind::zip,
                   [&] { return companion::load_model_with_weight_tying(module, net, path); });
}

// The state dictionary; a tensor held under several names (tied weights) is stored once and
// its other names are recorded in the metadata (block/shared_tensors.h). Without such tensors
// the call is save_file(state_dict, path), with no metadata.
void write_safetensors(py::handle module, py::handle net, py::handle path) {
    py::object save_file = global(module, SV_NAME("save_file"));
    py::object state_dict = call_method(net, SV_NAME("state_dict"));
    py::dict aliases = block::shared_names(module, state_dict);
    if (length(aliases) == 0) {
        call(save_file, state_dict, path);
        return;
    }
    py::dict tensors;
    for (py::handle item : call_method(state_dict, SV_NAME("items")))
        if (!contains(aliases, getitem(item, 0)))
            setitem(tensors, getitem(item, 0), getitem(item, 1));
    py::dict metadata, options;
    setitem(metadata, block::aliases_entry(),
            call_method(import("json"), SV_NAME("dumps"), aliases));
    options[SV_NAME("metadata")] = metadata;
    call_with(save_file, py::make_tuple(tensors, path), options);
}

// The mapping load_file reads; for a file that records shared tensors, a copy with the kept
// tensor under each alias, once the network is seen to tie the two names too.
py::object read_safetensors(py::handle module, py::handle net, py::handle path) {
    py::object state_dict = reading(
        path, FileKind::zip, [&] { return call(global(module, SV_NAME("load_file")), path); });
    py::object filename = text(path);
    py::object aliases = block::saved_aliases(path, filename);
    if (aliases && length(aliases) > 0) {
        state_dict = block::with_aliases(state_dict, aliases, filename);
        py::dict keep_vars;
        keep_vars["keep_vars"] = py::bool_(true);
        py::object targets = call_with(attr(net, SV_NAME("state_dict")), py::tuple(), keep_vars);
        block::check_aliases(aliases, filename, [&](py::handle key) {
            return contains(targets, key) ? block::tensor_token(module, getitem(targets, key))
                                          : py::object();
        });
    }
    return companion::load_net_from_dict(module, net, state_dict);
}

void write_torch(py::handle module, py::handle net, py::handle path) {
    call_method(global(module, SV_NAME("torch")), SV_NAME("save"), net, path);
}

// torch.load(path, map_location=torch.device("cpu")[, weights_only=False]).state_dict()
py::object torch_state_dict(py::handle module, py::handle path, bool with_weights_only) {
    py::object torch = global(module, SV_NAME("torch"));
    py::dict options;
    options[SV_NAME("map_location")] = call_method(torch, SV_NAME("device"), py::str("cpu"));
    if (with_weights_only)
        options[SV_NAME("weights_only")] = py::bool_(false);
    py::object loaded = call_with(attr(torch, SV_NAME("load")), py::make_tuple(path), options);
    return call_method(loaded, SV_NAME("state_dict"));
}

// warnings.filters[0], or null for an empty list.
py::object front_filter(py::handle module) {
    py::object filters = attr(global(module, SV_NAME("warnings")), SV_NAME("filters"));
    return length(filters) > 0 ? getitem(filters, make_int(0)) : py::object();
}

// Takes `entry` out of warnings.filters if it is still there (found by identity).
void drop_filter(py::handle module, py::handle entry) {
    py::object filters = attr(global(module, SV_NAME("warnings")), SV_NAME("filters"));
    Py_ssize_t n = length(filters);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (getitem(filters, i).ptr() == entry.ptr()) {
            delitem(filters, make_int(i));
            return;
        }
}

// The whole pickled network is read with every warning silenced. A first attempt with
// weights_only=False, whatever it raises, is followed by one without that keyword (for readers
// that do not know it). remove_future_warning() then runs on every outcome, as in a `finally`;
// a failure reaches the caller as the second attempt's error, chained to the first's.
// remove_future_warning() takes the front filter away, and unpickling may have put one of its
// own there; the one add_future_warning() put in is then taken away too, by identity, so that
// no filter silences the rest of the process.
py::object read_torch(py::handle module, py::handle net, py::handle path) {
    py::object front_before = front_filter(module);
    call(global(module, SV_NAME("add_future_warning")));
    py::object silencing = front_filter(module);
    if (silencing && front_before && silencing.ptr() == front_before.ptr())
        silencing = py::object(); // nothing was put in front
    auto restore_filters = [&] {
        call(global(module, SV_NAME("remove_future_warning")));
        if (silencing)
            drop_filter(module, silencing);
    };
    py::object state_dict;
    try {
        try {
            state_dict = torch_state_dict(module, path, true);
        } catch (py::error_already_set &first) {
            HandledException handling(first.value());
            state_dict = reading(path, FileKind::safetensors,
                                 [&] { return torch_state_dict(module, path, false); });
        }
    } catch (py::error_already_set &second) {
        HandledException handling(second.value());
        restore_filters();
        throw;
    }
    restore_filters();
    return companion::load_net_from_dict(module, net, state_dict);
}

const StorageMode weight_tying{write_weight_tying, read_weight_tying};
const StorageMode safetensors{write_safetensors, read_safetensors};
const StorageMode torch_pickle{write_torch, read_torch};

} // namespace

const StorageMode &selected_storage_mode(py::handle module) {
    namespace getters = companion::getters;
    if (!companion::flag(module, getters::using_safe_tensors()))
        return torch_pickle;
    if (companion::flag(module, getters::weight_tying_experimental()))
        return weight_tying;
    return safetensors;
}

} // namespace sorvith::utils_svp
