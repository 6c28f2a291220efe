#include "recording.h"

#include "host/globals.h"
#include "host/protocols.h"

namespace sorvith::block {

py::object torch_c() {
    if (py::object found = loaded_module(SV_NAME("torch._C")))
        return found;
    return import("torch._C");
}

bool recording() {
    py::object c = torch_c();
    return !is_none(call_method(c, SV_NAME("_get_tracing_state"))) ||
           truth(call_method(c, SV_NAME("_len_torch_dispatch_stack"))) ||
           truth(call_method(c, SV_NAME("_len_torch_function_stack")));
}

py::object modes_off() {
    py::object c = torch_c();
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

} // namespace sorvith::block
