// The module `ornel._native`, the package's native parts: Delaunay
// tetrahedralisations and their graphs (src/lib/delaunay), the Morton order,
// walks from given starts in double precision, k-nearest self-joins and
// normals, each run by the core with the interpreter lock released.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "../../lib/delaunay/delaunay.hpp"
#include "../../lib/descent_from_starts.hpp"
#include "../../lib/knn_self_search.hpp"
#include "../../lib/morton.hpp"
#include "../../lib/normals.hpp"
#include "../../lib/plane_system.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/module_definition.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "grid_entry_points.hpp"

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
        } catch (const InputFailure& failure) {
            PyErr_SetString(PyExc_ValueError, failure_message(failure).c_str());
            throw PythonError{};
        }
    };
    if (single) return run(convert("points", [&] { return points_arg<float>(object); }));
    return run(convert("points", [&] { return points_arg<double>(object); }));
}

// A thread count: None (or absent) for the cores this process may run on.
std::size_t thread_count(PyObject* object) {
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

// `threads` (keyword only) of a function taking one positional argument.
std::size_t threads_arg(const char* function, Py_ssize_t nargs, PyObject* object) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", function, nargs);
        throw PythonError{};
    }
    return thread_count(object);
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

PyObject* morton_order_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<1> parameters{{"points"}, 1};
        auto bound = match<1>(parameters.of(nullptr, "morton_order"), args, nargs, kwnames);
        Buffer<std::int64_t> order = with_points(bound[0], [](const auto& view) {
            if (view.rows > 0 && view.columns < 3) fail_input(Failure::points_need_three_columns);
            return morton_order(view, thread_count(nullptr));
        });
        return to_numpy(std::move(order)).release();
    });
}

PyObject* delaunay_graph_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"points", "threads"}, 1};
        auto bound = match<2>(parameters.of(nullptr, "delaunay_graph"), args, nargs, kwnames);
        const std::size_t threads = threads_arg("delaunay_graph", nargs, bound[1]);
        CsrGraph graph =
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

// Queries per thread below which another thread costs more than it saves.
constexpr std::size_t min_queries_per_thread = 4096;

[[noreturn]] void refuse(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw PythonError{};
}

// A target (points and CSR graph) and its queries, as the walks read them in place.
struct WalkArgs {
    bool single = false;
    PyArrayObject* points = nullptr;
    CsrRows graph;
    std::size_t n = 0;
    PyArrayObject* queries = nullptr;
    std::size_t nq = 0;
    std::size_t threads = 1;

    template <class Search>
    void with_target(Search&& search) const {
        if (single) search(xyz_rows<float>(points));
        else search(xyz_rows<double>(points));
    }
};

WalkArgs walk_args(PyObject* const* bound, PyObject* threads) {
    WalkArgs walk;
    walk.single = convert("points", [&] { return is_float32_array(bound[0]); });
    walk.points = convert("points", [&] {
        return contiguous_arg(bound[0], 2, walk.single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)");
    });
    PyArrayObject* indptr = convert("indptr", [&] { return contiguous_arg(bound[1], 1, NPY_UINT32, "(n + 1,)"); });
    PyArrayObject* indices = convert("indices", [&] { return contiguous_arg(bound[2], 1, NPY_UINT32, "(m,)"); });
    walk.queries = convert("queries", [&] { return contiguous_arg(bound[3], 2, NPY_FLOAT64, "(q, 3)"); });
    const std::uint64_t count =
        threads == nullptr || threads == Py_None ? 1 : convert("threads", [&] { return unsigned_arg(threads); });
    if (count < 1) refuse("threads must be at least 1");
    walk.threads = static_cast<std::size_t>(std::min<std::uint64_t>(count, 1024));
    walk.n = static_cast<std::size_t>(PyArray_DIM(walk.points, 0));
    walk.nq = static_cast<std::size_t>(PyArray_DIM(walk.queries, 0));
    if (static_cast<std::size_t>(PyArray_DIM(indptr, 0)) != walk.n + 1)
        refuse("indptr must have one entry more than points has rows");
    if (walk.n >= std::numeric_limits<std::uint32_t>::max()) refuse("the target has too many points for uint32 indices");
    walk.graph = {reinterpret_cast<const std::uint32_t*>(PyArray_DATA(indptr)),
                  reinterpret_cast<const std::uint32_t*>(PyArray_DATA(indices)),
                  static_cast<std::size_t>(PyArray_DIM(indices, 0))};
    return walk;
}

