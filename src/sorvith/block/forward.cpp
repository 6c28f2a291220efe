#include "forward.h"

#include "fusion.h"

#include "companion/nevrane.h"
#include "host/errors.h"
#include "host/globals.h"
#include "host/protocols.h"
#include "host/pyclass.h"
#include "member.h"
#include "processors.h"
#include "recording.h"
#include "rows/shaped_rows.h"
#include "step_threads.h"

#include <optional>
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

// The positional arguments of a step called from forward(self, *inputs), whose own arguments
// are `args`: (head..., *inputs).
py::object step_arguments(std::initializer_list<py::handle> head, py::handle args) {
    Py_ssize_t n_args = PyTuple_GET_SIZE(args.ptr()); // self and the inputs
    py::object result = steal(PyTuple_New(static_cast<Py_ssize_t>(head.size()) + n_args - 1));
    Py_ssize_t i = 0;
    auto put = [&](PyObject *item) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(result.ptr(), i++, item);
    };
    for (py::handle item : head)
        put(item.ptr());
    for (Py_ssize_t j = 1; j < n_args; ++j)
        put(PyTuple_GET_ITEM(args.ptr(), j));
    return result;
}

// The address of body F's entry point, as its PyMethodDef holds it.
template <Body F> PyCFunction entry_of() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<F>));
}

// Dendrite step `position`: its output into outputs[position].
void dendrite_step(py::handle self, py::handle position, py::handle outputs, py::object inputs,
                   py::object keywords) {
    run_step(outputs, position, [&] {
        py::object out = dendrite_output(
            [&] { return getitem(member(self, processor_array_name()), position); },
            [&] { return layer_at(member(self, layer_array_name()), position); },
            std::move(inputs), std::move(keywords));
        setitem(outputs, position, out);
    });
}

// The main step, with the inputs args[start:]: its output into outputs[L-1].
void main_step(py::handle self, py::handle outputs, py::handle args, Py_ssize_t start,
               py::handle kwargs) {
    // Only names the error slot of a threaded call, whose outputs list is ours; anything a
    // caller passes directly is left untouched here.
    py::object position = is_carrier(outputs) ? make_int(length(outputs) - 1)
                                                            : py::none();
    run_step(outputs, position, [&] {
        py::object main = child_at(member(self, layer_array_name()), -1);
        py::object out = call_method_from(main, SV_NAME("forward"), args, start, kwargs);
        out = main_output(
            getitem(member(self, processor_array_name()), make_int(-1)), out);
        Py_ssize_t last = child_count(member(self, layer_array_name())) - 1;
        setitem(outputs, make_int(last), out);
    });
}

} // namespace

py::object process_and_forward(py::handle, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "process_and_forward");
    // (k, outputs, *inputs) after the instance; too few arguments fail as tuple indexing would.
    py::object position = getitem(args, 1);
    py::object outputs = getitem(args, 2);
    dendrite_step(self, position, outputs, rest_of(args, 3), kwargs_dict(kwargs));
    return py::none();
}

py::object process_and_pre(py::handle, py::handle args, py::handle kwargs) {
    py::handle self = method_self(args, "process_and_pre");
    main_step(self, getitem(args, 1), args, 2, kwargs);
    return py::none();
}

namespace {

// The dtype of the main module's first floating parameter, or null when it has none.
py::object weight_dtype(py::handle self) {
    py::object main = child_at(member(self, layer_array_name()), -1);
    for (py::handle parameter : call_method(main, SV_NAME("parameters")))
        if (truth(call_method(parameter, SV_NAME("is_floating_point"))))
            return attr(parameter, SV_NAME("dtype"));
    return py::object();
}

// Whether a position whose value is `current` is summed in place. Under autocast a module's
// output can be narrower than its weights (a float32 Linear gives bfloat16), and the trained
// neuron adds its weighted terms out of place, so its value takes the wider dtype; an in-place
// sum would keep the narrow one. There, and only there, the sum is made out of place.
class InPlaceRule {
  public:
    InPlaceRule(py::handle self, bool in_place) : self_(self), in_place_(in_place) {}

