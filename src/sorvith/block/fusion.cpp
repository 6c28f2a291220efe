#include "fusion.h"

#include "companion/nevrane.h"
#include "host/globals.h"
#include "host/modules.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "member.h"
#include "recording.h"
#include "rows/block_cache.h"
#include "rows/fused_weights.h"
#include "rows/tensor_kind.h"
#include "rows/view_shape.h"

namespace sorvith::block {

using rows::FusedWeights;

namespace {

// Above this many elements in one position's value, the batched cascade's tensors (up to L-1
// positions each) fall out of the processor's caches and the wide call's output is copied
// once more: the calls saved no longer pay for that. Such inputs run the described forward.
constexpr Py_ssize_t largest_fused_value = 32768;

// Input layouts compared per block. Beyond them a block runs new layouts described.
constexpr Py_ssize_t most_layouts = 16;

// The modules' outputs (features or channels) come in multiples of this. On this build's
// kernels, a linear or convolution whose outputs do not (1 to 15, 33, 1030 were measured) is
// computed with another order of additions at its edge than the same outputs inside a wider
// call: some bits differ for most inputs. With whole multiples every output is computed by the
// same inner kernel both ways.
constexpr Py_ssize_t output_multiple = 16;

enum class Kind { none, linear, conv1d, conv2d };

py::object torch_module() { return imported(SV_NAME("torch")); }

Kind kind_of(py::handle type) {
    py::object nn = loaded_module(SV_NAME("torch.nn"));
    if (!nn)
        return Kind::none;
    if (type.ptr() == attr(nn, SV_NAME("Linear")).ptr())
        return Kind::linear;
    if (type.ptr() == attr(nn, SV_NAME("Conv1d")).ptr())
        return Kind::conv1d;
    if (type.ptr() == attr(nn, SV_NAME("Conv2d")).ptr())
        return Kind::conv2d;
    return Kind::none;
}

// Any hook torch's module call runs for every module (forward, forward-pre, backward,
// backward-pre): a module call would then do more than its forward.
bool global_module_hooks() {
    py::object module = loaded_module(SV_NAME("torch.nn.modules.module"));
    if (!module)
        return true;
    for (py::handle name : {SV_NAME("_global_forward_hooks"), SV_NAME("_global_forward_pre_hooks"),
                            SV_NAME("_global_backward_hooks"),
                            SV_NAME("_global_backward_pre_hooks")})
        if (truth(attr(module, name)))
            return true;
    return false;
}

// dict[name] as a borrowed pointer, null when absent.
PyObject *entry_of(py::handle dict, py::handle name) {
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (!found && PyErr_Occurred())
        throw py::error_already_set();
    return found;
}

bool is_true(py::handle tensor, py::handle name) { return truth(attr(tensor, name)); }

// The signature a block's verdicts are keyed on: what may choose another kernel for the wide
// call while the weights stay the same.
py::object input_layout(py::handle input) {
    py::object alignment = make_int(rows::address_of(input) & 63);
    py::object threads = call_method(torch_module(), SV_NAME("get_num_threads"));
    return steal(PyTuple_Pack(4, attr(input, SV_NAME("shape")).ptr(),
                              call_method(input, SV_NAME("stride")).ptr(), alignment.ptr(),
                              threads.ptr()));
}

// a.dtype widened by b's (a += b would round to a's dtype where a + b would not).
bool widens(py::handle a, py::handle b) {
    py::object a_type = attr(a, SV_NAME("dtype")), b_type = attr(b, SV_NAME("dtype"));
    if (a_type.ptr() == b_type.ptr())
        return false;
    py::object wider = call_method(torch_module(), SV_NAME("promote_types"), a_type, b_type);
    return wider.ptr() != a_type.ptr();
}

// The same shape, dtype and bits (NaNs and signed zeros included).
bool same_bits(py::handle a, py::handle b) {
    if (!rows::is_plain_tensor(a) || !rows::is_plain_tensor(b))
        return false;
    py::object dtype = attr(a, SV_NAME("dtype"));
    if (dtype.ptr() != attr(b, SV_NAME("dtype")).ptr() ||
        !equal(attr(a, SV_NAME("shape")), attr(b, SV_NAME("shape"))))
        return false;
    py::object torch = torch_module();
    Py_ssize_t size = as_size(call_method(a, SV_NAME("element_size")));
    py::handle name = size == 1   ? SV_NAME("uint8")
                      : size == 2 ? SV_NAME("int16")
                      : size == 4 ? SV_NAME("int32")
                                  : SV_NAME("int64");
    py::object as_int = attr(torch, name);
    return truth(call_method(torch, SV_NAME("equal"), call_method(a, SV_NAME("view"), as_int),
                             call_method(b, SV_NAME("view"), as_int)));
}

} // namespace

// torch.Tensor and nn.Parameter, looked up once per call (tensor_kind.h's is_plain_tensor
// looks them up at each test).
struct Fusion::PlainTensor {
    py::object tensor = attr(loaded_module(SV_NAME("torch")), SV_NAME("Tensor"));
    py::object parameter = attr(loaded_module(SV_NAME("torch.nn")), SV_NAME("Parameter"));
    bool operator()(py::handle value) const {
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()));
        return type == tensor.ptr() || type == parameter.ptr();
    }
};

