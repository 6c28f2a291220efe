// What kind of tensor a value is, and the facts the block engine keys its caches on.
#pragma once

#include "host/common.h"

namespace sorvith::block::rows {

// A plain torch.Tensor or nn.Parameter (exact types): its data, if any, is its own, and its
// identity, version counter and data address say when that data changes.
bool is_plain_tensor(py::handle value);

// A fake tensor of torch's fake-tensor mode (a tracer's stand-in, with no data).
bool is_fake_tensor(py::handle value);

bool is_meta(py::handle tensor); // tensor.is_meta

// tensor._version, or -1 for an inference tensor, which counts no versions (it can change in
// place unseen, so nothing read from it may be kept).
long long version_of(py::handle tensor);
long long address_of(py::handle tensor); // tensor.data_ptr()

} // namespace sorvith::block::rows