// One entry per query, of `type_number`, named `name`.
PyArrayObject* per_query_arg(const WalkArgs& walk, PyObject* object, const char* name, int type_number) {
    PyArrayObject* array = convert(name, [&] { return contiguous_arg(object, 1, type_number, "(q,)"); });
    if (static_cast<std::size_t>(PyArray_DIM(array, 0)) != walk.nq) {
        const std::string message = std::string(name) + " must have one entry per query point";
        refuse(message.c_str());
    }
    return array;
}

PyObject* nearest_from_starts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<7> parameters{
            {"points", "indptr", "indices", "queries", "starts", "distance_upper_bound", "threads"}, 5};
        auto bound = match<7>(parameters.of(nullptr, "nearest_from_starts"), args, nargs, kwnames);
        const WalkArgs walk = walk_args(bound.data(), bound[6]);
        const bool chained = bound[4] == Py_None;
        PyArrayObject* starts = chained ? nullptr : per_query_arg(walk, bound[4], "starts", NPY_UINT32);
        const std::optional<double> distance =
            convert("distance_upper_bound", [&] { return distance_arg(bound[5]); });
        if (chained && walk.nq > 0 && walk.n == 0) refuse("the target has no points");
        std::optional<double> bound2;
        if (distance) bound2 = std::isnan(*distance) ? *distance : *distance * *distance;
        const std::uint32_t* start = chained ? nullptr : reinterpret_cast<const std::uint32_t*>(PyArray_DATA(starts));
        Buffer<double> dist2(walk.nq);
        Buffer<std::uint32_t> idx(walk.nq);
        Buffer<std::uint32_t> heads(chained ? (walk.nq + chain_run - 1) / chain_run : 0);
        const CsrRows graph = walk.graph;
        const XyzRows<double> rows = xyz_rows<double>(walk.queries);
        try {
            ReleasedGil released;
            if (!chained && walk.nq > 0 && walk.n == 0) throw GraphFault{GraphFault::start_out_of_range, 0, start[0]};
            walk.with_target([&](auto target) {
                if (chained) {
                    chain_heads(target, graph, rows, heads.data());
                    split_over_threads(heads.size(), walk.threads, min_queries_per_thread / chain_run,
                                       [&](std::size_t first, std::size_t last) {
                                           descend_chained(target, graph, rows, heads.data(), bound2, first, last,
                                                           dist2.data(), idx.data());
                                       });
                } else {
                    split_over_threads(walk.nq, walk.threads, min_queries_per_thread,
                                       [&](std::size_t first, std::size_t last) {
                                           descend_from_starts(target, graph, rows, start, bound2, first, last,
                                                               dist2.data(), idx.data());
                                       });
                }
            });
        } catch (const GraphFault& fault) {
            raise_graph_fault(fault);
        }
        return result_pair(to_numpy(std::move(dist2)), to_numpy(std::move(idx)));
    });
}

PyObject* track_nearest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<8> parameters{
            {"points", "indptr", "indices", "queries", "previous", "starts", "margins", "threads"}, 4};
        auto bound = match<8>(parameters.of(nullptr, "track_nearest"), args, nargs, kwnames);
        const WalkArgs walk = walk_args(bound.data(), bound[7]);
        auto given = [&](int i) { return bound[i] != nullptr && bound[i] != Py_None; };
        const bool first_call = !given(4) && !given(5) && !given(6);
        if (!first_call && !(given(4) && given(5) && given(6)))
            refuse("previous, starts and margins go together: all three from the last call, or none");
        PyArrayObject* previous = nullptr;
        PyArrayObject* starts = nullptr;
        PyArrayObject* margins = nullptr;
        if (!first_call) {
            previous = convert("previous", [&] { return contiguous_arg(bound[4], 2, NPY_FLOAT64, "(q, 3)"); });
            if (static_cast<std::size_t>(PyArray_DIM(previous, 0)) != walk.nq)
                refuse("previous must have one row per query point");
            starts = per_query_arg(walk, bound[5], "starts", NPY_UINT32);
            margins = per_query_arg(walk, bound[6], "margins", NPY_FLOAT64);
        }
        if (walk.nq > 0 && walk.n == 0) refuse("the target has no points");
        Buffer<double> dist2(walk.nq);
        Buffer<std::uint32_t> idx(walk.nq);
        Buffer<double> new_margins(walk.nq);
        Buffer<std::uint32_t> heads(first_call ? (walk.nq + chain_run - 1) / chain_run : 0);
        const CsrRows graph = walk.graph;
        const XyzRows<double> rows = xyz_rows<double>(walk.queries);
        try {
            ReleasedGil released;
            walk.with_target([&](auto target) {
                if (first_call) {
                    chain_heads(target, graph, rows, heads.data());
                    split_over_threads(heads.size(), walk.threads, min_queries_per_thread / chain_run,
                                       [&](std::size_t first, std::size_t last) {
                                           descend_chained(target, graph, rows, heads.data(), std::nullopt, first,
                                                           last, dist2.data(), idx.data(), new_margins.data());
                                       });
                } else {
                    const std::size_t runs = (walk.nq + chain_run - 1) / chain_run;
                    split_over_threads(runs, walk.threads, min_queries_per_thread / chain_run,
                                       [&](std::size_t first, std::size_t last) {
                                           track_queries(target, graph, rows,
                                                         reinterpret_cast<const double*>(PyArray_DATA(previous)),
                                                         reinterpret_cast<const std::uint32_t*>(PyArray_DATA(starts)),
                                                         reinterpret_cast<const double*>(PyArray_DATA(margins)),
                                                         first, last, dist2.data(), idx.data(), new_margins.data());
                                       });
                }
            });
        } catch (const GraphFault& fault) {
            raise_graph_fault(fault);
        }
        Ref squared = to_numpy(std::move(dist2)), answers = to_numpy(std::move(idx));
        Ref margin_array = to_numpy(std::move(new_margins));
        return require(PyTuple_Pack(3, squared.get(), answers.get(), margin_array.get()));
    });
}

