#include "tensor_kind.h"

#include "host/modules.h"
#include "host/protocols.h"

namespace sorvith::block::rows {

namespace {

// module.name when `module` is imported, else null: nobody has made instances of a class
// that was never imported.
py::object class_if_imported(py::handle module, py::handle name) {
    py::object found = loaded_module(module);
    return found ? attr(found, name) : py::object();
}

long long as_long(py::handle value) {
    long long result = PyLong_AsLongLong(value.ptr());
    if (result == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return result;
}

} // namespace

bool is_plain_tensor(py::handle value) {
    py::handle type = type_of(value);
    py::object parameter = class_if_imported(SV_NAME("torch.nn"), SV_NAME("Parameter"));
    if (parameter && type.ptr() == parameter.ptr())
        return true;
    py::object tensor = class_if_imported(SV_NAME("torch"), SV_NAME("Tensor"));
    return tensor && type.ptr() == tensor.ptr();
}

bool is_fake_tensor(py::handle value) {
    py::object fake =
        class_if_imported(SV_NAME("torch._subclasses.fake_tensor"), SV_NAME("FakeTensor"));
    return fake && is_instance(value, fake);
}

bool is_meta(py::handle tensor) { return truth(attr(tensor, SV_NAME("is_meta"))); }

long long version_of(py::handle tensor) {
    PyObject *version = PyObject_GetAttr(tensor.ptr(), SV_NAME("_version").ptr());
    if (!version) {
        // Inference tensors raise a RuntimeError here, and count no versions.
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError))
            throw py::error_already_set();
        py::error_already_set error; // takes the error out while is_inference runs
        if (!truth(call_method(tensor, SV_NAME("is_inference"))))
            throw error;
        return -1;
    }
    return as_long(steal(version));
}

long long address_of(py::handle tensor) {
    return as_long(call_method(tensor, SV_NAME("data_ptr")));
}

} // namespace sorvith::block::rows
