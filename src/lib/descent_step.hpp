// One step of the single-nearest descent over a well-formed target: the
// smallest (squared distance, index) pair in a row, found with vectors.
#pragma once

#include <cstdint>

#include "candidate.hpp"
#include "csr.hpp"
#include "lanes.hpp"
#include "operand.hpp"
#include "packed_point.hpp"

namespace ornel {

// Keeps, lane by lane, the smaller of the running (squared distance, index)
// pair and a new one, where `valid`. A NaN distance is never smaller, and the
// smaller of two pairs does not depend on the order they are met in, so lanes
// can be filled in any order and folded at the end.
template <class S>
[[gnu::always_inline]] inline void keep_smaller_pairs(Lanes<S>& best, IndexLanes<S>& vertex, Lanes<S> d,
                                                      IndexLanes<S> v, LaneMask<S> valid) {
    const LaneMask<S> take = valid & ((d < best) | ((d == best) & (v < vertex)));
    best = take ? d : best;
    vertex = take ? v : vertex;
}

// One step of greedy_descent over a well-formed target (GraphOperand::well_formed),
// read without checks: the smallest (squared distance, index) pair among
// (best, current) and the neighbours in row [begin, end). The row is measured
// four neighbours at a time into four running minima, with no branch per
// neighbour, and folded at the end. A row's last, partial group is the four
// entries of the neighbour list that end where the row ends, lanes outside the
// unmeasured part masked off, so no read leaves the list.
template <class S>
[[gnu::always_inline]] inline Candidate<S> nearest_in_row(const GraphOperand<S>& target, std::uint32_t begin,
                                                          std::uint32_t end, std::uint32_t current, S best,
                                                          const PackedPoint<S>& q) {
    const PackedPoint<S>* const points = target.points;
    const auto* const neighbours = contiguous_entries(target.indices);
    using Index = LaneIndex<S>;
    LaneMask<S> all{};
    all = ~all;
    Lanes<S> lane_best = Lanes<S>{} + best;
    IndexLanes<S> lane_vertex = IndexLanes<S>{} + static_cast<Index>(current);
    auto measure = [&](std::uint64_t at, LaneMask<S> valid) [[gnu::always_inline]] {
        const std::uint32_t a = neighbours[at], b = neighbours[at + 1], c = neighbours[at + 2], d = neighbours[at + 3];
        const Lanes<S> four = squared_distances(points[a], points[b], points[c], points[d], q);
        keep_smaller_pairs<S>(lane_best, lane_vertex, four, IndexLanes<S>{a, b, c, d}, valid);
    };
    std::uint32_t i = begin;
    for (; end - i >= 4; i += 4) measure(i, all);
    if (i < end) {
        if (target.indices.len >= 4) {
            const std::uint32_t window = end >= 4 ? end - 4 : 0;
            const IndexLanes<S> position = IndexLanes<S>{0, 1, 2, 3} + static_cast<Index>(window);
            const IndexLanes<S> first = IndexLanes<S>{} + static_cast<Index>(i);
            const IndexLanes<S> last = IndexLanes<S>{} + static_cast<Index>(end);
            measure(window, (position >= first) & (position < last));
        } else {
            for (; i < end; ++i) {
                const std::uint32_t v = neighbours[i];
                const S d = squared_distance(points[v], q);
                keep_smaller_pairs<S>(lane_best, lane_vertex, Lanes<S>{} + d, IndexLanes<S>{} + static_cast<Index>(v),
                                      all);
            }
        }
    }
    // Fold without branches: lanes against their mirror images, twice.
    keep_smaller_pairs<S>(lane_best, lane_vertex, shuffle_lanes<2, 3, 0, 1, S>(lane_best, lane_best),
                          shuffle_index_lanes<2, 3, 0, 1, S>(lane_vertex), all);
    keep_smaller_pairs<S>(lane_best, lane_vertex, shuffle_lanes<1, 0, 3, 2, S>(lane_best, lane_best),
                          shuffle_index_lanes<1, 0, 3, 2, S>(lane_vertex), all);
    return {static_cast<std::uint32_t>(lane_vertex[0]), lane_best[0]};
}

}  // namespace ornel
