// Truth, comparison, containment, class tests and arithmetic through the object protocols, as
// Python code evaluates them (a user type's __bool__, __eq__, __contains__ and __add__ run).
#pragma once

#include "common.h"

#include <initializer_list>

namespace sorvith {

bool truth(py::handle value);                         // bool(value)
bool equal(py::handle a, py::handle b);               // bool(a == b)
bool not_equal(py::handle a, py::handle b);           // bool(a != b)
bool less(py::handle a, py::handle b);                // bool(a < b)
bool greater(py::handle a, py::handle b);             // bool(a > b)
bool contains(py::handle container, py::handle item); // item in container
bool is_subclass(py::handle cls, py::handle base);    // issubclass(cls, base)
bool is_instance(py::handle obj, py::handle cls);     // isinstance(obj, cls)

// getattr(obj, name, None): only an AttributeError turns into None.
py::object attr_or_none(py::handle obj, py::handle name);

// a + b, a += b (the in-place protocol) and a * b.
py::object add(py::handle a, py::handle b);
py::object add_in_place(py::handle a, py::handle b);
py::object multiply(py::handle a, py::handle b);

// str(value), and parts[0] + parts[1] + ... evaluated left to right.
py::object text(py::handle value);
py::object concat(std::initializer_list<py::handle> parts);

// pattern % values, the host's printf-style formatting (`values` a tuple or a single value).
py::object format(const char *pattern, py::handle values);

} // namespace sorvith