template <class S>
PyObject* knn_self(const CloudArgs<S>& cloud, std::uint64_t k, std::uint64_t ef, std::size_t threads) {
    KnnRows<S> rows;
    bool well_formed = true;
    {
        ReleasedGil released;
        const PackedCloud<S> packed(cloud.points, cloud.indptr, cloud.indices, true);
        well_formed = packed.points.size() == 0 || packed.well_formed;
        if (well_formed) rows = knn_self_search(packed.operand(), k, ef, threads);
    }
    if (!well_formed)
        refuse("indptr and indices must be a graph of the points: n + 1 non-decreasing offsets within indices, "
               "every neighbour below n, both contiguous");
    const npy_intp shape[2] = {static_cast<npy_intp>(cloud.points.rows), static_cast<npy_intp>(k)};
    return result_pair(to_numpy(std::move(rows.dists), {shape[0], shape[1]}),
                       to_numpy(std::move(rows.idx), {shape[0], shape[1]}));
}

PyObject* knn_self_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<6> parameters{{"points", "indptr", "indices", "k", "ef", "threads"}, 5};
        auto bound = match<6>(parameters.of(nullptr, "knn_self"), args, nargs, kwnames);
        const bool single = convert("points", [&] { return is_float32_array(bound[0]); });
        const std::uint64_t k = convert("k", [&] { return unsigned_arg(bound[3]); });
        const std::uint64_t ef = convert("ef", [&] { return unsigned_arg(bound[4]); });
        const std::size_t threads = convert("threads", [&] { return thread_count(bound[5]); });
        if (single) return knn_self(cloud_args<float>(bound.data(), "points", "indptr", "indices"), k, ef, threads);
        return knn_self(cloud_args<double>(bound.data(), "points", "indptr", "indices"), k, ef, threads);
    });
}

