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
// where it is read, and a bad one ends the search with GraphFault. Every step
// strictly lowers (d², index) in lexicographic order, so a descent ends on any
// graph; on exact ties it moves to the smaller index. Cost: one row per step,
// one step or two from a good start.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace ornel {

// Contiguous rows of three coordinates (x, y, z).
template <class S>
struct XyzRows {
    const S* data = nullptr;
    std::size_t n = 0;
};

// A CSR graph read in place: row v is indices[indptr[v] .. indptr[v + 1]).
struct CsrRows {
    const std::uint32_t* indptr = nullptr;  // n + 1 entries
    const std::uint32_t* indices = nullptr;
    std::size_t n_indices = 0;
};

// What was wrong with the caller's graph or starts; the binding words it.
struct GraphFault {
    enum Kind { row_out_of_range, neighbour_out_of_range, start_out_of_range } kind;
    std::size_t where;  // the row, the position in indices, or the query
    std::uint64_t value;
};

template <class T, class Q>
inline double squared_distance_exact(const T* p, const Q* q) {
    const double dx = static_cast<double>(q[0]) - static_cast<double>(p[0]);
    const double dy = static_cast<double>(q[1]) - static_cast<double>(p[1]);
    const double dz = static_cast<double>(q[2]) - static_cast<double>(p[2]);
    return dx * dx + dy * dy + dz * dz;
}

// For query i: dist2[i] the squared distance to its answer and idx[i] the
// answer, or (+inf, target.n) when a bound is given and the answer lies
// farther than it. `bound2` is a squared distance. Queries [first, last).
template <class T, class Q>
void descend_from_starts(XyzRows<T> target, CsrRows graph, XyzRows<Q> queries, const std::uint32_t* starts,
                         std::optional<double> bound2, std::size_t first, std::size_t last, double* dist2,
                         std::uint32_t* idx) {
    const std::size_t n = target.n;
    for (std::size_t i = first; i < last; ++i) {
        const Q* q = queries.data + 3 * i;
        std::uint32_t vertex = starts[i];
        if (vertex >= n) throw GraphFault{GraphFault::start_out_of_range, i, vertex};
        double best = squared_distance_exact(target.data + 3 * std::size_t{vertex}, q);
        for (;;) {
            const std::uint32_t begin = graph.indptr[vertex], end = graph.indptr[vertex + 1];
            if (begin > end || end > graph.n_indices) throw GraphFault{GraphFault::row_out_of_range, vertex, end};
            std::uint32_t next = vertex;
            double next_best = best;
            for (std::uint32_t at = begin; at < end; ++at) {
                const std::uint32_t v = graph.indices[at];
                if (v >= n) throw GraphFault{GraphFault::neighbour_out_of_range, at, v};
                const double d = squared_distance_exact(target.data + 3 * std::size_t{v}, q);
                if (d < next_best || (d == next_best && v < next)) {
                    next_best = d;
                    next = v;
                }
            }
            if (next == vertex) break;
            vertex = next;
            best = next_best;
        }
        if (bound2 && !(best <= *bound2)) {
            dist2[i] = std::numeric_limits<double>::infinity();
            idx[i] = static_cast<std::uint32_t>(n);
        } else {
            dist2[i] = best;
            idx[i] = vertex;
        }
    }
}

}  // namespace ornel
