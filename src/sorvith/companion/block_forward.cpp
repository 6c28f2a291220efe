#include "block_forward.h"

#include "host.h"
#include "module_member.h"
#include "nevrane.h"
#include "pyclass.h"
#include "step_threads.h"

#include <vector>

namespace sorvith::block {

namespace {

py::handle layer_array_name() { return SV_NAME("layer_array"); }

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
py::handle processor_array_name() { return SV_NAME("processor_array"); }

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

py::object process_and_forward(py::handle module, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "process_and_forward");
    // (k, outputs, *inputs) after the instance; too few arguments fail as tuple indexing would.
    py::object position = getitem(args, 1);
    py::object outputs = getitem(args, 2);
    step_threads::run_step(module, outputs, position, [&] {
        py::object inputs = rest_of(args, 3);
        py::object keywords = kwargs_dict(kwargs);
        py::object processor = getitem(member(self, processor_array_name()), position);
        if (not_equal(processor, py::none())) {
            py::object result = call_with(attr(processor, SV_NAME("pre")), inputs, keywords);
            auto unpacked = unpack_pair(result);
            inputs = std::move(unpacked.first);
            keywords = std::move(unpacked.second);
        }
        py::object layer = layer_at(member(self, layer_array_name()), position);
        py::object out = call_unpacked(layer, inputs, keywords);
        processor = getitem(member(self, processor_array_name()), position);
        if (not_equal(processor, py::none()))
            out = call_method(processor, SV_NAME("post"), out);
        if (PyObject_SetItem(outputs.ptr(), position.ptr(), out.ptr()) < 0)
            throw py::error_already_set();
    });
    return py::none();
}

py::object process_and_pre(py::handle module, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "process_and_pre");
    py::object outputs = getitem(args, 1);
    // Only names the error slot of a threaded call, whose outputs list is ours; anything a
    // caller passes directly is left untouched here.
    py::object position = step_threads::is_carrier(outputs) ? make_int(length(outputs) - 1)
                                                            : py::none();
    step_threads::run_step(module, outputs, position, [&] {
        py::object inputs = rest_of(args, 2);
        py::object layers = member(self, layer_array_name());
        py::object main = child_at(layers, -1);
        py::object out = call_with(attr(main, SV_NAME("forward")), inputs, kwargs);
        py::object processor = getitem(member(self, processor_array_name()), make_int(-1));
        if (!is_none(processor))
            out = call_method(processor, SV_NAME("pre"), out);
        Py_ssize_t last = child_count(member(self, layer_array_name())) - 1;
        if (PyObject_SetItem(outputs.ptr(), make_int(last).ptr(), out.ptr()) < 0)
            throw py::error_already_set();
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
                    view_shape =
                        call_method(member(self, SV_NAME("view_tuple")), SV_NAME("tolist"));
                    all_columns = steal(PySlice_New(nullptr, nullptr, nullptr));
                }
                if (!receiving)
                    receiving = getitem(skip_weights, make_int(p));
                py::object row = getitem(receiving, py::make_tuple(make_int(q), all_columns));
                row = call_method(row, SV_NAME("view"), view_shape);
                row = call_method(row, SV_NAME("to"), attr(current, SV_NAME("device")));
                py::object term = steal(PyNumber_Multiply(row.ptr(), getitem(outputs, q).ptr()));
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

py::object finish(py::handle self, py::handle current) {
    py::object processor = getitem(member(self, processor_array_name()), make_int(-1));
    if (!is_none(processor)) {
        if (!current) {
            attr(processor, SV_NAME("post")); // looked up before its argument is read
            raise_unbound_local("current_out");
        }
        return call_method(processor, SV_NAME("post"), current);
    }
    if (!current)
        raise_unbound_local("current_out");
    return borrow(current.ptr());
}

py::object forward(py::handle module, py::handle args, py::handle kwargs, ForwardRules rules) {
    py::handle self = method_self(args, "forward");
    py::object inputs = rest_of(args, 1);
    py::object keywords = kwargs_dict(kwargs); // the one mapping every step receives

    py::object switch_ = global(module, SV_NAME("doing_threading"));
    bool first = truth(switch_);
    auto threaded = [&](bool is_first) {
        if (is_first || !rules.retest_threading)
            return first;
        return truth(switch_); // the value read at the start, its truth taken again
    };

    Py_ssize_t count = child_count(member(self, layer_array_name()));
    py::object outputs = first ? step_threads::make_outputs(module, count)
                               : step_threads::make_plain_outputs(count);
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
    return finish(self, current);
}

} // namespace sorvith::block
