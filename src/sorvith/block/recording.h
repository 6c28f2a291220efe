// Whether torch is recording or redirecting what runs on the calling thread: torch.jit.trace,
// or any dispatch or function mode (torch.export and torch.onnx.export, fake tensors, make_fx,
// a torch.device context, operation counters). All of these are per thread, so while one is
// active a block runs its steps on the calling thread and reads only what a trace may see.
#pragma once

#include "host/common.h"

namespace sorvith::block {

bool recording();

// torch._C, as imported.
py::object torch_c();

// Calls `body` with torch's dispatch and function modes set aside on this thread: what it
// reads from a real tensor is neither traced nor turned into a fake.
template <typename Body> py::object outside_modes(Body &&body);

// Implementation details of outside_modes.
py::object modes_off(); // a list of the entered context managers
void modes_on(py::handle entered);

template <typename Body> py::object outside_modes(Body &&body) {
    py::object entered = modes_off();
    try {
        py::object result = body();
        modes_on(entered);
        return result;
    } catch (py::error_already_set &) {
        modes_on(entered); // the error is held by the exception meanwhile
        throw;
    }
}

} // namespace sorvith::block
