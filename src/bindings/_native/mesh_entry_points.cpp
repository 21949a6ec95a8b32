// The mesh family: `mesh_bvh` builds the hierarchy of a mesh's triangles (its
// arrays are the caller's to keep), `mesh_pseudo_normals` what signs a
// distance, `mesh_closest` answers queries with them.
#include "entry_points.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "../../lib/parallel_loop.hpp"
#include "../../lib/mesh_distance.hpp"
#include "../../lib/morton.hpp"
#include "../../lib/obj_text.hpp"
#include "../../lib/pseudo_normals.hpp"
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

const char* const mesh_obj_doc =
    "mesh_obj(text)\n--\n\n"
    "(vertices float64 (n, 3), triangles int64 (m, 3), from 0) of an OBJ file's\n"
    "bytes when it is written plainly: `v x y z` lines and `f` lines of\n"
    "positive indices (`f 1 2 3`, `f 1/1 2/1 3/1`), polygons fanned; None for\n"
    "any other file, which a slower reader words the errors of. Runs with the\n"
    "GIL released.";

const char* const mesh_pseudo_normals_doc =
    "mesh_pseudo_normals(vertices, triangles)\n--\n\n"
    "Per triangle of `triangles` (uint32 (m, 3), any strides) over `vertices`\n"
    "(float64 (n, 3) or wider, finite), the unit (or zero) angle-weighted\n"
    "pseudo-normals of its face, corners a b c and edges ab bc ca: float64\n"
    "(m, 7, 3), what `mesh_closest` signs with. Vertices at equal coordinates\n"
    "are one; an edge is the same either way round. Runs with the GIL released.";

const char* const mesh_closest_doc =
    "mesh_closest(bounds, links, corners, order, queries, normals=None, distance_upper_bound=None, threads=None,\n"
    "             origin=None, barycentric=True)\n"
    "--\n\n"
    "For every row of `queries` ((q, 3) or wider, any strides, float32 or\n"
    "float64), the closest point on any triangle of the mesh whose `mesh_bvh`\n"
    "arrays are given (C-contiguous), the queries taken less `origin` (three\n"
    "numbers, default none) and rounded to the type of `bounds` and `corners`.\n"
    "Returns (distances float64, triangles int64, barycentric float64 (q, 3));\n"
    "a triangle's weights are those of its corners in order, None with\n"
    "`barycentric=False` (24 bytes a query not held). Exact: equal to\n"
    "measuring every triangle, ties to the lowest triangle. With `normals`\n"
    "(C-contiguous float64 (m, 7, 3), as `mesh_pseudo_normals` makes them), a\n"
    "distance is negative where the query is behind its closest feature.\n"
    "Answers farther than `distance_upper_bound` are (nan, -1, nan). The\n"
    "queries are searched in Morton order, each from the answer of the one\n"
    "before, split over `threads` threads (default: the cores this process may\n"
    "use); the answers do not depend on their number. Raises ValueError for a\n"
    "non-finite query. Runs with the GIL released.";

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

Strided<std::uint32_t, 2> triangles_param(PyObject* object) {
    return convert("triangles", [&] {
        PyArrayObject* array = array_arg(object, 2, NPY_UINT32, "(m, 3)");
        return Strided<std::uint32_t, 2>{PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)),
                                         static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0),
                                         PyArray_STRIDE(array, 1)};
    });
}

template <class S>
PyObject* build(PyObject* vertices_object, PyObject* triangles_object) {
    const PointsView<S> vertices = points_param<S>("vertices", vertices_object);
    const auto triangles = triangles_param(triangles_object);
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

PyObject* obj_of(PyObject* text) {
    if (!PyBytes_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "text must be bytes");
        return nullptr;
    }
    // Bytes cannot change: read with the lock released, the reference held.
    const std::string_view bytes(PyBytes_AS_STRING(text), static_cast<std::size_t>(PyBytes_GET_SIZE(text)));
    std::optional<ObjMesh> mesh = released([&] { return parse_plain_obj(bytes); });
    if (!mesh) Py_RETURN_NONE;
    Buffer<double> vertices(mesh->vertices.size());
    std::copy(mesh->vertices.begin(), mesh->vertices.end(), vertices.begin());
    Buffer<std::int64_t> triangles(mesh->triangles.size());
    std::copy(mesh->triangles.begin(), mesh->triangles.end(), triangles.begin());
    Ref vertex_array = to_numpy(std::move(vertices), {static_cast<npy_intp>(mesh->vertices.size() / 3), 3});
    Ref triangle_array = to_numpy(std::move(triangles), {static_cast<npy_intp>(mesh->triangles.size() / 3), 3});
    return require(PyTuple_Pack(2, vertex_array.get(), triangle_array.get()));
}

PyObject* normals_of(PyObject* vertices_object, PyObject* triangles_object) {
    const PointsView<double> vertices = points_param<double>("vertices", vertices_object);
    const auto triangles = triangles_param(triangles_object);
    if (triangles.columns != 3) fail_input(Failure::triangles_not_three_columns);
    Buffer<double> normals = released([&] {
        for (std::size_t row = 0; row < vertices.rows; ++row)
            for (int k = 0; k < 3; ++k)
                if (const double c = vertices.at(row, k); !std::isfinite(c))
                    fail_input(Failure::non_finite_coordinate, row, std::isnan(c) ? 1 : 0);
        return pseudo_normals(vertices, triangles);
    });
    const npy_intp m = static_cast<npy_intp>(triangles.rows);
    return to_numpy(std::move(normals), {m, static_cast<npy_intp>(normals_per_triangle), 3}).release();
}