struct Fusion::Entry {
    py::object module, dict, weight, bias;
};

Fusion::Fusion(py::handle module, py::handle args, py::handle kwargs, bool add_in_place)
    : module_(module), args_(args), kwargs_(kwargs), in_place_(add_in_place) {
    self_ = method_self(args, "forward");
    try {
        if (!qualifies())
            return;
    } catch (py::error_already_set &error) {
        // Something of the block that the checks read is not what a fusable block holds: the
        // described forward reads it as it always does, with its own errors.
        if (!error.matches(PyExc_Exception))
            throw;
        return;
    }
    const FusedWeights &fused = rows::contents(state_);
    PyObject *verdict = PyDict_GetItemWithError(fused.verdicts.ptr(), signature_.ptr());
    if (verdict)
        plan_ = verdict == Py_True ? Plan::fused : Plan::described;
    else if (PyErr_Occurred())
        throw py::error_already_set();
    else if (PyDict_GET_SIZE(fused.verdicts.ptr()) < most_layouts)
        plan_ = Plan::compare;
}

// Every condition under which the described forward does something the fused one would not,
// cheapest first; on the way, the fused weights and rows are made ready.
bool Fusion::qualifies() {
    // One positional tensor, no keywords, nothing that needs a gradient.
    if ((kwargs_ && PyDict_GET_SIZE(kwargs_.ptr()) != 0) || PyTuple_GET_SIZE(args_.ptr()) != 2)
        return false;
    input_ = borrow(PyTuple_GET_ITEM(args_.ptr(), 1));
    if (!loaded_module(SV_NAME("torch.nn")))
        return false;
    PlainTensor plain;
    if (!plain(input_) || is_true(input_, SV_NAME("is_meta")))
        return false;
    bool grad = truth(call_method(imported(SV_NAME("torch._C")), SV_NAME("is_grad_enabled")));
    if (grad && is_true(input_, SV_NAME("requires_grad")))
        return false;
    // Autocast changes the dtypes the described forward computes in; a mode or trace would
    // see other operations.
    if (autocasting() || recording() || global_module_hooks())
        return false;

    py::object layers = member(self_, SV_NAME("layer_array"));
    Py_ssize_t count = child_count(layers);
    if (count < 2)
        return false;
    py::object processors = member(self_, SV_NAME("processor_array"));
    if (length(processors) != count)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!is_none(getitem(processors, i)))
            return false;

    // The same class (exactly Linear, Conv1d or Conv2d), running its own forward, with the
    // same shapes and settings; the dendrites without hooks (the main module's forward is
    // called directly, never its hooks).
    std::vector<Entry> entries(static_cast<size_t>(count));
    Kind kind = Kind::none;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Entry &e = entries[static_cast<size_t>(i)];
        e.module = child_at(layers, i);
        if (i == 0) {
            kind = kind_of(type_of(e.module));
            if (kind == Kind::none)
                return false;
        } else if (type_of(e.module).ptr() != type_of(entries[0].module).ptr()) {
            return false;
        }
        PyObject *dict = PyObject_GenericGetDict(e.module.ptr(), nullptr);
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        e.dict = steal(dict);
        for (py::handle shadow : {SV_NAME("forward"), SV_NAME("weight"), SV_NAME("bias")})
            if (entry_of(e.dict, shadow))
                return false;
        if (i < count - 1)
            for (py::handle hooks : {SV_NAME("_forward_hooks"), SV_NAME("_forward_pre_hooks"),
                                     SV_NAME("_backward_hooks"), SV_NAME("_backward_pre_hooks")}) {
                PyObject *table = entry_of(e.dict, hooks);
                if (!table || truth(table))
                    return false;
            }
        PyObject *parameters = entry_of(e.dict, SV_NAME("_parameters"));
        if (!parameters || !PyDict_Check(parameters))
            return false;
        PyObject *weight = entry_of(parameters, SV_NAME("weight"));
        PyObject *bias = entry_of(parameters, SV_NAME("bias"));
        if (!weight || !bias || !plain(weight) || (bias != Py_None && !plain(bias)))
            return false;
        e.weight = borrow(weight);
        e.bias = borrow(bias);
        if (grad && (is_true(e.weight, SV_NAME("requires_grad")) ||
                     (bias != Py_None && is_true(e.bias, SV_NAME("requires_grad")))))
            return false;
        if (i == 0 || kind == Kind::linear)
            continue;
        const Entry &first = entries[0];
        for (py::handle setting : {SV_NAME("stride"), SV_NAME("padding"), SV_NAME("dilation"),
                                       SV_NAME("groups"), SV_NAME("padding_mode")}) {
            PyObject *mine = entry_of(e.dict, setting), *theirs = entry_of(first.dict, setting);
            if (!mine || !theirs || not_equal(mine, theirs))
                return false;
        }
    }
    ndim_ = as_size(call_method(input_, SV_NAME("dim")));
    if (kind != Kind::linear) {
        // Side by side, the groups of a grouped convolution would take other channels; other
        // padding modes pad before the convolution.
        py::handle dict = entries[0].dict;
        PyObject *groups = entry_of(dict, SV_NAME("groups"));
        PyObject *mode = entry_of(dict, SV_NAME("padding_mode"));
        if (!groups || !mode || not_equal(groups, make_int(1)) ||
            not_equal(mode, py::str("zeros")))
            return false;
        // An input in another memory format gives outputs in it, which the fused outputs,
        // laid out anew, would not keep.
        Py_ssize_t spatial = kind == Kind::conv1d ? 1 : 2;
        if ((ndim_ != spatial + 1 && ndim_ != spatial + 2) ||
            !truth(call_method(input_, SV_NAME("is_contiguous"))))
            return false;
        conv_settings_ = steal(PyTuple_Pack(4, entry_of(dict, SV_NAME("stride")),
                                            entry_of(dict, SV_NAME("padding")),
                                            entry_of(dict, SV_NAME("dilation")), groups));
    } else if (ndim_ < 1) {
        return false;
    }
    kind_ = static_cast<int>(kind);
    count_ = count;

    // The weights side by side and the rows, as recorded (the same tensors, so the same
    // shapes and dtype as when they were checked) or made now.
    py::object cache = rows::cache_of(self_);
    py::object state = rows::fused_state(cache);
    const FusedWeights *seen = state ? &rows::contents(state) : nullptr;
    py::object dtype = attr(entries[0].weight, SV_NAME("dtype"));
    bool weights_current = seen && seen->sources.size() == static_cast<size_t>(2 * count) &&
                           seen->dtype.ptr() == dtype.ptr();
    for (Py_ssize_t i = 0; weights_current && i < 2 * count; ++i) {
        const Entry &e = entries[static_cast<size_t>(i / 2)];
        py::handle tensor = i % 2 ? e.bias : e.weight;
        size_t at = static_cast<size_t>(i);
        weights_current =
            seen->sources[at] == tensor.ptr() &&
            (is_none(tensor) ||
             (attr(tensor, SV_NAME("dtype")).ptr() == dtype.ptr() &&
              rows::version_of(tensor) == seen->versions[at] &&
              truth(call_method(tensor, SV_NAME("is_set_to"), seen->aliases[at]))));
    }
    // The input in the weights' dtype, on their device (else the described forward's modules
    // raise their own errors).
    py::handle weight = entries[0].weight;
    if (attr(input_, SV_NAME("dtype")).ptr() != dtype.ptr())
        return false;
    if (!(is_true(input_, SV_NAME("is_cpu")) && is_true(weight, SV_NAME("is_cpu"))) &&
        not_equal(attr(input_, SV_NAME("device")), attr(weight, SV_NAME("device"))))
        return false;

    // The rows: skip_weights a plain (>= L, >= L-1, W) tensor on the modules' device.
    skip_ = member(self_, SV_NAME("skip_weights"));
    if (!plain(skip_) || (grad && is_true(skip_, SV_NAME("requires_grad"))))
        return false;
    if (!(is_true(skip_, SV_NAME("is_cpu")) && is_true(weight, SV_NAME("is_cpu"))) &&
        not_equal(attr(skip_, SV_NAME("device")), attr(weight, SV_NAME("device"))))
        return false;
    py::object view_tuple = member(self_, SV_NAME("view_tuple"));
    if (!plain(view_tuple) || rows::is_meta(view_tuple))
        return false;
    shape_ = rows::view_shape(self_, cache, view_tuple, skip_, input_, false);
    if (weights_current && rows_current(*seen)) {
        state_ = state;
    } else {
        FusedWeights made = seen ? *seen : FusedWeights{};
        if (!weights_current && !make_weights(made, entries, dtype))
            return false;
        if (!rows_current(made) && !make_rows(made))
            return false;
        state_ = rows::publish(cache, std::move(made));
    }
    if (rows::contents(state_).width % output_multiple != 0)
        return false;
    signature_ = input_layout(input_);
    return true;
}

