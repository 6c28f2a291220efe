#include "processors.h"

namespace sorvith::block {

py::handle pre_method(ProcessorRole role) {
    return role == ProcessorRole::dendrite ? SV_NAME("pre_d") : SV_NAME("post_n1");
}

py::handle post_method(ProcessorRole role) {
    return role == ProcessorRole::dendrite ? SV_NAME("post_d") : SV_NAME("post_n2");
}

py::object main_output(py::handle processor, py::handle out) {
    if (is_none(processor))
        return borrow(out.ptr());
    return call_method(processor, SV_NAME("pre"), out);
}

py::object block_result(py::handle processor, py::handle current) {
    if (!is_none(processor)) {
        if (!current) {
            attr(processor, SV_NAME("post"));
            raise_unbound_local("current_out");
        }
        return call_method(processor, SV_NAME("post"), current);
    }
    if (!current)
        raise_unbound_local("current_out");
    return borrow(current.ptr());
}

} // namespace sorvith::block
