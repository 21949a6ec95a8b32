// Single-nearest descents of many query points at once over a well-formed target.
//
// A descent step is a chain of dependent reads: the row's offsets, then its
// neighbour list, then the neighbours' points, each a likely cache miss on a
// large target; one descent at a time waits on each in turn. Here several
// descents, each in a lane of its own, advance one stage per turn, and every
// stage asks for the memory its next stage reads, so that the waits of
// different lanes overlap.
//
// Query points are taken in the order the query walk discovers them, and each
// starts from the seed the walk gives it: the answer of the point that
// discovered it, or, for a root, the answer of the point answered just before
// it. A descent depends on nothing else, so every answer is bit for bit the
// one of a descent at a time in walk order. A lane whose seeding point is not
// answered yet waits; that point was taken earlier, so some lane always moves.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "buffer.hpp"
#include "cpu_features.hpp"
#include "descent_step.hpp"
#include "failure.hpp"
#include "graph.hpp"
#include "packed_point.hpp"
#include "query_walk.hpp"
#include "seeding_order.hpp"

namespace ornel {

// Runs the query walk without searching, checking what it reads exactly as a
// searching walk does, in the same order (a point is checked against the
// query's points where the search would read it). Needs nq < 2^32 - 1.
template <class S>
SeedingOrder seeding_order(const GraphOperand<S>& query, std::size_t nq) {
    QueryWalk walk(nq);
    SeedingOrder order(nq);
    std::uint64_t answered_last = SeedingOrder::target_start;
    std::size_t discovered = 0;
    walk.run<DecreasingRows::fail>(
        query.offsets, query.neighbours, answered_last,
        [&](std::uint64_t, std::uint64_t q) -> std::uint64_t {
            check_index(q, query.n_points);
            answered_last = q;
            return q;
        },
        [&](std::uint64_t seeded_by, std::uint64_t q) {
            order.query[discovered] = static_cast<std::uint32_t>(q);
            order.seeded_by[discovered] = static_cast<std::uint32_t>(seeded_by);
            ++discovered;
        });
    return order;
}

// The answer slot of a query point not answered yet: no target index is this large.
inline constexpr std::uint64_t unanswered = std::numeric_limits<std::uint64_t>::max();

// Answers every query point of `order` into dists and idx (squared distances
// are rooted as they are written). idx must hold `unanswered` everywhere.
template <class S, int lane_count>
[[gnu::always_inline]] inline void descend_interleaved(const GraphOperand<S>& target, const GraphOperand<S>& query,
                                                       const SeedingOrder& order, S* dists, std::uint64_t* idx) {
    struct Lane {
        PackedPoint<S> point;
        S best;               // squared distance of `current`
        std::uint32_t query;  // the point searched for; no_query when the lane is idle
        std::uint32_t seeded_by;
        std::uint32_t current;
        std::uint32_t begin;  // current's row, asked for one turn before it is measured
        std::uint32_t end;
        bool awaiting_seed;
    };
    constexpr std::uint32_t no_query = std::numeric_limits<std::uint32_t>::max();
    const PackedPoint<S>* const points = target.points;
    const auto* const offsets = reinterpret_cast<const std::uint32_t*>(target.offsets.data);
    const auto* const neighbours = reinterpret_cast<const std::uint32_t*>(target.neighbours.data);
    const std::size_t nq = order.query.size();

    // Reads vertex v's row bounds and asks for its neighbour list, which the
    // lane's next turn measures.
    auto ask_for_row = [&](Lane& lane, std::uint32_t v) [[gnu::always_inline]] {
        lane.current = v;
        lane.begin = offsets[v];
        lane.end = offsets[v + 1];
        __builtin_prefetch(neighbours + lane.begin);
        __builtin_prefetch(neighbours + lane.end - 1);
    };
    // Starts the lane's descent if its seed is answered.
    auto try_start = [&](Lane& lane) [[gnu::always_inline]] {
        std::uint64_t seed = target.start;
        if (lane.seeded_by != SeedingOrder::target_start) seed = idx[lane.seeded_by];
        lane.awaiting_seed = seed == unanswered;
        if (lane.awaiting_seed) return;
        lane.best = squared_distance(points[seed], lane.point);
        ask_for_row(lane, static_cast<std::uint32_t>(seed));
    };
    std::size_t next = 0;
    auto admit = [&](Lane& lane) [[gnu::always_inline]] {
        if (next == nq) {
            lane.query = no_query;
            return;
        }
        lane.query = order.query[next];
        lane.seeded_by = order.seeded_by[next];
        lane.point = query.points[lane.query];
        ++next;
        try_start(lane);
    };

    Lane lanes[lane_count];
    for (Lane& lane : lanes) admit(lane);
    std::size_t answered = 0;
    while (answered < nq) {
        for (Lane& lane : lanes) {
            if (lane.query == no_query) continue;
            if (lane.awaiting_seed) {
                try_start(lane);
                continue;
            }
            const DescentAnswer<S> step =
                nearest_in_row(target, lane.begin, lane.end, lane.current, lane.best, lane.point);
            if (step.vertex != lane.current) {
                lane.best = step.squared_distance;
                ask_for_row(lane, step.vertex);
                continue;
            }
            dists[lane.query] = std::sqrt(lane.best);
            idx[lane.query] = lane.current;
            ++answered;
            admit(lane);
        }
    }
}

// Eight lanes: enough reads in flight to cover a miss to memory, few enough
// that the lanes' state stays in registers and the first cache level.
inline constexpr int descent_lanes = 8;

template <class S>
using InterleavedDescent = void (*)(const GraphOperand<S>&, const GraphOperand<S>&, const SeedingOrder&, S*,
                                    std::uint64_t*);

template <class S>
void descend_interleaved_baseline(const GraphOperand<S>& target, const GraphOperand<S>& query,
                                  const SeedingOrder& order, S* dists, std::uint64_t* idx) {
    descend_interleaved<S, descent_lanes>(target, query, order, dists, idx);
}

#if defined(__x86_64__) && defined(__GNUC__)
template <class S>
__attribute__((target("avx2"))) void descend_interleaved_avx2(const GraphOperand<S>& target,
                                                              const GraphOperand<S>& query, const SeedingOrder& order,
                                                              S* dists, std::uint64_t* idx) {
    descend_interleaved<S, descent_lanes>(target, query, order, dists, idx);
}
#endif

template <class S>
InterleavedDescent<S> choose_interleaved_descent() {
#if defined(__x86_64__) && defined(__GNUC__)
    if (avx2_enabled()) return &descend_interleaved_avx2<S>;
#endif
    return &descend_interleaved_baseline<S>;
}

}  // namespace ornel