bool Fusion::rows_current(const FusedWeights &fused) {
    return fused.skip_alias && fused.count == count_ && fused.ndim == ndim_ &&
           attr(skip_, SV_NAME("dtype")).ptr() == fused.skip_dtype.ptr() &&
           equal(shape_, fused.view_shape) &&
           truth(call_method(skip_, SV_NAME("is_set_to"), fused.skip_alias));
}

bool Fusion::make_weights(FusedWeights &fused, const std::vector<Entry> &entries,
                          py::handle dtype) {
    fused.sources.clear();
    fused.aliases.clear();
    fused.versions.clear();
    fused.weight = fused.bias = py::object();
    fused.dtype = py::object();
    py::object device = attr(entries[0].weight, SV_NAME("device"));
    py::object shape = attr(entries[0].weight, SV_NAME("shape"));
    py::list weights, biases;
    for (const Entry &e : entries) {
        if (is_none(e.bias) != is_none(entries[0].bias) ||
            not_equal(attr(e.weight, SV_NAME("shape")), shape))
            return false;
        for (py::handle tensor : {e.weight, e.bias}) {
            fused.sources.push_back(tensor.ptr());
            if (is_none(tensor)) {
                fused.aliases.push_back(py::none());
                fused.versions.push_back(0);
                continue;
            }
            long long version = rows::version_of(tensor);
            // An inference tensor counts no versions: a copy of it could go stale unseen.
            if (version < 0 || attr(tensor, SV_NAME("dtype")).ptr() != dtype.ptr() ||
                not_equal(attr(tensor, SV_NAME("device")), device))
                return false;
            fused.aliases.push_back(call_method(tensor, SV_NAME("detach")));
            fused.versions.push_back(version);
            (tensor.ptr() == e.weight.ptr() ? weights : biases).append(fused.aliases.back());
        }
    }
    py::object torch = torch_module();
    fused.weight = call_method(torch, SV_NAME("cat"), weights);
    fused.bias = length(biases) ? call_method(torch, SV_NAME("cat"), biases) : py::none();
    fused.dtype = borrow(dtype.ptr());
    fused.width = as_size(getitem(shape, 0));
    return true;
}

