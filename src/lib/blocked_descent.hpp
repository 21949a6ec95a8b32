// Single-nearest join by greedy descent, query points moving in blocks.
//
// The query points are cut, in stored order, into blocks of b points. Every
// member of a block starts on the same target vertex s (the last answer of the
// previous block) and all members descend together in sweeps: each sweep
// groups the active members by the vertex they stand on, gathers that vertex's
// neighbourhood once, and moves every member of the group one step. A step is
// the step of greedy_descent (nearest_descent.hpp): to the smallest
// (squared distance, index) pair among the vertex and its neighbours, NaN never
// improving. So each member visits exactly the vertices the single-nearest
// descent visits from s, and on a Delaunay graph it comes to rest on a nearest
// point.
//
// Invariant: a member is active while its last step moved it; its pair
// strictly decreases at every move, so every member comes to rest and every
// block ends. Cost: O(sum of the degrees along every descent), with one gather
// per (sweep, vertex) instead of one per member.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "buffer.hpp"
#include "csr.hpp"
#include "dispatch.hpp"
#include "failure.hpp"
#include "lanes.hpp"
#include "operand.hpp"
#include "packed_point.hpp"
#include "result.hpp"
#include "search_bound.hpp"

namespace ornel {

// The neighbourhood of one target vertex, copied next to each other: indices
// and coordinates, the coordinates split by axis so that one vector
// instruction measures several neighbours at once. Indices are LaneIndex<S>,
// the scalar's size, so that one vector mask selects a distance and its
// index. Capacity only grows, in
// whole 32-byte vectors (the widest the step uses), so the tail of the last
// vector is always readable.
template <class S>
struct GatheredRow {
    static constexpr std::size_t width = 32 / sizeof(S);
    using Index = LaneIndex<S>;

    Buffer<Index> index;
    Buffer<S> x, y, z;
    Buffer<S> dist;  // one member's squared distances, scratch of descent_step
    std::size_t size = 0;

    GatheredRow() { reserve(32); }

    void reserve(std::size_t count) {
        const std::size_t capacity = (count + width - 1) / width * width;
        if (capacity <= index.size()) return;
        index = Buffer<Index>(capacity);
        x = Buffer<S>(capacity);
        y = Buffer<S>(capacity);
        z = Buffer<S>(capacity);
        dist = Buffer<S>(capacity);
    }

    // Copies the row of `vertex`, checking every index it reads. The unused
    // tail of the last vector holds +inf coordinates and the largest index,
    // which never beat a real neighbour (a NaN query never moves at all).
    void gather(const PreparedGraph<S>& target, std::uint32_t vertex) {
        const std::uint64_t nt = target.points.size();
        const RowRange row = checked_row(target.indptr(), target.indices(), vertex);
        const std::size_t degree = row.end - row.begin;
        if (degree + width > index.size()) reserve(std::max(2 * index.size(), degree + width));
        const std::uint32_t* neighbours = target.graph.indices.data() + row.begin;
        for (std::size_t i = 0; i < degree; ++i) {
            const std::uint32_t v = neighbours[i];
            check_index(v, nt);
            const PackedPoint<S>& p = target.points[v];
            index[i] = v;
            x[i] = p[0];
            y[i] = p[1];
            z[i] = p[2];
        }
        size = degree;
        constexpr S inf = std::numeric_limits<S>::infinity();
        for (std::size_t i = degree; i < padded(); ++i) {
            index[i] = std::numeric_limits<Index>::max();
            x[i] = y[i] = z[i] = inf;
        }
    }

