#include "saved_blocks.h"

#include "host/arguments.h"
#include "host/globals.h"
#include "host/protocols.h"

#include <string_view>
#include <unordered_set>

namespace sorvith::network_svp {

namespace {

constexpr std::string_view entries_part = ".layer_array.";

// A key's text, or nothing for a key that is no str (such a key names no block entry).
bool key_text(py::handle key, std::string_view &out) {
    if (!PyUnicode_Check(key.ptr()))
        return false;
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!data)
        throw py::error_already_set();
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

// The entry index at the start of `rest` ("12.weight" gives 12 and "weight"), as nn.ModuleList
// names its entries: decimal digits without leading zeros. -1 for anything else.
long long entry_index(std::string_view rest, std::string_view &after) {
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 18 || digits == rest.size() || rest[digits] != '.' ||
        (digits > 1 && rest[0] == '0'))
        return -1;
    after = rest.substr(digits + 1);
    return std::stoll(std::string(rest.substr(0, digits)));
}

py::str text_of(std::string_view s) { return py::str(s.data(), s.size()); }

// A shape as the tuple it is, "(3, 3, 4)", rather than "torch.Size([3, 3, 4])".
py::object shape_text(py::handle shape) { return text(steal(PySequence_Tuple(shape.ptr()))); }

long long dims(py::handle tensor) { return as_size(call_method(tensor, SV_NAME("dim"))); }

} // namespace

SavedFile::SavedFile(py::handle module, py::handle state_dict, py::handle filename)
    : module_(module), state_dict_(borrow(state_dict.ptr())), filename_(text(filename)) {
    // One pass over the keys: a block's check then looks up only its own entries, whatever
    // entry count its cycles claim.
    for (py::handle key : state_dict_)
        index_key(key);
}

void SavedFile::index_key(py::handle key) {
    std::string_view whole;
    if (!key_text(key, whole))
        return;
    for (size_t at = whole.find(entries_part); at != std::string_view::npos;
         at = whole.find(entries_part, at + 1)) {
        EntryKeys &keys = entry_keys_[std::string(whole.substr(0, at))];
        std::string_view after;
        long long index = entry_index(whole.substr(at + entries_part.size()), after);
        if (index < 0)
            keys.stray.emplace_back(whole);
        else
            keys.by_index[index].emplace_back(after);
    }
}

std::vector<long long> SavedFile::entry_indices(const std::string &prefix) const {
    std::vector<long long> result;
    auto found = entry_keys_.find(prefix);
    if (found != entry_keys_.end())
        for (const auto &entry : found->second.by_index)
            result.push_back(entry.first);
    return result;
}

void SavedFile::complete(py::handle additions) {
    if (length(additions) == 0)
        return;
    py::object merged = steal(PyDict_New()); // the mapping as read stays as it is
    check(PyDict_Update(merged.ptr(), state_dict_.ptr()));
    for (py::handle item : call_method(additions, SV_NAME("items"))) {
        py::object key = getitem(item, 0);
        if (contains(merged, key))
            continue;
        setitem(merged, key, getitem(item, 1));
        index_key(key);
    }
    state_dict_ = merged;
}

void SavedFile::refuse(const char *pattern, py::handle values) {
    PyErr_SetObject(PyExc_ValueError, format(pattern, values).ptr());
    throw py::error_already_set();
}

SavedBlock SavedFile::read_keys(py::handle block, py::handle prefix) {
    // A block the file does not describe: the KeyError of the lookup, its key as args[0],
    // says which file and why. Where the interpreter has no exception notes, the explanation
    // is the KeyError's second argument.
    auto saved = [&](const char *suffix) {
        py::object key = add(prefix, py::str(suffix));
        try {
            return getitem(state_dict_, key);
        } catch (py::error_already_set &error) {
            if (!error.matches(PyExc_KeyError))
                throw;
            py::object note = format(
                "%s holds no '%s': the network converted here has a block '%s' that the file "
                "does not describe. Either the companion configuration (the classes given to "
                "GNV.pc.set_modules_to_convert and set_modules_to_track) differs from the one "
                "the file was saved with, or the file is of another network.",
                py::make_tuple(filename_, key, prefix));
            if (add_note(error.value(), note))
                throw;
            PyErr_SetObject(PyExc_KeyError, py::make_tuple(key, note).ptr());
            throw py::error_already_set();
        }
    };
    SavedBlock result;
    result.block = borrow(block.ptr());
    result.prefix = borrow(prefix.ptr());
    result.num_cycles = saved(".num_cycles");
    result.skip_weights = saved(".skip_weights");
    result.module_id = saved(".module_id");
    result.view_tuple = saved(".view_tuple");
    return result;
}

