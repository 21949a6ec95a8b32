// The tetrahedraliser (src/lib/delaunay): tetrahedra and vertex graphs of
// Delaunay tetrahedralisations, and the Morton order of a cloud.
#include <cstdint>

#include "../../lib/delaunay/delaunay.hpp"
#include "../../lib/morton.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"

namespace ornel::py {

namespace {

// `threads`, keyword only, of a function whose one positional parameter is
// `points` (the matcher takes either parameter by position).
std::size_t keyword_threads(const char* function, Py_ssize_t nargs, PyObject* object) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", function, nargs);
        throw PythonError{};
    }
    return convert("threads", [&] { return threads_arg(object); });
}

PyObject* delaunay_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"points", "threads"}, 1};
        auto bound = match<2>(parameters.of(nullptr, "delaunay"), args, nargs, kwnames);
        const std::size_t threads = keyword_threads("delaunay", nargs, bound[1]);
        Buffer<std::uint64_t> simplices =
            with_points("points", bound[0], [&](const auto& view) { return delaunay::tetrahedra(view, threads); });
        const npy_intp rows = static_cast<npy_intp>(simplices.size() / 4);
        return to_numpy(std::move(simplices), {rows, 4}).release();
    });
}

PyObject* morton_order_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<1> parameters{{"points"}, 1};
        auto bound = match<1>(parameters.of(nullptr, "morton_order"), args, nargs, kwnames);
        Buffer<std::int64_t> order = with_points("points", bound[0], [](const auto& view) {
            if (view.rows > 0 && view.columns < 3) fail_input(Failure::points_need_three_columns);
            return morton_order(view);
        });
        return to_numpy(std::move(order)).release();
    });
}

PyObject* delaunay_graph_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"points", "threads"}, 1};
        auto bound = match<2>(parameters.of(nullptr, "delaunay_graph"), args, nargs, kwnames);
        const std::size_t threads = keyword_threads("delaunay_graph", nargs, bound[1]);
        CsrGraph graph =
            with_points("points", bound[0], [&](const auto& view) { return delaunay::graph(view, threads); });
        return result_pair(to_numpy(std::move(graph.indptr)), to_numpy(std::move(graph.indices)));
    });
}

}  // namespace

PyMethodDef tetrahedraliser_functions[] = {
    {"delaunay", ORNEL_PYCFUNCTION(delaunay_entry), METH_FASTCALL | METH_KEYWORDS,
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
    {"delaunay_graph", ORNEL_PYCFUNCTION(delaunay_graph_entry), METH_FASTCALL | METH_KEYWORDS,
     "delaunay_graph(points, *, threads=None)\n--\n\n"
     "The vertex adjacency of the Delaunay tetrahedralisation of `points`\n"
     "as the CSR pair (indptr, indices) of uint32 arrays, rows ascending.\n"
     "Equal points list each other and the union of their neighbours, and\n"
     "those neighbours list all of them. Points on one plane or one line get\n"
     "the Delaunay graph of that plane or line. The insertion is split over\n"
     "`threads` threads (default: the cores this process may use); the graph\n"
     "does not depend on their number. Raises ValueError for non-finite\n"
     "coordinates or threads < 1. Runs with the GIL released."},
    {"morton_order", ORNEL_PYCFUNCTION(morton_order_entry), METH_FASTCALL | METH_KEYWORDS,
     "morton_order(points)\n--\n\n"
     "The permutation (sorted position -> row, int64) that sorts the rows of\n"
     "`points` (float32 or float64, (n, 3) or wider, any strides) along a\n"
     "Z-order curve of 21 bits per axis over their bounding box, x the least\n"
     "significant axis, equal keys in row order: the grouped query set's key.\n"
     "Runs with the GIL released."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ornel::py
