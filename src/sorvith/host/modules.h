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

} // namespace sorvith
