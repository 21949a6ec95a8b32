// The all-by-all fast path: `query_prepared_blocked` (a prepared query cloud
// descended in blocks) and `query_grouped` (a whole grouped query set against
// this target, results mapped back to the callers' numbering).
#include <optional>

#include "../../lib/blocked_descent.hpp"
#include "../../lib/grouped_descent.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"
#include "grouped_class.hpp"
#include "precision.hpp"
#include "prepared_class.hpp"

namespace ornel::py {

template <class S>
PyObject* prepared_query_prepared_blocked(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"other", "block", "distance_upper_bound"}, 1};
        auto bound = match<3>(parameters.of(Precision<S>::prepared, "query_prepared_blocked"), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        const PreparedGraph<S>& query =
            convert("other", [&]() -> const PreparedGraph<S>& { return prepared_arg<S>(bound[0]); });
        const std::uint64_t block = bound[1] ? convert("block", [&] { return unsigned_arg(bound[1]); }) : 8;
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[2]); });
        SearchResult<S> result;
        {
            ReleasedGil released;
            if (query.graph.indptr.size() == 0) fail_capacity_overflow();
            result = blocked_descent<S>(query.points.span(), query.graph.indptr.size() - 1, target, block,
                                        make_bound<S>(distance, target.box, query.box));
        }
        return search_result(std::move(result));
    });
}

template <class S>
PyObject* prepared_query_grouped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<5> parameters{
            {"grouped", "target_perm", "block", "distance_upper_bound", "finalize"}, 2};
        auto bound = match<5>(parameters.of(Precision<S>::prepared, "query_grouped"), args, nargs, kwnames);
        const PreparedGraph<S>& target = graph_of_self<S>(self);
        const GroupedQueries<S>& grouped =
            convert("grouped", [&]() -> const GroupedQueries<S>& { return grouped_arg<S>(bound[0]); });
        const std::optional<PermArg> target_perm = convert("target_perm", [&] { return perm_arg(bound[1]); });
        GroupedOptions options;
        if (bound[2]) options.block = convert("block", [&] { return unsigned_arg(bound[2]); });
        auto distance = convert("distance_upper_bound", [&] { return distance_arg(bound[3]); });
        if (bound[4]) options.finalize = convert("finalize", [&] { return flag_arg(bound[4]); });
        const std::optional<Strided<std::int64_t>> target_view =
            contiguous_perm(target_perm, Failure::strided_target_perm);
        SearchResult<S> result;
        {
            ReleasedGil released;
            result = grouped_descent<S>(target, grouped, target_view, options,
                                        make_bound<S>(distance, target.box, std::nullopt));
        }
        return search_result(std::move(result));
    });
}

template PyObject* prepared_query_prepared_blocked<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared_blocked<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_grouped<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* prepared_query_grouped<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace ornel::py
