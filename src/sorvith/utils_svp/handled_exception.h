// Running code as if inside an `except` (or the error path of a `finally`) block.
#pragma once

#include "companion/common.h"

namespace sorvith::utils_svp {

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

} // namespace sorvith::utils_svp
