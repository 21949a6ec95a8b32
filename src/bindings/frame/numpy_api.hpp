// NumPy's C API through NumPy's own headers, its table fetched on first need
// rather than at import, so that importing this module stays cheap.
#pragma once

#include "ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL ornel_ARRAY_API
#ifndef ORNEL_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace ornel::py {

// Fetches the API table once per process; raises ImportError when NumPy
// cannot be imported or its table read.
void ensure_numpy();

}  // namespace ornel::py
