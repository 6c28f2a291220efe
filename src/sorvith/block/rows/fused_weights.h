// What a block keeps for its fused forward (block/fusion.h), in its cache (block_cache.h): its
// modules' weights and biases side by side, the weight rows of the batched cascade, and the
// input layouts already compared.
//
// Nothing here refers to the modules' tensors in a way torch counts: the record of what the
// wide weights were made from is each tensor's address (never dereferenced), a detached alias
// (the same storage, kept so that its address is not reused meanwhile) and its version. So
// torch.utils.swap_tensors and module conversion see no other holder. The wide weights are a
// copy, made again when any weight or bias is replaced, moved, cast, re-laid out or changed in
// place through torch (which moves its version counter); a write that no version counter
// sees (through `.data` or numpy) is not.
#pragma once

#include "host/common.h"

#include <vector>

namespace sorvith::block::rows {

// Made whole, then published in the cache and never changed (but for its verdicts, a dict):
// a call that holds one keeps a consistent view while another thread replaces it.
struct FusedWeights {
    std::vector<PyObject *> sources; // weight, bias of each module (a bias may be None)
    std::vector<py::object> aliases; // source.detach(), None for a missing bias
    std::vector<long long> versions;
    py::object dtype;
    py::object weight, bias; // side by side along dimension 0; bias None when there are none
    Py_ssize_t width = 0;    // one module's output features or channels

    // Rows of the batched cascade, views of skip_alias (a detached skip_weights): tails[j] is
    // skip_weights[j+1:L, j, :] viewed to (L-1-j, *row_shape) for the contributing position
    // j, and last_row is tails[L-2][0], the main position's row from L-2. row_shape is the
    // view shape with its -1 resolved and leading ones up to `ndim` dimensions.
    py::object skip_alias, skip_dtype, view_shape;
    Py_ssize_t count = 0, ndim = -1;
    std::vector<py::object> tails;
    py::object last_row;
    std::vector<Py_ssize_t> row_shape;

    // {input layout: whether the fused forward gives the described one's bits}, emptied with
    // every new FusedWeights.
    py::object verdicts;
};

// The cache's entry: a capsule holding a FusedWeights, or null.
struct FusedSlot {
    py::object state;

    template <typename Visit> void each_reference(Visit &&visit) { visit(state); }
};

// The FusedWeights published in `cache`, or null.
py::object fused_state(py::handle cache);
const FusedWeights &contents(py::handle state);

// Publishes `made` (with new, empty verdicts) in `cache`; returns its holder.
py::object publish(py::handle cache, FusedWeights made);

} // namespace sorvith::block::rows
