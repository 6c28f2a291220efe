// The fused forward: a block whose L modules are copies of one nn.Linear, nn.Conv1d or
// nn.Conv2d runs them as one wide call (their weights side by side), and its cascade one
// contributing position at a time over all the later positions at once. Every output element
// is computed by the same operations on the same values as in the described forward, in the
// same order: a wider linear or convolution computes each output element as the same dot
// product, and the cascade's products and sums are elementwise, each position still receiving
// its terms in ascending order of the contributing position (no fused multiply-add).
//
// Off unless the module attribute `doing_fusion` is true. A call is fused only when nothing it
// does could show the difference (see `Fusion::Fusion`), and only for inputs the block has
// found to give the same bits both ways: the first call with a new input layout (shape,
// strides, alignment, torch's thread count, all of which may choose another kernel) runs the
// described forward, returns its result, and compares it bit for bit with the fused one.
#pragma once

#include "host/common.h"

#include <vector>

namespace sorvith::block {

namespace rows {
struct FusedWeights;
}

class Fusion {
  public:
    // Checks the call `self.forward(*args[1:], **kwargs)` of the block module `module`'s class.
    // `add_in_place`: the cascade of this block sums in place (ForwardRules).
    Fusion(py::handle module, py::handle args, py::handle kwargs, bool add_in_place);

    enum class Plan { described, fused, compare };
    Plan plan() const { return plan_; }

    // Plan::fused: the block's result.
    py::object run();

    // Plan::compare: records whether the fused forward gives `described` (the described
    // forward's result of this call) bit for bit, and returns `described`.
    py::object compare(py::object described);

  private:
    struct Entry; // one module of layer_array, as read for the checks
    struct PlainTensor;

    bool qualifies();
    bool make_weights(rows::FusedWeights &made, const std::vector<Entry> &entries,
                      py::handle dtype);
    bool rows_current(const rows::FusedWeights &fused);
    bool make_rows(rows::FusedWeights &made);
    bool rows_broadcast(py::handle shape);
    // The linear or convolution of the input with these weights (the wide ones, or a module's).
    py::object wide_forward(py::handle weight, py::handle bias);
    bool wide_call_matches();
    py::object stacked(py::handle wide, Py_ssize_t width);

    py::handle module_, args_, kwargs_, self_;
    py::object input_;
    bool in_place_;
    Plan plan_ = Plan::described;
    int kind_ = 0;
    Py_ssize_t count_ = 0, ndim_ = 0; // positions; the input's dimensions
    py::object conv_settings_;        // (stride, padding, dilation, groups)
    py::object state_;     // the block's fused weights (fused_weights.h)
    py::object signature_; // this call's input layout
    py::object skip_, shape_;
};

} // namespace sorvith::block
