// Writing a file so that its path holds the old file or the new one, never a part of either.
#pragma once

#include "host/common.h"

#include <functional>

namespace sorvith::utils_svp {

// Runs `write(target)`, which writes a whole file at `target`, so that `path` ends up holding
// either the new file or, when anything fails or the process dies first, the file that was
// there before.
//
// `target` has the last name of `path` as given, in a new private folder made next to the file
// being replaced (next to the file a link at `path` points to, so the link stays and the file
// keeps its own name, while a writer that records its file's name records the one it was
// given). Once `write` returns, the new file is given the permission bits of the file it
// replaces (a new file keeps its writer's), synced to disk with them, and renamed onto the
// file; the new folder is removed and the file's folder synced. Until that rename the old file
// is untouched. On any error, KeyboardInterrupt included, the new folder
// and what is in it are removed and the error reaches the caller unchanged.
//
// `write(path)` runs in place instead, as a plain writer would, when `path` names something
// other than a regular file (a folder, a device), when nothing new can be made in its folder
// (a folder the process cannot write into, a name too long), or when the rename is refused.
// Uses the module's late-bound `os`.
void write_atomically(py::handle module, py::handle path,
                      const std::function<void(py::handle target)> &write);

} // namespace sorvith::utils_svp
