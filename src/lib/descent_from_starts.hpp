// The nearest target point of every query point by greedy descent over the
// target's graph, each descent starting at a vertex the caller gives (a nearby
// answer: the previous iteration's in a registration, or that of a faster
// single-precision search), and measuring squared distances in double
// precision whatever the coordinates are stored in.
//
// Why double: a float32 descent compares float32 squared distances, and when
// the query lies far from the target compared with the spacing of its points,
// each step changes d² by less than one unit in the last place; the descent
// then stops on a rounding plateau short of the nearest point. Differences of
// float32 (or of float64 near each other) coordinates are exact in double and
// their squares nearly so, so here each comparison is off by at most one
// rounding of a sum, and on a Delaunay graph the descent ends at the nearest
// point from any start.
//
// The caller's arrays may hold anything: every row and every index is checked
// where it is read, and a bad one ends the search with an InputFailure. Every step
// strictly lowers (d², index) in lexicographic order, so a descent ends on any
// graph; on exact ties it moves to the smaller index. Cost: one row per step,
// one step or two from a good start.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "csr.hpp"
#include "failure.hpp"
#include "strided.hpp"

namespace ornel {

// A query's coordinates in double, read once per descent.
struct QueryPoint {
    double xyz[3];

    template <PointSource P>
    static QueryPoint row(const P& points, std::size_t row) {
        return {{coordinate(points, row, 0), coordinate(points, row, 1), coordinate(points, row, 2)}};
    }
};

template <PointSource P>
inline double squared_distance_exact(const P& points, std::size_t row, const QueryPoint& q) {
    const double dx = q.xyz[0] - coordinate(points, row, 0);
    const double dy = q.xyz[1] - coordinate(points, row, 1);
    const double dz = q.xyz[2] - coordinate(points, row, 2);
    return dx * dx + dy * dy + dz * dz;
}

template <PointSource P>
inline bool same_point(const P& points, std::size_t a, std::size_t b) {
    return points.at(a, 0) == points.at(b, 0) && points.at(a, 1) == points.at(b, 1) &&
           points.at(a, 2) == points.at(b, 2);
}

// The descent of one query from `vertex`: the vertex where (d², index) is
// lowest among its neighbours, its squared distance `best`, and `gap2`, the
// least squared distance of that vertex's neighbours (+inf without any),
// leaving out those at its very coordinates: such a tie is for good, and the
// vertex, the smaller index (a descent ends at no vertex with a smaller equal
// neighbour), keeps winning it wherever the query moves. Without `keep_gap`,
// gap2 is left alone.
//
// One neighbour at a time: scanning rows four at a time in vector lanes, with
// the same answers, took fewer instructions but more time on this machine's
// processor (coordinate gathers are slow there), and rows are short.
template <bool keep_gap = true, PointSource Target>
inline std::uint32_t descend_one(Target target, CsrArray indptr, CsrArray indices, const QueryPoint& q,
                                 std::uint32_t vertex, double& best, double& gap2) {
    const std::size_t n = target.size();
    const std::uint32_t* const offsets = contiguous_entries(indptr);
    const std::uint32_t* const neighbours = contiguous_entries(indices);
    best = squared_distance_exact(target, vertex, q);
    for (;;) {
        const std::uint32_t begin = offsets[vertex], end = offsets[vertex + 1];
        if (begin > end || end > indices.len) fail_input(Failure::row_outside_indices, vertex, end);
        std::uint32_t next = vertex;
        double next_best = best;
        if constexpr (keep_gap) gap2 = std::numeric_limits<double>::infinity();
        for (std::uint32_t at = begin; at < end; ++at) {
            const std::uint32_t v = neighbours[at];
            if (v >= n) fail_input(Failure::neighbour_outside_target, at, v);
            const double d = squared_distance_exact(target, v, q);
            if constexpr (keep_gap)
                if (d != best || !same_point(target, v, vertex)) gap2 = std::min(gap2, d);
            // A branch, rarely taken from a good start: as a conditional move it
            // would chain every neighbour's comparison to the one before.
            if (d <= next_best) [[unlikely]] {
                if (d < next_best || v < next) {
                    next_best = d;
                    next = v;
                }
            }
        }
        if (next == vertex) return vertex;
        vertex = next;
        best = next_best;
    }
}

// Relative allowance for rounding in a margin. Every distance here is off by a
// few units in the last place of itself (differences of coordinates are taken
// first), far less than this.
inline constexpr double margin_slack = 1e-12;

// How far a query may move before a point other than its answer could be
// nearer: while it moves by less than (|q - p_u| - |q - p_v|) / 2 for every
// neighbour u of the answer v, v stays nearer than all of them, and a descent
// from v ends at v on any graph (on a Delaunay graph v stays the nearest).
// Zero on ties, so a tie is always walked.
inline double answer_margin(double best, double gap2) {
    const double margin = (std::sqrt(gap2) * (1 - margin_slack) - std::sqrt(best) * (1 + margin_slack)) / 2;
    return margin > 0 ? margin : 0;
}

// Stores one answer, or the miss marker (+inf, n) when it lies beyond
// the squared bound.
inline void store_answer(std::optional<double> bound2, std::size_t n, double best, std::uint32_t vertex, double& dist2,
                         std::uint32_t& idx) {
    if (bound2 && !(best <= *bound2)) {
        dist2 = std::numeric_limits<double>::infinity();
        idx = static_cast<std::uint32_t>(n);
    } else {
        dist2 = best;
        idx = vertex;
    }
}

// The target of every walk here: its points, n rows, and its graph, both
// arrays contiguous and aligned, indptr of n + 1 entries; the rest of the
// graph is checked where it is read. Views are taken by value, so that their
// fields stay in registers across the stores of the answers.
//
// For query i: dist2[i] the squared distance to its answer and idx[i] the
// answer, or (+inf, n) when a bound is given and the answer lies farther than
// it. `bound2` is a squared distance. Queries [first, last).
template <PointSource Target, PointSource Queries>
void descend_from_starts(Target target, CsrArray indptr, CsrArray indices, Queries queries, const std::uint32_t* starts,
                         std::optional<double> bound2, std::size_t first, std::size_t last, double* dist2,
                         std::uint32_t* idx) {
    for (std::size_t i = first; i < last; ++i) {
        const std::uint32_t start = starts[i];
        if (start >= target.size()) fail_input(Failure::start_outside_target, i, start);
        double best, gap2;
        const std::uint32_t vertex =
            descend_one<false>(target, indptr, indices, QueryPoint::row(queries, i), start, best, gap2);
        store_answer(bound2, target.size(), best, vertex, dist2[i], idx[i]);
    }
}

// Without given starts, queries in a spatial order start at the answer of the
// query before them. The chain restarts every `chain_run` queries, at the
// answer of the previous run's first query, so that runs can be searched on
// any number of threads with the same answers (ties included).
inline constexpr std::size_t chain_run = 256;

// The answers of the first query of every run, one after the other: `heads`
// gets one vertex per run. The first descent starts at the first vertex with
// neighbours (a vertex without any cannot be left).
template <PointSource Target, PointSource Queries>
void chain_heads(Target target, CsrArray indptr, CsrArray indices, Queries queries, std::uint32_t* heads) {
    std::uint32_t vertex = 0;
    const std::uint32_t* const offsets = contiguous_entries(indptr);
    while (vertex + 1 < target.size() && offsets[vertex] == offsets[vertex + 1]) ++vertex;
    for (std::size_t run = 0; run * chain_run < queries.size(); ++run) {
        double best, gap2;
        vertex =
            descend_one<false>(target, indptr, indices, QueryPoint::row(queries, run * chain_run), vertex, best, gap2);
        heads[run] = vertex;
    }
}

// Runs [first_run, last_run) of chained queries, each started at its head;
// with `margins`, each answer's margin (see answer_margin) too.
template <PointSource Target, PointSource Queries>
void descend_chained(Target target, CsrArray indptr, CsrArray indices, Queries queries, const std::uint32_t* heads,
                     std::optional<double> bound2, std::size_t first_run, std::size_t last_run, double* dist2,
                     std::uint32_t* idx, double* margins = nullptr) {
    for (std::size_t run = first_run; run < last_run; ++run) {
        std::uint32_t vertex = heads[run];
        const std::size_t end = std::min(queries.size(), (run + 1) * chain_run);
        for (std::size_t i = run * chain_run; i < end; ++i) {
            const QueryPoint q = QueryPoint::row(queries, i);
            double best, gap2;
            if (margins) {
                vertex = descend_one(target, indptr, indices, q, vertex, best, gap2);
                margins[i] = answer_margin(best, gap2);
            } else {
                vertex = descend_one<false>(target, indptr, indices, q, vertex, best, gap2);
            }
            store_answer(bound2, target.size(), best, vertex, dist2[i], idx[i]);
        }
    }
}

// Runs [first_run, last_run) of queries that moved from `previous` (where
// their answers were `starts`, with `margins`). A query that moved by less than
// its margin keeps its answer unwalked, with its margin less the move. Another
// descends from its previous answer or, when nearer to it, from the answer of
// the query before it in its run: after a large move that one is a step away,
// its own previous answer many. Every answer is exact on a Delaunay graph (and
// on any graph a local minimum, as from any start); `new_margins` gets every
// answer's margin for the next move. Runs of `chain_run` queries, as above.
template <PointSource Target, PointSource Queries>
void track_queries(Target target, CsrArray indptr, CsrArray indices, Queries queries, Queries previous,
                   const std::uint32_t* starts, const double* margins, std::size_t first_run, std::size_t last_run,
                   double* dist2, std::uint32_t* idx, double* new_margins) {
    for (std::size_t run = first_run; run < last_run; ++run) {
        const std::size_t begin = run * chain_run, end = std::min(queries.size(), begin + chain_run);
        for (std::size_t i = begin; i < end; ++i) {
            std::uint32_t start = starts[i];
            if (start >= target.size()) fail_input(Failure::start_outside_target, i, start);
            const QueryPoint q = QueryPoint::row(queries, i);
            const double moved = std::sqrt(squared_distance_exact(previous, i, q)) * (1 + margin_slack);
            if (moved < margins[i]) {
                dist2[i] = squared_distance_exact(target, start, q);
                idx[i] = start;
                new_margins[i] = margins[i] - moved;
                continue;
            }
            if (i > begin) {
                const std::uint32_t before = idx[i - 1];
                if (squared_distance_exact(target, before, q) < squared_distance_exact(target, start, q))
                    start = before;
            }
            double best, gap2;
            idx[i] = descend_one(target, indptr, indices, q, start, best, gap2);
            dist2[i] = best;
            new_margins[i] = answer_margin(best, gap2);
        }
    }
}

}  // namespace ornel
