// What the modules need of the host interpreter, done the way Python code would do it:
// late-bound module globals, print, sys.exit, truth and comparison through the object
// protocols, and the host's own error types and messages.
#pragma once

#include "common.h"

#include <type_traits>
#include <vector>

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

bool truth(py::handle value);                       // bool(value)
bool equal(py::handle a, py::handle b);             // bool(a == b)
bool not_equal(py::handle a, py::handle b);         // bool(a != b)
bool contains(py::handle container, py::handle item); // item in container
bool is_subclass(py::handle cls, py::handle base);  // issubclass(cls, base)
inline py::handle type_of(py::handle obj) { return reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())); }

// attr(obj, name, None): only an AttributeError turns into None.
py::object attr_or_none(py::handle obj, py::handle name);

// The probe of the network walks: getattr(obj, name, None), true when it could be read. Any
// error while reading means "pass over this member" and is dropped, except an interrupt or an
// exit (a BaseException that is not an Exception), which reaches the caller: a Ctrl-C during a
// long walk still stops it.
bool probe_member(py::handle obj, py::handle name);

// The modules a network walk is inside, outermost first. A member or child that is one of
// them (identity) is treated like a self reference, so a back-reference to an ancestor cannot
// send a walk round a cycle.
using WalkPath = std::vector<PyObject *>;
bool on_path(const WalkPath &path, py::handle candidate);

// One level of the interpreter's recursion limit, held for a scope as a Python call would hold
// it: a network nested too deeply makes a walk raise RecursionError, not overflow the C stack.
class RecursionLevel {
  public:
    RecursionLevel();
    ~RecursionLevel();
    RecursionLevel(const RecursionLevel &) = delete;
    RecursionLevel &operator=(const RecursionLevel &) = delete;
};

// a + b, and a += b (the in-place protocol).
py::object add(py::handle a, py::handle b);
py::object add_in_place(py::handle a, py::handle b);

// The host's error for a local variable read before assignment.
[[noreturn]] void raise_unbound_local(const char *name);

// `first, second = value`, with the host's unpacking errors.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// callee(*args, **kwargs) where args may be any iterable and kwargs must be a mapping,
// raising the host's errors for a call site written with * and **.
py::object call_unpacked(py::handle callee, py::handle args, py::handle kwargs);

// Catching an exception on one thread and raising it unchanged (type, value, traceback) on
// another.
py::object take_current_exception();
[[noreturn]] void raise_exception_object(py::handle exception);

} // namespace sorvith
