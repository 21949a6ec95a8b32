// k-nearest joins: the module functions on two plain clouds, and the prepared
// classes' `query_k` (a plain query cloud) and `query_prepared_k` (a prepared
// one, nothing packed per call). CSR arrays are read in place through their
// strides, so strided views are accepted.
#include <optional>

#include "../../lib/knn_search.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"
#include "precision.hpp"
#include "prepared_class.hpp"

namespace ornel::py {

namespace {

// Rows of a query graph; an empty indptr array has none, and the search
// itself refuses it.
std::size_t query_rows(const CsrArray& indptr) { return indptr.len == 0 ? 0 : indptr.len - 1; }

constexpr Parameters<8> two_clouds_k{
    {"x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors", "k", "ef"}, 8};

template <class S>
PyObject* join_two_clouds_k(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        auto bound = match<8>(two_clouds_k.of(nullptr, name), args, nargs, kwnames);
        auto x = cloud_args<S>(&bound[0], "x_points", "x_indices", "x_neighbors");
        auto y = cloud_args<S>(&bound[3], "y_points", "y_indices", "y_neighbors");
        const std::uint64_t k = convert("k", [&] { return unsigned_arg(bound[6]); });
        const std::uint64_t ef = convert("ef", [&] { return unsigned_arg(bound[7]); });
        SearchResult<S> result;
        {
            ReleasedGil released;
            const PackedCloud<S> x_packed(x.points, x.indptr, x.indices);
            const PackedCloud<S> y_packed(y.points, y.indptr, y.indices, /*as_target=*/true);
            result = knn_search<S>(x_packed.operand(), y_packed.operand(), k, ef, std::nullopt);
        }
        return search_result(std::move(result), query_rows(x.indptr), k);
    });
}

}  // namespace

PyObject* all_nearest_neighbours_k(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds_k<double>("all_nearest_neighbours_k", args, nargs, kwnames);
}

PyObject* all_nearest_neighbours_k_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return join_two_clouds_k<float>("all_nearest_neighbours_k_f32", args, nargs, kwnames);
}

template <class S>
PyObject* prepared_query_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<6> parameters{
            {"x_points", "x_indptr", "x_indices", "k", "ef", "distance_upper_bound"}, 5};
        auto bound = match<6>(parameters.of(Precision<S>::prepared, "query_k"), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        auto x = cloud_args<S>(&bound[0], "x_points", "x_indptr", "x_indices");
        const std::uint64_t k = convert("k", [&] { return unsigned_arg(bound[3]); });
        const std::uint64_t ef = convert("ef", [&] { return unsigned_arg(bound[4]); });
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[5]); });
        SearchResult<S> result;
        {
            ReleasedGil released;
            const PackedCloud<S> x_packed(x.points, x.indptr, x.indices);
            result = knn_search<S>(x_packed.operand(), target.operand(), k, ef,
                                   make_bound<S>(distance, target.box, std::nullopt));
        }
        return search_result(std::move(result), query_rows(x.indptr), k);
    });
}

template <class S>
PyObject* prepared_query_prepared_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<4> parameters{{"other", "k", "ef", "distance_upper_bound"}, 3};
        auto bound = match<4>(parameters.of(Precision<S>::prepared, "query_prepared_k"), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        const PreparedGraph<S>& query = convert("other", [&]() -> const PreparedGraph<S>& {
            return prepared_arg<S>(bound[0]);
        });
        const std::uint64_t k = convert("k", [&] { return unsigned_arg(bound[1]); });
        const std::uint64_t ef = convert("ef", [&] { return unsigned_arg(bound[2]); });
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[3]); });
        const GraphOperand<S> query_operand = query.operand();
        SearchResult<S> result;
        {
            ReleasedGil released;
            result = knn_search<S>(query_operand, target.operand(), k, ef,
                                   make_bound<S>(distance, target.box, query.box));
        }
        return search_result(std::move(result), query_rows(query_operand.indptr), k);
    });
}

template PyObject* prepared_query_k<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_k<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared_k<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared_k<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace ornel::py
