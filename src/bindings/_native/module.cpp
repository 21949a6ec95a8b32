// The module `ornel._native`: Delaunay tetrahedralisations and their graphs,
// built by the core in src/lib/delaunay with the interpreter lock released.
#include <string>

#include "../../lib/delaunay/delaunay.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"

namespace ornel::py {

namespace {

bool is_float32_array(PyObject* object) {
    ensure_numpy();
    if (!PyArray_Check(object)) return false;
    Ref expected = Ref::checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT32)));
    return PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object)),
                              reinterpret_cast<PyArray_Descr*>(expected.get()));
}

// Runs `build` on the points of `object` (float32 or float64) with the lock
// released; input the core refuses becomes ValueError.
template <class Build>
auto with_points(PyObject* object, Build&& build) {
    const bool single = convert("points", [&] { return is_float32_array(object); });
    auto run = [&](auto view) {
        try {
            ReleasedGil released;
            return build(view);
        } catch (const delaunay::InputError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
            throw PythonError{};
        }
    };
    if (single) return run(convert("points", [&] { return points_arg<float>(object); }));
    return run(convert("points", [&] { return points_arg<double>(object); }));
}

PyObject* delaunay_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<1> parameters{{"points"}, 1};
        auto bound = match<1>(parameters.of(nullptr, "delaunay"), args, nargs, kwnames);
        Buffer<std::uint64_t> simplices =
            with_points(bound[0], [](const auto& view) { return delaunay::tetrahedra(view); });
        const npy_intp rows = static_cast<npy_intp>(simplices.size() / 4);
        return to_numpy(std::move(simplices), {rows, 4}).release();
    });
}

PyObject* delaunay_graph_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<1> parameters{{"points"}, 1};
        auto bound = match<1>(parameters.of(nullptr, "delaunay_graph"), args, nargs, kwnames);
        delaunay::CsrGraph graph = with_points(bound[0], [](const auto& view) { return delaunay::graph(view); });
        return result_pair(to_numpy(std::move(graph.indptr)), to_numpy(std::move(graph.indices)));
    });
}

PyMethodDef module_functions[] = {
    {"delaunay", ORNEL_PYCFUNCTION(delaunay_entry), METH_FASTCALL | METH_KEYWORDS,
     "delaunay(points)\n--\n\n"
     "The Delaunay tetrahedralisation of `points` (float32 or float64, shape\n"
     "(n, 3) or wider, any strides; only the first three columns are read):\n"
     "an (m, 4) uint64 array of point indices, one positively oriented\n"
     "tetrahedron per row. Degenerate input is resolved by symbolic\n"
     "perturbation; a point equal to an earlier one is not a vertex.\n"
     "Raises ValueError for non-finite coordinates and for clouds without a\n"
     "tetrahedralisation (fewer than four distinct points, all on one plane or\n"
     "one line). Runs with the GIL released."},
    {"delaunay_graph", ORNEL_PYCFUNCTION(delaunay_graph_entry), METH_FASTCALL | METH_KEYWORDS,
     "delaunay_graph(points)\n--\n\n"
     "The vertex adjacency of the Delaunay tetrahedralisation of `points`\n"
     "as the CSR pair (indptr, indices) of uint32 arrays, rows ascending.\n"
     "Equal points list each other and the union of their neighbours, and\n"
     "those neighbours list all of them. Points on one plane or one line get\n"
     "the Delaunay graph of that plane or line. Raises ValueError for\n"
     "non-finite coordinates. Runs with the GIL released."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef Py_mod_multiple_interpreters
    // The caches of NumPy's API and of the result container type are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "ornel._native",
    "Delaunay tetrahedralisations of 3-D point clouds and their vertex graphs.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ornel::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&ornel::py::module_definition); }
