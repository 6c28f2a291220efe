#include "fused_weights.h"

#include "block_cache.h"

#include <memory>

namespace sorvith::block::rows {

namespace {

const char *capsule_name() { return "sorvith.FusedWeights"; }

void destroy(PyObject *capsule) {
    delete static_cast<FusedWeights *>(PyCapsule_GetPointer(capsule, capsule_name()));
}

} // namespace

py::object fused_state(py::handle cache) { return fields(cache).fused.state; }

const FusedWeights &contents(py::handle state) {
    return *static_cast<FusedWeights *>(PyCapsule_GetPointer(state.ptr(), capsule_name()));
}

py::object publish(py::handle cache, FusedWeights made) {
    made.verdicts = steal(PyDict_New());
    auto owned = std::make_unique<FusedWeights>(std::move(made));
    py::object state = steal(PyCapsule_New(owned.get(), capsule_name(), &destroy));
    owned.release();
    replace(fields(cache).fused, FusedSlot{state});
    return state;
}

} // namespace sorvith::block::rows
