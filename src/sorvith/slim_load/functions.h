// The body of slim_load's own module-level function; module.cpp's functions table binds it with
// the owner readers and the rebuild walk (walk/) in the module's order.
#pragma once

#include "walk/walks.h"

namespace sorvith::slim_load {

walk::Function make_module;

} // namespace sorvith::slim_load
