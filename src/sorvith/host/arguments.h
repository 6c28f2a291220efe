// The arguments of the public calls, checked and converted alike in every module: the network
// a call works on, the paths it is given, and notes that tell a caller how to mend a mistake.
#pragma once

#include "common.h"

namespace sorvith {

// TypeError "<function>: <argument> must be a torch.nn.Module ..., not <what it is>" unless
// `value` is an instance of `nn.Module`, read from `module`'s late-bound `nn`. A class passed
// for its instance (`Classifier` for `Classifier()`) is named as such.
void require_module(py::handle module, py::handle value, const char *function,
                    const char *argument);

// os.fspath(value) for an os.PathLike (pathlib.Path and the like); any other value unchanged,
// so that what the call does with it (joining it to "/", opening it) raises as before.
py::object path_argument(py::handle value);

// exception.add_note(note) where the interpreter has exception notes (3.11 and newer); false
// where it has none, the exception left as it is.
bool add_note(py::handle exception, py::handle note);

// What the first bytes of the file at `path` say it is. `unknown` for a file that cannot be
// opened or read, or that is neither.
enum class FileKind {
    unknown,
    zip,         // "PK\x03\x04": a zip archive, as torch.save writes
    safetensors, // an 8-byte little-endian header length, then the JSON header's "{"
};
FileKind file_kind(py::handle path);

} // namespace sorvith
