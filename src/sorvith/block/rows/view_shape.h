// The shape each skip-weight row takes in the cascade: the values of the block's `view_tuple`
// buffer, as a list of ints.
//
// Those values are data, and a tracer's fake tensors (torch.export, torch.onnx.export) and
// meta tensors have none. So each block keeps the tensor it reads them from (block_cache.h):
// - view_tuple with data: its values (kept in the block's ViewSource), read again whenever the tensor is another object, its
//   version counter moved (an in-place change, a loaded state dict) or its data moved, and
//   at every call while it is on the CPU (a write through `.data` or numpy moves no counter);
// - a fake view_tuple: the values of the real tensor the tracer made it from, found through
//   the fake tensor's own mode; a fake made from nothing raises a RuntimeError that says so;
// - a meta view_tuple: the values of the last real view_tuple the block knew (from its
//   construction, its loading or its last call), which moving the block to meta does not
//   change; with none known (a copy, or a block read from a file, moved to meta before any
//   call), the shape the outputs' shapes call for (-1 where an output has the rows' width),
//   which gives the output shapes any valid values give; a RuntimeError where they do not
//   tell.
// Reading happens with torch's dispatch and function modes set aside, so a trace records no
// read of a buffer.
#pragma once

#include "host/common.h"

#include <initializer_list>

namespace sorvith::block::rows {

// The view_tuple tensor a block's view shape comes from, and what was read from it (an entry of
// the block's cache, block_cache.h).
struct ViewSource {
    py::object tensor;
    py::object values;      // a list of ints, null until read
    long long version = -1; // the version counter and data address they were read at
    long long address = 0;
    bool on_cpu = false; // whether the tensor was on the CPU then

    // `tensor` as the source, its values not read yet.
    static ViewSource unread(py::handle tensor) {
        ViewSource source;
        source.tensor = borrow(tensor.ptr());
        return source;
    }

    template <typename Visit> void each_reference(Visit &&visit) {
        for (py::object *held : {&tensor, &values})
            visit(*held);
    }
};

// `cache` is the block's (block_cache.h); `sample` is an output the rows multiply (only read
// for a meta view_tuple of unknown values). `recorded`: whether torch records this thread
// (block/recording.h).
py::object view_shape(py::handle self, py::handle cache, py::handle view_tuple,
                      py::handle skip_weights, py::handle sample, bool recorded);

// Keeps `view_tuple` as the block's source of its view shape (its values are read at the
// first call that needs them).
void remember_view_tuple(py::handle self, py::handle view_tuple);

} // namespace sorvith::block::rows