PyObject* point_to_plane_system_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<7> parameters{
            {"moved", "targets", "normals", "matches", "squared", "limit2", "scale"}, 7};
        auto bound = match<7>(parameters.of(nullptr, "point_to_plane_system"), args, nargs, kwnames);
        PyArrayObject* moved = convert("moved", [&] { return contiguous_arg(bound[0], 2, NPY_FLOAT64, "(q, 3)"); });
        PyArrayObject* targets = convert("targets", [&] { return contiguous_arg(bound[1], 2, NPY_FLOAT64, "(n, 3)"); });
        PyArrayObject* normals = convert("normals", [&] { return contiguous_arg(bound[2], 2, NPY_FLOAT64, "(n, 3)"); });
        PyArrayObject* matches = convert("matches", [&] { return contiguous_arg(bound[3], 1, NPY_UINT32, "(q,)"); });
        PyArrayObject* squared = convert("squared", [&] { return contiguous_arg(bound[4], 1, NPY_FLOAT64, "(q,)"); });
        auto number = [](PyObject* object) {
            const double value = PyFloat_AsDouble(object);
            if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
            return value;
        };
        const double limit2 = convert("limit2", [&] { return number(bound[5]); });
        const double scale = convert("scale", [&] { return number(bound[6]); });
        const std::size_t q = static_cast<std::size_t>(PyArray_DIM(moved, 0));
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(targets, 0));
        if (static_cast<std::size_t>(PyArray_DIM(normals, 0)) != n) refuse("normals must have one row per target point");
        if (static_cast<std::size_t>(PyArray_DIM(matches, 0)) != q || static_cast<std::size_t>(PyArray_DIM(squared, 0)) != q)
            refuse("matches and squared must have one entry per moved point");
        const auto* match_data = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(matches));
        PlaneSystem system;
        bool outside = false;
        {
            ReleasedGil released;
            outside = std::any_of(match_data, match_data + q, [n](std::uint32_t v) { return v >= n; });
            if (!outside)
                system = point_to_plane_system(reinterpret_cast<const double*>(PyArray_DATA(moved)),
                                               reinterpret_cast<const double*>(PyArray_DATA(targets)),
                                               reinterpret_cast<const double*>(PyArray_DATA(normals)), match_data,
                                               reinterpret_cast<const double*>(PyArray_DATA(squared)), q, limit2,
                                               scale);
        }
        if (outside) refuse("matches holds an index that is not a target point");
        Buffer<double> matrix(36), rhs(6);
        std::copy(system.matrix.begin(), system.matrix.end(), matrix.data());
        std::copy(system.rhs.begin(), system.rhs.end(), rhs.data());
        return result_pair(to_numpy(std::move(matrix), {6, 6}), to_numpy(std::move(rhs)));
    });
}

PyObject* estimate_normals_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"points", "neighbours", "passes"}, 2};
        auto bound = match<3>(parameters.of(nullptr, "estimate_normals"), args, nargs, kwnames);
        const bool single = convert("points", [&] { return is_float32_array(bound[0]); });
        PyArrayObject* points = convert("points", [&] {
            return contiguous_arg(bound[0], 2, single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)");
        });
        PyArrayObject* neighbours = convert("neighbours", [&] { return array_arg(bound[1], 2, NPY_UINT32, "(n, k)"); });
        const std::uint64_t passes = bound[2] == nullptr ? 2 : convert("passes", [&] { return unsigned_arg(bound[2]); });
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(points, 0));
        if (!PyArray_IS_C_CONTIGUOUS(neighbours) || !PyArray_ISALIGNED(neighbours) ||
            static_cast<std::size_t>(PyArray_DIM(neighbours, 0)) != n)
            refuse("neighbours must be a C-contiguous uint32 array of shape (n, k), one row per point");
        if (passes > 100) refuse("passes must be at most 100");
        const std::size_t k = static_cast<std::size_t>(PyArray_DIM(neighbours, 1));
        const auto* rows = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(neighbours));
        Buffer<double> normals(3 * n);
        bool outside = false;
        {
            ReleasedGil released;
            outside = std::any_of(rows, rows + n * k, [n](std::uint32_t v) { return v >= n; });
        }
        if (outside) refuse("neighbours holds an index that is not a point");
        {
            ReleasedGil released;
            if (single)
                estimate_normals(reinterpret_cast<const float*>(PyArray_DATA(points)), n, rows, k,
                                 static_cast<int>(passes), normals.data());
            else
                estimate_normals(reinterpret_cast<const double*>(PyArray_DATA(points)), n, rows, k,
                                 static_cast<int>(passes), normals.data());
        }
        return to_numpy(std::move(normals), {static_cast<npy_intp>(n), 3}).release();
    });
}