template <class S, class Q>
PyObject* closest(PyObject* const* bound) {
    constexpr int type = numpy_type_number<S>();
    PyArrayObject* bounds = convert("bounds", [&] { return contiguous(bound[0], 2, type, "(nodes, 24)"); });
    PyArrayObject* links = convert("links", [&] { return contiguous(bound[1], 2, NPY_UINT32, "(nodes, 4)"); });
    PyArrayObject* corners = convert("corners", [&] { return contiguous(bound[2], 2, type, "(m, 9)"); });
    PyArrayObject* order = convert("order", [&] { return contiguous(bound[3], 1, NPY_UINT32, "(m,)"); });
    const PointsView<Q> queries = points_param<Q>("queries", bound[4]);
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
    QueryOrigin origin;
    if (bound[8] != nullptr && bound[8] != Py_None) {
        PyArrayObject* array = convert("origin", [&] { return array_arg(bound[8], 1, NPY_FLOAT64, "(3,)"); });
        if (PyArray_DIM(array, 0) != 3) fail_input(Failure::origin_not_three);
        const char* at = PyArray_BYTES(array);
        const npy_intp step = PyArray_STRIDE(array, 0);
        origin = {ornel::detail::load<double>(at, 0), ornel::detail::load<double>(at, step),
                  ornel::detail::load<double>(at, 2 * step)};
        if (!std::isfinite(origin.x) || !std::isfinite(origin.y) || !std::isfinite(origin.z))
            fail_input(Failure::origin_not_three);
    }
    const bool weights_wanted = bound[9] == nullptr || convert("barycentric", [&] { return flag_arg(bound[9]); });
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
    Buffer<double> distances(q), barycentric(weights_wanted ? 3 * q : 0);
    Buffer<std::int64_t> triangles(q);
    released([&] {
        check_bvh(bvh);
        const Buffer<PreparedTriangle<S>> prepared = prepare_triangles(bvh.corners, m);
        bvh.prepared = prepared.data();
        if (q > 0 && queries.columns < 3) fail(Failure::too_few_columns, queries.columns);
        // A query is searched less the origin and rounded to S: one that rounds
        // beyond S's range (a float32 search of a point past 3.4e38) is as
        // non-finite as an infinite one, and converting it would be undefined.
        const double shift[3] = {origin.x, origin.y, origin.z};
        const double largest = std::numeric_limits<S>::max();
        const double rounds_to_infinity = largest + (largest - std::nextafter(largest, 0.0)) / 2;
        for (std::size_t row = 0; row < q; ++row)
            for (int k = 0; k < 3; ++k)
                if (const Q c = queries.at(row, k);
                    !std::isfinite(c) || !(std::abs(double(c) - shift[k]) < rounds_to_infinity))
                    fail_input(Failure::non_finite_coordinate, row, std::isnan(c) ? 1 : 0);
        const MeshAnswers answers{distances.data(), triangles.data(), weights_wanted ? barycentric.data() : nullptr};
        mesh_distances(bvh, queries, origin, bound2, normals, answers, threads, min_queries_per_thread);
        return 0;
    });
    const npy_intp rows = static_cast<npy_intp>(q);
    Ref distance_array = to_numpy(std::move(distances));
    Ref triangle_array = to_numpy(std::move(triangles));
    if (!weights_wanted) return require(PyTuple_Pack(3, distance_array.get(), triangle_array.get(), Py_None));
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

PyObject* mesh_obj_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<1> parameters{{"text"}, 1};
        auto bound = match<1>(parameters.of(nullptr, "mesh_obj"), args, nargs, kwnames);
        return obj_of(bound[0]);
    });
}

PyObject* mesh_pseudo_normals_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"vertices", "triangles"}, 2};
        auto bound = match<2>(parameters.of(nullptr, "mesh_pseudo_normals"), args, nargs, kwnames);
        return normals_of(bound[0], bound[1]);
    });
}

PyObject* mesh_closest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<10> parameters{{"bounds", "links", "corners", "order", "queries", "normals",
                                                    "distance_upper_bound", "threads", "origin", "barycentric"},
                                                   5};
        auto bound = match<10>(parameters.of(nullptr, "mesh_closest"), args, nargs, kwnames);
        // Queries of either type for either precision: the search reads them
        // as they are, with no converted copy.
        const bool single = is_single(bound[0]), single_queries = is_single(bound[4]);
        if (single) return single_queries ? closest<float, float>(bound.data()) : closest<float, double>(bound.data());
        return single_queries ? closest<double, float>(bound.data()) : closest<double, double>(bound.data());
    });
}

PyMethodDef mesh_functions[] = {
    {"mesh_bvh", ORNEL_PYCFUNCTION(mesh_bvh_entry), METH_FASTCALL | METH_KEYWORDS, mesh_bvh_doc},
    {"mesh_obj", ORNEL_PYCFUNCTION(mesh_obj_entry), METH_FASTCALL | METH_KEYWORDS, mesh_obj_doc},
    {"mesh_pseudo_normals", ORNEL_PYCFUNCTION(mesh_pseudo_normals_entry), METH_FASTCALL | METH_KEYWORDS,
     mesh_pseudo_normals_doc},
    {"mesh_closest", ORNEL_PYCFUNCTION(mesh_closest_entry), METH_FASTCALL | METH_KEYWORDS, mesh_closest_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ornel::py
