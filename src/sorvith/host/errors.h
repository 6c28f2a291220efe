// The host's own errors, raised with the types and message forms of the running interpreter,
// and exceptions carried from one place to another: across threads, or into an `except`
// block's context.
#pragma once

#include "common.h"

#include <utility>

namespace sorvith {

// The host's error for a local variable read before assignment.
[[noreturn]] void raise_unbound_local(const char *name);

// `first, second = value`, with the host's unpacking errors.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// Catching the current exception on one thread and raising it unchanged (type, value,
// traceback) on another.
py::object take_current_exception();
[[noreturn]] void raise_exception_object(py::handle exception);

// While alive, `exception` is the exception being handled (what sys.exc_info() reports), so
// that any error raised meanwhile gets it as its __context__, as the host does for code in an
// except block. The previous handled exception is put back on destruction.
class HandledException {
  public:
    explicit HandledException(py::handle exception);
    ~HandledException();
    HandledException(const HandledException &) = delete;
    HandledException &operator=(const HandledException &) = delete;

  private:
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
};

} // namespace sorvith
