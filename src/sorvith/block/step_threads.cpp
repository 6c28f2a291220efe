#include "step_threads.h"

#include "host/errors.h"
#include "host/globals.h"
#include "host/made_once.h"
#include "host/protocols.h"

namespace sorvith::block {

// The carrying list type, a list subclass with two slots.
static py::handle carrier_type() {
    static MadeOnce<py::object> type;
    return type.get([] {
        py::dict namespace_;
        namespace_["__slots__"] = py::make_tuple("state", "errors");
        namespace_["__module__"] = py::str("sorvith");
        namespace_["__qualname__"] = py::str("StepOutputs");
        return call(reinterpret_cast<PyObject *>(&PyType_Type), py::str("StepOutputs"),
                    py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyList_Type))),
                    namespace_);
    });
}

bool is_carrier(py::handle outputs) {
    return reinterpret_cast<PyObject *>(Py_TYPE(outputs.ptr())) == carrier_type().ptr();
}

// torch itself, as imported. The worker state is torch's own; the module's `torch` name is
// left alone (a module may bind it without using it, and a caller may rebind it).
static py::object torch_itself() { return imported(SV_NAME("torch")); }

// (grad enabled, inference mode, ((device type, dtype), ...) of the autocasts in force).
static py::object capture_state() {
    py::object torch = torch_itself();
    py::object grad = call_method(torch, SV_NAME("is_grad_enabled"));
    py::object inference = call_method(torch, SV_NAME("is_inference_mode_enabled"));
    py::list autocasts;
    for (const char *device : {"cpu", "cuda"}) {
        py::str device_type(device);
        if (truth(call_method(torch, SV_NAME("is_autocast_enabled"), device_type)))
            autocasts.append(py::make_tuple(
                device_type, call_method(torch, SV_NAME("get_autocast_dtype"), device_type)));
    }
    return py::make_tuple(grad, inference, py::tuple(autocasts));
}

py::object make_outputs(Py_ssize_t size) {
    py::object outputs = call(carrier_type(), none_list(size));
    set_attr(outputs, SV_NAME("state"), capture_state());
    set_attr(outputs, SV_NAME("errors"), none_list(size));
    return outputs;
}

py::object make_thread(py::handle module, py::handle target, py::handle args, py::handle kwargs) {
    py::object thread_class = global(module, SV_NAME("Thread"));
    py::dict keywords;
    keywords["target"] = target;
    keywords["args"] = args;
    keywords["kwargs"] = kwargs;
    return call_with(thread_class, py::tuple(), keywords);
}

namespace detail {

CallerState::CallerState(py::handle outputs)
    : torch_(torch_itself()), entered_(py::list()) {
    py::object state = attr(outputs, SV_NAME("state"));
    bool grad = truth(getitem(state, 0));
    bool inference = truth(getitem(state, 1));
    bool current_grad = truth(call_method(torch_, SV_NAME("is_grad_enabled")));
    if (grad != current_grad) {
        call_method(torch_, SV_NAME("set_grad_enabled"), py::bool_(grad));
        previous_grad_ = current_grad;
    }
    auto enter = [&](py::object context) {
        call_method(context, SV_NAME("__enter__"));
        py::list(entered_).append(context);
    };
    if (inference && !truth(call_method(torch_, SV_NAME("is_inference_mode_enabled"))))
        enter(call_method(torch_, SV_NAME("inference_mode")));
    for (py::handle autocast : getitem(state, 2)) {
        py::dict keywords;
        keywords["dtype"] = getitem(autocast, 1);
        enter(call_with(attr(torch_, SV_NAME("autocast")), py::make_tuple(getitem(autocast, 0)),
                        keywords));
    }
}

CallerState::~CallerState() {
    // Runs while an error may be held by an unwinding error_already_set; nothing here may throw.
    try {
        py::list entered(entered_);
        for (Py_ssize_t i = py::len(entered) - 1; i >= 0; --i)
            call_method(entered[i], SV_NAME("__exit__"), py::none(), py::none(), py::none());
        if (previous_grad_ >= 0)
            call_method(torch_, SV_NAME("set_grad_enabled"), py::bool_(previous_grad_ != 0));
    } catch (py::error_already_set &error) {
        error.discard_as_unraisable("restoring a worker thread's autograd state");
    }
}

void keep_error(py::handle outputs, py::handle position) {
    py::object exception = take_current_exception();
    py::object errors = attr(outputs, SV_NAME("errors"));
    setitem(errors, position, exception);
}

} // namespace detail

void reraise_first_error(py::handle outputs) {
    if (!is_carrier(outputs))
        return;
    py::object errors = attr(outputs, SV_NAME("errors"));
    for (py::handle error : errors)
        if (!is_none(error))
            raise_exception_object(error);
}

} // namespace sorvith::block
