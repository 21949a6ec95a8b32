// Single-nearest join by greedy descent on the target graph.
//
// For every query point, start at a seed vertex and repeatedly move to the
// neighbour with the smallest (squared distance, index) pair until no
// neighbour improves on the current vertex. The pair strictly decreases at
// every move, so the descent terminates; on the vertex adjacency of a Delaunay
// tetrahedralisation every such local minimum is a nearest point. Query points
// are visited along the query graph (query_walk.hpp), each seeded with a
// neighbouring point's answer, so most descents take a step or two.
//
// Ties go to the smaller target index; a NaN distance never improves; the
// reported distance is the square root, in S, of the winning squared distance.
// A miss is (+inf, nt). Cost: O(sum of the degrees along every descent).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "buffer.hpp"
#include "candidate.hpp"
#include "csr.hpp"
#include "descent_step.hpp"
#include "dispatch.hpp"
#include "failure.hpp"
#include "interleaved_descent.hpp"
#include "operand.hpp"
#include "packed_point.hpp"
#include "query_walk.hpp"
#include "result.hpp"
#include "search_bound.hpp"
#include "seeding_order.hpp"

namespace ornel {

// Greedy descent from `seed` for point q over a target whose CSR arrays are
// contiguous. Every index read from the graph is checked before it is used.
template <class S>
Candidate<S> greedy_descent(const GraphOperand<S>& target, std::uint64_t seed, const PackedPoint<S>& q) {
    const std::uint64_t nt = target.n_points;
    const PackedPoint<S>* points = target.points;
    const char* neighbours = target.indices.data;
    auto neighbour = [neighbours](std::uint64_t i) {
        std::uint32_t v;
        std::memcpy(&v, neighbours + i * sizeof v, sizeof v);
        return v;
    };
    check_index(seed, nt);
    std::uint32_t current = static_cast<std::uint32_t>(seed);
    S best = squared_distance(points[current], q);
    for (;;) {
        const RowRange row = checked_row(target.indptr, target.indices, current);
        // The neighbours' points are scattered: ask for all of them before the
        // first is needed, so their cache misses overlap.
        for (std::uint64_t i = row.begin; i < row.end; ++i) {
            const std::uint32_t v = neighbour(i);
            if (v < nt) __builtin_prefetch(points + v);
        }
        std::uint32_t candidate = current;
        auto consider = [&](std::uint32_t v, S d) {
            if (d < best || (d == best && v < candidate)) {
                best = d;
                candidate = v;
            }
        };
        // Four single-precision neighbours' distances at once (one 16-byte
        // vector per axis), then compared in stored order: the same values and
        // the same decisions as one at a time. Double precision measured
        // slower this way on 16-byte vectors, so it goes one at a time.
        std::uint64_t i = row.begin;
        for (; sizeof(S) == 4 && i + 4 <= row.end; i += 4) {
            const std::uint32_t a = neighbour(i), b = neighbour(i + 1), c = neighbour(i + 2), d = neighbour(i + 3);
            if (std::max(std::max(a, b), std::max(c, d)) >= nt) [[unlikely]]
                for (std::uint32_t v : {a, b, c, d}) check_index(v, nt);  // names the first bad one
            const Lanes<S> four = squared_distances(points[a], points[b], points[c], points[d], q);
            consider(a, four[0]);
            consider(b, four[1]);
            consider(c, four[2]);
            consider(d, four[3]);
        }
        for (; i < row.end; ++i) {
            const std::uint32_t v = neighbour(i);
            check_index(v, nt);
            consider(v, squared_distance(points[v], q));
        }
        if (candidate == current) return {current, best};
        current = candidate;
    }
}

// greedy_descent over a well-formed target, one nearest_in_row per step.
template <class S>
[[gnu::always_inline]] inline Candidate<S> descend_well_formed(const GraphOperand<S>& target, std::uint32_t current,
                                                               const PackedPoint<S>& q) {
    const auto* const offsets = contiguous_entries(target.indptr);
    S best = squared_distance(target.points[current], q);
    for (;;) {
        const Candidate<S> step = nearest_in_row(target, offsets[current], offsets[current + 1], current, best, q);
        // The lanes start at (best, current), so no move leaves that pair.
        if (step.vertex == current) return {current, best};
        current = step.vertex;
        best = step.squared_distance;
    }
}

// descend_well_formed from `seed` as a dispatched kernel (AVX2 does one
// instruction per operation on four doubles).
template <class S>
struct WellFormedDescent {
    template <std::size_t>
    [[gnu::always_inline]] static Candidate<S> run(const GraphOperand<S>& target, std::uint64_t seed,
                                                   const PackedPoint<S>& q) {
        check_index(seed, target.n_points);
        return descend_well_formed<S>(target, static_cast<std::uint32_t>(seed), q);
    }
};

template <class S>
using Descents =
    Dispatch<WellFormedDescent<S>, Candidate<S>, const GraphOperand<S>&, std::uint64_t, const PackedPoint<S>&>;

// The descent for this target on this processor: the checked one unless the
// target is known to be well formed.
template <class S>
typename Descents<S>::Entry choose_descent(const GraphOperand<S>& target) {
    if (!target.well_formed) return &greedy_descent<S>;
    return Descents<S>::pick();
}

// Whether the searches of these query points run interleaved: on a
// well-formed target nothing read can fail, so the query walk's own checks
// may all come first and the searches after, several at a time.
template <class S>
bool interleaves(const GraphOperand<S>& target, std::size_t nq) {
    return target.well_formed && nq < SeedingOrder::target_start && target.n_points < not_handed_on;
}

template <class S>
void descend_all_interleaved(const GraphOperand<S>& target, const GraphOperand<S>& query,
                             const PerPointBound<S>* per_point, SearchResult<S>& result) {
    const std::size_t nq = result.idx.size();
    auto walk_query = [&] { return seeding_order(query.indptr, query.indices, query.n_points, nq); };
    std::optional<SeedingOrder> uncached;
    const SeedingOrder& order =
        query.seeding_cache ? query.seeding_cache->get(walk_query) : uncached.emplace(walk_query());
    Buffer<std::uint32_t> handed_on(nq);
    std::fill_n(handed_on.data(), nq, not_handed_on);
    InterleavedDescents<S>::pick()(target, query, order, per_point, result.dists.data(), result.idx.data(),
                                   handed_on.data());
}

template <class S>
SearchResult<S> nearest_descent(const GraphOperand<S>& query, const GraphOperand<S>& target,
                                const std::optional<SearchBound<S>>& bound) {
    constexpr S inf = std::numeric_limits<S>::infinity();
    if (query.indptr.len == 0) fail_capacity_overflow();
    const std::size_t nq = query.indptr.len - 1;
    const std::uint64_t nt = target.n_points;
    SearchResult<S> result{Buffer<S>(nq), Buffer<std::uint64_t>(nq)};

    BoundPlan plan = BoundPlan::unbounded;
    if (bound) {
        if (nq == 0) return result;
        plan = plan_bound(*bound, query_box_for(*bound, query.points, query.n_points));
        if (plan == BoundPlan::all_miss) {
            std::fill_n(result.dists.data(), nq, inf);
            std::fill_n(result.idx.data(), nq, nt);
            return result;
        }
    }

    require_contiguous_csr(query.indptr, query.indices);
    auto query_point = [&](std::uint64_t q) -> const PackedPoint<S>& {
        check_index(q, query.n_points);
        return query.points[q];
    };
    std::uint64_t global_seed = target.start;
    const auto descend = choose_descent(target);

    if (plan != BoundPlan::test_each_point) {
        // Mode A: every answer seeds the points it discovers and the next root.
        if (nq > 0) require_contiguous_csr(target.indptr, target.indices);
        if (interleaves(target, nq)) {
            descend_all_interleaved<S>(target, query, nullptr, result);
        } else {
            QueryWalk walk(nq);
            walk.run<DecreasingRows::fail>(query.indptr, query.indices, global_seed,
                                           [&](std::uint64_t seed, std::uint64_t q) -> std::uint64_t {
                                               const Candidate<S> answer = descend(target, seed, query_point(q));
                                               result.dists[q] = std::sqrt(answer.squared_distance);
                                               result.idx[q] = answer.vertex;
                                               global_seed = answer.vertex;
                                               return answer.vertex;
                                           });
        }
        if (plan == BoundPlan::search_all) {
            // Seeds above came from the raw answers; only now apply the bound.
            const S r2 = bound->r * bound->r;
            for (std::size_t i = 0; i < nq; ++i) {
                if (result.dists[i] * result.dists[i] > r2) {
                    result.dists[i] = inf;
                    result.idx[i] = nt;
                }
            }
        }
        return result;
    }

    // Mode B: box-test each point first; a miss never seeds anybody.
    const S r2 = bound->r * bound->r;
    const BoundingBox<S>& target_box = bound->target_box;
    if (interleaves(target, nq)) {
        const PerPointBound<S> per_point{target_box, r2};
        descend_all_interleaved(target, query, &per_point, result);
        return result;
    }
    bool target_checked = false;
    QueryWalk walk(nq);
    walk.run<DecreasingRows::fail>(query.indptr, query.indices, global_seed,
                                   [&](std::uint64_t seed, std::uint64_t q) -> std::uint64_t {
                                       const PackedPoint<S>& p = query_point(q);
                                       if (point_box_distance_squared(target_box, p) > r2) {
                                           result.dists[q] = inf;
                                           result.idx[q] = nt;
                                           return seed;
                                       }
                                       if (!target_checked) {
                                           require_contiguous_csr(target.indptr, target.indices);
                                           target_checked = true;
                                       }
                                       const Candidate<S> answer = descend(target, seed, p);
                                       const S d = std::sqrt(answer.squared_distance);
                                       if (d * d > r2) {
                                           result.dists[q] = inf;
                                           result.idx[q] = nt;
                                           return seed;
                                       }
                                       result.dists[q] = d;
                                       result.idx[q] = answer.vertex;
                                       global_seed = answer.vertex;
                                       return answer.vertex;
                                   });
    return result;
}

}  // namespace ornel