bool Fusion::make_rows(FusedWeights &fused) {
    fused.skip_alias = py::object();
    fused.tails.clear();
    if (as_size(call_method(skip_, SV_NAME("dim"))) != 3)
        return false;
    py::object sizes = attr(skip_, SV_NAME("shape"));
    Py_ssize_t receiving = as_size(getitem(sizes, 0)), contributing = as_size(getitem(sizes, 1));
    Py_ssize_t width = as_size(getitem(sizes, 2));
    if (receiving < count_ || contributing < count_ - 1 || !PyList_Check(shape_.ptr()))
        return false;
    // The view shape with its -1 resolved, and leading ones up to the input's dimensions.
    Py_ssize_t ndim = ndim_;
    Py_ssize_t given = PyList_GET_SIZE(shape_.ptr()), known = 1, unknown = -1;
    if (given > ndim)
        return false;
    std::vector<Py_ssize_t> view(static_cast<size_t>(ndim), 1);
    for (Py_ssize_t d = 0; d < given; ++d) {
        Py_ssize_t size = as_size(PyList_GET_ITEM(shape_.ptr(), d));
        size_t at = static_cast<size_t>(ndim - given + d);
        if (size == -1 && unknown < 0) {
            unknown = static_cast<Py_ssize_t>(at);
            continue;
        }
        if (size < 0)
            return false;
        view[at] = size;
        known *= size;
    }
    if (unknown >= 0) {
        if (known == 0 || width % known)
            return false;
        view[static_cast<size_t>(unknown)] = width / known;
    } else if (known != width) {
        return false;
    }
    py::object alias = call_method(skip_, SV_NAME("detach"));
    for (Py_ssize_t j = 0; j + 1 < count_; ++j) {
        Py_ssize_t later = count_ - 1 - j;
        py::object shape = steal(PyTuple_New(ndim + 1));
        PyTuple_SET_ITEM(shape.ptr(), 0, make_int(later).release().ptr());
        for (Py_ssize_t d = 0; d < ndim; ++d)
            PyTuple_SET_ITEM(shape.ptr(), d + 1,
                             make_int(view[static_cast<size_t>(d)]).release().ptr());
        py::object block = call_method(alias, SV_NAME("narrow"), make_int(0), make_int(j + 1),
                                       make_int(later));
        fused.tails.push_back(call_method(
            call_method(block, SV_NAME("select"), make_int(1), make_int(j)), SV_NAME("view"),
            shape));
    }
    fused.last_row = call_method(fused.tails.back(), SV_NAME("select"), make_int(0), make_int(0));
    fused.row_shape = view;
    fused.skip_alias = alias;
    fused.skip_dtype = attr(skip_, SV_NAME("dtype"));
    fused.view_shape = shape_;
    fused.count = count_;
    fused.ndim = ndim;
    return true;
}

