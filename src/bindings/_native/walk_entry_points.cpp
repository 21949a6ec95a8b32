// Walks from given starts: nearest target points of queries in double
// precision (descent_from_starts.hpp), once or tracked across the calls of a
// registration, over a target read in place.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "../../lib/descent_from_starts.hpp"
#include "../../lib/parallel_loop.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"

namespace ornel::py {

namespace {

// Queries per thread below which another thread costs more than it saves.
constexpr std::size_t min_queries_per_thread = 4096;

// A target (points and CSR graph) and its queries, as the walks read them in
// place: contiguous arrays, read at fixed strides in the walks' inner loops.
struct WalkArgs {
    bool single = false;
    PyArrayObject* points = nullptr;
    CsrArray indptr;
    CsrArray indices;
    std::size_t n = 0;
    ContiguousPoints<double> queries;
    std::size_t nq = 0;
    std::size_t threads = 1;

    template <class Search>
    void with_target(Search&& search) const {
        if (single)
            search(contiguous_points<float>(points));
        else
            search(contiguous_points<double>(points));
    }
};

WalkArgs walk_args(PyObject* const* bound, PyObject* threads) {
    WalkArgs walk;
    walk.single = convert("points", [&] { return is_float32_array(bound[0]); });
    walk.points = convert(
        "points", [&] { return contiguous_arg(bound[0], 2, walk.single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)"); });
    walk.indptr = csr_view(convert("indptr", [&] { return contiguous_arg(bound[1], 1, NPY_UINT32, "(n + 1,)"); }));
    walk.indices = csr_view(convert("indices", [&] { return contiguous_arg(bound[2], 1, NPY_UINT32, "(m,)"); }));
    walk.queries = contiguous_points<double>(
        convert("queries", [&] { return contiguous_arg(bound[3], 2, NPY_FLOAT64, "(q, 3)"); }));
    walk.threads = convert("threads", [&] { return threads_arg(threads); });
    walk.n = static_cast<std::size_t>(PyArray_DIM(walk.points, 0));
    walk.nq = walk.queries.rows;
    if (walk.indptr.len != walk.n + 1) fail_input(Failure::indptr_length_mismatch);
    if (walk.n >= std::numeric_limits<std::uint32_t>::max()) fail_input(Failure::target_too_large);
    return walk;
}

// One entry per query, of `type_number`, named `name`; `mismatch` if not.
PyArrayObject* per_query_arg(const WalkArgs& walk, PyObject* object, const char* name, int type_number,
                             Failure mismatch) {
    PyArrayObject* array = convert(name, [&] { return contiguous_arg(object, 1, type_number, "(q,)"); });
    if (static_cast<std::size_t>(PyArray_DIM(array, 0)) != walk.nq) fail_input(mismatch);
    return array;
}

PyObject* nearest_from_starts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<7> parameters{
            {"points", "indptr", "indices", "queries", "starts", "distance_upper_bound", "threads"}, 5};
        auto bound = match<7>(parameters.of(nullptr, "nearest_from_starts"), args, nargs, kwnames);
        const WalkArgs walk = walk_args(bound.data(), bound[6]);
        const bool chained = bound[4] == Py_None;
        PyArrayObject* starts =
            chained ? nullptr : per_query_arg(walk, bound[4], "starts", NPY_UINT32, Failure::starts_per_query);
        const std::optional<double> distance = convert("distance_upper_bound", [&] { return distance_arg(bound[5]); });
        if (chained && walk.nq > 0 && walk.n == 0) fail_input(Failure::target_without_points);
        std::optional<double> bound2;
        if (distance) bound2 = std::isnan(*distance) ? *distance : *distance * *distance;
        const std::uint32_t* start = chained ? nullptr : reinterpret_cast<const std::uint32_t*>(PyArray_DATA(starts));
        Buffer<double> dist2(walk.nq);
        Buffer<std::uint32_t> idx(walk.nq);
        Buffer<std::uint32_t> heads(chained ? (walk.nq + chain_run - 1) / chain_run : 0);
        const CsrArray &indptr = walk.indptr, &indices = walk.indices;
        const ContiguousPoints<double>& rows = walk.queries;
        {
            ReleasedGil released;
            if (!chained && walk.nq > 0 && walk.n == 0) fail_input(Failure::start_outside_target, 0, start[0]);
            walk.with_target([&](auto target) {
                if (chained) {
                    chain_heads(target, indptr, indices, rows, heads.data());
                    split_over_threads(heads.size(), walk.threads, min_queries_per_thread / chain_run,
                                       [&](std::size_t first, std::size_t last) {
                                           descend_chained(target, indptr, indices, rows, heads.data(), bound2, first,
                                                           last, dist2.data(), idx.data());
                                       });
                } else {
                    split_over_threads(walk.nq, walk.threads, min_queries_per_thread,
                                       [&](std::size_t first, std::size_t last) {
                                           descend_from_starts(target, indptr, indices, rows, start, bound2, first,
                                                               last, dist2.data(), idx.data());
                                       });
                }
            });
        }
        return result_pair(to_numpy(std::move(dist2)), to_numpy(std::move(idx)));
    });
}

PyObject* track_nearest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<8> parameters{
            {"points", "indptr", "indices", "queries", "previous", "starts", "margins", "threads"}, 4};
        auto bound = match<8>(parameters.of(nullptr, "track_nearest"), args, nargs, kwnames);
        const WalkArgs walk = walk_args(bound.data(), bound[7]);
        auto given = [&](int i) { return bound[i] != nullptr && bound[i] != Py_None; };
        const bool first_call = !given(4) && !given(5) && !given(6);
        if (!first_call && !(given(4) && given(5) && given(6))) fail_input(Failure::tracking_state_partial);
        PyArrayObject* previous = nullptr;
        PyArrayObject* starts = nullptr;
        PyArrayObject* margins = nullptr;
        if (!first_call) {
            previous = convert("previous", [&] { return contiguous_arg(bound[4], 2, NPY_FLOAT64, "(q, 3)"); });
            if (static_cast<std::size_t>(PyArray_DIM(previous, 0)) != walk.nq) fail_input(Failure::previous_per_query);
            starts = per_query_arg(walk, bound[5], "starts", NPY_UINT32, Failure::starts_per_query);
            margins = per_query_arg(walk, bound[6], "margins", NPY_FLOAT64, Failure::margins_per_query);
        }
        if (walk.nq > 0 && walk.n == 0) fail_input(Failure::target_without_points);
        Buffer<double> dist2(walk.nq);
        Buffer<std::uint32_t> idx(walk.nq);
        Buffer<double> new_margins(walk.nq);
        Buffer<std::uint32_t> heads(first_call ? (walk.nq + chain_run - 1) / chain_run : 0);
        const CsrArray &indptr = walk.indptr, &indices = walk.indices;
        const ContiguousPoints<double>& rows = walk.queries;
        const ContiguousPoints<double> previous_rows =
            first_call ? ContiguousPoints<double>{} : contiguous_points<double>(previous);
        {
            ReleasedGil released;
            walk.with_target([&](auto target) {
                if (first_call) {
                    chain_heads(target, indptr, indices, rows, heads.data());
                    split_over_threads(heads.size(), walk.threads, min_queries_per_thread / chain_run,
                                       [&](std::size_t first, std::size_t last) {
                                           descend_chained(target, indptr, indices, rows, heads.data(), std::nullopt,
                                                           first, last, dist2.data(), idx.data(), new_margins.data());
                                       });
                } else {
                    const std::size_t runs = (walk.nq + chain_run - 1) / chain_run;
                    split_over_threads(runs, walk.threads, min_queries_per_thread / chain_run,
                                       [&](std::size_t first, std::size_t last) {
                                           track_queries(target, indptr, indices, rows, previous_rows,
                                                         reinterpret_cast<const std::uint32_t*>(PyArray_DATA(starts)),
                                                         reinterpret_cast<const double*>(PyArray_DATA(margins)), first,
                                                         last, dist2.data(), idx.data(), new_margins.data());
                                       });
                }
            });
        }
        Ref squared = to_numpy(std::move(dist2)), answers = to_numpy(std::move(idx));
        Ref margin_array = to_numpy(std::move(new_margins));
        return require(PyTuple_Pack(3, squared.get(), answers.get(), margin_array.get()));
    });
}

}  // namespace

