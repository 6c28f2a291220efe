// Reading a member of an nn.Module instance (a plain attribute, parameter, buffer or child)
// on the block forward paths, where it is read many times per call.
#pragma once

#include "host/common.h"

namespace sorvith::block {

// self.name, with the result the ordinary attribute lookup gives.
py::object member(py::handle self, py::handle name);

// Whether self.<name> reads the class's own method whose body is `function` (a method made
// from a PyMethodDef of this extension): the class holds it, the lookup is the ordinary one and
// the instance holds nothing under that name. Calling self.<name>(...) is then calling the
// body with self first, without the bound method being made.
bool reads_own_method(py::handle self, py::handle name, PyCFunction function);

// container[index] and len(container), with the results the container's own methods give.
// An exact nn.ModuleList or nn.Sequential is read from its child table directly (its
// __getitem__ and __len__ are Python code); anything else goes through the item protocol.
py::object child_at(py::handle container, Py_ssize_t index);
Py_ssize_t child_count(py::handle container);

// __getattr__ of the block classes (NVRLayer, NVRModulePyThread, NVROptimizedModule), last in
// their class bodies. Model code reads attributes of the layers that became blocks
// (`self.wo.weight.dtype`, `conv.stride`), so what nn.Module's lookup does not find on a block
// is read from its main module, the last entry of `layer_array`. Two kinds of name are never
// read from there and raise the block's own AttributeError instead:
// - the blocks' own state (`layer_array`, `module_id`, `skip_weights`, ...): torch refuses to
//   register a buffer or parameter under a name that hasattr finds, the blocks register theirs
//   after `layer_array`, and every main module carries a `module_id` of its own;
// - protocol names (`__deepcopy__`, `__getstate__`), which copy and pickle look up on the
//   instance: a block must not be copied or pickled as its main module.
// A block without a `layer_array` yet (half built, or half restored by copy or unpickling)
// has no main module to ask. When the main module lacks the name too, the error is the block's
// own ("'NVRModulePyThread' object has no attribute 'x'", as nn.Module raises it); an error
// raised while the main module's class computes the attribute (a property) reaches the caller
// unchanged. `member` reads through this fallback as fast as through nn.Module's own lookup.
extern PyMethodDef main_module_fallback_def;

// Whether a class attribute (as the class holds it) is that fallback, made by this extension or
// by another of the package (each compiles its own copy of the block engine).
bool is_block_fallback(PyObject *class_attribute);

} // namespace sorvith::block

namespace sorvith {
// The walk kit names this unqualified from sorvith::walk; it goes once the kit says block::.
using block::is_block_fallback;
} // namespace sorvith