py::object Fusion::wide_forward(py::handle weight, py::handle bias) {
    Kind kind = static_cast<Kind>(kind_);
    py::object functional = imported(SV_NAME("torch.nn.functional"));
    if (kind == Kind::linear)
        return call(attr(functional, SV_NAME("linear")), input_, weight, bias);
    py::handle name = kind == Kind::conv1d ? SV_NAME("conv1d") : SV_NAME("conv2d");
    py::handle c = conv_settings_;
    return call(attr(functional, name), input_, weight, bias,
                PyTuple_GET_ITEM(c.ptr(), 0), PyTuple_GET_ITEM(c.ptr(), 1),
                PyTuple_GET_ITEM(c.ptr(), 2), PyTuple_GET_ITEM(c.ptr(), 3));
}

py::object Fusion::run() {
    const FusedWeights &fused = rows::contents(state_);
    py::object values = stacked(wide_forward(fused.weight, fused.bias), fused.width);
    // Contributing position j, in ascending order: its value is final, is activated, and is
    // added (weighted) to every later position's. The main position, last, is added to alone,
    // so that the result is a tensor of its own, as the described forward's is. The tensors
    // are plain, so torch's functions stand for the operators the described forward uses.
    py::object torch = torch_module();
    py::object times = attr(torch, SV_NAME("mul")), plus = attr(torch, SV_NAME("add"));
    py::object zero = make_int(0), one = make_int(1);
    py::object later_ones = steal(PySlice_New(one.ptr(), nullptr, nullptr)); // [1:]
    py::handle getter = companion::getters::nvr_forward_function();
    for (Py_ssize_t j = 0; j + 1 < count_; ++j) {
        py::object activated = call(companion::setting(module_, getter), getitem(values, zero));
        if (j + 2 < count_) {
            py::object term = call(times, fused.tails[static_cast<size_t>(j)], activated);
            py::object later = getitem(values, later_ones);
            if (!in_place_ && widens(later, term))
                values = call(plus, later, term);
            else
                values = (call_method(later, SV_NAME("add_"), term), later);
            continue;
        }
        py::object last = getitem(values, one);
        py::object term = call(times, fused.last_row, activated);
        if (in_place_ && widens(last, term)) {
            call_method(last, SV_NAME("add_"), term);
            return call_method(last, SV_NAME("clone"));
        }
        return call(plus, last, term); // the same bits as in place where nothing widens
    }
    return py::object(); // not reached: count_ >= 2
}