    std::size_t padded() const { return (size + width - 1) / width * width; }
};

// One descent step of point p standing on `vertex` at squared distance `best`
// over its gathered neighbourhood: the smallest (squared distance, index)
// pair among the vertex and its neighbours. Returns true when p moved, and
// then updates vertex and best.
//
// The first pass measures every neighbour and keeps, per lane, the smallest
// distance (a NaN never wins a comparison, so it never enters); lanes start
// at `best`. Only if some neighbour comes within `best` does a second pass
// look for the smallest index at the winning distance, so a member at rest
// pays one pass. The minimum of a set of pairs does not depend on the order
// they are met in, so this equals the stored-order scan of greedy_descent; the
// squared distances are (dx² + dy²) + dz², the grouping of squared_distance,
// so every value is the one greedy_descent compares. `bytes` is the vector
// size: 16 everywhere, 32 where the processor has AVX2 (no fused
// multiply-add either way, so both give the same bits).
template <class S, std::size_t bytes>
[[gnu::always_inline]] inline bool descent_step(GatheredRow<S>& row, const PackedPoint<S>& p, std::uint32_t& vertex,
                                                S& best) {
    constexpr std::size_t width = bytes / sizeof(S);
    using Index = LaneIndex<S>;
    using Wide = Vector<S, bytes>;
    using Mask = MaskOf<Wide>;
    const Wide px = Wide{} + p[0], py = Wide{} + p[1], pz = Wide{} + p[2];
    const Wide current = Wide{} + best;
    Wide lane_best = current;
    Mask within{};
    const std::size_t padded = row.padded();
    for (std::size_t i = 0; i < padded; i += width) {
        Wide vx, vy, vz;
        std::memcpy(&vx, row.x.data() + i, sizeof vx);
        std::memcpy(&vy, row.y.data() + i, sizeof vy);
        std::memcpy(&vz, row.z.data() + i, sizeof vz);
        const Wide dx = vx - px, dy = vy - py, dz = vz - pz;
        const Wide d = (dx * dx + dy * dy) + dz * dz;
        std::memcpy(row.dist.data() + i, &d, sizeof d);
        lane_best = d < lane_best ? d : lane_best;
        within |= d <= current;
    }
    if (!any_lane(within)) return false;

    S nearest = lane_best[0];
    for (std::size_t lane = 1; lane < width; ++lane) nearest = lane_best[lane] < nearest ? lane_best[lane] : nearest;
    const Wide at_nearest = Wide{} + nearest;
    Index candidate = vertex;
    if (nearest < best) candidate = std::numeric_limits<Index>::max();
    for (std::size_t i = 0; i < padded; i += width) {
        Wide d;
        std::memcpy(&d, row.dist.data() + i, sizeof d);
        if (!any_lane(d == at_nearest)) continue;
        for (std::size_t lane = 0; lane < width; ++lane)
            if (d[lane] == nearest && row.index[i + lane] < candidate) candidate = row.index[i + lane];
    }
    if (candidate == vertex) return false;
    vertex = static_cast<std::uint32_t>(candidate);
    best = nearest;
    return true;
}

// Sorts the few active keys; insertion sort beats a general sort on the
// short, nearly sorted lists a block leaves after its first sweeps.
inline void sort_active(std::uint64_t* keys, std::size_t count) {
    if (count > 48) {
        std::sort(keys, keys + count);
        return;
    }
    for (std::size_t i = 1; i < count; ++i) {
        const std::uint64_t key = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
        keys[j] = key;
    }
}

template <class S>
struct BlockPlan {
    std::size_t b;
    BoundPlan plan;
    S r2;
    BoundingBox<S> target_box;
};

// The blocks and their sweeps, with `bytes`-wide vectors in the step.
template <class S, std::size_t bytes>
[[gnu::always_inline]] inline void sweep_blocks(const PackedPoint<S>* query, std::size_t nq,
                                                const PreparedGraph<S>& target, const BlockPlan<S>& block_plan,
                                                SearchResult<S>& result) {
    constexpr S inf = std::numeric_limits<S>::infinity();
    constexpr std::uint32_t miss = std::numeric_limits<std::uint32_t>::max();
    const std::size_t b = block_plan.b;
    const std::uint64_t nt = target.points.size();
    const BoundPlan plan = block_plan.plan;
    const S r2 = block_plan.r2;
    const std::size_t capacity = std::min(b, nq);
    Buffer<std::uint32_t> vertex(capacity);
    Buffer<S> best(capacity);
    // Active members as (vertex << 32 | position): sorting the keys groups the
    // members by vertex, and positions stay below 2^32 because b is capped.
    Buffer<std::uint64_t> active(capacity);
    GatheredRow<S> row;

    std::uint32_t start = target.start;
    for (std::size_t first = 0; first < nq; first += b) {
        const std::size_t members = std::min(b, nq - first);
        const PackedPoint<S>* points = query + first;
        std::size_t listed = 0;
        for (std::size_t j = 0; j < members; ++j) {
            if (plan == BoundPlan::test_each_point &&
                point_box_distance_squared(block_plan.target_box, points[j]) > r2) {
                vertex[j] = miss;
                continue;
            }
            vertex[j] = start;
            best[j] = squared_distance(target.points[start], points[j]);
            active[listed++] = std::uint64_t{start} << 32 | j;
        }

        // One sweep per pass: every listed member takes one step, and the
        // members that moved are kept, in place, for the next sweep (writing
        // never overtakes reading: kept <= i).
        while (listed > 0) {
            sort_active(active.data(), listed);
            std::size_t kept = 0;
            for (std::size_t i = 0; i < listed;) {
                const std::uint32_t at = static_cast<std::uint32_t>(active[i] >> 32);
                row.gather(target, at);
                for (; i < listed && static_cast<std::uint32_t>(active[i] >> 32) == at; ++i) {
                    const std::size_t j = static_cast<std::uint32_t>(active[i]);
                    if (descent_step<S, bytes>(row, points[j], vertex[j], best[j]))
                        active[kept++] = std::uint64_t{vertex[j]} << 32 | j;
                }
            }
            listed = kept;
        }

        for (std::size_t j = 0; j < members; ++j) {
            const std::size_t q = first + j;
            if (vertex[j] == miss || (plan != BoundPlan::unbounded && best[j] > r2)) {
                result.dists[q] = inf;
                result.idx[q] = nt;
                continue;
            }
            result.dists[q] = std::sqrt(best[j]);
            result.idx[q] = vertex[j];
            start = vertex[j];
        }
    }
}

// The sweeps as a dispatched kernel: AVX2 gives twice the lanes per distance vector.
template <class S>
struct BlockSweeps {
    template <std::size_t bytes>
    [[gnu::always_inline]] static void run(const PackedPoint<S>* query, std::size_t nq, const PreparedGraph<S>& target,
                                           const BlockPlan<S>& block_plan, SearchResult<S>& result) {
        sweep_blocks<S, bytes>(query, nq, target, block_plan, result);
    }
};

// The first nq of the packed query points, descended in blocks of `block`.
template <class S>
SearchResult<S> blocked_descent(std::span<const PackedPoint<S>> query, std::size_t nq, const PreparedGraph<S>& target,
                                std::size_t block, const std::optional<SearchBound<S>>& bound) {
    constexpr S inf = std::numeric_limits<S>::infinity();
    const std::uint64_t nt = target.points.size();
    SearchResult<S> result{Buffer<S>(nq), Buffer<std::uint64_t>(nq)};
    if (nq == 0) return result;
    if (nt == 0) {
        std::fill_n(result.dists.data(), nq, inf);
        std::fill_n(result.idx.data(), nq, std::uint64_t{0});
        return result;
    }

    BoundPlan plan = BoundPlan::unbounded;
    S r2 = 0;
    if (bound) {
        r2 = bound->r * bound->r;
        plan = plan_bound(*bound, query_box_for(*bound, query.data(), query.size()));
        if (plan == BoundPlan::all_miss) {
            std::fill_n(result.dists.data(), nq, inf);
            std::fill_n(result.idx.data(), nq, nt);
            return result;
        }
    }
    // Every query point is read below; a short point buffer fails here, before
    // any descent, with the first index it lacks.
    if (query.size() < nq) fail_index(query.size(), query.size());

    const std::size_t b = std::max<std::size_t>(block, 1);
    if (std::min(b, nq) > std::numeric_limits<std::uint32_t>::max()) fail_capacity_overflow();
    const BlockPlan<S> block_plan{b, plan, r2, bound ? bound->target_box : BoundingBox<S>{}};
    Dispatch<BlockSweeps<S>, void, const PackedPoint<S>*, std::size_t, const PreparedGraph<S>&, const BlockPlan<S>&,
             SearchResult<S>&>::pick()(query.data(), nq, target, block_plan, result);
    return result;
}

}  // namespace ornel
