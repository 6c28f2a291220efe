// The forward computation that every dendritic block shares: run each dendrite module and the
// main module on the call's inputs (one after another, or each on a host thread), then combine
// the outputs in the skip-weight cascade.
//
// A block holds `layer_array` (dendrites at 0..L-2, the main module at L-1), `processor_array`
// (one entry per position, a processor with `pre`/`post`, or None), `skip_weights` (entry p,
// row q weights position q's output into position p's) and `view_tuple` (the shape each weight
// row takes for the multiplication).
#pragma once

#include "host/common.h"

#include <initializer_list>

namespace sorvith::block {

// Method bodies shared by the optimised and the cleaned block modules:
//   process_and_forward(self, k, outputs, *args, **kwargs): dendrite step k into outputs[k]
//   process_and_pre(self, outputs, *args, **kwargs): main step into outputs[L-1]
py::object process_and_forward(py::handle module, py::handle args, py::handle kwargs);
py::object process_and_pre(py::handle module, py::handle args, py::handle kwargs);

// The two block classes whose forward runs the steps above: NVROptimizedModule (network_svp)
// and NVRModulePyThread (slim_load). Their forwards differ in two rules:
// - both read doing_threading once at the start of the call; the cleaned module takes the
//   truth of that value again at each decision, the optimised module takes it once;
// - the cleaned module sums in place (`+=`, so block outputs change), the optimised module
//   makes new tensors (`+`).
enum class StepClass { optimized, cleaned };

// That class, named `name`: its own methods (`own`: its __init__, ...) first, then the methods
// the two share, in their class bodies' order: process_and_forward, process_and_pre, forward
// (self, *args, **kwargs) under the class's rules, and the main-module fallback __getattr__
// (member.h). The cleaned class's process_and_forward names its rest parameters *args2,
// **kwargs2.
py::object make_step_class(py::handle module, StepClass which, const char *name,
                           std::initializer_list<PyMethodDef *> own);

// Where each dendrite position's activation comes from.
enum class Activation {
    configured, // GNV.pc.get_nvr_forward_function(), asked afresh for every position
    stored,     // the block's own `internal_nonlinearity` attribute
};

// The cascade over outputs[0..L-1] (a list, updated in place with each position's final
// value). Returns the last position's value, or a null object when L is 0 (the value was
// never assigned).
py::object cascade(py::handle module, py::handle self, py::handle outputs, bool add_in_place,
                   Activation activation);

} // namespace sorvith::block
