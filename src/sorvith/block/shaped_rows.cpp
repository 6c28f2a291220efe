#include "shaped_rows.h"

#include "host/protocols.h"
#include "recording.h"
#include "tensor_kind.h"

namespace sorvith::block {

namespace {

Mode autograd_mode() {
    py::object c = torch_c();
    if (truth(call_method(c, SV_NAME("is_inference_mode_enabled"))))
        return Mode::inference;
    return truth(call_method(c, SV_NAME("is_grad_enabled"))) ? Mode::grad : Mode::no_grad;
}

} // namespace

ShapedRows::ShapedRows(py::handle cache, py::handle skip_weights, py::handle shape,
                       Py_ssize_t count, bool recorded)
    : skip_(borrow(skip_weights.ptr())), shape_(borrow(shape.ptr())), count_(count) {
    if (recorded)
        return;
    Mode mode = autograd_mode();
    RowSlot &slot = fields(cache)->rows[static_cast<int>(mode)];
    requires_grad_ =
        mode == Mode::grad && truth(attr(skip_weights, SV_NAME("requires_grad"))) ? 1 : 0;
    // The rows are views of skip_weights: a value changed in place, through any alias, shows in
    // them. They stand while it is the tensor they came from, of the type it had then, with the
    // storage, offset, sizes and strides they were made from (is_set_to), which an assignment
    // to .data, a move, a cast or set_() changes.
    if (slot.rows && slot.skip == skip_weights.ptr() &&
        slot.skip_type == type_of(skip_weights).ptr() && slot.shape == shape_.ptr() &&
        slot.count == count_ && slot.requires_grad == requires_grad_) {
        // Held before is_set_to, which lets other threads run (and may run Python code): a call
        // that keeps other rows in this slot meanwhile does not hand them to this one.
        py::object rows = borrow(slot.rows), layout = borrow(slot.layout),
                   device = borrow(slot.device);
        bool on_cpu = slot.on_cpu;
        if (truth(call_method(skip_weights, SV_NAME("is_set_to"), layout))) {
            cached_ = std::move(rows);
            device_ = std::move(device);
            on_cpu_ = on_cpu;
            return;
        }
    }
    // New rows are kept only from a plain tensor with storage of its own.
    if (!is_plain_tensor(skip_weights))
        return;
    try {
        address_of(skip_weights);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_RuntimeError))
            throw;
        return; // a tensor without storage of its own has no layout to compare
    }
    cache_ = borrow(cache.ptr());
    slot_ = &slot;
    made_.resize(static_cast<size_t>(count_ * (count_ - 1) / 2));
}

py::object ShapedRows::row(Py_ssize_t p, Py_ssize_t q) {
    if (cached_)
        return borrow(PyTuple_GET_ITEM(cached_.ptr(), index(p, q)));
    if (receiving_at_ != p) {
        receiving_ = getitem(skip_, make_int(p));
        receiving_at_ = p;
    }
    if (!columns_)
        columns_ = steal(PySlice_New(nullptr, nullptr, nullptr));
    py::object row = getitem(receiving_, py::make_tuple(make_int(q), columns_));
    row = call_method(row, SV_NAME("view"), shape_);
    if (!made_.empty())
        made_[static_cast<size_t>(index(p, q))] = row;
    return row;
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
    py::object layout = call_method(skip_, SV_NAME("detach"));
    set_rows(*slot_, rows, skip_, layout, shape_, device, on_cpu, count_, requires_grad_);
}

} // namespace sorvith::block
