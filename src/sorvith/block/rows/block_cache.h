// What a block keeps between forward calls: where the view shape of its weight rows was last
// read from, and the weight rows themselves, shaped.
//
// The cache is kept beside the block, never in it: a table of this extension holds one cache
// per live block, found by the block's identity and dropped when the block dies (a weak
// reference). So a block's __dict__, its pickled form and its deep copies hold exactly the
// block's own state, and a copy starts with no cache. Nothing in the cache refers to the
// block's tensors in a way torch counts: the rows are views of a detached alias of
// skip_weights (shaped_rows.h), so torch.utils.swap_tensors and module conversion with
// swapping see no other holder.
//
// Every entry is checked against the tensor it was taken from at each use, so a cache that is
// stale or unknown is never wrong, only slower.
#pragma once

#include "host/common.h"
#include "fused_weights.h"
#include "slot.h"
#include "view_shape.h"

#include <utility>

namespace sorvith::block::rows {

// What a block keeps, one member per kind of entry. Each kind has each_reference (the
// references it holds, for the garbage collector); another kind (values made from the
// layer_array entries' weights) is one more member and one more line in each_entry.
struct BlockCache {
    ViewSource view;
    RowSlot rows[mode_count]; // by Mode
    FusedSlot fused;          // what the fused forward keeps (fused_weights.h)

    template <typename Visit> void each_entry(Visit &&visit) {
        visit(view);
        for (RowSlot &slot : rows)
            visit(slot);
        visit(fused);
    }
};

// Puts `made` in the place of `entry`. The old references are dropped only after the swap, so
// no Python code runs meanwhile: another thread sees the old entry or the new one whole.
template <typename Entry> void replace(Entry &entry, Entry made) { std::swap(entry, made); }

// The Python object that holds a block's cache in the table.
struct CacheObject {
    PyObject_HEAD
    BlockCache cache;
};

// The block's cache (a CacheObject), made empty when the block has none. A block that cannot be
// weakly referenced gets a new cache at each call, kept nowhere.
py::object cache_of(py::handle self);
inline BlockCache &fields(py::handle cache) {
    return reinterpret_cast<CacheObject *>(cache.ptr())->cache;
}

} // namespace sorvith::block::rows
