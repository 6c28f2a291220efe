#include "view_shape.h"

#include "block/recording.h"
#include "block_cache.h"
#include "host/protocols.h"
#include "tensor_kind.h"

namespace sorvith::block::rows {

namespace {

// tensor.tolist() with torch's modes set aside, so that no trace records the read.
py::object untraced_values(py::handle tensor) {
    return outside_modes([&] { return call_method(tensor, SV_NAME("tolist")); });
}

// Whether two read-outs of a view_tuple are the same shape: equal values of the same types, so
// that [1.0, -1.0] (a float tensor, which view() refuses) is not taken for [1, -1].
bool same_values(py::handle read, py::handle kept) {
    if (!PyList_CheckExact(read.ptr()) || !PyList_CheckExact(kept.ptr()))
        return type_of(read).ptr() == type_of(kept).ptr() && equal(read, kept);
    Py_ssize_t n = PyList_GET_SIZE(read.ptr());
    if (n != PyList_GET_SIZE(kept.ptr()))
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle a = PyList_GET_ITEM(read.ptr(), i), b = PyList_GET_ITEM(kept.ptr(), i);
        if (type_of(a).ptr() != type_of(b).ptr() || !equal(a, b))
            return false;
    }
    return true;
}

// The values of a plain tensor with data, from the cache while they are current there.
py::object values_of(ViewSource &kept, py::handle tensor, bool recorded) {
    // What the cache holds now, held here: the reads below may let another thread replace it.
    py::object known = kept.tensor.ptr() == tensor.ptr() ? kept.values : py::object();
    long long known_version = kept.version, known_address = kept.address;
    bool known_on_cpu = kept.on_cpu;
    auto read_values = [&] {
        return recorded ? untraced_values(tensor) : call_method(tensor, SV_NAME("tolist"));
    };
    py::object values;
    if (known && known_on_cpu) {
        // On the CPU the values are read at every call, traced or not: memory can change under
        // a version counter that does not move (written through `.data`, or through a numpy
        // array that shares it), and a read costs about what the checks standing in for it
        // would. The kept list stands while they are equal, and with it the rows made with it.
        values = read_values();
        if (same_values(values, known))
            return known;
    } else {
        // Elsewhere a read waits for the device, which is what the cache saves: the version
        // counter and the data address decide.
        long long version = version_of(tensor);
        if (known && version >= 0 && known_version == version &&
            known_address == address_of(tensor))
            return known;
        values = read_values();
    }
    long long version = version_of(tensor), address = address_of(tensor);
    bool on_cpu = truth(attr(tensor, SV_NAME("is_cpu")));
    replace(kept, ViewSource{borrow(tensor.ptr()), values, version, address, on_cpu});
    return values;
}

// Whether `fake` is the fake tensor its mode made from `real`.
bool made_from(py::handle real, py::handle fake, py::handle lookup, py::handle memo) {
    py::object id = call_method(lookup, SV_NAME("get"), real);
    return !is_none(id) && call_method(memo, SV_NAME("get"), id).ptr() == fake.ptr();
}

// The real tensor a fake tensor was made from, or null. The fake tensor's mode keeps that
// link (real tensor -> id -> fake tensor); the block's own source is tried first.
py::object origin_of(py::handle fake, py::handle candidate) {
    py::object lookup, memo;
    try {
        py::object converter = attr(attr(fake, SV_NAME("fake_mode")),
                                    SV_NAME("fake_tensor_converter"));
        memo = attr(converter, SV_NAME("tensor_memo"));
        lookup = attr(attr(attr(converter, SV_NAME("meta_converter")), SV_NAME("describer")),
                      SV_NAME("lookup_tensor"));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_AttributeError))
            throw;
        return py::object(); // a torch that keeps the link elsewhere
    }
    if (candidate && made_from(candidate, fake, lookup, memo))
        return borrow(candidate.ptr());
    py::object reals = call_method(lookup, SV_NAME("keys"));
    for (py::handle real : py::list(reals))
        if (made_from(real, fake, lookup, memo))
            return borrow(real.ptr());
    return py::object();
}

