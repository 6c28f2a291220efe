// A slot of a block's row cache: the rows of its last complete cascade under one autograd
// mode, and what they were made from (shaped_rows.h says when they are used again).
#pragma once

#include "host/common.h"

#include <initializer_list>

namespace sorvith::block::rows {

// One slot per autograd mode: rows made under one are never used under another. Rows that
// must record gradients for skip_weights are never kept (they would hold it).
enum class Mode { no_grad = 0, grad = 1, inference = 2 };
constexpr int mode_count = 3;

struct RowSlot {
    // skip_weights[p][q, :].view(shape) for 0 <= q < p < count, in a tuple at index
    // p * (p - 1) / 2 + q; null while the slot is empty.
    py::object rows;
    py::object skip_type; // the type of skip_weights then (a plain tensor type)
    py::object layout;    // skip_weights.detach() then, which the rows are views of:
                          // skip.is_set_to(layout) while skip still has the same storage,
                          // offset, sizes and strides
    py::object dtype;     // skip's dtype then (is_set_to does not compare dtypes)
    py::object shape;     // the view-shape list the rows were made with
    py::object device;    // skip's device, which the rows share
    bool on_cpu = false;  // that device is the CPU
    Py_ssize_t count = 0;

    // Whether the rows were made from a tensor of this type and dtype, with this very shape
    // list and count. Their layout is compared by the caller (is_set_to may run Python code).
    bool made_like(py::handle type, py::handle skip_dtype, py::handle view_shape,
                   Py_ssize_t positions) const {
        return rows && skip_type.ptr() == type.ptr() && dtype.ptr() == skip_dtype.ptr() &&
               shape.ptr() == view_shape.ptr() && count == positions;
    }

    // Every reference the slot holds (for the garbage collector).
    template <typename Visit> void each_reference(Visit &&visit) {
        for (py::object *held : {&rows, &skip_type, &layout, &dtype, &shape, &device})
            visit(*held);
    }
};

} // namespace sorvith::block::rows
