// A module's names as Python code sees them: globals read from the module's namespace at each
// use (so a caller who assigns a module attribute changes every later call), and print and
// sys.exit through the module's own bindings. The module look-ups that bind those names at
// import time come with it (modules.h).
#pragma once

#include "common.h"
#include "modules.h"

#include <type_traits>

namespace sorvith {

// A module-level name of `module`, read from its __dict__ at each use and falling back to
// builtins as Python's global lookup does (NameError when neither has it).
py::object global(py::handle module, py::handle name);

// print(value), through the module's (or the builtin) print.
void print(py::handle module, py::handle value);
void print(py::handle module, const char *text);

// An unqualified print(module, value) also finds pybind11's variadic print by argument-dependent
// lookup, and that one wins whenever an argument is not exactly a py::handle (a py::object, a
// PyObject *, a py::str temporary): it would print the module too and bypass the module's print.
// This overload is the better match for every two-argument call and sends it to the ones above.
template <typename Module, typename Value> void print(Module &&module, Value &&value) {
    if constexpr (std::is_convertible_v<Value, const char *>)
        sorvith::print(py::handle(module), static_cast<const char *>(value));
    else
        sorvith::print(py::handle(module), py::handle(value));
}

// sys.exit(status) through the module's own `sys`; with a null status, sys.exit() without an
// argument. SystemExit (or whatever a replaced exit raises) reaches the caller; a replaced exit
// that returns lets the caller go on, as Python code after sys.exit would.
void exit_process(py::handle module, py::handle status);

} // namespace sorvith