void SavedFile::count_entries(SavedBlock &result) {
    result.cycles =
        steal(PyNumber_Long(call_method(result.num_cycles, SV_NAME("item")).ptr()));
    // One entry for the module itself and one copy per two cycles, rounded up.
    if (greater(result.cycles, make_int(0))) {
        py::object copies = steal(PyNumber_FloorDivide(
            add(result.cycles, make_int(1)).ptr(), make_int(2).ptr()));
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(copies.ptr(), &overflow);
        if (n == -1 && PyErr_Occurred())
            throw py::error_already_set();
        result.entries = overflow || n >= PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX
                                                         : static_cast<Py_ssize_t>(n) + 1;
    }
    py::object first = getitem(attr(result.block, SV_NAME("layer_array")), make_int(0));
    py::dict keep_vars;
    keep_vars["keep_vars"] = py::bool_(true);
    result.layer_state = call_with(attr(first, SV_NAME("state_dict")), py::tuple(), keep_vars);
}

void SavedFile::check_values(SavedBlock &result) {
    result.skip_shape = attr(result.skip_weights, SV_NAME("shape"));
    check_entries(result);
    // The cascade reads skip_weights and view_tuple only to add one position's output into a
    // later one's: a block of one entry reads neither, whatever they hold.
    if (result.entries < 2)
        return;
    check_skip_shape(result);
    check_view_tuple(result);
}

void SavedFile::check_entries(const SavedBlock &saved) {
    std::string_view prefix_text;
    key_text(saved.prefix, prefix_text);
    static const EntryKeys none;
    auto found = entry_keys_.find(std::string(prefix_text));
    const EntryKeys &keys = found == entry_keys_.end() ? none : found->second;
    py::object count = make_int(saved.entries);
    if (!keys.stray.empty())
        refuse("%s: '%s' names no layer_array entry of '%s'",
               py::make_tuple(filename_, text_of(keys.stray.front()), saved.prefix));
    // The entries must be 0 to entries-1: an index past them, or the first one missing.
    long long expected = 0;
    for (const auto &[index, rests] : keys.by_index) {
        if (index >= saved.entries)
            refuse("%s: '%s.layer_array.%d.%s' is beyond the %d layer_array entries that "
                   "'%s.num_cycles' = %d makes",
                   py::make_tuple(filename_, saved.prefix, make_int(index),
                                  text_of(rests.front()), count, saved.prefix, saved.cycles));
        if (index != expected)
            break;
        ++expected;
    }
    if (expected < saved.entries)
        refuse("%s: '%s.num_cycles' = %d makes %d layer_array entries, but the file holds no "
               "'%s.layer_array.%d.' keys",
               py::make_tuple(filename_, saved.prefix, saved.cycles, count, saved.prefix,
                              make_int(expected)));

    // Every entry is a copy of the block's first module, so it takes the same keys and shapes
    // (its module_id text aside, which is narrowed when loaded). A lazy module's tensors have
    // no shape before its first call: they take the file's when loaded.
    py::str module_id_name("module_id");
    py::object is_lazy = attr(attr(attr(global(module_, SV_NAME("torch")), SV_NAME("nn")),
                                   SV_NAME("parameter")),
                              SV_NAME("is_lazy"));
    for (const auto &[index, rests] : keys.by_index) {
        py::object entry_prefix = format("%s.layer_array.%d.", py::make_tuple(saved.prefix,
                                                                             make_int(index)));
        Py_ssize_t matched = 0;
        for (const std::string &rest : rests) {
            py::str name = text_of(rest);
            if (!contains(saved.layer_state, name))
                refuse("%s: '%s%s' is not a key of layer_array entry %d of '%s'",
                       py::make_tuple(filename_, entry_prefix, name, make_int(index),
                                      saved.prefix));
            ++matched;
            if (equal(name, module_id_name))
                continue;
            py::object held = getitem(saved.layer_state, name);
            if (truth(call(is_lazy, held)))
                continue;
            py::object target = attr_or_none(held, SV_NAME("shape"));
            py::object value = getitem(state_dict_, add(entry_prefix, name));
            py::object shape = attr_or_none(value, SV_NAME("shape"));
            if (!is_none(target) && !is_none(shape) && not_equal(shape, target))
                refuse("%s: '%s%s' has shape %s, but layer_array entry %d of '%s' holds %s there",
                       py::make_tuple(filename_, entry_prefix, name, shape_text(shape),
                                      make_int(index), saved.prefix, shape_text(target)));
        }
        if (matched != length(saved.layer_state))
            for (py::handle name : saved.layer_state)
                if (!contains(state_dict_, add(entry_prefix, name)))
                    refuse("%s: the file holds no '%s%s', which layer_array entry %d of '%s' "
                           "loads",
                           py::make_tuple(filename_, entry_prefix, name, make_int(index),
                                          saved.prefix));
    }
}

