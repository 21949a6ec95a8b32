// The region searches and M3C2's per-core-point statistics, registered by the
// module beside its own functions.
#pragma once

#include "../frame/ref.hpp"

namespace ornel::py {

extern PyMethodDef m3c2_functions[];

}  // namespace ornel::py