PyMethodDef module_functions[] = {
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
    {"nearest_from_starts", ORNEL_PYCFUNCTION(nearest_from_starts_entry), METH_FASTCALL | METH_KEYWORDS,
     "nearest_from_starts(points, indptr, indices, queries, starts, distance_upper_bound=None, threads=1)\n--\n\n"
     "For every row of `queries` (float64, C-contiguous (q, 3)), the nearest\n"
     "point of the target `points` (float32 or float64, C-contiguous (n, 3))\n"
     "by greedy descent over its CSR graph (`indptr`, `indices`: contiguous\n"
     "uint32), starting at vertex `starts[i]` (contiguous uint32). With\n"
     "`starts=None`, each query starts at the answer of the query before it\n"
     "(give them in a spatial order), the chain restarting every 256 queries\n"
     "at the answer of the previous run's first. Distances are measured in\n"
     "double precision, so a float32 target is walked without rounding\n"
     "plateaus; exact on Delaunay graphs from any start. Returns (squared\n"
     "distances as float64, indices as uint32); with `distance_upper_bound`,\n"
     "answers farther than it are (inf, n). The queries are split over\n"
     "`threads` threads; the answers do not depend on their number. Raises\n"
     "ValueError for a start or graph entry outside the target. Runs with the\n"
     "GIL released."},
    {"track_nearest", ORNEL_PYCFUNCTION(track_nearest_entry), METH_FASTCALL | METH_KEYWORDS,
     "track_nearest(points, indptr, indices, queries, previous=None, starts=None, margins=None, threads=1)\n--\n\n"
     "`nearest_from_starts` for queries that move a little between calls (the\n"
     "source points of an iterative registration). The first call (without\n"
     "previous, starts, margins) chains the queries in their order; each later\n"
     "call takes the last call's `queries` as `previous` and its answers and\n"
     "margins as `starts` and `margins`. A query that moved by less than its\n"
     "margin keeps its answer without a walk (its start stays nearer than all\n"
     "the start's neighbours); the others walk from it, or from the answer of\n"
     "the query before them when that is nearer (give the queries in a spatial\n"
     "order). Returns (squared distances as float64, indices as uint32,\n"
     "margins as float64); exact on Delaunay graphs. Runs with the GIL\n"
     "released, the queries split over `threads` threads in runs of 256; the\n"
     "answers do not depend on their number."},
    {"knn_self", ORNEL_PYCFUNCTION(knn_self_entry), METH_FASTCALL | METH_KEYWORDS,
     "knn_self(points, indptr, indices, k, ef, threads=None)\n--\n\n"
     "The k nearest points of every point of `points` (float32 or float64,\n"
     "(n, 3) or wider, any strides) among the same points, by the best-first\n"
     "search over their graph (`indptr`, `indices`: contiguous uint32 CSR)\n"
     "keeping `ef` candidates: the rows `query_prepared_k` gives for the\n"
     "prepared cloud as both query and target, equal to them bit for bit,\n"
     "ties in the same order. Returns (distances (n, k) in the points' type,\n"
     "indices (n, k) uint32; a missing entry is (inf, n)). The searches are\n"
     "split over `threads` threads (default: the cores this process may use);\n"
     "the rows do not depend on their number. Raises ValueError for a graph\n"
     "that does not fit the points. Runs with the GIL released."},
    {"point_to_plane_system", ORNEL_PYCFUNCTION(point_to_plane_system_entry), METH_FASTCALL | METH_KEYWORDS,
     "point_to_plane_system(moved, targets, normals, matches, squared, limit2, scale)\n--\n\n"
     "The normal equations (A (6, 6), b (6,)) of a linearised point-to-plane\n"
     "step: for every row m of `moved` (C-contiguous float64 (q, 3)) with\n"
     "squared[i] <= limit2, t = targets[matches[i]] and n = normals[matches[i]]\n"
     "(C-contiguous float64 (n, 3); matches uint32 (q,)), the row\n"
     "a = ((m x n) * scale, n) and residual r = (t - m) . n, summed in order as\n"
     "A = sum a a^T, b = sum a r. Runs with the GIL released."},
    {"estimate_normals", ORNEL_PYCFUNCTION(estimate_normals_entry), METH_FASTCALL | METH_KEYWORDS,
     "estimate_normals(points, neighbours, passes=2)\n--\n\n"
     "Unit normals (n, 3) float64 of `points` (float32 or float64, C-contiguous\n"
     "(n, 3)) from the rows of `neighbours` (C-contiguous uint32 (n, k)): the\n"
     "direction of least spread of each point's neighbours, pointing away from\n"
     "the cloud's centre, then `passes` times turned to the side most of the\n"
     "neighbours' normals take. Zero where the neighbours do not span a plane.\n"
     "Runs with the GIL released."},
    {nullptr, nullptr, 0, nullptr},
};

// The families kept in files of their own are added beside the functions above.
int module_exec(PyObject* module) {
    return call_boundary_status([&] { require(PyModule_AddFunctions(module, grid_functions)); });
}

ModuleSlots slots = module_slots(module_exec);

PyModuleDef definition = module_definition(
    "ornel._native",
    "The ornel package's native parts: Delaunay tetrahedralisations and their vertex graphs, the Morton\n"
    "order, walks from given start vertices in double precision, k-nearest self-joins, and normals.",
    module_functions, slots);

}  // namespace

}  // namespace ornel::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&ornel::py::definition); }
