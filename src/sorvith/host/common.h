// What nearly every file of the package uses: the handles (handles.h) and the calls
// (calls.h).
#pragma once

#include "calls.h"
#include "handles.h"
