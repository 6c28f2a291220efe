// Reading a member of an nn.Module instance (a plain attribute, parameter, buffer or child)
// on the block forward paths, where it is read many times per call.
#pragma once

#include "host/common.h"

namespace sorvith {

// self.name, with the result the ordinary attribute lookup gives.
py::object member(py::handle self, py::handle name);

// container[index] and len(container), with the results the container's own methods give.
// An exact nn.ModuleList or nn.Sequential is read from its child table directly (its
// __getitem__ and __len__ are Python code); anything else goes through the item protocol.
py::object child_at(py::handle container, Py_ssize_t index);
Py_ssize_t child_count(py::handle container);

} // namespace sorvith
