// The mesh family: `mesh_bvh` builds the hierarchy of a mesh's triangles (its
// arrays are the caller's to keep), `mesh_closest` answers queries with it.
#include "entry_points.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "../../lib/parallel_loop.hpp"
#include "../../lib/mesh_distance.hpp"
#include "../../lib/morton.hpp"
#include "../../lib/triangle_bvh.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"

namespace ornel::py {

const char* const mesh_bvh_doc =
    "mesh_bvh(vertices, triangles)\n--\n\n"
    "The bounding-volume hierarchy of a mesh: `vertices` (float32 or float64,\n"
    "(n, 3) or wider, any strides) and `triangles` (uint32 (m, 3), any\n"
    "strides, m >= 1, indices into the vertices). Returns (bounds (nodes,\n"
    "24): per node its four lanes' low x, low y, low z, high x, high y, high\n"
    "z; links (nodes, 4) uint32: per lane 0 (empty), a child node, or 2**31 +\n"
    "a triangle's position; corners (m, 9) by position; order (m,) uint32:\n"
    "position -> triangle), bounds and corners in the vertices' type: what\n"
    "`mesh_closest` searches. Raises\n"
    "ValueError for a non-finite coordinate. Runs with the GIL released.";

const char* const mesh_closest_doc =
    "mesh_closest(bounds, links, corners, order, queries, normals=None, distance_upper_bound=None, threads=None)\n"
    "--\n\n"
    "For every row of `queries` ((q, 3) or wider, any strides, the type of\n"
    "`bounds` and `corners`), the closest point on any triangle of the mesh\n"
    "whose `mesh_bvh` arrays are given (C-contiguous). Returns (distances,\n"
    "triangles uint32, barycentric (q, 3)), distances and weights in the\n"
    "queries' type; a triangle's weights are those of its corners in order.\n"
    "Exact: equal to measuring every triangle, ties to the lowest triangle.\n"
    "With `normals` (C-contiguous float64 (m, 7, 3): per triangle the\n"
    "pseudo-normals of its face, corners and edges ab, bc, ca), a distance is\n"
    "negative where the query is behind its closest feature. Answers farther\n"
    "than `distance_upper_bound` are (inf, m, nan). The queries are searched\n"
    "in Morton order, each from the answer of the one before, split over\n"
    "`threads` threads (default: the cores this process may use); the answers\n"
    "do not depend on their number. Raises ValueError for a non-finite query.\n"
    "Runs with the GIL released.";

namespace {

// Queries per thread below which another thread costs more than it saves.
constexpr std::size_t min_queries_per_thread = 8192;

// A C-contiguous, aligned array: the hierarchy is the module's own output,
// read as plain memory.
PyArrayObject* contiguous(PyObject* object, int ndim, int type_number, const char* shape) {
    PyArrayObject* array = array_arg(object, ndim, type_number, shape);
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) fail_input(Failure::array_not_contiguous);
    return array;
}

bool is_single(PyObject* object) {
    ensure_numpy();
    return PyArray_Check(object) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(object)) == NPY_FLOAT32;
}

// Core input without an answer (a non-finite coordinate) is an InputFailure,
// which the boundary makes a ValueError.
template <class Work>
auto released(Work&& work) {
    ReleasedGil unlocked;
    return work();
}

template <class S>
PyObject* build(PyObject* vertices_object, PyObject* triangles_object) {
    const PointsView<S> vertices = points_param<S>("vertices", vertices_object);
    const auto triangles = convert("triangles", [&] {
        PyArrayObject* array = array_arg(triangles_object, 2, NPY_UINT32, "(m, 3)");
        return Strided<std::uint32_t, 2>{PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)),
                                         static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0),
                                         PyArray_STRIDE(array, 1)};
    });
    if (triangles.rows == 0) fail_input(Failure::mesh_without_triangles);
    if (triangles.columns != 3) fail_input(Failure::triangles_not_three_columns);
    TriangleBvh<S> bvh = released([&] { return build_triangle_bvh(vertices, triangles); });
    const npy_intp nodes = static_cast<npy_intp>(bvh.links.size() / bvh_width),
                   m = static_cast<npy_intp>(triangles.rows);
    Ref bounds = to_numpy(std::move(bvh.bounds), {nodes, 6 * bvh_width});
    Ref links = to_numpy(std::move(bvh.links), {nodes, bvh_width});
    Ref corners = to_numpy(std::move(bvh.corners), {m, 9});
    Ref order = to_numpy(std::move(bvh.order));
    return require(PyTuple_Pack(4, bounds.get(), links.get(), corners.get(), order.get()));
}

