// What a block keeps between forward calls: where the view shape of its weight rows was last
// read from, and the weight rows themselves, shaped. It lives in the block's instance dict
// under "0_cascade_cache", so it goes wherever the block goes; a name that starts with a digit
// is not among the members nn.Module.__dir__ lists, which the network walks visit.
//
// Every entry is checked against the tensor it was taken from at each use, so a cache that is
// stale, shared (copy.copy of a block) or unknown is never wrong, only slower. A deep copy
// keeps the copied source tensor and forgets everything read from it; pickling keeps the
// source tensor alone (the cache pickles as a one-element tuple, which a block adopts).
#pragma once

#include "host/common.h"

namespace sorvith::block {

// The rows skip_weights[p][q, :].view(shape) for 0 <= q < p < count, made under one autograd
// mode, in a tuple at index p * (p - 1) / 2 + q; and what they were made from.
struct RowSlot {
    PyObject *rows;
    PyObject *skip;   // the skip_weights tensor
    PyObject *skip_type; // its type then (a plain tensor type)
    PyObject *layout; // skip.detach() then: skip.is_set_to(layout) while skip still has the
                      // same storage, offset, sizes and strides
    PyObject *shape;  // the view-shape list (BlockCache::view_shape when they were made)
    PyObject *device; // skip's device, which the rows share
    bool on_cpu;      // that device is the CPU
    Py_ssize_t count;
    int requires_grad;
};

// One slot per autograd mode: rows made under one are never used under another.
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
};

// The block's cache, made (empty, or from a one-element tuple left by unpickling) when the
// block has none of this kind.
py::object cache_of(py::handle self);
inline BlockCache *fields(py::handle cache) { return reinterpret_cast<BlockCache *>(cache.ptr()); }

// Forgets the values read from `source`, keeping it as the source.
void set_view_source(BlockCache *cache, py::handle source);

// Replaces a slot's contents (a null `rows` empties it). Nothing runs Python code meanwhile, so
// another thread sees the old slot or the new one whole.
void set_rows(RowSlot &slot, py::handle rows, py::handle skip, py::handle layout,
              py::handle shape, py::handle device, bool on_cpu, Py_ssize_t count,
              int requires_grad);

} // namespace sorvith::block
