// The module `ornel._native`, the package's native parts: its definition,
// slots and the families of functions it adds (entry_points.hpp).
#include "../frame/module_definition.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"

namespace ornel::py {

namespace {

PyMethodDef* const families[] = {
    tetrahedraliser_functions,
    walk_functions,
    neighbourhood_functions,
    normal_orientation_functions,
    m3c2_functions,
    mesh_functions,
    grid_functions,
};

int module_exec(PyObject* module) {
    return call_boundary_status([&] {
        for (PyMethodDef* functions : families) require(PyModule_AddFunctions(module, functions));
    });
}

ModuleSlots slots = module_slots(module_exec);

// The functions are added by module_exec, family by family.
PyModuleDef definition = module_definition(
    "ornel._native",
    "The ornel package's native parts: Delaunay tetrahedralisations and their vertex graphs, the Morton\n"
    "order, walks from given start vertices in double precision, k-nearest self-joins, and normals.",
    nullptr, slots);

}  // namespace

}  // namespace ornel::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&ornel::py::definition); }