void SavedFile::check_skip_shape(SavedBlock &saved) {
    // The cascade of L entries reads the rows skip_weights[p][q, :] for q < p < L: at least L
    // receiving positions and L - 1 contributing ones; the row is everything after them, and
    // has values to view. Rows and columns beyond those are never read.
    py::object shape = steal(PySequence_Tuple(saved.skip_shape.ptr()));
    Py_ssize_t count = length(shape);
    long long width = 0;
    if (count >= 3 && as_size(getitem(shape, 0)) >= saved.entries &&
        as_size(getitem(shape, 1)) >= saved.entries - 1) {
        width = 1;
        for (Py_ssize_t i = 2; i < count && width > 0; ++i) {
            long long size = as_size(getitem(shape, i));
            // The sizes of a tensor with no values may multiply beyond any integer: it has none.
            if (size == 0 || __builtin_mul_overflow(width, size, &width))
                width = 0;
        }
    }
    if (width < 1)
        refuse("%s: '%s.skip_weights' has shape %s, but the cascade of a block of %d "
               "layer_array entries reads skip_weights[p][q, :] for q < p < %d, which needs at "
               "least (%d, %d, width) with width >= 1",
               py::make_tuple(filename_, saved.prefix, text(shape), make_int(saved.entries),
                              make_int(saved.entries), make_int(saved.entries),
                              make_int(saved.entries - 1)));
    saved.row_width = width;
}

long long SavedFile::output_rank(const SavedBlock &saved) {
    // A convolution's output has its weight's rank (a batch, the channels and one dimension
    // per kernel dimension). A Linear's has its input's, which the file does not show; other
    // modules' outputs are left to the module.
    py::object nn = attr(global(module_, SV_NAME("torch")), SV_NAME("nn"));
    py::object first = getitem(attr(saved.block, SV_NAME("layer_array")), make_int(0));
    bool convolution = false;
    for (const char *name : {"Conv1d", "Conv2d", "Conv3d", "ConvTranspose1d", "ConvTranspose2d",
                             "ConvTranspose3d"})
        convolution = convolution || is_instance(first, attr(nn, py::str(name)));
    if (!convolution)
        return -1;
    py::object key = add(saved.prefix, py::str(".layer_array.0.weight"));
    if (!contains(state_dict_, key))
        return -1;
    return dims(getitem(state_dict_, key));
}

