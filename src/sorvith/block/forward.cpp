#include "forward.h"

#include "companion/nevrane.h"
#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "member.h"
#include "processors.h"
#include "recording.h"
#include "step_threads.h"
#include "view_shape.h"

#include <vector>

namespace sorvith::block {

namespace {

py::handle layer_array_name() { return SV_NAME("layer_array"); }
py::handle processor_array_name() { return SV_NAME("processor_array"); }

// layers[position] for the position a step was given (normally an int).
py::object layer_at(py::handle layers, py::handle position) {
    if (PyLong_CheckExact(position.ptr())) {
        Py_ssize_t index = PyLong_AsSsize_t(position.ptr());
        if (index != -1 || !PyErr_Occurred())
            return child_at(layers, index);
        PyErr_Clear();
    }
    return getitem(layers, position);
}

// Positional arguments (head..., *tail) as one tuple.
py::object prepend(std::initializer_list<py::handle> head, py::handle tail) {
    Py_ssize_t n_head = static_cast<Py_ssize_t>(head.size());
    Py_ssize_t n_tail = PyTuple_GET_SIZE(tail.ptr());
    py::object result = steal(PyTuple_New(n_head + n_tail));
    Py_ssize_t i = 0;
    for (py::handle item : head)
        PyTuple_SET_ITEM(result.ptr(), i++, py::object(borrow(item.ptr())).release().ptr());
    for (Py_ssize_t j = 0; j < n_tail; ++j)
        PyTuple_SET_ITEM(result.ptr(), i++,
                         py::object(borrow(PyTuple_GET_ITEM(tail.ptr(), j))).release().ptr());
    return result;
}

} // namespace

py::object process_and_forward(py::handle, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "process_and_forward");
    // (k, outputs, *inputs) after the instance; too few arguments fail as tuple indexing would.
    py::object position = getitem(args, 1);
    py::object outputs = getitem(args, 2);
    step_threads::run_step(outputs, position, [&] {
        py::object out = processors::dendrite_output(
            [&] { return getitem(member(self, processor_array_name()), position); },
            [&] { return layer_at(member(self, layer_array_name()), position); },
            rest_of(args, 3), kwargs_dict(kwargs));
        setitem(outputs, position, out);
    });
    return py::none();
}

py::object process_and_pre(py::handle, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "process_and_pre");
    py::object outputs = getitem(args, 1);
    // Only names the error slot of a threaded call, whose outputs list is ours; anything a
    // caller passes directly is left untouched here.
    py::object position = step_threads::is_carrier(outputs) ? make_int(length(outputs) - 1)
                                                            : py::none();
    step_threads::run_step(outputs, position, [&] {
        py::object main = child_at(member(self, layer_array_name()), -1);
        py::object out = call_with(attr(main, SV_NAME("forward")), rest_of(args, 2), kwargs);
        out = processors::main_output(
            getitem(member(self, processor_array_name()), make_int(-1)), out);
        Py_ssize_t last = child_count(member(self, layer_array_name())) - 1;
        setitem(outputs, make_int(last), out);
    });
    return py::none();
}

py::object cascade(py::handle module, py::handle self, py::handle outputs, bool in_place,
                   Activation activation) {
    Py_ssize_t count = length(outputs);
    py::object current;
    if (count == 0)
        return current;
    py::object skip_weights, view_shape, all_columns;
    for (Py_ssize_t p = 0; p < count; ++p) {
        current = getitem(outputs, p);
        if (count > 1) {
            py::object receiving;
            for (Py_ssize_t q = 0; q < p; ++q) {
                if (!skip_weights) {
                    // Read once per call: nothing in the cascade can change them.
                    skip_weights = member(self, SV_NAME("skip_weights"));
                    view_shape = block::view_shape(self, member(self, SV_NAME("view_tuple")));
                    all_columns = steal(PySlice_New(nullptr, nullptr, nullptr));
                }
                if (!receiving)
                    receiving = getitem(skip_weights, make_int(p));
                py::object row = getitem(receiving, py::make_tuple(make_int(q), all_columns));
                row = call_method(row, SV_NAME("view"), view_shape);
                row = call_method(row, SV_NAME("to"), attr(current, SV_NAME("device")));
                py::object term = multiply(row, getitem(outputs, q));
                current = in_place ? add_in_place(current, term) : add(current, term);
            }
            if (p < count - 1) {
                py::object function =
                    activation == Activation::configured
                        ? companion::setting(module, companion::getters::nvr_forward_function())
                        : attr(self, SV_NAME("internal_nonlinearity"));
                current = call(function, current);
            }
        }
        setitem(outputs, p, current);
    }
    return current;
}

py::object forward(py::handle module, py::handle args, py::handle kwargs, ForwardRules rules) {
    py::handle self = method_self(args, "forward");
    py::object inputs = rest_of(args, 1);
    py::object keywords = kwargs_dict(kwargs); // the one mapping every step receives

    py::object switch_ = global(module, SV_NAME("doing_threading"));
    bool first = truth(switch_);
    // While torch records this thread (a trace, fake tensors), steps on other threads would
    // escape it: they run here instead, as in sequential mode.
    int recorded = -1; // not asked yet
    auto may_thread = [&] {
        if (recorded < 0)
            recorded = recording();
        return recorded == 0;
    };
    auto threaded = [&](bool is_first) {
        bool value = is_first || !rules.retest_threading
                         ? first
                         : truth(switch_); // the value read at the start, its truth taken again
        return value && may_thread();
    };
    bool on_threads = first && may_thread();

    Py_ssize_t count = child_count(member(self, layer_array_name()));
    py::object outputs = on_threads ? step_threads::make_outputs(count) : none_list(count);
    std::vector<py::object> threads(count > 0 ? count : 0);

    for (Py_ssize_t c = 0; c + 1 < count; ++c) {
        py::object step = attr(self, SV_NAME("process_and_forward"));
        py::object step_args = prepend({make_int(c), outputs}, inputs);
        if (threaded(c == 0))
            threads[c] = step_threads::make_thread(module, step, step_args, keywords);
        else
            call_with(step, step_args, keywords);
    }
    {
        py::object step = attr(self, SV_NAME("process_and_pre"));
        py::object step_args = prepend({outputs}, inputs);
        Py_ssize_t last = child_count(member(self, layer_array_name())) - 1;
        if (threaded(count <= 1)) {
            py::object thread = step_threads::make_thread(module, step, step_args, keywords);
            // With no module at all it is stored under -1 and never run; a key beyond the
            // positions (layer_array grown meanwhile) is never reached by the loops either.
            if (last >= 0 && last < count)
                threads[last] = thread;
        } else {
            call_with(step, step_args, keywords);
        }
    }
    if (threaded(false)) {
        for (int pass = 0; pass < 2; ++pass) {
            Py_ssize_t n = length(outputs); // each pass takes the length anew
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (i >= count || !threads[i]) {
                    PyErr_SetObject(PyExc_KeyError, make_int(i).ptr());
                    throw py::error_already_set();
                }
                call_method(threads[i], pass == 0 ? SV_NAME("start") : SV_NAME("join"));
            }
        }
        step_threads::reraise_first_error(outputs);
    }

    py::object current = cascade(module, self, outputs, rules.add_in_place, Activation::configured);
    return processors::block_result(getitem(member(self, processor_array_name()), make_int(-1)),
                                    current);
}

} // namespace sorvith::block
