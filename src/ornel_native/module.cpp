// The module `ornel._native`: Delaunay tetrahedralisations and their graphs,
// built by the core in src/lib/delaunay with the interpreter lock released.
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <optional>
#include <string>

#include "../lib/delaunay/delaunay.hpp"
#include "../lib/descent_from_starts.hpp"
#include "../python/arguments.hpp"
#include "../python/convert.hpp"
#include "../python/results.hpp"
#include "../python/runtime.hpp"

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

// `threads` (keyword only): None for the cores this process may run on.
std::size_t threads_arg(const char* function, Py_ssize_t nargs, PyObject* object) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", function, nargs);
        throw PythonError{};
    }
    if (object == nullptr || object == Py_None) {
        cpu_set_t allowed;
        if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return static_cast<std::size_t>(CPU_COUNT(&allowed));
        return std::max(1u, std::thread::hardware_concurrency());
    }
    Ref index = Ref::checked(PyNumber_Index(object));
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (value < 1) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %lld", value);
        throw PythonError{};
    }
    return static_cast<std::size_t>(value);
}

PyObject* delaunay_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"points", "threads"}, 1};
        auto bound = match<2>(parameters.of(nullptr, "delaunay"), args, nargs, kwnames);
        const std::size_t threads = threads_arg("delaunay", nargs, bound[1]);
        Buffer<std::uint64_t> simplices =
            with_points(bound[0], [&](const auto& view) { return delaunay::tetrahedra(view, threads); });
        const npy_intp rows = static_cast<npy_intp>(simplices.size() / 4);
        return to_numpy(std::move(simplices), {rows, 4}).release();
    });
}

PyObject* delaunay_graph_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"points", "threads"}, 1};
        auto bound = match<2>(parameters.of(nullptr, "delaunay_graph"), args, nargs, kwnames);
        const std::size_t threads = threads_arg("delaunay_graph", nargs, bound[1]);
        delaunay::CsrGraph graph =
            with_points(bound[0], [&](const auto& view) { return delaunay::graph(view, threads); });
        return result_pair(to_numpy(std::move(graph.indptr)), to_numpy(std::move(graph.indices)));
    });
}


// A C-contiguous, aligned array of `type_number` with `ndim` dimensions (and 3
// columns when two); the descent reads it in place, row after row.
PyArrayObject* contiguous_arg(PyObject* object, int ndim, int type_number, const char* shape) {
    PyArrayObject* array = array_arg(object, ndim, type_number, shape);
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array) || (ndim == 2 && PyArray_DIM(array, 1) != 3)) {
        Refusal refusal;
        refusal.detail = std::string("expected a C-contiguous array of shape ") + shape;
        PyErr_SetString(PyExc_ValueError, refusal.detail.c_str());
        throw refusal;
    }
    return array;
}

template <class S>
XyzRows<S> xyz_rows(PyArrayObject* array) {
    return {reinterpret_cast<const S*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_DIM(array, 0))};
}

[[noreturn]] void raise_graph_fault(const GraphFault& fault) {
    std::string message;
    switch (fault.kind) {
        case GraphFault::start_out_of_range:
            message = "starts[" + std::to_string(fault.where) + "] = " + std::to_string(fault.value) +
                      " is not a point of the target";
            break;
        case GraphFault::row_out_of_range:
            message = "indptr: row " + std::to_string(fault.where) + " ends at " + std::to_string(fault.value) +
                      ", outside indices or before its start";
            break;
        case GraphFault::neighbour_out_of_range:
            message = "indices[" + std::to_string(fault.where) + "] = " + std::to_string(fault.value) +
                      " is not a point of the target";
            break;
    }
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PythonError{};
}

