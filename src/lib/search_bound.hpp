// The distance bound and the box tests every bounded search shares.
//
// With a bound r, a search first compares the bounding boxes of the two clouds:
// if even the gap between the boxes exceeds r, nothing can be answered and
// nothing is searched (the box gap). If the query box lies within the target
// box grown by r on every axis, no single query point can be told apart by its
// box distance, so the per-point test is not worth making (the reach test).
// Otherwise every query point's distance to the target box is checked before
// it is searched (the per-point box test). All arithmetic is in S.
#pragma once

#include <optional>

#include "failure.hpp"
#include "packed_point.hpp"

namespace ornel {

template <class S>
struct SearchBound {
    BoundingBox<S> target_box;
    S r;
    std::optional<BoundingBox<S>> query_box;  // computed from the query points when absent
};

// NaN counts as 0 when clamping a lane's gap at zero.
template <class S>
inline S clamp_at_zero(S value) {
    return value > S(0) ? value : S(0);
}

// Sum over the lanes of the squared gap between two boxes; never NaN unless a
// corner is, and +inf when either box is empty.
template <class S>
S box_gap_squared(const BoundingBox<S>& target, const BoundingBox<S>& query) {
    Lanes<S> gap;
    for (int lane = 0; lane < 4; ++lane) {
        S below = target.lo[lane] - query.hi[lane];
        S above = query.lo[lane] - target.hi[lane];
        gap[lane] = clamp_at_zero(max_ignoring_nan(below, above));
    }
    return horizontal_sum<S>(gap * gap);
}

// True when some query point may lie farther than r outside the target box on
// some axis, so the per-point box test can tell query points apart.
template <class S>
bool reaches_beyond(const BoundingBox<S>& target, const BoundingBox<S>& query, S r) {
    for (int axis = 0; axis < 3; ++axis)
        if (target.lo[axis] - r > query.lo[axis] || query.hi[axis] > target.hi[axis] + r) return true;
    return false;
}

// Squared distance from a point to the target box (0 inside it).
template <class S>
inline S point_box_distance_squared(const BoundingBox<S>& target, const PackedPoint<S>& p) {
    Lanes<S> outside;
    for (int lane = 0; lane < 4; ++lane)
        outside[lane] = clamp_at_zero(target.lo[lane] - p[lane]) + clamp_at_zero(p[lane] - target.hi[lane]);
    return horizontal_sum<S>(outside * outside);
}

// The per-point box test of a bounded search: a query point farther than r
// from the target box, or whose answer is, is a miss and hands on the seed it
// was given; the roots of the walk start from the last answer that was no miss.
template <class S>
struct PerPointBound {
    BoundingBox<S> target_box;
    S r2;
};

// What the box tests settle before a bounded search runs.
enum class BoundPlan {
    unbounded,        // no bound: search everything, test nothing
    all_miss,         // the box gap exceeds r: every query point is a miss
    search_all,       // bounded, but the per-point box test cannot help
    test_each_point,  // bounded, and each query point is box-tested first
};

template <class S>
BoundPlan plan_bound(const SearchBound<S>& bound, const BoundingBox<S>& query_box) {
    S r2 = bound.r * bound.r;
    if (box_gap_squared(bound.target_box, query_box) > r2) return BoundPlan::all_miss;
    return reaches_beyond(bound.target_box, query_box, bound.r) ? BoundPlan::test_each_point : BoundPlan::search_all;
}

// The query box the bound carries, or else the box of every packed query
// point; an empty buffer cannot be boxed for a non-empty query.
template <class S>
BoundingBox<S> query_box_for(const SearchBound<S>& bound, const PackedPoint<S>* points, std::size_t n_points) {
    if (bound.query_box) return *bound.query_box;
    if (n_points == 0) fail_index(0, 0);
    return bounding_box(points, n_points);
}

}  // namespace ornel