void SavedFile::check_view_tuple(const SavedBlock &saved) {
    // Each row is viewed with view_tuple.tolist(): an int for a 0-dimensional tensor, else a
    // list, which view takes when it holds ints (no bools, floats or nested lists) with at most
    // one -1, no other negative size, and sizes that multiply to the row's width (or divide it,
    // with a -1).
    const py::object &view = saved.view_tuple;
    py::object values = call_method(view, SV_NAME("tolist"));
    bool scalar = !PyList_Check(values.ptr());
    py::object sizes = scalar ? py::object(list_of(values)) : values;
    auto shown = [&] {
        Py_ssize_t n = length(sizes);
        return n <= 8 || scalar ? text(values)
                                : format("a list of %d entries", py::make_tuple(make_int(n)));
    };
    auto whole = [](py::handle value) {
        return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
    };
    for (py::handle value : sizes)
        if (!whole(value))
            refuse("%s: '%s.view_tuple' must be whole numbers, the shape each skip-weight row "
                   "is viewed to; it is %s, of shape %s and dtype %s",
                   py::make_tuple(filename_, saved.prefix, shown(),
                                  shape_text(attr(view, SV_NAME("shape"))),
                                  text(attr(view, SV_NAME("dtype")))));
    const long long width = saved.row_width;
    long long product = 1;
    int unknown = 0;
    bool fits = true;
    for (py::handle value : sizes) {
        int overflow = 0;
        long long size = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (size == -1 && PyErr_Occurred())
            throw py::error_already_set();
        if (!overflow && size == -1) {
            fits = ++unknown <= 1;
        } else {
            // A size of 0, below -1 or past the width leaves no product equal to the width.
            fits = !overflow && size >= 1 && size <= width / product;
            product *= fits ? size : 1;
        }
        if (!fits)
            break;
    }
    fits = fits && (unknown ? width % product == 0 : product == width);
    if (!fits)
        refuse("%s: '%s.view_tuple' is %s, which cannot view a skip-weight row of %d values",
               py::make_tuple(filename_, saved.prefix, shown(), make_int(width)));

    // A convolution's output is batched (its weight's rank) or not (one dimension less), and
    // its channels come right before the kernel's dimensions: a row meets each channel only
    // when every other size is 1. A shorter or longer view_tuple, or one whose -1 sits elsewhere,
    // would broadcast the weights along another dimension.
    long long rank = output_rank(saved);
    if (rank < 0)
        return;
    Py_ssize_t view_rank = length(sizes), channels = view_rank - (rank - 1);
    bool meets = view_rank == rank || view_rank == rank - 1;
    for (Py_ssize_t i = 0; meets && i < view_rank; ++i)
        meets = i == channels || PyLong_AsLongLong(getitem(sizes, i).ptr()) == 1;
    if (!meets)
        refuse("%s: '%s.view_tuple' is %s, but the outputs of '%s' have %d dimensions (%d "
               "unbatched), as its weight '%s.layer_array.0.weight' shows, with the channels at "
               "dimension %d (%d unbatched): every other size must be 1",
               py::make_tuple(filename_, saved.prefix, shown(), saved.prefix, make_int(rank),
                              make_int(rank - 1), saved.prefix, make_int(1), make_int(0)));
}

py::object SavedFile::narrowed(py::handle net, const std::vector<SavedBlock> &blocks) {
    // The entries' own module_id buffers, by identity: the network's state dictionary names a
    // block once per name it is reachable under, and each of those keys is narrowed.
    std::unordered_set<PyObject *> texts;
    std::vector<py::object> held; // kept alive, so that an identity cannot be reused meanwhile
    py::str module_id_name("module_id");
    for (const SavedBlock &saved : blocks)
        for (py::handle entry : attr(saved.block, SV_NAME("layer_array"))) {
            py::object buffer = attr_or_none(entry, module_id_name);
            texts.insert(buffer.ptr());
            held.push_back(buffer);
        }
    py::object is_tensor = attr(global(module_, SV_NAME("torch")), SV_NAME("is_tensor"));
    py::dict keep_vars;
    keep_vars["keep_vars"] = py::bool_(true);
    py::object targets = call_with(attr(net, SV_NAME("state_dict")), py::tuple(), keep_vars);
    py::object merged;
    for (py::handle item : call_method(targets, SV_NAME("items"))) {
        py::object key = getitem(item, 0), target = getitem(item, 1);
        if (!texts.count(target.ptr()) || !contains(state_dict_, key))
            continue;
        py::object value = getitem(state_dict_, key);
        // Anything else is left for load_state_dict to accept or to report.
        if (!truth(call(is_tensor, value)) || dims(target) != 0 || dims(value) != 1 ||
            as_size(call_method(value, SV_NAME("numel"))) < 1)
            continue;
        if (!merged) { // a copy: the mapping as read stays as it is
            merged = steal(PyDict_New());
            check(PyDict_Update(merged.ptr(), state_dict_.ptr()));
        }
        setitem(merged, key, getitem(value, make_int(0)));
    }
    return merged ? merged : state_dict_;
}

} // namespace sorvith::network_svp