py::object Fusion::stacked(py::handle wide, Py_ssize_t width) {
    // The dimension holding the L outputs side by side: a linear's last, a batched
    // convolution's second, an unbatched one's first.
    Kind kind = static_cast<Kind>(kind_);
    Py_ssize_t channels = kind == Kind::linear                         ? ndim_ - 1
                          : ndim_ == (kind == Kind::conv1d ? 3 : 4) ? 1
                                                                      : 0;
    py::object sizes = attr(wide, SV_NAME("shape"));
    Py_ssize_t before = 1;
    for (Py_ssize_t d = 0; d < channels; ++d)
        before *= as_size(getitem(sizes, d));
    if (before == 1) {
        // Nothing in front of the outputs (a batch of one): they already lie one after the
        // other, and a view to (L, *position shape) is the same memory.
        py::object shape = steal(PyTuple_New(ndim_ + 1));
        PyTuple_SET_ITEM(shape.ptr(), 0, make_int(count_).release().ptr());
        for (Py_ssize_t d = 0; d < ndim_; ++d)
            PyTuple_SET_ITEM(shape.ptr(), d + 1,
                             (d == channels ? make_int(width) : getitem(sizes, d)).release().ptr());
        return call_method(wide, SV_NAME("view"), shape);
    }
    py::object split = steal(PyTuple_Pack(2, make_int(count_).ptr(), make_int(width).ptr()));
    py::object values = call_method(wide, SV_NAME("unflatten"), make_int(channels), split);
    values = call_method(values, SV_NAME("movedim"), make_int(channels), make_int(0));
    return call_method(values, SV_NAME("contiguous"));
}

py::object Fusion::compare(py::object described) {
    bool same = false;
    try {
        if (rows::is_plain_tensor(described) &&
            as_size(call_method(described, SV_NAME("numel"))) <= largest_fused_value &&
            rows_broadcast(attr(described, SV_NAME("shape"))))
            same = same_bits(run(), described) && wide_call_matches();
    } catch (py::error_already_set &) {
        same = false; // the described forward's result stands
    }
    check(PyDict_SetItem(rows::contents(state_).verdicts.ptr(), signature_.ptr(),
                         same ? Py_True : Py_False));
    return described;
}

// The wide call against the modules' own calls on an input of random values of the same layout
// (from a generator of its own: the caller's random numbers are not touched). One input can
// agree by chance where the order of additions differs; two rarely do.
bool Fusion::wide_call_matches() {
    const FusedWeights &fused = rows::contents(state_);
    py::object torch = torch_module();
    py::object device = attr(input_, SV_NAME("device"));
    py::object generator = call_kw(attr(torch, SV_NAME("Generator")), py::make_tuple(),
                                   {{"device", device}});
    call_method(generator, SV_NAME("manual_seed"), make_int(20261209));
    py::object probe = call_kw(attr(torch, SV_NAME("randn")),
                               py::make_tuple(attr(input_, SV_NAME("shape"))),
                               {{"generator", generator},
                                {"dtype", attr(input_, SV_NAME("dtype"))},
                                {"device", device}});
    py::object saved = borrow(input_.ptr());
    input_ = probe;
    py::object values = stacked(wide_forward(fused.weight, fused.bias), fused.width);
    bool same = true;
    for (Py_ssize_t i = 0; same && i < count_; ++i) {
        size_t at = static_cast<size_t>(2 * i);
        same = same_bits(getitem(values, make_int(i)),
                         wide_forward(fused.aliases[at], fused.aliases[at + 1]));
    }
    input_ = saved;
    return same;
}

bool Fusion::rows_broadcast(py::handle shape) {
    const std::vector<Py_ssize_t> &view = rows::contents(state_).row_shape;
    Py_ssize_t ndim = length(shape);
    if (static_cast<Py_ssize_t>(view.size()) != ndim)
        return false;
    for (Py_ssize_t d = 0; d < ndim; ++d) {
        Py_ssize_t size = as_size(getitem(shape, d)), row = view[static_cast<size_t>(d)];
        if (row != size && row != 1)
            return false;
    }
    return true;
}

} // namespace sorvith::block
