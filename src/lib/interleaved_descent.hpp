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
#include "csr.hpp"
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

namespace detail {

// The state of an interleaved descent: its lanes, what is answered, and the
// seed of the roots of a per-point search.
template <class S, int lane_count>
class InterleavedLanes {
public:
    InterleavedLanes(const GraphOperand<S>& target, const GraphOperand<S>& query, const SeedingOrder& order,
                     const PerPointBound<S>* per_point, S* dists, std::uint64_t* idx, std::uint32_t* handed_on)
        : target_(target),
          query_(query),
          order_(order),
          per_point_(per_point),
          dists_(dists),
          idx_(idx),
          handed_on_(handed_on),
          points_(target.points),
          offsets_(contiguous_entries(target.indptr)),
          neighbours_(contiguous_entries(target.indices)),
          nq_(order.query.size()),
          root_seed_(target.start) {}

    [[gnu::always_inline]] void run() {
        Lane lanes[lane_count];
        for (Lane& lane : lanes) admit(lane);
        while (answered_ < nq_) {
            for (Lane& lane : lanes) {
                if (lane.query == no_query) {
                    if (next_ < nq_) admit(lane);
                    continue;
                }
                if (lane.awaiting_seed) {
                    lane.awaiting_seed = !try_start(lane);
                    if (lane.query == no_query) admit(lane);
                    continue;
                }
                const Candidate<S> step =
                    nearest_in_row(target_, lane.begin, lane.end, lane.current, lane.best, lane.point);
                if (step.vertex != lane.current) {
                    lane.best = step.squared_distance;
                    ask_for_row(lane, step.vertex);
                    continue;
                }
                answer(lane);
                admit(lane);
            }
        }
    }

private:
    struct Lane {
        PackedPoint<S> point;
        S best;                  // squared distance of `current`
        std::uint32_t query;     // the point searched for; no_query when the lane is idle
        std::uint32_t position;  // its place in `order`
        std::uint32_t seed;
        std::uint32_t current;
        std::uint32_t begin;  // current's row, asked for one turn before it is measured
        std::uint32_t end;
        bool awaiting_seed;
    };
    static constexpr std::uint32_t no_query = std::numeric_limits<std::uint32_t>::max();
    static constexpr S inf = std::numeric_limits<S>::infinity();

    [[gnu::always_inline]] void finish(Lane& lane, S distance, std::uint64_t vertex, std::uint32_t hand_on) {
        dists_[lane.query] = distance;
        idx_[lane.query] = vertex;
        handed_on_[lane.query] = hand_on;
        ++answered_;
    }

    // Reads vertex v's row bounds and asks for its neighbour list, which the
    // lane's next turn measures.
    [[gnu::always_inline]] void ask_for_row(Lane& lane, std::uint32_t v) {
        lane.current = v;
        lane.begin = offsets_[v];
        lane.end = offsets_[v + 1];
        __builtin_prefetch(neighbours_ + lane.begin);
        __builtin_prefetch(neighbours_ + lane.end - 1);
    }

    // Starts the lane's descent once its seed is known; false while it is not.
    [[gnu::always_inline]] bool try_start(Lane& lane) {
        const std::uint32_t seeded_by = order_.seeded_by[lane.position];
        if (per_point_ && order_.root[lane.position]) {
            if (answered_ < lane.position) return false;
            lane.seed = root_seed_;
        } else if (seeded_by == SeedingOrder::target_start) {
            lane.seed = target_.start;
        } else {
            lane.seed = handed_on_[seeded_by];
            if (lane.seed == not_handed_on) return false;
        }
        if (per_point_ && point_box_distance_squared(per_point_->target_box, lane.point) > per_point_->r2) {
            finish(lane, inf, target_.n_points, lane.seed);
            lane.query = no_query;
            return true;
        }
        lane.best = squared_distance(points_[lane.seed], lane.point);
        ask_for_row(lane, lane.seed);
        return true;
    }

    // Gives the lane the next query point, or leaves it idle.
    [[gnu::always_inline]] void admit(Lane& lane) {
        lane.query = no_query;
        while (lane.query == no_query && next_ < nq_) {
            lane.position = static_cast<std::uint32_t>(next_);
            lane.query = order_.query[next_];
            lane.point = query_.points[lane.query];
            ++next_;
            lane.awaiting_seed = !try_start(lane);
        }
    }

    // The lane's descent has ended at `current`: its answer, or a miss beyond
    // the bound; with a bound, the latest answer by the walk's order seeds
    // the roots.
    [[gnu::always_inline]] void answer(Lane& lane) {
        const S distance = std::sqrt(lane.best);
        if (!per_point_) {
            finish(lane, distance, lane.current, lane.current);
        } else if (distance * distance > per_point_->r2) {
            finish(lane, inf, target_.n_points, lane.seed);
        } else {
            finish(lane, distance, lane.current, lane.current);
            const std::uint32_t rank = order_.pop_rank[lane.query];
            if (!root_seed_answered_ || rank > root_seed_rank_) {
                root_seed_ = lane.current;
                root_seed_rank_ = rank;
                root_seed_answered_ = true;
            }
        }
    }

    const GraphOperand<S>& target_;
    const GraphOperand<S>& query_;
    const SeedingOrder& order_;
    const PerPointBound<S>* per_point_;
    S* dists_;
    std::uint64_t* idx_;
    std::uint32_t* handed_on_;
    const PackedPoint<S>* points_;
    const std::uint32_t* offsets_;
    const std::uint32_t* neighbours_;
    std::size_t nq_;
    std::size_t answered_ = 0;
    std::size_t next_ = 0;
    // The last answer that was no miss, by the walk's order, for the roots of a per-point search.
    std::uint32_t root_seed_;
    std::uint32_t root_seed_rank_ = 0;
    bool root_seed_answered_ = false;
};

}  // namespace detail

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
    detail::InterleavedLanes<S, lane_count>(target, query, order, per_point, dists, idx, handed_on).run();
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
