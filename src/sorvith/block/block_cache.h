// What a block keeps between forward calls: where the view shape of its weight rows was last
// read from, and the weight rows themselves, shaped.
//
// The cache is kept beside the block, never in it: a table of this extension holds one cache
// per live block, found by the block's identity and dropped when the block dies (a weak
// reference). So a block's __dict__, its pickled form and its deep copies hold exactly the
// block's own state, and a copy starts with no cache. Nothing in the cache refers to the
// block's tensors in a way torch counts: the rows are views of a detached alias of
// skip_weights (block/shaped_rows.h), so torch.utils.swap_tensors and module conversion with
// swapping see no other holder.
//
// Every entry is checked against the tensor it was taken from at each use, so a cache that is
// stale or unknown is never wrong, only slower.
#pragma once

#include "host/common.h"

namespace sorvith::block {

// The rows skip_weights[p][q, :].view(shape) for 0 <= q < p < count, made under one autograd
// mode, in a tuple at index p * (p - 1) / 2 + q; and what they were made from.
struct RowSlot {
    PyObject *rows;
    PyObject *skip_type; // the type of skip_weights then (a plain tensor type)
    PyObject *layout;    // skip_weights.detach() then, which the rows are views of:
                         // skip.is_set_to(layout) while skip still has the same storage,
                         // offset, sizes and strides
    PyObject *dtype;     // skip's dtype then (is_set_to does not compare dtypes)
    PyObject *shape;     // the view-shape list (BlockCache::view_shape when they were made)
    PyObject *device;    // skip's device, which the rows share
    bool on_cpu;         // that device is the CPU
    Py_ssize_t count;
};

// One slot per autograd mode: rows made under one are never used under another. Rows that
// must record gradients for skip_weights are never kept (they would hold it).
enum class Mode { no_grad = 0, grad = 1, inference = 2 };

struct BlockCache {
    PyObject_HEAD
    // The view_tuple tensor the view shape comes from, and what was read from it: its values
    // (a list of ints, null until read), the version counter and data address they were read
    // at, and whether it was on the CPU then. A source that is not read yet has version -1.
    PyObject *view_source;
    PyObject *view_shape;
    long long view_version;
    long long view_address;
    bool view_on_cpu;
    RowSlot rows[3]; // by Mode
    PyObject *fused; // what the fused forward keeps (fused_weights.h), or null
};

// The block's cache, made empty when the block has none. A block that cannot be weakly
// referenced gets a new cache at each call, kept nowhere.
py::object cache_of(py::handle self);
inline BlockCache *fields(py::handle cache) { return reinterpret_cast<BlockCache *>(cache.ptr()); }

// Forgets the values read from `source`, keeping it as the source.
void set_view_source(BlockCache *cache, py::handle source);

// Replaces a slot's contents (a null `rows` empties it). Nothing runs Python code meanwhile, so
// another thread sees the old slot or the new one whole.
void set_rows(RowSlot &slot, py::handle rows, py::handle skip_type, py::handle layout,
              py::handle dtype, py::handle shape, py::handle device, bool on_cpu,
              Py_ssize_t count);

} // namespace sorvith::block
