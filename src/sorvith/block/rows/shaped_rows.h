// The weight rows of one cascade: skip_weights[p][q, :] viewed to the view shape, for each
// receiving position p and contributing position q < p, on the device of the value each is
// added to. This is all the cascade asks of the row cache.
//
// Making them costs three torch calls a row, more than the multiply and add that use them, so
// a block keeps the rows of its last complete cascade (block_cache.h, slot.h) and uses them again
// while nothing they came from has changed: skip_weights of the same type and dtype, with the
// same storage, offset, sizes and strides (an assignment to `.data`, a move, a cast, set_() or
// a swap of its tensor changes these), the same view shape (view_shape.h) and the same number
// of positions. Kept rows are views of `skip_weights.detach()`: they share its memory and its
// version counter, so values changed in place (a loaded state dict, an optimiser step, a write
// through any alias) show in them and autograd still sees such changes, but they hold no
// reference to skip_weights' own tensor, which torch.utils.swap_tensors would count. Each
// autograd mode (inference mode, no-grad, grad) has rows of its own. Rows that record
// gradients for skip_weights (grad mode, requires_grad set) must be views of skip_weights
// itself: they are made at each call and kept nowhere. While torch records this thread
// nothing is kept or reused either, so a trace sees every row made from skip_weights.
//
// Rows not taken from the cache are made one at a time, when the cascade first needs them and
// in its order, as the cascade always made them: an error comes at the same point.
#pragma once

#include "block_cache.h"
#include "host/common.h"

#include <vector>

namespace sorvith::block::rows {

class ShapedRows {
  public:
    // The rows of one cascade over `count` positions of block `self`, from its skip_weights
    // and view_tuple as read for this call. `sample` is the output the first row multiplies
    // (read only for a meta view_tuple of unknown values, view_shape.h).
    ShapedRows(py::handle self, py::handle skip_weights, py::handle view_tuple,
               py::handle sample, Py_ssize_t count);

    // Row (p, q) on the device of `value`, the value it is added to:
    // skip_weights[p][q, :].view(shape).to(value.device), which is the row itself when it is
    // there already.
    py::object row_for(Py_ssize_t p, Py_ssize_t q, py::handle value);

    // After the cascade has used every row: keeps the rows made by this call for later ones.
    void keep();

  private:
    static Py_ssize_t index(Py_ssize_t p, Py_ssize_t q) { return p * (p - 1) / 2 + q; }

    // Chooses where the rows come from: the slot of this autograd mode, or made anew.
    void open_slot(py::handle cache);
    // Row (p, q): skip_weights[p][q, :].view(shape).
    py::object row(Py_ssize_t p, Py_ssize_t q);
    // Whether the rows can come from one view of the whole tensor (see blocks_).
    bool view_whole();

    bool recorded_ = false; // torch records this thread (block/recording.h): nothing kept or reused
    py::object skip_, shape_;
    Py_ssize_t count_;

    py::object cache_; // the block's cache, holding slot_
    RowSlot *slot_ = nullptr;
    py::object cached_; // the slot's tuple on a hit, with the rows' device
    py::object device_;
    bool on_cpu_ = false;
    // The value whose device was last compared with the cached rows', and the outcome.
    py::object checked_;
    bool same_device_ = false;

    py::object source_; // what new rows are cut from: skip_, or its detached alias when kept
    std::vector<py::object> made_;
    // A (count, count, W) skip_weights viewed whole to (count, count, *shape) and unbound
    // along its first dimension: row (p, q) is then blocks_[p].unbind(0)[q], the same view of
    // the same values, in count + 2 torch calls where one row at a time takes three a row.
    // Not while torch records, so a trace sees the rows made as they always were.
    int whole_ = -1; // not tried yet; 0: rows are made one at a time
    py::object blocks_, unbound_;
    Py_ssize_t unbound_at_ = -1;
    py::object columns_;   // the full slice, made with the first row
    py::object receiving_; // skip_weights[p] for the p of the last row made
    Py_ssize_t receiving_at_ = -1;
};

} // namespace sorvith::block::rows
