// The three forms every join family offers, written once: two plain clouds
// (the module functions), a plain query cloud against a prepared target
// (`query...`), and a prepared query against a prepared target
// (`query_prepared...`). A family is a `Search` type saying what it converts
// after the operands and before the distance bound (`Search::arguments` of
// them, by `Search::convert`), the core call it runs with the lock released
// (`run`), and the shape of its result (`result`). Every form converts in
// parameter order, so each failure names the parameter it always named.
#pragma once

#include <cstddef>
#include <optional>

#include "../../lib/operand.hpp"
#include "../../lib/search_bound.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "precision.hpp"
#include "prepared_class.hpp"

namespace ornel::py {

// Rows of a query graph; an empty offsets array has none, and the searches
// themselves refuse it.
inline std::size_t query_rows(const CsrArray& indptr) { return indptr.len == 0 ? 0 : indptr.len - 1; }

// Runs `search` (packing included) with the lock released, then wraps its result.
template <class S, class Search, class Run>
PyObject* released_search(const Search& search, std::size_t rows, Run&& run) {
    SearchResult<S> result;
    {
        ReleasedGil released;
        result = run();
    }
    return search.result(std::move(result), rows);
}

// `name(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, <Search's>)`.
template <class S, class Search, std::size_t N>
PyObject* join_two_clouds(const Parameters<N>& parameters, const char* name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static_assert(N == 6 + Search::arguments);
    return call_boundary([&] {
        auto bound = match<N>(parameters.of(nullptr, name), args, nargs, kwnames);
        auto x = cloud_args<S>(&bound[0], "x_points", "x_indices", "x_neighbors");
        auto y = cloud_args<S>(&bound[3], "y_points", "y_indices", "y_neighbors");
        const Search search = Search::convert(&bound[6]);
        return released_search<S>(search, query_rows(x.indptr), [&] {
            const PackedCloud<S> x_packed(x.points, x.indptr, x.indices);
            const PackedCloud<S> y_packed(y.points, y.indptr, y.indices, /*as_target=*/true);
            return search.template run<S>(x_packed.operand(), y_packed.operand(), std::nullopt);
        });
    });
}

// `Prepared.name(x_points, x_indptr, x_indices, <Search's>, distance_upper_bound=None)`.
template <class S, class Search, std::size_t N>
PyObject* join_plain_query(const Parameters<N>& parameters, const char* name, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(N == 4 + Search::arguments);
    return call_boundary([&] {
        auto bound = match<N>(parameters.of(Precision<S>::prepared, name), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        auto x = cloud_args<S>(&bound[0], "x_points", "x_indptr", "x_indices");
        const Search search = Search::convert(&bound[3]);
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[N - 1]); });
        return released_search<S>(search, query_rows(x.indptr), [&] {
            const PackedCloud<S> x_packed(x.points, x.indptr, x.indices);
            return search.template run<S>(x_packed.operand(), target.operand(),
                                          make_bound<S>(distance, target.box, std::nullopt));
        });
    });
}

// `Prepared.name(other, <Search's>, distance_upper_bound=None)`: nothing packed per call.
template <class S, class Search, std::size_t N>
PyObject* join_prepared_query(const Parameters<N>& parameters, const char* name, PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(N == 2 + Search::arguments);
    return call_boundary([&] {
        auto bound = match<N>(parameters.of(Precision<S>::prepared, name), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        const PreparedGraph<S>& query =
            convert("other", [&]() -> const PreparedGraph<S>& { return prepared_arg<S>(bound[0]); });
        const Search search = Search::convert(&bound[1]);
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[N - 1]); });
        const GraphOperand<S> query_operand = query.operand();
        return released_search<S>(search, query_rows(query_operand.indptr), [&] {
            return search.template run<S>(query_operand, target.operand(),
                                          make_bound<S>(distance, target.box, query.box));
        });
    });
}

}  // namespace ornel::py
