#include "handled_exception.h"

namespace sorvith::utils_svp {

HandledException::HandledException(py::handle exception) {
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    PyObject *value = exception.ptr();
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
    Py_INCREF(type);
    Py_INCREF(value);
    PyErr_SetExcInfo(type, value, PyException_GetTraceback(value)); // steals all three
}

HandledException::~HandledException() { PyErr_SetExcInfo(type_, value_, traceback_); }

} // namespace sorvith::utils_svp
