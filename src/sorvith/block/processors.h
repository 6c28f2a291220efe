// Processor objects of the companion library adapt a module's inputs and outputs for the
// cascade. A block's processor entry (a copy, or the companion's own object) carries two
// attributes, `pre` and `post`, set from the methods of its role; a block forward calls only
// those two.
#pragma once

#include "host/common.h"
#include "host/errors.h"
#include "host/protocols.h"

namespace sorvith::block {

// At a dendrite position, `pre` makes the dendrite module's arguments and `post` maps its
// output; at the main position, `pre` maps the main module's output and `post` the combined
// value.
enum class ProcessorRole { dendrite, main };
py::handle pre_method(ProcessorRole role);  // "pre_d" or "post_n1"
py::handle post_method(ProcessorRole role); // "post_d" or "post_n2"

// target.pre = source.<pre method>; target.post = source.<post method>. `target()` and
// `source()` read the objects; each is called at each use, the value before the target, as the
// two assignment statements evaluate them (a caller may observe those reads).
template <typename Target, typename Source>
void bind_steps(Target &&target, Source &&source, ProcessorRole role) {
    py::object step = attr(source(), pre_method(role));
    set_attr(target(), SV_NAME("pre"), step);
    step = attr(source(), post_method(role));
    set_attr(target(), SV_NAME("post"), step);
}

// entry != None, as the host evaluates it. None itself compares unequal to nothing that is
// None (its class cannot be changed or subclassed), so it is answered without the call.
inline bool differs_from_none(py::handle entry) {
    return entry.ptr() != Py_None && not_equal(entry, py::none());
}

// A dendrite position's output. `processor()` reads the position's entry before each of its
// two tests, which compare it with None by `!=`: when set, its `pre(*inputs, **keywords)`
// returns the arguments (a pair) for the module and its `post` maps the module's output.
// `layer()` reads the dendrite module, after `pre`; it is called as a module, so hooks run.
template <typename Processor, typename Layer>
py::object dendrite_output(Processor &&processor, Layer &&layer, py::object inputs,
                           py::object keywords) {
    py::object entry = processor();
    if (differs_from_none(entry)) {
        auto arguments = unpack_pair(call_with(attr(entry, SV_NAME("pre")), inputs, keywords));
        inputs = std::move(arguments.first);
        keywords = std::move(arguments.second);
    }
    py::object out = call_unpacked(layer(), inputs, keywords);
    entry = processor();
    if (differs_from_none(entry))
        out = call_method(entry, SV_NAME("post"), out);
    return out;
}

// The main module's output as it enters the cascade: `processor.pre(out)` when the main
// position's entry is not None (identity), else `out`.
py::object main_output(py::handle processor, py::handle out);

// The block's result from the main position's combined value `current`: `processor.post` of
// it when the main position's entry is not None (identity), else `current` itself. A null
// `current` (the cascade ran over no position) raises the host's unbound-local error for
// "current_out", after `post` is looked up as the call would look it up.
py::object block_result(py::handle processor, py::handle current);

} // namespace sorvith::block
