#include "shaped_rows.h"

#include "block/recording.h"
#include "host/modules.h"
#include "host/protocols.h"
#include "tensor_kind.h"
#include "view_shape.h"

namespace sorvith::block::rows {

namespace {

Mode autograd_mode() {
    py::object c = imported(SV_NAME("torch._C"));
    if (truth(call_method(c, SV_NAME("is_inference_mode_enabled"))))
        return Mode::inference;
    return truth(call_method(c, SV_NAME("is_grad_enabled"))) ? Mode::grad : Mode::no_grad;
}

} // namespace

ShapedRows::ShapedRows(py::handle self, py::handle skip_weights, py::handle view_tuple,
                       py::handle sample, Py_ssize_t count)
    : skip_(borrow(skip_weights.ptr())), count_(count), source_(borrow(skip_weights.ptr())) {
    py::object cache = cache_of(self);
    recorded_ = recording();
    shape_ = view_shape(self, cache, view_tuple, skip_weights, sample, recorded_);
    open_slot(cache);
}

void ShapedRows::open_slot(py::handle cache) {
    // Rows are kept only from a plain tensor (a module container or a tensor subclass holds
    // its rows its own way), and never while torch records this thread.
    if (recorded_ || !is_plain_tensor(skip_))
        return;
    Mode mode = autograd_mode();
    if (mode == Mode::grad && truth(attr(skip_, SV_NAME("requires_grad"))))
        return; // rows that record gradients are views of skip_weights itself
    RowSlot &slot = fields(cache).rows[static_cast<int>(mode)];
    py::object dtype = attr(skip_, SV_NAME("dtype"));
    if (slot.made_like(type_of(skip_), dtype, shape_, count_)) {
        // Held before is_set_to, which lets other threads run (and may run Python code): a call
        // that keeps other rows in this slot meanwhile does not hand them to this one.
        py::object rows = slot.rows, layout = slot.layout, device = slot.device;
        bool on_cpu = slot.on_cpu;
        if (truth(call_method(skip_, SV_NAME("is_set_to"), layout))) {
            cached_ = std::move(rows);
            device_ = std::move(device);
            on_cpu_ = on_cpu;
            return;
        }
    }
    try {
        address_of(skip_);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_RuntimeError))
            throw;
        return; // a tensor without storage of its own has no layout to compare
    }
    cache_ = borrow(cache.ptr());
    slot_ = &slot;
    source_ = call_method(skip_, SV_NAME("detach"));
    made_.resize(static_cast<size_t>(count_ * (count_ - 1) / 2));
}

bool ShapedRows::view_whole() {
    if (recorded_ || !is_plain_tensor(skip_))
        return false;
    py::object sizes = attr(skip_, SV_NAME("shape"));
    if (length(sizes) != 3 || as_size(getitem(sizes, 0)) != count_ ||
        as_size(getitem(sizes, 1)) != count_)
        return false;
    // The view's sizes: (count, count) and the shape's own, when they are plain ints.
    py::list dims;
    dims.append(make_int(count_));
    dims.append(make_int(count_));
    if (PyLong_CheckExact(shape_.ptr())) {
        dims.append(shape_);
    } else if (PyList_CheckExact(shape_.ptr())) {
        for (py::handle size : shape_) {
            if (!PyLong_CheckExact(size.ptr()))
                return false;
            dims.append(size);
        }
    } else {
        return false;
    }
    try {
        blocks_ = call_method(call_method(source_, SV_NAME("view"), dims), SV_NAME("unbind"),
                              make_int(0));
    } catch (py::error_already_set &error) {
        // Sizes or strides that view refuses: the rows one at a time meet the same refusal
        // (or none) where they always did.
        if (!error.matches(PyExc_RuntimeError) && !error.matches(PyExc_TypeError))
            throw;
        return false;
    }
    return PyTuple_CheckExact(blocks_.ptr()) && PyTuple_GET_SIZE(blocks_.ptr()) == count_;
}

py::object ShapedRows::row(Py_ssize_t p, Py_ssize_t q) {
    if (cached_)
        return borrow(PyTuple_GET_ITEM(cached_.ptr(), index(p, q)));
    if (whole_ < 0)
        whole_ = view_whole() ? 1 : 0;
    py::object row;
    if (whole_) {
        if (unbound_at_ != p) {
            unbound_ = call_method(borrow(PyTuple_GET_ITEM(blocks_.ptr(), p)),
                                   SV_NAME("unbind"), make_int(0));
            unbound_at_ = p;
        }
        row = borrow(PyTuple_GET_ITEM(unbound_.ptr(), q));
    } else {
        if (receiving_at_ != p) {
            receiving_ = getitem(source_, make_int(p));
            receiving_at_ = p;
        }
        if (!columns_)
            columns_ = steal(PySlice_New(nullptr, nullptr, nullptr));
        row = getitem(receiving_, py::make_tuple(make_int(q), columns_));
        row = call_method(row, SV_NAME("view"), shape_);
    }
    if (!made_.empty())
        made_[static_cast<size_t>(index(p, q))] = row;
    return row;
}

py::object ShapedRows::row_for(Py_ssize_t p, Py_ssize_t q, py::handle value) {
    py::object made = row(p, q);
    if (cached_) {
        if (checked_.ptr() != value.ptr()) {
            // A value of the rows' own class on the CPU, like rows kept on the CPU, is on their
            // device: its is_cpu says so without making a device.
            same_device_ = on_cpu_ && type_of(value).ptr() == type_of(made).ptr()
                               ? truth(attr(value, SV_NAME("is_cpu")))
                               : equal(attr(value, SV_NAME("device")), device_);
            checked_ = borrow(value.ptr());
        }
        if (same_device_)
            return made;
    }
    return call_method(made, SV_NAME("to"), attr(value, SV_NAME("device")));
}

void ShapedRows::keep() {
    if (!slot_ || cached_)
        return;
    py::tuple rows(made_.size());
    for (size_t i = 0; i < made_.size(); ++i) {
        if (!made_[i])
            return; // a cascade that stopped early
        PyTuple_SET_ITEM(rows.ptr(), static_cast<Py_ssize_t>(i), made_[i].inc_ref().ptr());
    }
    py::object device = attr(skip_, SV_NAME("device"));
    bool on_cpu = truth(attr(skip_, SV_NAME("is_cpu")));
    py::object dtype = attr(skip_, SV_NAME("dtype"));
    replace(*slot_, RowSlot{std::move(rows), borrow(type_of(skip_).ptr()), source_, dtype, shape_,
                            device, on_cpu, count_});
}

} // namespace sorvith::block::rows
