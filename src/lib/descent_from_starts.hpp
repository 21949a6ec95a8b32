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

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "dispatch.hpp"
#include "lanes.hpp"

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

template <class T>
inline bool same_point(const T* a, const T* b) {
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

// The walks below take stored rows (a pointer to them, see
// build_neighbour_rows) or NoRows, to gather coordinates through indices; the
// choice is made at compile time, so the gathering walk is compiled as alone.
struct NoRows {};

template <class Rows>
inline constexpr bool stored_rows = !std::is_same_v<Rows, NoRows>;

// Four consecutive stored coordinates, in double precision.
template <class S>
[[gnu::always_inline]] inline Vector<double, 32> four_coordinates(const S* from) {
    Vector<S, 4 * sizeof(S)> loaded;
    std::memcpy(&loaded, from, sizeof loaded);
    if constexpr (sizeof(S) == 8) return loaded;
    else return __builtin_convertvector(loaded, Vector<double, 32>);
}

// descend_one on stored rows (build_neighbour_rows): the same vertex, distances and
// gap, and the same faults. Each row is scanned four neighbours at a time from
// contiguous loads, each lane doing the arithmetic of squared_distance_exact in
// its order (the build forbids contraction, so the distances are the same
// bits). A first pass asks only whether any neighbour beats (best, vertex) and
// keeps the gap; a row that is left is scanned again for the lowest (d², index)
// per lane, merged at the end. All are minima of a total order or ORs (a NaN
// never wins, nor enters the gap), so neither the order of the scan nor a lane
// counted twice changes them: a row's last group is its last four neighbours,
// overlapping the one before. A row of fewer than four is padded with the
// vertex itself, which neither wins nor counts in the gap. Indices are only
// compared, never followed, inside a row, so their check (the row's largest)
// comes after the first pass and names the first bad one, as the scan one at a
// time would have.
//
// Measured on this machine's processor (AMD EPYC, 1 MB L2 per core): fewer
// instructions than gathering, but slower wherever the rows outgrow the L2
// cache. They take 3 coordinates per graph entry, about 15 times the points'
// own, and each point's coordinates are read again by ~15 neighbouring rows
// when gathered, once when stored; hence the walks take rows only when given.
template <bool keep_gap, class T, class Q>
[[gnu::always_inline]] inline std::uint32_t descend_one_rows(XyzRows<T> target, CsrRows graph, const T* rows,
                                                             const Q* q, std::uint32_t vertex, double& best,
                                                             double& gap2) {
    using Distances = Vector<double, 32>;
    using Vertices = Vector<std::int64_t, 32>;
    using Ids = Vector<std::uint32_t, 16>;
    const std::size_t n = target.n;  // below 2³² - 1: the binding refuses more
    const double qx = static_cast<double>(q[0]), qy = static_cast<double>(q[1]), qz = static_cast<double>(q[2]);
    best = squared_distance_exact(target.data + 3 * std::size_t{vertex}, q);
    for (;;) {
        const std::uint32_t begin = graph.indptr[vertex], end = graph.indptr[vertex + 1];
        if (begin > end || end > graph.n_indices) throw GraphFault{GraphFault::row_out_of_range, vertex, end};
        const std::uint32_t length = end - begin;
        const T* home = target.data + 3 * std::size_t{vertex};
        const double hx = static_cast<double>(home[0]), hy = static_cast<double>(home[1]),
                     hz = static_cast<double>(home[2]);
        const std::uint32_t* ids = graph.indices + begin;
        const T* xs = rows + 3 * std::size_t{begin};
        const T* ys = xs + length;
        const T* zs = ys + length;
        auto each_group = [&](auto&& visit) __attribute__((always_inline)) {
            if (length >= 4) {
                for (std::uint32_t j = 0;; j += 4) {
                    if (j + 4 > length) j = length - 4;
                    Ids four;
                    std::memcpy(&four, ids + j, sizeof four);
                    visit(four, four_coordinates(xs + j), four_coordinates(ys + j), four_coordinates(zs + j));
                    if (j + 4 == length) break;
                }
            } else if (length > 0) {
                Ids four = Ids{} + vertex;
                Distances x = Distances{} + hx, y = Distances{} + hy, z = Distances{} + hz;
                for (std::uint32_t k = 0; k < length; ++k) {
                    four[k] = ids[k];
                    x[k] = static_cast<double>(xs[k]);
                    y[k] = static_cast<double>(ys[k]);
                    z[k] = static_cast<double>(zs[k]);
                }
                visit(four, x, y, z);
            }
        };
        auto squared = [&](Distances x, Distances y, Distances z) __attribute__((always_inline)) {
            const Distances dx = qx - x, dy = qy - y, dz = qz - z;
            return dx * dx + dy * dy + dz * dz;
        };
        // First whether any neighbour beats (best, vertex), and the gap: the
        // former chains no group's comparisons to the one before (an OR), and
        // most rows end here, at the answer's.
        const Distances best_lanes = Distances{} + best;
        const Vertices vertex_lanes = Vertices{} + std::int64_t{vertex};
        MaskOf<Distances> beats{};
        Distances gap = Distances{} + std::numeric_limits<double>::infinity();
        Ids highest = Ids{};
        each_group([&](Ids four, Distances x, Distances y, Distances z) __attribute__((always_inline)) {
            highest = four > highest ? four : highest;
            const Distances d = squared(x, y, z);
            const Vertices v = __builtin_convertvector(four, Vertices);
            beats |= (d < best_lanes) | ((d == best_lanes) & (v < vertex_lanes));
            if constexpr (keep_gap) {
                const auto counts = (d != best_lanes) | (x != hx) | (y != hy) | (z != hz);
                gap = (counts & (d < gap)) ? d : gap;
            }
        });
        if (std::max(std::max(highest[0], highest[1]), std::max(highest[2], highest[3])) >= n) [[unlikely]] {
            for (std::uint32_t bad = begin;; ++bad)
                if (graph.indices[bad] >= n)
                    throw GraphFault{GraphFault::neighbour_out_of_range, bad, graph.indices[bad]};
        }
        if (!any_lane(beats)) {
            if constexpr (keep_gap) gap2 = std::min(std::min(gap[0], gap[1]), std::min(gap[2], gap[3]));
            return vertex;
        }
        // Then, on a row that is left, the lowest (d², index) per lane, merged.
        Distances lane_best = best_lanes;
        Vertices lane_vertex = vertex_lanes;
        each_group([&](Ids four, Distances x, Distances y, Distances z) __attribute__((always_inline)) {
            const Distances d = squared(x, y, z);
            const Vertices v = __builtin_convertvector(four, Vertices);
            const auto wins = (d < lane_best) | ((d == lane_best) & (v < lane_vertex));
            lane_best = wins ? d : lane_best;
            lane_vertex = wins ? v : lane_vertex;
        });
        std::uint32_t next = vertex;
        double next_best = best;
        for (int lane = 0; lane < 4; ++lane) {
            const double d = lane_best[lane];
            const auto v = static_cast<std::uint32_t>(lane_vertex[lane]);
            if (d < next_best || (d == next_best && v < next)) {
                next_best = d;
                next = v;
            }
        }
        if (next == vertex) return vertex;
        vertex = next;
        best = next_best;
    }
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
// processor (coordinate gathers are slow there), and rows are short. Given
// stored rows (`rows` not null), descend_one_rows scans them in lanes instead
// (slower here too, on targets beyond the L2 cache: see there).
template <bool keep_gap = true, class T, class Q, class Rows = NoRows>
[[gnu::always_inline]] inline std::uint32_t descend_one(XyzRows<T> target, CsrRows graph, const Q* q,
                                                        std::uint32_t vertex, double& best, double& gap2,
                                                        Rows rows = {}) {
    if constexpr (stored_rows<Rows>) return descend_one_rows<keep_gap>(target, graph, rows, q, vertex, best, gap2);
    const std::size_t n = target.n;
    best = squared_distance_exact(target.data + 3 * std::size_t{vertex}, q);
    for (;;) {
        const std::uint32_t begin = graph.indptr[vertex], end = graph.indptr[vertex + 1];
        if (begin > end || end > graph.n_indices) throw GraphFault{GraphFault::row_out_of_range, vertex, end};
        std::uint32_t next = vertex;
        double next_best = best;
        if constexpr (keep_gap) gap2 = std::numeric_limits<double>::infinity();
        for (std::uint32_t at = begin; at < end; ++at) {
            const std::uint32_t v = graph.indices[at];
            if (v >= n) throw GraphFault{GraphFault::neighbour_out_of_range, at, v};
            const T* p = target.data + 3 * std::size_t{v};
            const double d = squared_distance_exact(p, q);
            if constexpr (keep_gap)
                if (d != best || !same_point(p, target.data + 3 * std::size_t{vertex})) gap2 = std::min(gap2, d);
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

// Stored rows take 3 coordinates per graph entry, several times the points and
// graph together: a large target's rows live in memory, not in cache, and a
// walk waits for each row it reads. The walks over given starts know the first
// row of a query some queries ahead, and ask for it early.
inline constexpr std::size_t prefetch_ahead = 8;

template <class S>
[[gnu::always_inline]] inline void prefetch_row(CsrRows graph, const S* rows, std::size_t n, std::uint32_t vertex) {
    if (vertex >= n) return;
    const std::uint32_t begin = graph.indptr[vertex], end = graph.indptr[vertex + 1];
    if (begin >= end || end > graph.n_indices) return;
    const char* from = reinterpret_cast<const char*>(rows + 3 * std::size_t{begin});
    const char* to = reinterpret_cast<const char*>(rows + 3 * std::size_t{end});
    for (; from < to; from += 64) __builtin_prefetch(from);
    __builtin_prefetch(graph.indices + begin);
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

// Stores one answer, or the miss marker (+inf, target.n) when it lies beyond
// the squared bound.
inline void store_answer(std::optional<double> bound2, std::size_t n, double best, std::uint32_t vertex,
                         double& dist2, std::uint32_t& idx) {
    if (bound2 && !(best <= *bound2)) {
        dist2 = std::numeric_limits<double>::infinity();
        idx = static_cast<std::uint32_t>(n);
    } else {
        dist2 = best;
        idx = vertex;
    }
}

// For query i: dist2[i] the squared distance to its answer and idx[i] the
// answer, or (+inf, target.n) when a bound is given and the answer lies
// farther than it. `bound2` is a squared distance. Queries [first, last).
template <class T, class Q, class Rows = NoRows>
[[gnu::always_inline]] inline void descend_from_starts(XyzRows<T> target, CsrRows graph, XyzRows<Q> queries,
                                                       const std::uint32_t* starts, std::optional<double> bound2,
                                                       std::size_t first, std::size_t last, double* dist2,
                                                       std::uint32_t* idx, Rows rows = {}) {
    for (std::size_t i = first; i < last; ++i) {
        if constexpr (stored_rows<Rows>)
            if (i + prefetch_ahead < last) prefetch_row(graph, rows, target.n, starts[i + prefetch_ahead]);
        const std::uint32_t start = starts[i];
        if (start >= target.n) throw GraphFault{GraphFault::start_out_of_range, i, start};
        double best, gap2;
        const std::uint32_t vertex = descend_one<false>(target, graph, queries.data + 3 * i, start, best, gap2, rows);
        store_answer(bound2, target.n, best, vertex, dist2[i], idx[i]);
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
template <class T, class Q, class Rows = NoRows>
void chain_heads(XyzRows<T> target, CsrRows graph, XyzRows<Q> queries, std::uint32_t* heads, Rows rows = {}) {
    std::uint32_t vertex = 0;
    while (vertex + 1 < target.n && graph.indptr[vertex] == graph.indptr[vertex + 1]) ++vertex;
    for (std::size_t run = 0; run * chain_run < queries.n; ++run) {
        double best, gap2;
        vertex = descend_one<false>(target, graph, queries.data + 3 * run * chain_run, vertex, best, gap2, rows);
        heads[run] = vertex;
    }
}

// Runs [first_run, last_run) of chained queries, each started at its head;
// with `margins`, each answer's margin (see answer_margin) too.
template <class T, class Q, class Rows = NoRows>
[[gnu::always_inline]] inline void descend_chained(XyzRows<T> target, CsrRows graph, XyzRows<Q> queries,
                                                   const std::uint32_t* heads, std::optional<double> bound2,
                                                   std::size_t first_run, std::size_t last_run, double* dist2,
                                                   std::uint32_t* idx, double* margins = nullptr, Rows rows = {}) {
    for (std::size_t run = first_run; run < last_run; ++run) {
        std::uint32_t vertex = heads[run];
        const std::size_t end = std::min(queries.n, (run + 1) * chain_run);
        for (std::size_t i = run * chain_run; i < end; ++i) {
            double best, gap2;
            if (margins) {
                vertex = descend_one(target, graph, queries.data + 3 * i, vertex, best, gap2, rows);
                margins[i] = answer_margin(best, gap2);
            } else {
                vertex = descend_one<false>(target, graph, queries.data + 3 * i, vertex, best, gap2, rows);
            }
            store_answer(bound2, target.n, best, vertex, dist2[i], idx[i]);
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
template <class T, class Q, class Rows = NoRows>
[[gnu::always_inline]] inline void track_queries(XyzRows<T> target, CsrRows graph, XyzRows<Q> queries,
                                                 const Q* previous, const std::uint32_t* starts,
                                                 const double* margins, std::size_t first_run,
                                                 std::size_t last_run, double* dist2, std::uint32_t* idx,
                                                 double* new_margins, Rows rows = {}) {
    for (std::size_t run = first_run; run < last_run; ++run) {
        const std::size_t begin = run * chain_run, end = std::min(queries.n, begin + chain_run);
        for (std::size_t i = begin; i < end; ++i) {
            if constexpr (stored_rows<Rows>) {
                const std::size_t ahead = i + prefetch_ahead;
                if (ahead < queries.n && !(squared_distance_exact(previous + 3 * ahead, queries.data + 3 * ahead) <
                                           margins[ahead] * margins[ahead]))
                    prefetch_row(graph, rows, target.n, starts[ahead]);
            }
            std::uint32_t start = starts[i];
            if (start >= target.n) throw GraphFault{GraphFault::start_out_of_range, i, start};
            const Q* q = queries.data + 3 * i;
            const double moved = std::sqrt(squared_distance_exact(previous + 3 * i, q)) * (1 + margin_slack);
            if (moved < margins[i]) {
                dist2[i] = squared_distance_exact(target.data + 3 * std::size_t{start}, q);
                idx[i] = start;
                new_margins[i] = margins[i] - moved;
                continue;
            }
            if (i > begin) {
                const std::uint32_t before = idx[i - 1];
                if (squared_distance_exact(target.data + 3 * std::size_t{before}, q) <
                    squared_distance_exact(target.data + 3 * std::size_t{start}, q))
                    start = before;
            }
            double best, gap2;
            idx[i] = descend_one(target, graph, q, start, best, gap2, rows);
            dist2[i] = best;
            new_margins[i] = answer_margin(best, gap2);
        }
    }
}

// Stored rows: the coordinates of every row's neighbours, copied row by row in
// the graph's edge order so that a row scan loads them instead of gathering
// them. Row v, of L = indptr[v + 1] - indptr[v] neighbours, holds their L x's,
// then their L y's, then their L z's, from out[3 * indptr[v]]; `out` has
// 3 * n_indices entries (the binding refuses rows of any other length, so a
// row within indices lies within them). Fills rows [first, last), checking
// every row and index as a walk would.
template <class S>
void build_neighbour_rows(XyzRows<S> target, CsrRows graph, std::size_t first, std::size_t last, S* out) {
    for (std::size_t v = first; v < last; ++v) {
        const std::uint32_t begin = graph.indptr[v], end = graph.indptr[v + 1];
        if (begin > end || end > graph.n_indices) throw GraphFault{GraphFault::row_out_of_range, v, end};
        const std::uint32_t length = end - begin;
        S* xs = out + 3 * std::size_t{begin};
        for (std::uint32_t k = 0; k < length; ++k) {
            const std::uint32_t u = graph.indices[begin + k];
            if (u >= target.n) throw GraphFault{GraphFault::neighbour_out_of_range, begin + k, u};
            const S* p = target.data + 3 * std::size_t{u};
            xs[k] = p[0];
            xs[length + k] = p[1];
            xs[2 * length + k] = p[2];
        }
    }
}

// Runs walk(first, last), a lambda calling the walks above with stored rows,
// compiled for this processor's vectors (dispatch.hpp): everything it calls is
// inlined into each entry, so the row scans take AVX2 where it is there.
template <class Walk>
struct RowWalkKernel {
    template <std::size_t>
    [[gnu::always_inline]] static void run(const Walk& walk, std::size_t first, std::size_t last) {
        walk(first, last);
    }
};

template <class Walk>
void run_row_walk(const Walk& walk, std::size_t first, std::size_t last) {
    Dispatch<RowWalkKernel<Walk>, void, const Walk&, std::size_t, std::size_t>::pick()(walk, first, last);
}

// Splits `count` items into at most `threads` contiguous ranges of at least
// `min_items` each and runs work(first, last) on each, the calling thread
// taking the first. A GraphFault is rethrown after all have finished: the
// first range's that failed, so the fault reported (that of the lowest query
// with one) does not depend on the number of threads.
template <class Work>
void split_over_threads(std::size_t count, std::size_t threads, std::size_t min_items, Work&& work) {
    const std::size_t most = std::max<std::size_t>(1, (count + min_items - 1) / std::max<std::size_t>(min_items, 1));
    const std::size_t parts = std::max<std::size_t>(1, std::min(threads, most));
    std::vector<std::optional<GraphFault>> faults(parts);
    auto run_part = [&](std::size_t part) {
        try {
            work(count * part / parts, count * (part + 1) / parts);
        } catch (const GraphFault& fault) {
            faults[part] = fault;
        }
    };
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(parts - 1);
        for (std::size_t part = 1; part < parts; ++part) helpers.emplace_back(run_part, part);
        run_part(0);
    }  // joined here, also when starting a thread failed
    for (const auto& fault : faults)
        if (fault) throw *fault;
}

}  // namespace ornel
