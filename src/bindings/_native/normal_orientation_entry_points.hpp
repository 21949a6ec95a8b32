// The entry points of signed distances' normals, registered in the module's table.
#pragma once

#include "../frame/ref.hpp"

namespace ornel::py {

PyObject* sheet_normals_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* orient_normals_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace ornel::py
