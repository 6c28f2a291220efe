#include "recording.h"

#include "host/modules.h"
#include "host/protocols.h"

namespace sorvith::block {

namespace {

bool jit_tracing(py::handle c) { return !is_none(call_method(c, SV_NAME("_get_tracing_state"))); }

// torch.fx's symbolic tracer (torch.fx.symbolic_trace, and export around its own tracing)
// raises a module-level flag while it runs; nobody traces with a module never imported.
bool fx_tracing() {
    py::object tracer = loaded_module(SV_NAME("torch.fx._symbolic_trace"));
    if (!tracer)
        return false;
    PyObject *flag = PyObject_GetAttr(tracer.ptr(), SV_NAME("_is_fx_tracing_flag").ptr());
    if (!flag) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::error_already_set();
        PyErr_Clear(); // a torch that keeps the flag elsewhere
        return false;
    }
    return truth(steal(flag));
}

Py_ssize_t dispatch_modes(py::handle c) {
    return as_size(call_method(c, SV_NAME("_len_torch_dispatch_stack")));
}

// Fake tensors, make_fx's proxy mode and functionalization: torch keeps these modes apart
// from the user's, one slot each.
bool tracing_dispatch_mode(py::handle c) {
    py::object keys = attr(c, SV_NAME("_TorchDispatchModeKey"));
    for (py::handle key : {SV_NAME("FAKE"), SV_NAME("PROXY"), SV_NAME("FUNCTIONAL")}) {
        PyObject *found = PyObject_GetAttr(keys.ptr(), key.ptr());
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw py::error_already_set();
            PyErr_Clear();
            continue;
        }
        if (!is_none(call_method(c, SV_NAME("_get_dispatch_mode"), steal(found))))
            return true;
    }
    return false;
}

// Whether the function modes on the stack are all torch.device contexts.
bool only_device_contexts(py::handle c, Py_ssize_t count) {
    py::object device = loaded_module(SV_NAME("torch.utils._device"));
    py::object context = device ? attr(device, SV_NAME("DeviceContext")) : py::object();
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::object mode = call_method(c, SV_NAME("_get_function_stack_at"), make_int(i));
        if (!context || type_of(mode).ptr() != context.ptr())
            return false;
    }
    return true;
}

} // namespace

bool autocasting() {
    py::object c = imported(SV_NAME("torch._C"));
    PyObject *probe = PyObject_GetAttr(c.ptr(), SV_NAME("_is_any_autocast_enabled").ptr());
    if (!probe) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    return truth(call(steal(probe)));
}

bool tracing() {
    py::object c = imported(SV_NAME("torch._C"));
    return jit_tracing(c) || fx_tracing() || (dispatch_modes(c) > 0 && tracing_dispatch_mode(c));
}

bool recording() {
    py::object c = imported(SV_NAME("torch._C"));
    if (jit_tracing(c) || dispatch_modes(c) > 0 || fx_tracing())
        return true;
    Py_ssize_t functions = as_size(call_method(c, SV_NAME("_len_torch_function_stack")));
    return functions > 0 && !only_device_contexts(c, functions);
}

namespace detail {

py::object modes_off() {
    py::object c = imported(SV_NAME("torch._C"));
    py::list entered;
    try {
        for (py::handle name :
             {SV_NAME("_DisableTorchDispatch"), SV_NAME("DisableTorchFunction")}) {
            py::object context = call_method(c, name);
            call_method(context, SV_NAME("__enter__"));
            entered.append(context);
        }
    } catch (py::error_already_set &) {
        modes_on(entered);
        throw;
    }
    return std::move(entered);
}

void modes_on(py::handle entered) {
    for (Py_ssize_t i = length(entered) - 1; i >= 0; --i)
        call_method(getitem(entered, i), SV_NAME("__exit__"), py::none(), py::none(), py::none());
}

} // namespace detail

} // namespace sorvith::block
