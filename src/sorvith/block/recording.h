// What torch does on the calling thread besides running operations: whether it records them
// (a trace) or runs them on stand-ins (fake tensors), and whether any mode intercepts them.
// All of these are per thread.
#pragma once

#include "host/common.h"

namespace sorvith::block {

// torch traces this thread or runs it on fake tensors: torch.jit.trace, FX symbolic tracing,
// or one of torch's own tracing dispatch modes (fake tensors, make_fx's proxy mode,
// functionalization), which torch.export and torch.onnx.export run under. Steps on other
// threads would escape such a trace, so a block runs them on the calling thread meanwhile.
// A torch.device context, a default device or a user's own mode is no trace: threads run.
bool tracing();

// tracing(), or any dispatch or function mode other than a torch.device context (which only
// sets where new tensors are made) intercepts operations on this thread: a block then keeps
// and reuses nothing, so the mode sees every operation the cascade makes, and reads what it
// needs of buffers with the modes set aside.
bool recording();

// Autocast is on for some device on this thread.
bool autocasting();

// Calls `body` with torch's dispatch and function modes set aside on this thread: what it
// reads from a real tensor is neither traced nor turned into a fake.
template <typename Body> py::object outside_modes(Body &&body);

namespace detail { // of outside_modes
py::object modes_off(); // a list of the entered context managers
void modes_on(py::handle entered);
} // namespace detail

template <typename Body> py::object outside_modes(Body &&body) {
    py::object entered = detail::modes_off();
    try {
        py::object result = body();
        detail::modes_on(entered);
        return result;
    } catch (py::error_already_set &) {
        detail::modes_on(entered); // the error is held by the exception meanwhile
        throw;
    }
}

} // namespace sorvith::block