PyObject* nearest_from_starts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<6> parameters{
            {"points", "indptr", "indices", "queries", "starts", "distance_upper_bound"}, 5};
        auto bound = match<6>(parameters.of(nullptr, "nearest_from_starts"), args, nargs, kwnames);
        const bool single = convert("points", [&] { return is_float32_array(bound[0]); });
        PyArrayObject* points = convert("points", [&] {
            return contiguous_arg(bound[0], 2, single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)");
        });
        PyArrayObject* indptr = convert("indptr", [&] { return contiguous_arg(bound[1], 1, NPY_UINT32, "(n + 1,)"); });
        PyArrayObject* indices = convert("indices", [&] { return contiguous_arg(bound[2], 1, NPY_UINT32, "(m,)"); });
        PyArrayObject* queries = convert("queries", [&] { return contiguous_arg(bound[3], 2, NPY_FLOAT64, "(q, 3)"); });
        PyArrayObject* starts = convert("starts", [&] { return contiguous_arg(bound[4], 1, NPY_UINT32, "(q,)"); });
        const std::optional<double> distance =
            convert("distance_upper_bound", [&] { return distance_arg(bound[5]); });
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(points, 0));
        const std::size_t nq = static_cast<std::size_t>(PyArray_DIM(queries, 0));
        if (static_cast<std::size_t>(PyArray_DIM(indptr, 0)) != n + 1) {
            PyErr_SetString(PyExc_ValueError, "indptr must have one entry more than points has rows");
            throw PythonError{};
        }
        if (static_cast<std::size_t>(PyArray_DIM(starts, 0)) != nq) {
            PyErr_SetString(PyExc_ValueError, "starts must have one entry per query point");
            throw PythonError{};
        }
        if (n >= std::numeric_limits<std::uint32_t>::max()) {
            PyErr_SetString(PyExc_ValueError, "the target has too many points for uint32 indices");
            throw PythonError{};
        }
        std::optional<double> bound2;
        if (distance) bound2 = std::isnan(*distance) ? *distance : *distance * *distance;
        const CsrRows graph{reinterpret_cast<const std::uint32_t*>(PyArray_DATA(indptr)),
                            reinterpret_cast<const std::uint32_t*>(PyArray_DATA(indices)),
                            static_cast<std::size_t>(PyArray_DIM(indices, 0))};
        const auto* start = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(starts));
        Buffer<double> dist2(nq);
        Buffer<std::uint32_t> idx(nq);
        try {
            ReleasedGil released;
            if (nq > 0 && n == 0) throw GraphFault{GraphFault::start_out_of_range, 0, start[0]};
            if (single)
                descend_from_starts(xyz_rows<float>(points), graph, xyz_rows<double>(queries), start, bound2, 0, nq,
                                    dist2.data(), idx.data());
            else
                descend_from_starts(xyz_rows<double>(points), graph, xyz_rows<double>(queries), start, bound2, 0, nq,
                                    dist2.data(), idx.data());
        } catch (const GraphFault& fault) {
            raise_graph_fault(fault);
        }
        return result_pair(to_numpy(std::move(dist2)), to_numpy(std::move(idx)));
    });
}

#define ORNEL_FUNCTION(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))

PyMethodDef module_functions[] = {
    {"delaunay", ORNEL_FUNCTION(delaunay_entry), METH_FASTCALL | METH_KEYWORDS,
     "delaunay(points, *, threads=None)\n--\n\n"
     "The Delaunay tetrahedralisation of `points` (float32 or float64, shape\n"
     "(n, 3) or wider, any strides; only the first three columns are read):\n"
     "an (m, 4) uint64 array of point indices, one positively oriented\n"
     "tetrahedron per row. Degenerate input is resolved by symbolic\n"
     "perturbation; a point equal to an earlier one is not a vertex.\n"
     "Raises ValueError for non-finite coordinates and for clouds without a\n"
     "tetrahedralisation (fewer than four distinct points, all on one plane or\n"
     "one line). The insertion is split over `threads` threads (default: the\n"
     "cores this process may use); the set of tetrahedra does not depend on\n"
     "their number, their order in the array may. Runs with the GIL released."},
    {"delaunay_graph", ORNEL_FUNCTION(delaunay_graph_entry), METH_FASTCALL | METH_KEYWORDS,
     "delaunay_graph(points, *, threads=None)\n--\n\n"
     "The vertex adjacency of the Delaunay tetrahedralisation of `points`\n"
     "as the CSR pair (indptr, indices) of uint32 arrays, rows ascending.\n"
     "Equal points list each other and the union of their neighbours, and\n"
     "those neighbours list all of them. Points on one plane or one line get\n"
     "the Delaunay graph of that plane or line. The insertion is split over\n"
     "`threads` threads (default: the cores this process may use); the graph\n"
     "does not depend on their number. Raises ValueError for non-finite\n"
     "coordinates or threads < 1. Runs with the GIL released."},
    {"nearest_from_starts", ORNEL_FUNCTION(nearest_from_starts_entry), METH_FASTCALL | METH_KEYWORDS,
     "nearest_from_starts(points, indptr, indices, queries, starts, distance_upper_bound=None)\n--\n\n"
     "For every row of `queries` (float64, C-contiguous (q, 3)), the nearest\n"
     "point of the target `points` (float32 or float64, C-contiguous (n, 3))\n"
     "by greedy descent over its CSR graph (`indptr`, `indices`: contiguous\n"
     "uint32), starting at vertex `starts[i]` (contiguous uint32). Distances\n"
     "are measured in double precision, so a float32 target is walked without\n"
     "rounding plateaus; exact on Delaunay graphs from any start. Returns\n"
     "(squared distances as float64, indices as uint32); with\n"
     "`distance_upper_bound`, answers farther than it are (inf, n). Raises\n"
     "ValueError for a start or graph entry outside the target. Runs with the\n"
     "GIL released."},
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
