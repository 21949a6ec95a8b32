// Single-nearest joins: the module functions on two plain clouds, and the
// prepared classes' `query` (a plain query cloud) and `query_prepared` (a
// prepared one, nothing packed per call).
#include <optional>

#include "../../lib/nearest_descent.hpp"
#include "entry_points.hpp"
#include "join_forms.hpp"

namespace ornel::py {

namespace {

// The single-nearest family: no arguments of its own, one answer per query.
struct Nearest {
    static constexpr std::size_t arguments = 0;

    static Nearest convert(PyObject* const*) { return {}; }

    template <class S>
    SearchResult<S> run(const GraphOperand<S>& query, const GraphOperand<S>& target,
                        const std::optional<SearchBound<S>>& bound) const {
        return nearest_descent<S>(query, target, bound);
    }

    template <class S>
    PyObject* result(SearchResult<S>&& result, std::size_t) const {
        return search_result(std::move(result));
    }
};

constexpr Parameters<6> two_clouds_parameters{
    {"x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors"}, 6};
constexpr Parameters<4> query_parameters{{"x_points", "x_indptr", "x_indices", "distance_upper_bound"}, 3};
constexpr Parameters<2> query_prepared_parameters{{"other", "distance_upper_bound"}, 1};

}  // namespace

PyObject* all_nearest_neighbours(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds<double, Nearest>(two_clouds_parameters, "all_nearest_neighbours", args, nargs, kwnames);
}

PyObject* all_nearest_neighbours_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds<float, Nearest>(two_clouds_parameters, "all_nearest_neighbours_f32", args, nargs, kwnames);
}

template <class S>
PyObject* prepared_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_plain_query<S, Nearest>(query_parameters, "query", self, args, nargs, kwnames);
}

template <class S>
PyObject* prepared_query_prepared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_prepared_query<S, Nearest>(query_prepared_parameters, "query_prepared", self, args, nargs, kwnames);
}

template PyObject* prepared_query<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace ornel::py