// A view shape for a meta view_tuple whose values the block never saw. Meta tensors have
// shapes and no values, and a row's shape matters only for the shapes it gives: -1 at a
// dimension where `sample` (an output the rows multiply) has the row's width, 1 elsewhere,
// gives the output shapes any valid values give. Null when the shapes do not tell.
py::object shape_from_outputs(py::handle view_tuple, py::handle skip_weights,
                              py::handle sample) {
    Py_ssize_t rank = as_size(call_method(view_tuple, SV_NAME("dim")));
    if (rank == 0)
        return make_int(-1); // what tolist() of a 0-dimensional tensor gives
    if (rank != 1 || !sample || !PyObject_HasAttr(sample.ptr(), SV_NAME("shape").ptr()))
        return py::object();
    Py_ssize_t n = as_size(call_method(view_tuple, SV_NAME("numel")));
    py::object sizes = attr(sample, SV_NAME("shape"));
    if (length(sizes) != n)
        return py::object();
    py::object all = steal(PySlice_New(nullptr, nullptr, nullptr));
    py::object row = getitem(getitem(skip_weights, make_int(1)), py::make_tuple(make_int(0), all));
    Py_ssize_t width = as_size(call_method(row, SV_NAME("numel")));
    for (Py_ssize_t d = n - 1; d >= 0; --d) {
        if (as_size(getitem(sizes, d)) != width)
            continue;
        py::list shape(n);
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(shape.ptr(), i, make_int(i == d ? -1 : 1).release().ptr());
        return std::move(shape);
    }
    return py::object();
}

[[noreturn]] void unknown_shape(py::handle self, const char *why, const char *advice) {
    py::object name = attr(type_of(self), SV_NAME("__name__"));
    PyErr_Format(PyExc_RuntimeError,
                 "%S.view_tuple %s: the shape of the skip-weight rows, which its values give, "
                 "is unknown. %s",
                 name.ptr(), why, advice);
    throw py::error_already_set();
}

} // namespace

py::object view_shape(py::handle self, py::handle cache, py::handle view_tuple,
                      py::handle skip_weights, py::handle sample, bool recorded) {
    ViewSource &kept = fields(cache).view;
    // The common case: the tensor read last time, unchanged. Only plain tensors with data are
    // read into the cache, and their version and address tell whether that still holds.
    if (kept.tensor.ptr() == view_tuple.ptr() && kept.values)
        return values_of(kept, view_tuple, recorded);
    py::object tensor = borrow(view_tuple.ptr());

    if (is_fake_tensor(tensor)) {
        py::object constant = attr(tensor, SV_NAME("constant"));
        if (!is_none(constant))
            return untraced_values(constant);
        py::object origin = origin_of(tensor, py::object(kept.tensor));
        if (!origin)
            unknown_shape(self, "is a fake tensor made from no tensor its fake mode knows",
                          "Trace the module with its own view_tuple buffer.");
        tensor = origin;
    }
    if (!is_plain_tensor(tensor))
        return call_method(tensor, SV_NAME("tolist")); // a tensor subclass reads its own way
    if (!is_meta(tensor))
        return values_of(kept, tensor, recorded);

    py::object source = kept.tensor;
    if (source && is_plain_tensor(source) && !is_meta(source))
        return untraced_values(source);
    if (py::object shape = shape_from_outputs(tensor, skip_weights, sample))
        return shape;
    unknown_shape(self, "is on the meta device and the block has seen no values of it",
                      "Build, load or run the block with a view_tuple that has data before "
                      "moving it to the meta device.");
}

void remember_view_tuple(py::handle self, py::handle view_tuple) {
    py::object cache = cache_of(self);
    replace(fields(cache).view, ViewSource::unread(view_tuple));
}

} // namespace sorvith::block::rows
