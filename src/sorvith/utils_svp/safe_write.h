// Writing a file so that a failed write loses nothing that was there before.
#pragma once

#include "host/common.h"

#include <functional>

namespace sorvith::utils_svp {

// Runs `write`, which writes the file at `path`. A regular file already at `path` is moved
// aside to a fresh name in the same folder first, removed once `write` returns, and moved back
// if `write` raises; without one, a partial file left by a failed `write` is removed. The
// error of `write` reaches the caller unchanged. Uses the module's late-bound `os`.
void write_keeping_previous(py::handle module, py::handle path, const std::function<void()> &write);

} // namespace sorvith::utils_svp
