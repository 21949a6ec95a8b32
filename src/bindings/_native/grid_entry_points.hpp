// The cell grid's entry points (grid_entry_points.cpp), added to the module
// by its exec function.
#pragma once

#include "../frame/ref.hpp"

namespace ornel::py {

extern PyMethodDef grid_functions[];

}  // namespace ornel::py
