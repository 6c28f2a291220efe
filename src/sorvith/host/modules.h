// Modules by name. Two ways to look one up: `import` goes through the import system (and
// imports what is not there yet); `loaded_module` only reads sys.modules, for hot paths and for
// tests that need a module only when someone has imported it (nobody has instances of a class
// that was never imported). `imported` is the second, falling back to the first.
#pragma once

#include "handles.h"

namespace sorvith {

// import name (the submodule itself for a dotted name) and `from name import attr`.
py::object import(const char *name);
py::object import_from(const char *name, const char *attr);

// sys.modules[name], or a null object when no such module was imported: a plain dictionary
// read.
py::object loaded_module(py::handle name);

// sys.modules[name] when it is there, else import name: the module as imported, without going
// through the import system at every use.
py::object imported(py::handle name);

// A name an extension binds at import time (host/pyclass.h's bind_imports): the module itself
// (`import module`, through `importer`), or with `attribute`, `from module import attribute`.
struct Import {
    const char *name;
    const char *module;
    const char *attribute = nullptr;
    py::object (*importer)(const char *module) = import;
};

// The imports that more than one extension binds, each under the same name in every one (nn
// is torch.nn wherever it is bound). The companion's are companion/nevrane.h's.
namespace imports {
inline constexpr Import torch{"torch", "torch"};
inline constexpr Import nn{"nn", "torch.nn"};
inline constexpr Import np{"np", "numpy"};
inline constexpr Import copy{"copy", "copy"};
inline constexpr Import pdb{"pdb", "pdb"};
inline constexpr Import Thread{"Thread", "threading", "Thread"};
inline constexpr Import load_file{"load_file", "safetensors.torch", "load_file"};
} // namespace imports

} // namespace sorvith
