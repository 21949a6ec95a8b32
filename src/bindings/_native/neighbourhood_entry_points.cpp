// A cloud's neighbourhoods: k-nearest self-joins over its graph, normals from
// the neighbours found, and the point-to-plane system a registration solves.
#include <algorithm>
#include <cstdint>

#include "../../lib/knn_self_search.hpp"
#include "../../lib/normals.hpp"
#include "../../lib/plane_system.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"

namespace ornel::py {

namespace {

template <class S>
PyObject* knn_self(const CloudArgs<S>& cloud, std::uint64_t k, std::uint64_t ef, std::size_t threads) {
    KnnRows<S> rows;
    {
        ReleasedGil released;
        const PackedCloud<S> packed(cloud.points, cloud.indptr, cloud.indices, true);
        if (packed.points.size() != 0 && !packed.well_formed) fail_input(Failure::graph_not_of_points);
        rows = knn_self_search(packed.operand(), k, ef, threads);
    }
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
        const std::size_t threads = convert("threads", [&] { return threads_arg(bound[5]); });
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
        const double limit2 = convert("limit2", [&] { return float_arg(bound[5]); });
        const double scale = convert("scale", [&] { return float_arg(bound[6]); });
        const std::size_t q = static_cast<std::size_t>(PyArray_DIM(moved, 0));
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(targets, 0));
        if (static_cast<std::size_t>(PyArray_DIM(normals, 0)) != n) fail_input(Failure::normals_per_target);
        if (static_cast<std::size_t>(PyArray_DIM(matches, 0)) != q ||
            static_cast<std::size_t>(PyArray_DIM(squared, 0)) != q)
            fail_input(Failure::matches_per_moved);
        const auto* match_data = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(matches));
        PlaneSystem system;
        {
            ReleasedGil released;
            if (std::any_of(match_data, match_data + q, [n](std::uint32_t v) { return v >= n; }))
                fail_input(Failure::match_outside_targets);
            system = point_to_plane_system(reinterpret_cast<const double*>(PyArray_DATA(moved)),
                                           reinterpret_cast<const double*>(PyArray_DATA(targets)),
                                           reinterpret_cast<const double*>(PyArray_DATA(normals)), match_data,
                                           reinterpret_cast<const double*>(PyArray_DATA(squared)), q, limit2, scale);
        }
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
        PyArrayObject* points = convert(
            "points", [&] { return contiguous_arg(bound[0], 2, single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)"); });
        PyArrayObject* neighbours = convert("neighbours", [&] { return array_arg(bound[1], 2, NPY_UINT32, "(n, k)"); });
        const std::uint64_t passes =
            bound[2] == nullptr ? 2 : convert("passes", [&] { return unsigned_arg(bound[2]); });
        const std::size_t n = static_cast<std::size_t>(PyArray_DIM(points, 0));
        if (!PyArray_IS_C_CONTIGUOUS(neighbours) || !PyArray_ISALIGNED(neighbours) ||
            static_cast<std::size_t>(PyArray_DIM(neighbours, 0)) != n)
            fail_input(Failure::neighbours_not_rows);
        if (passes > 100) fail_input(Failure::too_many_passes);
        const std::size_t k = static_cast<std::size_t>(PyArray_DIM(neighbours, 1));
        const auto* rows = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(neighbours));
        Buffer<double> normals(3 * n);
        {
            ReleasedGil released;
            if (std::any_of(rows, rows + n * k, [n](std::uint32_t v) { return v >= n; }))
                fail_input(Failure::neighbour_outside_points);
            if (single)
                estimate_normals(contiguous_points<float>(points), rows, k, static_cast<int>(passes), normals.data());
            else
                estimate_normals(contiguous_points<double>(points), rows, k, static_cast<int>(passes), normals.data());
        }
        return to_numpy(std::move(normals), {static_cast<npy_intp>(n), 3}).release();
    });
}

}  // namespace

PyMethodDef neighbourhood_functions[] = {
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

}  // namespace ornel::py
