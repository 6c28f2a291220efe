// Running the steps of one block forward call on host threads.
//
// A threaded call hands its steps an outputs list of a small list subclass that also carries
// (a) the caller's autograd state (grad mode, inference mode, autocast), which torch keeps
// per thread, so that each worker computes under the caller's state as torch's own
// parallel_apply does, and (b) one slot per position for an exception raised by that step,
// so that forward can re-raise it after the joins instead of failing later on an empty slot.
// Called with a plain list (sequential mode, or directly by a user), a step just runs.
#pragma once

#include "host/common.h"

#include <utility>

namespace sorvith::block {

// A new outputs list of `size` None entries that carries the caller's state (threaded mode).
// Sequential mode uses a plain list.
py::object make_outputs(Py_ssize_t size);

// Thread(target=target, args=args, kwargs=kwargs), through the module's late-bound Thread.
py::object make_thread(py::handle module, py::handle target, py::handle args, py::handle kwargs);

// Runs `body` for step `position`. On a carrying outputs list it runs under the caller's
// state and keeps an exception for forward to re-raise; otherwise it just runs.
template <typename Body> void run_step(py::handle outputs, py::handle position, Body &&body);

// After the joins: raises, unchanged, the exception of the lowest failing position.
void reraise_first_error(py::handle outputs);

// Whether `outputs` is such a carrying list.
bool is_carrier(py::handle outputs);

namespace detail { // of run_step
class CallerState {
  public:
    explicit CallerState(py::handle outputs);
    ~CallerState();
    CallerState(const CallerState &) = delete;
    CallerState &operator=(const CallerState &) = delete;

  private:
    py::object torch_;
    py::object entered_; // context managers entered, innermost last
    int previous_grad_ = -1;
};
void keep_error(py::handle outputs, py::handle position);
} // namespace detail

template <typename Body> void run_step(py::handle outputs, py::handle position, Body &&body) {
    if (!is_carrier(outputs)) {
        body();
        return;
    }
    try {
        detail::CallerState state(outputs);
        body();
    } catch (py::error_already_set &error) {
        error.restore();
        detail::keep_error(outputs, position);
    }
}

} // namespace sorvith::block
