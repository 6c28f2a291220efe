// The combined skip tensor of an NVRLayer: a (count, count, W) tensor built from the skip list
// (the companion's weight parameters, one entry per receiving block). Rows the list holds are
// copied; every other row is a filler row of normal draws with the list's mean and standard
// deviation, and the first filler slots also carry the marker values.
#pragma once

#include "host/common.h"


namespace sorvith::blockwise_svp {

// The new skip tensor for `skip_list`, with numpy's global generator (np.random) supplying the
// filler draws in (receiving block, contributing block, position) order. The result has the
// default dtype and device and is not yet a parameter.
py::object build_skip_tensor(py::handle module, py::handle skip_list);

} // namespace sorvith::blockwise_svp