    bool at(py::handle current) {
        if (!in_place_)
            return false;
        if (autocast_ < 0)
            autocast_ = autocasting() ? 1 : 0;
        if (!autocast_)
            return true;
        if (!weights_checked_) {
            weights_ = weight_dtype(self_);
            weights_checked_ = true;
        }
        if (!weights_)
            return true;
        py::object dtype = attr(current, SV_NAME("dtype"));
        py::object wider =
            call_method(imported(SV_NAME("torch")), SV_NAME("promote_types"), dtype, weights_);
        return wider.ptr() == dtype.ptr();
    }

  private:
    py::handle self_;
    bool in_place_;
    int autocast_ = -1; // not asked yet
    bool weights_checked_ = false;
    py::object weights_;
};

} // namespace

py::object cascade(py::handle module, py::handle self, py::handle outputs, bool in_place,
                   Activation activation) {
    Py_ssize_t count = length(outputs);
    py::object current;
    if (count == 0)
        return current;
    InPlaceRule sums(self, in_place);
    std::optional<rows::ShapedRows> shaped;
    for (Py_ssize_t p = 0; p < count; ++p) {
        current = getitem(outputs, p);
        if (count > 1) {
            bool here_in_place = p > 0 && sums.at(current);
            for (Py_ssize_t q = 0; q < p; ++q) {
                if (!shaped) {
                    // Read once per call: nothing in the cascade can change them.
                    py::object skip_weights = member(self, SV_NAME("skip_weights"));
                    py::object view_tuple = member(self, SV_NAME("view_tuple"));
                    shaped.emplace(self, skip_weights, view_tuple, getitem(outputs, q), count);
                }
                py::object row = shaped->row_for(p, q, current);
                py::object term = multiply(row, getitem(outputs, q));
                current = here_in_place ? add_in_place(current, term) : add(current, term);
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
    if (shaped)
        shaped->keep();
    return current;
}

namespace {

struct ForwardRules {
    bool retest_threading;
    bool add_in_place;
};

py::object described_forward(py::handle module, py::handle args, py::handle kwargs,
                             ForwardRules rules) {
    py::handle self = method_self(args, "forward");
    py::object keywords = kwargs_dict(kwargs); // the one mapping every step receives

    py::object switch_ = global(module, SV_NAME("doing_threading"));
    bool first = truth(switch_);
    // While torch traces this thread (or runs it on fake tensors), steps on other threads
    // would escape the trace: they run here instead, as in sequential mode.
    int traced = -1; // not asked yet
    auto may_thread = [&] {
        if (traced < 0)
            traced = tracing();
        return traced == 0;
    };
    auto threaded = [&](bool is_first) {
        bool value = is_first || !rules.retest_threading
                         ? first
                         : truth(switch_); // the value read at the start, its truth taken again
        return value && may_thread();
    };
    bool on_threads = first && may_thread();

    Py_ssize_t count = child_count(member(self, layer_array_name()));
    py::object outputs = on_threads ? make_outputs(count) : none_list(count);
    std::vector<py::object> threads; // sized at the first thread
    auto thread = [&](py::handle step, std::initializer_list<py::handle> head) {
        if (threads.empty())
            threads.resize(count > 0 ? count : 0);
        return make_thread(module, step, step_arguments(head, args), keywords);
    };

    // Each step is self.process_and_forward(c, outputs, *inputs, **keywords) or
    // self.process_and_pre(outputs, *inputs, **keywords). While self reads this engine's own
    // method under that name, its body runs here directly, as the call would run it.
    py::object inputs; // (*inputs), made once for the direct calls
    for (Py_ssize_t c = 0; c + 1 < count; ++c) {
        py::handle name = SV_NAME("process_and_forward");
        py::object position = make_int(c);
        if (threaded(c == 0)) {
            py::object made = thread(attr(self, name), {position, outputs});
            threads[c] = made;
        } else if (reads_own_method(self, name, entry_of<process_and_forward>())) {
            if (!inputs)
                inputs = rest_of(args, 1);
            dendrite_step(self, position, outputs, inputs, keywords);
        } else {
            call_with(attr(self, name), step_arguments({position, outputs}, args), keywords);
        }
    }
    {
        py::handle name = SV_NAME("process_and_pre");
        bool on_thread = threaded(count <= 1);
        bool own = !on_thread && reads_own_method(self, name, entry_of<process_and_pre>());
        py::object step = own ? py::object() : attr(self, name);
        Py_ssize_t last = child_count(member(self, layer_array_name())) - 1;
        if (own) {
            main_step(self, outputs, args, 1, keywords);
        } else if (on_thread) {
            py::object made = thread(step, {outputs});
            // With no module at all it is stored under -1 and never run; a key beyond the
            // positions (layer_array grown meanwhile) is never reached by the loops either.
            if (last >= 0 && last < count)
                threads[last] = made;
        } else {
            call_with(step, step_arguments({outputs}, args), keywords);
        }
    }
    if (threaded(false)) {
        for (int pass = 0; pass < 2; ++pass) {
            Py_ssize_t n = length(outputs); // each pass takes the length anew
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (i >= static_cast<Py_ssize_t>(threads.size()) || !threads[i]) {
                    PyErr_SetObject(PyExc_KeyError, make_int(i).ptr());
                    throw py::error_already_set();
                }
                call_method(threads[i], pass == 0 ? SV_NAME("start") : SV_NAME("join"));
            }
        }
        reraise_first_error(outputs);
    }

    py::object current = cascade(module, self, outputs, rules.add_in_place, Activation::configured);
    return block_result(getitem(member(self, processor_array_name()), make_int(-1)),
                                    current);
}

py::object forward(py::handle module, py::handle args, py::handle kwargs, ForwardRules rules) {
    if (truth(global(module, SV_NAME("doing_fusion")))) {
        Fusion fusion(module, args, kwargs, rules.add_in_place);
        if (fusion.plan() == Fusion::Plan::fused)
            return fusion.run();
        if (fusion.plan() == Fusion::Plan::compare)
            return fusion.compare(described_forward(module, args, kwargs, rules));
    }
    return described_forward(module, args, kwargs, rules);
}

template <StepClass Which>
py::object forward_of(py::handle module, py::handle args, py::handle kwargs) {
    constexpr bool cleaned = Which == StepClass::cleaned;
    return forward(module, args, kwargs, {/*retest_threading=*/cleaned, /*add_in_place=*/cleaned});
}

PyMethodDef process_and_forward_def =
    SV_FUNCTION(process_and_forward, process_and_forward, "(self, /, *args, **kwargs)");
PyMethodDef process_and_forward_cleaned_def =
    SV_FUNCTION(process_and_forward, process_and_forward, "(self, /, *args2, **kwargs2)");
PyMethodDef process_and_pre_def =
    SV_FUNCTION(process_and_pre, process_and_pre, "(self, /, *args, **kwargs)");
PyMethodDef forward_optimized_def =
    SV_FUNCTION(forward, forward_of<StepClass::optimized>, "(self, /, *args, **kwargs)");
PyMethodDef forward_cleaned_def =
    SV_FUNCTION(forward, forward_of<StepClass::cleaned>, "(self, /, *args, **kwargs)");

} // namespace

py::object make_step_class(py::handle module, StepClass which, const char *name,
                           std::initializer_list<PyMethodDef *> own) {
    bool cleaned = which == StepClass::cleaned;
    std::vector<PyMethodDef *> methods(own);
    methods.insert(methods.end(),
                   {cleaned ? &process_and_forward_cleaned_def : &process_and_forward_def,
                    &process_and_pre_def, cleaned ? &forward_cleaned_def : &forward_optimized_def,
                    &main_module_fallback_def});
    return make_module_class(module, name, nullptr, methods);
}

} // namespace sorvith::block
