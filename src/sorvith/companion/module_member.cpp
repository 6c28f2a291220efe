#include "module_member.h"

namespace sorvith {

py::object member(py::handle self, py::handle name) { return attr(self, name); }

} // namespace sorvith