template <class S>
PyObject* closest(PyObject* const* bound) {
    constexpr int type = numpy_type_number<S>();
    PyArrayObject* bounds = convert("bounds", [&] { return contiguous(bound[0], 2, type, "(nodes, 24)"); });
    PyArrayObject* links = convert("links", [&] { return contiguous(bound[1], 2, NPY_UINT32, "(nodes, 4)"); });
    PyArrayObject* corners = convert("corners", [&] { return contiguous(bound[2], 2, type, "(m, 9)"); });
    PyArrayObject* order = convert("order", [&] { return contiguous(bound[3], 1, NPY_UINT32, "(m,)"); });
    const PointsView<S> queries = points_param<S>("queries", bound[4]);
    const std::size_t nodes = static_cast<std::size_t>(PyArray_DIM(bounds, 0));
    const std::size_t m = static_cast<std::size_t>(PyArray_DIM(order, 0));
    if (PyArray_DIM(bounds, 1) != 6 * bvh_width || static_cast<std::size_t>(PyArray_DIM(links, 0)) != nodes ||
        PyArray_DIM(links, 1) != bvh_width || static_cast<std::size_t>(PyArray_DIM(corners, 0)) != m ||
        PyArray_DIM(corners, 1) != 9)
        fail_input(Failure::hierarchy_not_of_one_mesh);
    FeatureNormals normals;
    if (bound[5] != nullptr && bound[5] != Py_None) {
        PyArrayObject* array = convert("normals", [&] { return contiguous(bound[5], 3, NPY_FLOAT64, "(m, 7, 3)"); });
        if (static_cast<std::size_t>(PyArray_DIM(array, 0)) != m || PyArray_DIM(array, 1) != 7 ||
            PyArray_DIM(array, 2) != 3)
            fail_input(Failure::pseudo_normals_per_triangle);
        normals.normals = reinterpret_cast<const double*>(PyArray_DATA(array));
    }
    const std::optional<double> distance = convert("distance_upper_bound", [&] { return distance_arg(bound[6]); });
    if (distance && !(*distance >= 0)) fail_input(Failure::negative_upper_bound);
    const std::size_t threads = threads_arg(bound[7]);
    std::optional<S> bound2;
    // A bound beyond S's range is no bound (and converting it would be undefined).
    if (distance && *distance * *distance < static_cast<double>(std::numeric_limits<S>::max()))
        bound2 = static_cast<S>(*distance * *distance);
    BvhView<S> bvh{reinterpret_cast<const S*>(PyArray_DATA(bounds)),
                   reinterpret_cast<const std::uint32_t*>(PyArray_DATA(links)),
                   nodes,
                   reinterpret_cast<const S*>(PyArray_DATA(corners)),
                   reinterpret_cast<const std::uint32_t*>(PyArray_DATA(order)),
                   m,
                   nullptr};
    const std::size_t q = queries.rows;
    Buffer<S> distances(q), barycentric(3 * q);
    Buffer<std::uint32_t> triangles(q);
    released([&] {
        check_bvh(bvh);
        const Buffer<PreparedTriangle<S>> prepared = prepare_triangles(bvh.corners, m);
        bvh.prepared = prepared.data();
        if (q > 0 && queries.columns < 3) fail(Failure::too_few_columns, queries.columns);
        for (std::size_t row = 0; row < q; ++row)
            for (int k = 0; k < 3; ++k)
                if (const S c = queries.at(row, k); !std::isfinite(c))
                    fail_input(Failure::non_finite_coordinate, row, std::isnan(c) ? 1 : 0);
        const MeshAnswers<S> answers{distances.data(), triangles.data(), barycentric.data()};
        split_over_threads(q, threads, min_queries_per_thread, [&](std::size_t first, std::size_t last) {
            mesh_distances(bvh, queries, first, last, bound2, normals, answers);
        });
        return 0;
    });
    const npy_intp rows = static_cast<npy_intp>(q);
    Ref distance_array = to_numpy(std::move(distances));
    Ref triangle_array = to_numpy(std::move(triangles));
    Ref weights = to_numpy(std::move(barycentric), {rows, 3});
    return require(PyTuple_Pack(3, distance_array.get(), triangle_array.get(), weights.get()));
}

}  // namespace

PyObject* mesh_bvh_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"vertices", "triangles"}, 2};
        auto bound = match<2>(parameters.of(nullptr, "mesh_bvh"), args, nargs, kwnames);
        return is_single(bound[0]) ? build<float>(bound[0], bound[1]) : build<double>(bound[0], bound[1]);
    });
}

PyObject* mesh_closest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<8> parameters{
            {"bounds", "links", "corners", "order", "queries", "normals", "distance_upper_bound", "threads"}, 5};
        auto bound = match<8>(parameters.of(nullptr, "mesh_closest"), args, nargs, kwnames);
        return is_single(bound[0]) ? closest<float>(bound.data()) : closest<double>(bound.data());
    });
}

PyMethodDef mesh_functions[] = {
    {"mesh_bvh", ORNEL_PYCFUNCTION(mesh_bvh_entry), METH_FASTCALL | METH_KEYWORDS, mesh_bvh_doc},
    {"mesh_closest", ORNEL_PYCFUNCTION(mesh_closest_entry), METH_FASTCALL | METH_KEYWORDS, mesh_closest_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ornel::py
