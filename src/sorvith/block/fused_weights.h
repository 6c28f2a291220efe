// What a block keeps for its fused forward (fusion.h), in its cache (block_cache.h): its
// modules' weights and biases side by side, the weight rows of the batched cascade, and the
// input layouts already compared.
//
// Nothing here refers to the modules' tensors in a way torch counts: the record of what the
// wide weights were made from is each tensor's address (never dereferenced), a detached alias
// (the same storage, kept so that its address is not reused meanwhile) and its version. So
// torch.utils.swap_tensors and module conversion see no other holder. The wide weights are a
// copy, made again when any weight or bias is replaced, moved, cast or changed in place
// through torch (which moves its version counter).
#pragma once

#include "host/common.h"

#include <vector>

namespace sorvith::block {

struct FusedWeights {
    std::vector<PyObject *> sources; // weight, bias of each module (a bias may be None)
    std::vector<py::object> aliases; // source.detach(), None for a missing bias
    std::vector<long long> versions;
    py::object dtype;
    py::object weight, bias; // side by side along dimension 0; bias None when there are none
    Py_ssize_t width = 0;    // one module's output features or channels

    // Rows of the batched cascade, views of skip_alias (a detached skip_weights): tails[j] is
    // skip_weights[j+1:L, j, :] viewed to (L-1-j, *shape), for the contributing position j;
    // `shape` is the view shape with leading ones up to `ndim` dimensions.
    py::object skip_alias, skip_dtype, view_shape;
    Py_ssize_t count = 0, ndim = -1;
    std::vector<py::object> tails;
    py::object last_row;               // tails[L-2][0]: the main position's row from L-2
    std::vector<Py_ssize_t> row_shape; // the rows' shape after their first dimension

    // {input layout: whether the fused forward gives the described one's bits}
    py::object verdicts;
};

// The holder of a block cache's fused weights, made empty when it has none. Keep the holder
// while using its contents: Python code may run and another thread replace the cache's.
py::object fused_state(py::handle cache);
FusedWeights &contents(py::handle state);

} // namespace sorvith::block
