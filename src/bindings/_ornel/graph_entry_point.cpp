// The graph builder: tetrahedra in, the CSR pair (indptr, indices) out.
#include "../../lib/graph_from_simplices.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"

namespace ornel::py {

PyObject* graph_from_simplices(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"simplices", "n_points"}, 2};
        auto bound = match<2>(parameters.of(nullptr, "graph_from_simplices"), args, nargs, kwnames);
        const Strided<std::uint64_t, 2> simplices = convert("simplices", [&] { return simplices_arg(bound[0]); });
        expect_too_few_columns("simplices", bound[0], simplices.rows, simplices.columns, 4, "(m, 4)");
        const std::uint64_t n_points = convert("n_points", [&] { return unsigned_arg(bound[1]); });
        CsrGraph graph;
        {
            ReleasedGil released;
            graph = ornel::graph_from_simplices(simplices, n_points);
        }
        return result_pair(to_numpy(std::move(graph.indptr)), to_numpy(std::move(graph.indices)));
    });
}

}  // namespace ornel::py
