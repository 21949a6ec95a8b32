// k-nearest joins: the module functions on two plain clouds, and the prepared
// classes' `query_k` (a plain query cloud) and `query_prepared_k` (a prepared
// one, nothing packed per call). CSR arrays are read in place through their
// strides, so strided views are accepted.
#include <cstdint>
#include <optional>

#include "../../lib/knn_search.hpp"
#include "entry_points.hpp"
#include "join_forms.hpp"

namespace ornel::py {

namespace {

// The k-nearest family: `k` and `ef` after the operands, (rows, k) answers.
struct Knn {
    static constexpr std::size_t arguments = 2;
    std::uint64_t k;
    std::uint64_t ef;

    static Knn convert(PyObject* const* bound) {
        const std::uint64_t k = py::convert("k", [&] { return unsigned_arg(bound[0]); });
        const std::uint64_t ef = py::convert("ef", [&] { return unsigned_arg(bound[1]); });
        return {k, ef};
    }

    template <class S>
    SearchResult<S> run(const GraphOperand<S>& query, const GraphOperand<S>& target,
                        const std::optional<SearchBound<S>>& bound) const {
        return knn_search<S>(query, target, k, ef, bound);
    }

    template <class S>
    PyObject* result(SearchResult<S>&& result, std::size_t rows) const {
        return search_result(std::move(result), rows, k);
    }
};

constexpr Parameters<8> two_clouds_parameters{
    {"x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors", "k", "ef"}, 8};
constexpr Parameters<6> query_parameters{{"x_points", "x_indptr", "x_indices", "k", "ef", "distance_upper_bound"}, 5};
constexpr Parameters<4> query_prepared_parameters{{"other", "k", "ef", "distance_upper_bound"}, 3};

}  // namespace

PyObject* all_nearest_neighbours_k(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds<double, Knn>(two_clouds_parameters, "all_nearest_neighbours_k", args, nargs, kwnames);
}

PyObject* all_nearest_neighbours_k_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds<float, Knn>(two_clouds_parameters, "all_nearest_neighbours_k_f32", args, nargs, kwnames);
}

template <class S>
PyObject* prepared_query_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_plain_query<S, Knn>(query_parameters, "query_k", self, args, nargs, kwnames);
}

template <class S>
PyObject* prepared_query_prepared_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_prepared_query<S, Knn>(query_prepared_parameters, "query_prepared_k", self, args, nargs, kwnames);
}

template PyObject* prepared_query_k<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_k<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared_k<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared_k<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace ornel::py
