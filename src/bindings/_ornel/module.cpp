// The module `_ornel`: its definition, slots and what it registers.
#include "../frame/arguments.hpp"
#include "../frame/module_definition.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"
#include "grouped_class.hpp"
#include "prepared_class.hpp"

namespace ornel::py {

namespace {

#define ORNEL_TWO_CLOUDS_SIGNATURE "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors)\n--\n\n"

#define ORNEL_TWO_CLOUDS_K_SIGNATURE \
    "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, ef)\n--\n\n"

#define ORNEL_TWO_CLOUDS_K_DOC                                                          \
    "Find, for each point in `x`, the `k` nearest neighbours among points in `y`\n"     \
    "(both given as neighbourhood graphs) by a best-first search of `y`'s graph that\n" \
    "keeps the `ef` best candidates per query point. Pass `ef >= k`: a larger `ef`\n"   \
    "explores more of the graph and finds the true nearest points more often.\n"        \
    "Returns `(dists, idx)` of shape (N, k), each row sorted ascending by distance;\n"  \
    "entries the search could not fill are (inf, |y|). The heavy search runs with\n"    \
    "the GIL released, so independent calls execute in parallel across cores."

PyMethodDef module_functions[] = {
    {"all_nearest_neighbours", ORNEL_PYCFUNCTION(all_nearest_neighbours), METH_FASTCALL | METH_KEYWORDS,
     "all_nearest_neighbours" ORNEL_TWO_CLOUDS_SIGNATURE
     "Find, for each point in `x`, the nearest neighbour among points in `y`\n"
     "(both given as neighbourhood graphs). The heavy search runs with the\n"
     "GIL released, so independent calls (e.g. an all-by-all join driven\n"
     "from a Python thread pool) execute in parallel across cores."},
    {"all_nearest_neighbours_f32", ORNEL_PYCFUNCTION(all_nearest_neighbours_f32), METH_FASTCALL | METH_KEYWORDS,
     "all_nearest_neighbours_f32" ORNEL_TWO_CLOUDS_SIGNATURE
     "Find, for each point in `x`, the nearest neighbour among points in `y`\n"
     "(both given as neighbourhood graphs). The heavy search runs with the\n"
     "GIL released, so independent calls (e.g. an all-by-all join driven\n"
     "from a Python thread pool) execute in parallel across cores."},
    {"all_nearest_neighbours_k", ORNEL_PYCFUNCTION(all_nearest_neighbours_k), METH_FASTCALL | METH_KEYWORDS,
     "all_nearest_neighbours_k" ORNEL_TWO_CLOUDS_K_SIGNATURE ORNEL_TWO_CLOUDS_K_DOC},
    {"all_nearest_neighbours_k_f32", ORNEL_PYCFUNCTION(all_nearest_neighbours_k_f32), METH_FASTCALL | METH_KEYWORDS,
     "all_nearest_neighbours_k_f32" ORNEL_TWO_CLOUDS_K_SIGNATURE ORNEL_TWO_CLOUDS_K_DOC},
    {"graph_from_simplices", ORNEL_PYCFUNCTION(graph_from_simplices), METH_FASTCALL | METH_KEYWORDS,
     "graph_from_simplices(simplices, n_points)\n--\n\n"
     "Build the neighbourhood graph of `n_points` vertices from tetrahedra:\n"
     "`simplices` is an (m, 4) uint64 array of vertex ids (a Delaunay\n"
     "tetrahedralisation's simplices; any strides, further columns ignored).\n"
     "Returns the CSR pair (indptr, indices) of uint32 arrays, where row v,\n"
     "indices[indptr[v]:indptr[v + 1]], lists v's neighbours ascending, once\n"
     "each. The build runs with the GIL released."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    return call_boundary_status([&] {
        register_panic_exception();
        require(PyModule_AddFunctions(module, module_functions));
        for (PyTypeObject* type :
             {prepared_type<double>(), prepared_type<float>(), grouped_type<double>(), grouped_type<float>()}) {
            require(
                PyModule_AddObjectRef(module, type->tp_name + sizeof("builtins"), reinterpret_cast<PyObject*>(type)));
        }
    });
}

ModuleSlots slots = module_slots(module_exec);

// The functions are added by module_exec, beside the classes.
PyModuleDef definition = module_definition(
    "_ornel", "Nearest-neighbour joins of 3-D point clouds by walking their neighbourhood graphs.", nullptr, slots);

}  // namespace

}  // namespace ornel::py

PyMODINIT_FUNC PyInit__ornel(void) { return PyModuleDef_Init(&ornel::py::definition); }
