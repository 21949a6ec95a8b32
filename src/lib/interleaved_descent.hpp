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

#include "candidate.hpp"
#include "descent_step.hpp"
#include "dispatch.hpp"
#include "operand.hpp"
#include "packed_point.hpp"
#include "search_bound.hpp"
#include "seeding_order.hpp"

namespace ornel {

// A hand-on slot not written yet: no target index is this large (the engine
// serves targets of fewer than 2^32 - 1 points).
inline constexpr std::uint32_t not_handed_on = std::numeric_limits<std::uint32_t>::max();

// Answers every query point of `order` into dists and idx (square roots of the
// squared distances, or (+inf, nt) for a miss). handed_on[q], the seed q hands
// to the points it discovered, must hold not_handed_on everywhere. Without a
// bound (per_point == nullptr) every answer is handed on and a root starts
// from the answer of the point answered before it; with one, a root waits
// until every earlier point is answered.
template <class S, int lane_count>
[[gnu::always_inline]] inline void descend_interleaved(const GraphOperand<S>& target, const GraphOperand<S>& query,
                                                       const SeedingOrder& order, const PerPointBound<S>* per_point,
                                                       S* dists, std::uint64_t* idx, std::uint32_t* handed_on) {
    struct Lane {
        PackedPoint<S> point;
        S best;                   // squared distance of `current`
        std::uint32_t query;      // the point searched for; no_query when the lane is idle
        std::uint32_t position;   // its place in `order`
        std::uint32_t seed;
        std::uint32_t current;
        std::uint32_t begin;      // current's row, asked for one turn before it is measured
        std::uint32_t end;
        bool awaiting_seed;
    };
    constexpr std::uint32_t no_query = std::numeric_limits<std::uint32_t>::max();
    constexpr S inf = std::numeric_limits<S>::infinity();
    const PackedPoint<S>* const points = target.points;
    const auto* const offsets = reinterpret_cast<const std::uint32_t*>(target.indptr.data);
    const auto* const neighbours = reinterpret_cast<const std::uint32_t*>(target.indices.data);
    const std::size_t nq = order.query.size();
    std::size_t answered = 0;
    // The last answer that was no miss, by the walk's order, for the roots of a per-point search.
    std::uint32_t root_seed = target.start;
    std::uint32_t root_seed_rank = 0;
    bool root_seed_answered = false;

    auto finish = [&](Lane& lane, S distance, std::uint64_t vertex, std::uint32_t hand_on) [[gnu::always_inline]] {
        dists[lane.query] = distance;
        idx[lane.query] = vertex;
        handed_on[lane.query] = hand_on;
        ++answered;
    };
    // Reads vertex v's row bounds and asks for its neighbour list, which the
    // lane's next turn measures.
    auto ask_for_row = [&](Lane& lane, std::uint32_t v) [[gnu::always_inline]] {
        lane.current = v;
        lane.begin = offsets[v];
        lane.end = offsets[v + 1];
        __builtin_prefetch(neighbours + lane.begin);
        __builtin_prefetch(neighbours + lane.end - 1);
    };
    // Starts the lane's descent once its seed is known; false while it is not.
    auto try_start = [&](Lane& lane) [[gnu::always_inline]] -> bool {
        const std::uint32_t seeded_by = order.seeded_by[lane.position];
        if (per_point && order.root[lane.position]) {
            if (answered < lane.position) return false;
            lane.seed = root_seed;
        } else if (seeded_by == SeedingOrder::target_start) {
            lane.seed = target.start;
        } else {
            lane.seed = handed_on[seeded_by];
            if (lane.seed == not_handed_on) return false;
        }
        if (per_point && point_box_distance_squared(per_point->target_box, lane.point) > per_point->r2) {
            finish(lane, inf, target.n_points, lane.seed);
            lane.query = no_query;
            return true;
        }
        lane.best = squared_distance(points[lane.seed], lane.point);
        ask_for_row(lane, lane.seed);
        return true;
    };
    std::size_t next = 0;
    // Gives the lane the next query point, or leaves it idle.
    auto admit = [&](Lane& lane) [[gnu::always_inline]] {
        lane.query = no_query;
        while (lane.query == no_query && next < nq) {
            lane.position = static_cast<std::uint32_t>(next);
            lane.query = order.query[next];
            lane.point = query.points[lane.query];
            ++next;
            lane.awaiting_seed = !try_start(lane);
        }
    };

    Lane lanes[lane_count];
    for (Lane& lane : lanes) admit(lane);
    while (answered < nq) {
        for (Lane& lane : lanes) {
            if (lane.query == no_query) {
                if (next < nq) admit(lane);
                continue;
            }
            if (lane.awaiting_seed) {
                lane.awaiting_seed = !try_start(lane);
                if (lane.query == no_query) admit(lane);
                continue;
            }
            const Candidate<S> step =
                nearest_in_row(target, lane.begin, lane.end, lane.current, lane.best, lane.point);
            if (step.vertex != lane.current) {
                lane.best = step.squared_distance;
                ask_for_row(lane, step.vertex);
                continue;
            }
            const S distance = std::sqrt(lane.best);
            if (!per_point) {
                finish(lane, distance, lane.current, lane.current);
            } else if (distance * distance > per_point->r2) {
                finish(lane, inf, target.n_points, lane.seed);
            } else {
                finish(lane, distance, lane.current, lane.current);
                const std::uint32_t rank = order.pop_rank[lane.query];
                if (!root_seed_answered || rank > root_seed_rank) {
                    root_seed = lane.current;
                    root_seed_rank = rank;
                    root_seed_answered = true;
                }
            }
            admit(lane);
        }
    }
}

// Eight lanes: enough reads in flight to cover a miss to memory, few enough
// that the lanes' state stays in registers and the first cache level.
inline constexpr int descent_lanes = 8;

template <class S>
struct InterleavedDescent {
    template <std::size_t>
    [[gnu::always_inline]] static void run(const GraphOperand<S>& target, const GraphOperand<S>& query,
                                           const SeedingOrder& order, const PerPointBound<S>* per_point, S* dists,
                                           std::uint64_t* idx, std::uint32_t* handed_on) {
        descend_interleaved<S, descent_lanes>(target, query, order, per_point, dists, idx, handed_on);
    }
};

template <class S>
using InterleavedDescents = Dispatch<InterleavedDescent<S>, void, const GraphOperand<S>&, const GraphOperand<S>&,
                                     const SeedingOrder&, const PerPointBound<S>*, S*, std::uint64_t*, std::uint32_t*>;

}  // namespace ornel
