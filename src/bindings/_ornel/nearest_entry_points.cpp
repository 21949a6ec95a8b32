// Single-nearest joins: the module functions on two plain clouds, and the
// prepared classes' `query` (a plain query cloud) and `query_prepared` (a
// prepared one, nothing packed per call).
#include <optional>

#include "../../lib/nearest_descent.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"
#include "precision.hpp"
#include "prepared_class.hpp"

namespace ornel::py {

namespace {

constexpr Parameters<6> two_clouds{
    {"x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors"}, 6};

template <class S>
PyObject* join_two_clouds(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        auto bound = match<6>(two_clouds.of(nullptr, name), args, nargs, kwnames);
        auto x = cloud_args<S>(&bound[0], "x_points", "x_indices", "x_neighbors");
        auto y = cloud_args<S>(&bound[3], "y_points", "y_indices", "y_neighbors");
        SearchResult<S> result;
        {
            ReleasedGil released;
            const PackedCloud<S> x_packed(x.points, x.indptr, x.indices);
            const PackedCloud<S> y_packed(y.points, y.indptr, y.indices, /*as_target=*/true);
            result = nearest_descent<S>(x_packed.operand(), y_packed.operand(), std::nullopt);
        }
        return search_result(std::move(result));
    });
}

}  // namespace

PyObject* all_nearest_neighbours(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds<double>("all_nearest_neighbours", args, nargs, kwnames);
}

PyObject* all_nearest_neighbours_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds<float>("all_nearest_neighbours_f32", args, nargs, kwnames);
}

template <class S>
PyObject* prepared_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<4> parameters{{"x_points", "x_indptr", "x_indices", "distance_upper_bound"}, 3};
        auto bound = match<4>(parameters.of(Precision<S>::prepared, "query"), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        auto x = cloud_args<S>(&bound[0], "x_points", "x_indptr", "x_indices");
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[3]); });
        SearchResult<S> result;
        {
            ReleasedGil released;
            const PackedCloud<S> x_packed(x.points, x.indptr, x.indices);
            result = nearest_descent<S>(x_packed.operand(), target.operand(),
                                        make_bound<S>(distance, target.box, std::nullopt));
        }
        return search_result(std::move(result));
    });
}

template <class S>
PyObject* prepared_query_prepared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"other", "distance_upper_bound"}, 1};
        auto bound = match<2>(parameters.of(Precision<S>::prepared, "query_prepared"), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        const PreparedGraph<S>& query = convert("other", [&]() -> const PreparedGraph<S>& {
            return prepared_arg<S>(bound[0]);
        });
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[1]); });
        SearchResult<S> result;
        {
            ReleasedGil released;
            result = nearest_descent<S>(query.operand(), target.operand(),
                                        make_bound<S>(distance, target.box, query.box));
        }
        return search_result(std::move(result));
    });
}

template PyObject* prepared_query<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace ornel::py
