// The mesh family of `ornel._native`: a hierarchy over a mesh's triangles,
// and the closest point on them of every query point.
#pragma once

#include "../frame/numpy_api.hpp"

namespace ornel::py {

PyObject* mesh_bvh_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* mesh_closest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char* const mesh_bvh_doc;
extern const char* const mesh_closest_doc;

}  // namespace ornel::py

// The family's rows of the module's method table.
#define ORNEL_MESH_FUNCTIONS                                                                                   \
    {"mesh_bvh", ORNEL_PYCFUNCTION(ornel::py::mesh_bvh_entry), METH_FASTCALL | METH_KEYWORDS,                 \
     ornel::py::mesh_bvh_doc},                                                                                 \
    {"mesh_closest", ORNEL_PYCFUNCTION(ornel::py::mesh_closest_entry), METH_FASTCALL | METH_KEYWORDS,         \
     ornel::py::mesh_closest_doc}