PyMethodDef walk_functions[] = {
    {"nearest_from_starts", ORNEL_PYCFUNCTION(nearest_from_starts_entry), METH_FASTCALL | METH_KEYWORDS,
     "nearest_from_starts(points, indptr, indices, queries, starts, distance_upper_bound=None, threads=None)\n--\n\n"
     "For every row of `queries` (float64, C-contiguous (q, 3)), the nearest\n"
     "point of the target `points` (float32 or float64, C-contiguous (n, 3))\n"
     "by greedy descent over its CSR graph (`indptr`, `indices`: contiguous\n"
     "uint32), starting at vertex `starts[i]` (contiguous uint32). With\n"
     "`starts=None`, each query starts at the answer of the query before it\n"
     "(give them in a spatial order), the chain restarting every 256 queries\n"
     "at the answer of the previous run's first. Distances are measured in\n"
     "double precision, so a float32 target is walked without rounding\n"
     "plateaus; exact on Delaunay graphs from any start. Returns (squared\n"
     "distances as float64, indices as uint32); with `distance_upper_bound`,\n"
     "answers farther than it are (inf, n). The queries are split over\n"
     "`threads` threads (default: the cores this process may use); the\n"
     "answers do not depend on their number. Raises\n"
     "ValueError for a start or graph entry outside the target. Runs with the\n"
     "GIL released."},
    {"track_nearest", ORNEL_PYCFUNCTION(track_nearest_entry), METH_FASTCALL | METH_KEYWORDS,
     "track_nearest(points, indptr, indices, queries, previous=None, starts=None, margins=None, threads=None)\n--\n\n"
     "`nearest_from_starts` for queries that move a little between calls (the\n"
     "source points of an iterative registration). The first call (without\n"
     "previous, starts, margins) chains the queries in their order; each later\n"
     "call takes the last call's `queries` as `previous` and its answers and\n"
     "margins as `starts` and `margins`. A query that moved by less than its\n"
     "margin keeps its answer without a walk (its start stays nearer than all\n"
     "the start's neighbours); the others walk from it, or from the answer of\n"
     "the query before them when that is nearer (give the queries in a spatial\n"
     "order). Returns (squared distances as float64, indices as uint32,\n"
     "margins as float64); exact on Delaunay graphs. Runs with the GIL\n"
     "released, the queries split over `threads` threads (default: the cores\n"
     "this process may use) in runs of 256; the answers do not depend on\n"
     "their number."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ornel::py
