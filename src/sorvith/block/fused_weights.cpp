#include "fused_weights.h"

#include "block_cache.h"

namespace sorvith::block {

namespace {

const char *capsule_name() { return "sorvith.FusedWeights"; }

void destroy(PyObject *capsule) {
    delete static_cast<FusedWeights *>(PyCapsule_GetPointer(capsule, capsule_name()));
}

} // namespace

py::object fused_state(py::handle cache) {
    BlockCache *fields_ = fields(cache);
    if (fields_->fused)
        return borrow(fields_->fused);
    auto *made = new FusedWeights();
    PyObject *capsule = PyCapsule_New(made, capsule_name(), &destroy);
    if (!capsule) {
        delete made;
        throw py::error_already_set();
    }
    py::object state = steal(capsule);
    made->verdicts = steal(PyDict_New());
    fields_->fused = state.inc_ref().ptr();
    return state;
}

FusedWeights &contents(py::handle state) {
    return *static_cast<FusedWeights *>(PyCapsule_GetPointer(state.ptr(), capsule_name()));
}

} // namespace sorvith::block
