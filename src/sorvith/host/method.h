// The methods of the classes made from C++ (host/pyclass.h).
//
// A method wraps a builtin function whose `self` is the extension module. Read from an
// instance it binds like a Python function: `obj.m` is a types.MethodType whose __func__ is
// that builtin, so the instance reaches the body as the first positional argument, and
// inspect, pickling of bound methods and torch's tracers see an ordinary bound method. Read
// from the class it is the method itself (as `Cls.f` is the function `f`), so that storing it
// back (`Cls.m = Cls.m`, the restore of a monkeypatch) leaves a method that still binds.
// CPython's instancemethod gives the bare builtin there instead, which no longer binds once
// set back.
//
// The method carries __module__, __name__, __qualname__ and __doc__ of the method it stands
// for, and __wrapped__ (so inspect.signature reads the builtin's text signature) and __func__.
// It pickles and copies by reference, under "<module>.<Class>.<name>", as functions do.
#pragma once

#include "common.h"

namespace sorvith {

// The method of the class named `class_name` made from `function`, a builtin function (its
// name is the method's name, its __module__ the class's module).
py::object make_method(py::handle function, const char *class_name);

// The builtin function that a method made by make_method wraps (borrowed), or null when
// `candidate` (borrowed, may be null) is not such a method.
PyObject *method_function(PyObject *candidate);

// The same for a method made by any extension of the package (each makes its own method type,
// from the same layout).
PyObject *package_method_function(PyObject *candidate);

} // namespace sorvith
