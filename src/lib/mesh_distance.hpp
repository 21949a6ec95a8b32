// Point-to-mesh distances: for every query point the exact closest point on
// any triangle, found with the previous query's answer as the first bound.
//
// Queries are taken in Morton order, so consecutive ones are near each other
// and so are their closest triangles. Each search first measures the
// previous answer's triangle, whose distance bounds the answer, then goes
// down the tree from the root, testing a node's four lane boxes at once and
// entering (nearest first) only lanes closer than the best distance so far.
// That certifies the answer: every triangle not measured lies in a box
// farther than it. With a good first bound only the few boxes around the
// answer are entered. Ties go to the lowest triangle index, so the answer
// depends neither on the order nor on the split over threads.
//
// Cost: O(log m) nodes per query near the surface, more for queries far from
// it (whose sphere of candidates is large); no allocation per query.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "buffer.hpp"
#include "dispatch.hpp"
#include "failure.hpp"
#include "lanes.hpp"
#include "morton.hpp"
#include "parallel_loop.hpp"
#include "radix_sort.hpp"
#include "strided.hpp"
#include "triangle_bvh.hpp"
#include "triangle_closest.hpp"

namespace ornel {

// A hierarchy as the search reads it (arrays of TriangleBvh, held elsewhere).
template <class S>
struct BvhView {
    const S* bounds;
    const std::uint32_t* links;
    std::size_t nodes;
    const S* corners;
    const std::uint32_t* order;
    std::size_t triangles;
    const PreparedTriangle<S>* prepared;  // per position, from the corners: see prepare_triangles
};

// Each position's corners as a measurement reads them, made once per search
// of many queries.
template <class S>
Buffer<PreparedTriangle<S>> prepare_triangles(const S* corners, std::size_t triangles) {
    Buffer<PreparedTriangle<S>> prepared(triangles);
    for (std::size_t position = 0; position < triangles; ++position) {
        const S* c = corners + 9 * position;
        prepared[position] = prepare_triangle<S>({c[0], c[1], c[2]}, {c[3], c[4], c[5]}, {c[6], c[7], c[8]});
    }
    return prepared;
}

// Checks a hierarchy's links and order, so that no search can leave its
// arrays, overflow its stack or miss a triangle: a tree (every node but the
// root the child of exactly one node, children after their parent and
// within the nodes), no path deeper than max_bvh_depth, every position in
// exactly one lane, the order within the triangles.
template <class S>
void check_bvh(const BvhView<S>& bvh) {
    if (bvh.nodes == 0 || bvh.triangles == 0) fail(Failure::index_out_of_bounds, 0, 0);
    Buffer<std::uint8_t> reached(bvh.nodes, 0), depth(bvh.nodes, 0), placed(bvh.triangles, 0);
    for (std::size_t node = 0; node < bvh.nodes; ++node) {
        if (node > 0 && !reached[node]) fail_index(bvh.nodes, node);  // unreachable node
        for (std::uint32_t lane = 0; lane < bvh_width; ++lane) {
            const std::uint32_t link = bvh.links[bvh_width * node + lane];
            if (link == 0) continue;
            if (link & triangle_lane) {
                const std::uint32_t position = link & ~triangle_lane;
                check_index(position, bvh.triangles);
                if (placed[position]) fail_index(bvh.triangles, position);
                placed[position] = 1;
                continue;
            }
            if (link <= node) fail_index(bvh.nodes, link);
            check_index(link, bvh.nodes);
            if (reached[link]) fail_index(bvh.nodes, link);
            if (depth[node] + 1u >= max_bvh_depth) fail(Failure::index_out_of_bounds, max_bvh_depth, depth[node] + 1u);
            reached[link] = 1;
            depth[link] = static_cast<std::uint8_t>(depth[node] + 1u);
        }
    }
    for (std::size_t position = 0; position < bvh.triangles; ++position) {
        if (!placed[position]) fail_index(bvh.triangles, position);
        check_index(bvh.order[position], bvh.triangles);
    }
}

// Per triangle, seven unit-or-zero pseudo-normals (face, vertices a b c,
// edges ab bc ca: 21 doubles), which sign a distance by the side of the
// closest feature.
struct FeatureNormals {
    const double* normals = nullptr;
};

// Where the answers go, one row per query, in double whatever the search's
// precision (rounding a float to double is exact), so that no pass over the
// answers converts them afterwards.
struct MeshAnswers {
    double* distance;        // negative inside when signed; NaN where none within the bound
    std::int64_t* triangle;  // -1 where none
    double* barycentric;     // 3 per query; NaN where none; null: not wanted
};

// What a search reads of a query row: its first three coordinates less
// `origin`, rounded to the search's type (for a single-precision search
// the mesh's centre, the origin its corners are stored from; zero otherwise,
// which leaves every coordinate as it is).
struct QueryOrigin {
    double x = 0, y = 0, z = 0;
};

namespace detail {

// Values side by side in one 16-byte vector (four floats or two doubles):
// arithmetic on them compiles to the baseline's vector instructions, which
// compute lane by lane what scalar code would.
template <class S>
using Pack [[gnu::vector_size(16)]] = S;
template <class S>
inline constexpr std::uint32_t pack_lanes = 16 / sizeof(S);

template <class S>
[[gnu::always_inline]] inline Pack<S> load_pack(const S* from) {
    Pack<S> pack;
    std::memcpy(&pack, from, sizeof pack);
    return pack;
}

template <class S>
[[gnu::always_inline]] inline Pack<S> outside(S x, Pack<S> lo, Pack<S> hi) {
    const Pack<S> below = lo - x, above = x - hi, zero = {};
    const Pack<S> gap = below > above ? below : above;
    return gap > zero ? gap : zero;
}

// The squared distances of p to four boxes, their low x of four, then low
// y, low z, high x, high y, high z (a node's lanes, or four candidates).
template <class S>
[[gnu::always_inline]] inline void lane_distances2(const S* box, const Vec3<S>& p, S* distance2) {
    for (std::uint32_t lane = 0; lane < bvh_width; lane += pack_lanes<S>) {
        const Pack<S> dx = outside<S>(p.x, load_pack(box + lane), load_pack(box + 12 + lane));
        const Pack<S> dy = outside<S>(p.y, load_pack(box + 4 + lane), load_pack(box + 16 + lane));
        const Pack<S> dz = outside<S>(p.z, load_pack(box + 8 + lane), load_pack(box + 20 + lane));
        const Pack<S> sum = dx * dx + dy * dy + dz * dz;
        std::memcpy(distance2 + lane, &sum, sizeof sum);
    }
}

// Box distances are rounded too: a box is pruned only when it is farther than
// the best by more than that rounding.
template <class S>
constexpr S prune_slack = 1 + 8 * std::numeric_limits<S>::epsilon();

template <class S>
struct Best {
    TriangleClosest<S> closest;
    std::uint32_t position;
    std::uint32_t triangle;  // the mesh's index; none yet: max
};

template <class S>
Vec3<S> corner(const S* corners, std::uint32_t position, int j) {
    const S* c = corners + 9 * std::size_t{position} + 3 * j;
    return {c[0], c[1], c[2]};
}

template <class S>
[[gnu::flatten]] void measure(const BvhView<S>& bvh, const Vec3<S>& p, std::uint32_t position, Best<S>& best) {
    const TriangleClosest<S> closest = closest_on_triangle(p, bvh.prepared[position]);
    const std::uint32_t triangle = bvh.order[position];
    if (closest.distance2 < best.closest.distance2 ||
        (closest.distance2 == best.closest.distance2 && triangle < best.triangle))
        best = {closest, position, triangle};
}

// Improves `best` by every triangle that could be closer, down from the root:
// a node's triangle lanes measured as met, its child lanes entered nearest
// first. `measured`: a position already measured (or none).
template <class S>
void search(const BvhView<S>& bvh, const Vec3<S>& p, std::uint32_t measured, Best<S>& best) {
    struct Entry {
        std::uint32_t node;
        S distance2;
    };
    std::array<Entry, bvh_width * max_bvh_depth> stack;
    std::size_t top = 0;
    stack[top++] = {0, S(0)};
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.distance2 > best.closest.distance2 * prune_slack<S>) continue;
        S distance2[bvh_width];
        lane_distances2(bvh.bounds + 24 * std::size_t{entry.node}, p, distance2);
        const std::uint32_t* links = bvh.links + bvh_width * std::size_t{entry.node};
        Entry children[bvh_width];
        std::uint32_t count = 0;
        for (std::uint32_t lane = 0; lane < bvh_width; ++lane) {
            if (distance2[lane] > best.closest.distance2 * prune_slack<S>) continue;
            const std::uint32_t link = links[lane];
            if (link & triangle_lane) {
                if (const std::uint32_t position = link & ~triangle_lane; position != measured)
                    measure(bvh, p, position, best);
            } else if (link != 0) {
                // Kept sorted nearest last, so that the nearest is entered first.
                std::uint32_t at = count++;
                for (; at > 0 && children[at - 1].distance2 < distance2[lane]; --at) children[at] = children[at - 1];
                children[at] = {link, distance2[lane]};
            }
        }
        for (std::uint32_t k = 0; k < count; ++k) stack[top++] = children[k];
    }
}

// The triangles a run of neighbouring queries may need: every triangle lane
// whose box lies within some query's bound, with its box (low x, y, z, high
// x, y, z).
template <class S>
struct Candidates {
    static constexpr std::size_t most = 512;
    Buffer<S> boxes{6 * most};
    Buffer<std::uint32_t> position{most};
    std::size_t count = 0;
};

// A run's queries side by side, one a lane. A run measures one triangle
// against all its queries at once, the triangle's corners broadcast, so that
// nothing is gathered (a triangle near one query of a run is nearly always
// near the others). The lanes are taken a vector at a time, of the
// instructions' width: eight floats at once with AVX2, four on the portable
// build; four doubles, or two.
inline constexpr std::uint32_t run_lanes = 8;
// A lane's integers (triangle, position, feature) in the width of its S, so
// that a comparison's mask selects them.
template <class S>
using LaneInt = std::conditional_t<sizeof(S) == 4, std::int32_t, std::int64_t>;
template <class T, std::size_t bytes>
using Wide [[gnu::vector_size(bytes)]] = T;

// A run's queries and each one's best so far, lane by lane. A lane with no
// answer yet has the triangle no_triangle (above every triangle index: there
// are fewer than 2^31), whatever its type.
template <class S>
struct RunLanes {
    static constexpr LaneInt<S> no_triangle = 0x7fffffff;
    alignas(64) S x[run_lanes], y[run_lanes], z[run_lanes];
    alignas(64) S distance2[run_lanes], u[run_lanes], v[run_lanes], w[run_lanes];
    alignas(64) LaneInt<S> triangle[run_lanes], position[run_lanes], feature[run_lanes];
};

// Through references: a 32-byte vector passed or returned by value would be
// another calling convention on the baseline.
template <class V, class T>
[[gnu::always_inline]] inline void load_lanes(V& to, const T* from) {
    std::memcpy(&to, from, sizeof to);
}

template <class V>
[[gnu::always_inline]] inline void dot(const V* u, const V* v, V& out) {
    out = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

// A run's queries and their bounds (slackened as a search's pruning is), in
// vectors, while boxes are tested against them.
template <class S, std::size_t bytes>
struct RunReach {
    using V = Wide<S, bytes>;
    static constexpr std::uint32_t width = bytes / sizeof(S), vectors = run_lanes / width;
    V x[vectors], y[vectors], z[vectors], limit[vectors];

    explicit RunReach(const RunLanes<S>& lanes) {
        for (std::uint32_t i = 0; i < vectors; ++i) {
            load_lanes(x[i], lanes.x + width * i), load_lanes(y[i], lanes.y + width * i);
            load_lanes(z[i], lanes.z + width * i);
        }
        bound(lanes);
    }
    [[gnu::always_inline]] void bound(const RunLanes<S>& lanes) {
        for (std::uint32_t i = 0; i < vectors; ++i) {
            load_lanes(limit[i], lanes.distance2 + width * i);
            limit[i] *= prune_slack<S>;
        }
    }
    // Whether the box (low x, y, z, high x, y, z, `stride` apart) is within
    // some query's bound, its squared distances computed as lane_distances2
    // computes them.
    [[gnu::always_inline]] bool within(const S* box, std::size_t stride) const {
        const V zero = {};
        bool any = false;
        for (std::uint32_t i = 0; i < vectors; ++i) {
            const V below_x = box[0] - x[i], above_x = x[i] - box[3 * stride];
            const V below_y = box[stride] - y[i], above_y = y[i] - box[4 * stride];
            const V below_z = box[2 * stride] - z[i], above_z = z[i] - box[5 * stride];
            const V gap_x = below_x > above_x ? below_x : above_x, dx = gap_x > zero ? gap_x : zero;
            const V gap_y = below_y > above_y ? below_y : above_y, dy = gap_y > zero ? gap_y : zero;
            const V gap_z = below_z > above_z ? below_z : above_z, dz = gap_z > zero ? gap_z : zero;
            any |= any_lane(dx * dx + dy * dy + dz * dz <= limit[i]);
        }
        return any;
    }
};

// One triangle measured against every query of a run: closest_on_triangle's
// operations, in its order, lane by lane, its branches taken as selections,
// so that every lane gets the bits it gives. A lane it would measure as the
// nearest of three edges (a sliver without a face region) is measured by it
// alone, and so are all lanes of a triangle with a repeated corner. Each lane
// keeps the nearer of its best and this, the lower triangle of equal ones.
template <class S, std::size_t bytes>
[[gnu::always_inline]] inline void measure_run(const BvhView<S>& bvh, std::uint32_t position, RunLanes<S>& lanes) {
    using V = Wide<S, bytes>;
    using I = Wide<LaneInt<S>, bytes>;
    using M = decltype(V{} < V{});
    constexpr std::uint32_t width = bytes / sizeof(S);
    const PreparedTriangle<S>& t = bvh.prepared[position];
    const LaneInt<S> triangle = static_cast<LaneInt<S>>(bvh.order[position]);
    auto keep = [&](std::uint32_t lane) {
        const TriangleClosest<S> closest = closest_on_triangle<S>({lanes.x[lane], lanes.y[lane], lanes.z[lane]}, t);
        if (closest.distance2 < lanes.distance2[lane] ||
            (closest.distance2 == lanes.distance2[lane] && triangle < lanes.triangle[lane])) {
            lanes.distance2[lane] = closest.distance2;
            lanes.u[lane] = closest.u, lanes.v[lane] = closest.v, lanes.w[lane] = closest.w;
            lanes.triangle[lane] = triangle;
            lanes.position[lane] = static_cast<LaneInt<S>>(position);
            lanes.feature[lane] = static_cast<LaneInt<S>>(closest.feature);
        }
    };
    if (t.degenerate) {
        for (std::uint32_t lane = 0; lane < run_lanes; ++lane) keep(lane);
        return;
    }
    const S a[3] = {t.a.x, t.a.y, t.a.z}, b[3] = {t.b.x, t.b.y, t.b.z}, c[3] = {t.c.x, t.c.y, t.c.z};
    const V zero = {}, one = zero + S(1);
    V ab[3], ac[3];
    for (int k = 0; k < 3; ++k) ab[k] = zero + (&t.ab.x)[k], ac[k] = zero + (&t.ac.x)[k];
    for (std::uint32_t from = 0; from < run_lanes; from += width) {
        V point[3];
        load_lanes(point[0], lanes.x + from), load_lanes(point[1], lanes.y + from),
            load_lanes(point[2], lanes.z + from);
        V ap[3], bp[3], cp[3];
        for (int k = 0; k < 3; ++k) ap[k] = point[k] - a[k], bp[k] = point[k] - b[k], cp[k] = point[k] - c[k];
        V d1, d2, d3, d4, d5, d6, at_a, at_b, at_c, at_point;
        dot(ab, ap, d1), dot(ac, ap, d2), dot(ab, bp, d3), dot(ac, bp, d4), dot(ab, cp, d5), dot(ac, cp, d6);
        dot(ap, ap, at_a), dot(bp, bp, at_b), dot(cp, cp, at_c);
        const V vc = d1 * d4 - d3 * d2, vb = d5 * d2 - d1 * d6, va = d3 * d6 - d5 * d4;
        const V from_b = d4 - d3, from_c = d5 - d6;
        // The regions in closest_on_triangle's order, each where none before is.
        const M in_a = (d1 <= zero) & (d2 <= zero);
        M taken = in_a;
        const M in_b = ~taken & (d3 >= zero) & (d4 <= d3);
        taken |= in_b;
        const M in_ab = ~taken & (vc <= zero) & (d1 >= zero) & (d3 <= zero);
        taken |= in_ab;
        const M in_c = ~taken & (d6 >= zero) & (d5 <= d6);
        taken |= in_c;
        const M in_ca = ~taken & (vb <= zero) & (d2 >= zero) & (d6 <= zero);
        taken |= in_ca;
        const M in_bc = ~taken & (va <= zero) & (from_b >= zero) & (from_c >= zero);
        taken |= in_bc;
        // Divisors of lanes that do not divide are 1, so that no lane divides by zero.
        const V span_ab = d1 - d3, span_ca = d2 - d6, span_bc = from_b + from_c, area = va + vb + vc;
        const V v_ab = span_ab > zero ? d1 / (span_ab > zero ? span_ab : one) : zero;
        const V w_ca = span_ca > zero ? d2 / (span_ca > zero ? span_ca : one) : zero;
        const V w_bc = span_bc > zero ? from_b / (span_bc > zero ? span_bc : one) : zero;
        const V safe_area = area > zero ? area : one;
        const V v_face = vb / safe_area, w_face = vc / safe_area, u_face = one - v_face - w_face;
        const M in_face = ~taken & (area > zero) & (v_face >= zero) & (w_face >= zero) & (u_face >= zero);
        // The point at weights (v, w) from a, as squared_distance_to measures it.
        const V v = in_ab ? v_ab : (in_bc ? one - w_bc : (in_face ? v_face : zero));
        const V w = in_ca ? w_ca : (in_bc ? w_bc : (in_face ? w_face : zero));
        V d[3];
        for (int k = 0; k < 3; ++k) d[k] = point[k] - (a[k] + ab[k] * v + ac[k] * w);
        dot(d, d, at_point);
        const V distance2 = in_a ? at_a : (in_b ? at_b : (in_c ? at_c : at_point));
        V best2;
        I best_triangle;
        load_lanes(best2, lanes.distance2 + from), load_lanes(best_triangle, lanes.triangle + from);
        const M measured = taken | in_face;
        const M nearer = measured & ((distance2 < best2) | ((distance2 == best2) & (best_triangle > triangle)));
        if (any_lane(nearer)) {
            const V u_out = in_a ? one : (in_ab ? one - v_ab : (in_ca ? one - w_ca : (in_face ? u_face : zero)));
            const V v_out = in_b ? one : (in_ab ? v_ab : (in_bc ? one - w_bc : (in_face ? v_face : zero)));
            const V w_out = in_c ? one : (in_ca ? w_ca : (in_bc ? w_bc : (in_face ? w_face : zero)));
            const I none = {};
            auto code = [](TriangleFeature f) { return static_cast<LaneInt<S>>(f); };
            const I feature = in_a    ? none + code(TriangleFeature::vertex_a)
                              : in_b  ? none + code(TriangleFeature::vertex_b)
                              : in_c  ? none + code(TriangleFeature::vertex_c)
                              : in_ab ? none + code(TriangleFeature::edge_ab)
                              : in_bc ? none + code(TriangleFeature::edge_bc)
                              : in_ca ? none + code(TriangleFeature::edge_ca)
                                      : none + code(TriangleFeature::face);
            V old_u, old_v, old_w;
            I old_position, old_feature;
            load_lanes(old_u, lanes.u + from), load_lanes(old_v, lanes.v + from), load_lanes(old_w, lanes.w + from);
            load_lanes(old_position, lanes.position + from), load_lanes(old_feature, lanes.feature + from);
            const V new_distance2 = nearer ? distance2 : best2, new_u = nearer ? u_out : old_u,
                    new_v = nearer ? v_out : old_v, new_w = nearer ? w_out : old_w;
            const I new_triangle = nearer ? none + triangle : best_triangle,
                    new_position = nearer ? none + static_cast<LaneInt<S>>(position) : old_position,
                    new_feature = nearer ? feature : old_feature;
            std::memcpy(lanes.distance2 + from, &new_distance2, sizeof(V));
            std::memcpy(lanes.u + from, &new_u, sizeof(V));
            std::memcpy(lanes.v + from, &new_v, sizeof(V));
            std::memcpy(lanes.w + from, &new_w, sizeof(V));
            std::memcpy(lanes.triangle + from, &new_triangle, sizeof(I));
            std::memcpy(lanes.position + from, &new_position, sizeof(I));
            std::memcpy(lanes.feature + from, &new_feature, sizeof(I));
        }
        if (const M unmeasured = ~measured; any_lane(unmeasured))
            for (std::uint32_t lane = 0; lane < width; ++lane)
                if (unmeasured[lane]) keep(from + lane);
    }
}

// Collects into `candidates` every triangle whose lane box lies within some
// query's bound (so that it holds every triangle a search of the query would
// measure), going down only into nodes whose box does. Lanes are followed,
// and triangles kept, without a branch: which are is unpredictable. False
// where the triangles are more than a run is worth (its queries are then
// searched one by one).
template <class S, std::size_t bytes>
[[gnu::always_inline]] inline bool collect(const BvhView<S>& bvh, const RunReach<S, bytes>& reach,
                                           Candidates<S>& candidates) {
    // A lane is written in the next place whether it is kept or not: one
    // place more than the stack can hold, and candidates checked a node ahead.
    std::array<std::uint32_t, bvh_width * max_bvh_depth + 1> stack;
    std::size_t top = 0, count = 0;
    stack[top++] = 0;
    while (top > 0) {
        const std::uint32_t node = stack[--top];
        const S* box = bvh.bounds + 24 * std::size_t{node};
        const std::uint32_t* links = bvh.links + bvh_width * std::size_t{node};
        for (std::uint32_t lane = 0; lane < bvh_width; ++lane) {
            const std::uint32_t link = links[lane];
            const bool within = reach.within(box + lane, bvh_width);
            const bool triangle = (link & triangle_lane) != 0;
            stack[top] = link;
            top += within & !triangle & (link != 0);
            S* to = candidates.boxes.data() + 6 * count;
            for (int k = 0; k < 6; ++k) to[k] = box[bvh_width * k + lane];
            candidates.position[count] = link & ~triangle_lane;
            count += within & triangle;
        }
        if (count > Candidates<S>::most - bvh_width) return false;
    }
    candidates.count = count;
    return true;
}

// A run's search: the triangles within some query's first bound collected,
// then those still within some query's best so far measured against the
// whole run. False, having measured nothing more, where the triangles are too
// many for a run.
template <class S, std::size_t bytes>
[[gnu::always_inline]] inline bool search_run(const BvhView<S>& bvh, Candidates<S>& candidates, RunLanes<S>& lanes) {
    RunReach<S, bytes> reach(lanes);
    if (!collect(bvh, reach, candidates)) return false;
    for (std::size_t c = 0; c < candidates.count; ++c)
        if (reach.within(candidates.boxes.data() + 6 * c, 1)) {
            measure_run<S, bytes>(bvh, candidates.position[c], lanes);
            reach.bound(lanes);
        }
    return true;
}

// The run's kernels for this processor's instructions (dispatch.hpp): its
// seed measured against all its queries, and its search.
template <class S>
struct SeedKernel {
    template <std::size_t vector_bytes>
    [[gnu::always_inline]] static void run(const BvhView<S>* bvh, std::uint32_t position, RunLanes<S>* lanes) {
        measure_run<S, vector_bytes>(*bvh, position, *lanes);
    }
};
template <class S>
struct RunKernel {
    template <std::size_t vector_bytes>
    [[gnu::always_inline]] static bool run(const BvhView<S>* bvh, Candidates<S>* candidates, RunLanes<S>* lanes) {
        return search_run<S, vector_bytes>(*bvh, *candidates, *lanes);
    }
};

template <class S>
using SeedMeasure = FlatDispatch<SeedKernel<S>, void, const BvhView<S>*, std::uint32_t, RunLanes<S>*>;
template <class S>
using RunSearch = FlatDispatch<RunKernel<S>, bool, const BvhView<S>*, Candidates<S>*, RunLanes<S>*>;

template <class S, class Q>
Vec3<S> query_point(const PointsView<Q>& queries, std::size_t row, const QueryOrigin& origin) {
    return {static_cast<S>(double(queries.at(row, 0)) - origin.x),
            static_cast<S>(double(queries.at(row, 1)) - origin.y),
            static_cast<S>(double(queries.at(row, 2)) - origin.z)};
}

// Writes one query's answer at its row, signed by the closest feature's
// pseudo-normal when normals are given.
template <class S>
void answer(const BvhView<S>& bvh, const Vec3<S>& p, const Best<S>& best, FeatureNormals normals,
            const MeshAnswers& answers, std::size_t row) {
    if (best.triangle == std::numeric_limits<std::uint32_t>::max()) {
        answers.distance[row] = std::numeric_limits<double>::quiet_NaN();
        answers.triangle[row] = -1;
        if (answers.barycentric != nullptr)
            for (int k = 0; k < 3; ++k) answers.barycentric[3 * row + k] = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    const TriangleClosest<S>& c = best.closest;
    S distance = std::sqrt(c.distance2);
    if (normals.normals != nullptr && distance > S(0)) {
        const Vec3<S> a = corner(bvh.corners, best.position, 0);
        const Vec3<S> ab = corner(bvh.corners, best.position, 1) - a;
        const Vec3<S> ac = corner(bvh.corners, best.position, 2) - a;
        const double* n = normals.normals + 21 * std::size_t{best.triangle} + 3 * static_cast<int>(c.feature);
        const double side = (double(p.x) - double(a.x + ab.x * c.v + ac.x * c.w)) * n[0] +
                            (double(p.y) - double(a.y + ab.y * c.v + ac.y * c.w)) * n[1] +
                            (double(p.z) - double(a.z + ab.z * c.v + ac.z * c.w)) * n[2];
        if (side < 0) distance = -distance;
    }
    answers.distance[row] = distance;
    answers.triangle[row] = best.triangle;
    if (answers.barycentric == nullptr) return;
    answers.barycentric[3 * row] = c.u;
    answers.barycentric[3 * row + 1] = c.v;
    answers.barycentric[3 * row + 2] = c.w;
}

}  // namespace detail

// Rows in an order that keeps neighbours together: by a 30-bit Morton key
// over their bounding box (ten bits an axis, cells of a thousandth of the
// extent, whose few rows keep their order). Any order gives the same
// answers; this one makes consecutive queries near each other, and with key
// and row packed in one word the sort moves and keeps 8 bytes a row, not
// the 16 of a full key's records and the 8 of a permutation beside them.
// Rows beyond 32-bit numbers are sorted by the full key instead.
class LocalityOrder {
public:
    template <class Q>
    LocalityOrder(const PointsView<Q>& rows, std::size_t threads) {
        const std::size_t n = rows.rows;
        if (n >= std::numeric_limits<std::uint32_t>::max()) {
            wide_ = morton_order(rows, threads);
            return;
        }
        double lo[3], extent[3];
        for (int axis = 0; axis < 3; ++axis) {
            double low = std::numeric_limits<double>::infinity(), high = -low;
            for (std::size_t i = 0; i < n; ++i) {
                const double c = static_cast<double>(rows.at(i, axis));
                low = std::min(low, c), high = std::max(high, c);
            }
            lo[axis] = low;
            extent[axis] = high > low ? high - low : 1.0;
        }
        auto key_of = [&](std::size_t i) {
            std::uint64_t q[3];
            for (int axis = 0; axis < 3; ++axis)
                q[axis] = morton_quantum(static_cast<double>(rows.at(i, axis)), lo[axis], extent[axis]) >> 11;
            return morton_key(q[0], q[1], q[2]);
        };
        packed_ = sort_by_key<PackedRow>(space_, n, key_of, threads, 30);
        // The other array was the sort's scratch.
        (reinterpret_cast<const void*>(packed_) == space_.records.data() ? space_.scratch : space_.records) =
            Buffer<KeyedRow>();
    }
    std::size_t operator[](std::size_t i) const {
        return packed_ != nullptr ? packed_[i].sorted_row() : static_cast<std::size_t>(wide_[i]);
    }

private:
    SortSpace space_;
    const PackedRow* packed_ = nullptr;
    Buffer<std::int64_t> wide_;
};

namespace detail {

// One thread's search of chunks of the sorted order, with its buffers made
// once.
template <class S, class Q>
class ChunkSearch {
public:
    ChunkSearch(const BvhView<S>& bvh, const PointsView<Q>& queries, const QueryOrigin& origin, std::optional<S> bound2,
                FeatureNormals normals, const MeshAnswers& answers, const LocalityOrder& sorted)
        : bvh_(bvh),
          queries_(queries),
          origin_(origin),
          limit2_(bound2 ? *bound2 : std::numeric_limits<S>::infinity()),
          normals_(normals),
          answers_(answers),
          sorted_(sorted) {}

    // Answers the queries at [first, last) of the sorted order.
    void answer(std::size_t first, std::size_t last) {
        const BvhView<S>& bvh = bvh_;
        const S limit2 = limit2_;
        std::uint32_t previous = none;
        // Queries are gathered, and answers scattered, a block at a time: the
        // rows of one block are independent loads the processor overlaps, where
        // inside the search each would stall it.
        for (std::size_t start = first; start < last; start += block) {
            const std::size_t count = std::min(block, last - start);
            for (std::size_t k = 0; k < count; ++k) points_[k] = query_point<S>(queries_, sorted_[start + k], origin_);
            for (std::size_t from = 0; from < count; from += run) {
                const std::size_t to = std::min(count, from + run);
                const std::uint32_t seed = previous;
                // A run shorter than the lanes repeats its last query.
                RunLanes<S>& lanes = lanes_;
                for (std::uint32_t lane = 0; lane < run_lanes; ++lane) {
                    const Vec3<S>& p = points_[std::min(from + lane, to - 1)];
                    lanes.x[lane] = p.x, lanes.y[lane] = p.y, lanes.z[lane] = p.z;
                    lanes.distance2[lane] = limit2;
                    lanes.u[lane] = lanes.v[lane] = lanes.w[lane] = S(0);
                    lanes.triangle[lane] = lanes.position[lane] = RunLanes<S>::no_triangle;
                    lanes.feature[lane] = static_cast<LaneInt<S>>(TriangleFeature::face);
                }
                if (seed != none) measure_seed_(&bvh, seed, &lanes);
                const bool shared = seed != none && search_run_(&bvh, &candidates_, &lanes);
                for (std::size_t k = from; k < to; ++k) {
                    const std::uint32_t lane = static_cast<std::uint32_t>(k - from);
                    const bool found = lanes.triangle[lane] != RunLanes<S>::no_triangle;
                    found_[k] = {{lanes.distance2[lane], lanes.u[lane], lanes.v[lane], lanes.w[lane],
                                  static_cast<TriangleFeature>(lanes.feature[lane])},
                                 found ? static_cast<std::uint32_t>(lanes.position[lane]) : none,
                                 found ? static_cast<std::uint32_t>(lanes.triangle[lane]) : none};
                }
                if (!shared)
                    for (std::size_t k = from; k < to; ++k) {
                        // The answer before, nearer than the seed, is the tighter first bound.
                        std::uint32_t measured = seed;
                        if (k > from && found_[k - 1].triangle != none && found_[k - 1].position != seed) {
                            measured = found_[k - 1].position;
                            measure(bvh, points_[k], measured, found_[k]);
                        }
                        search(bvh, points_[k], measured, found_[k]);
                    }
                for (std::size_t k = to; k-- > from;)
                    if (found_[k].triangle != none) {
                        previous = found_[k].position;
                        break;
                    }
            }
            for (std::size_t k = 0; k < count; ++k)
                detail::answer(bvh, points_[k], found_[k], normals_, answers_, sorted_[start + k]);
        }
    }

private:
    static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::size_t block = 1024, run = 8;

    const BvhView<S>& bvh_;
    const PointsView<Q>& queries_;
    const QueryOrigin& origin_;
    S limit2_;
    FeatureNormals normals_;
    const MeshAnswers& answers_;
    const LocalityOrder& sorted_;
    Buffer<Vec3<S>> points_{block};
    Buffer<Best<S>> found_{block};
    Candidates<S> candidates_;
    RunLanes<S> lanes_;
    typename SeedMeasure<S>::Entry measure_seed_ = SeedMeasure<S>::pick();
    typename RunSearch<S>::Entry search_run_ = RunSearch<S>::pick();
};

}  // namespace detail

// Answers every query of `queries`, taken in their Morton order. A run of
// eight consecutive queries is measured side by side, first against the
// triangle of the answer before it, whose distances bound their answers;
// the triangles within some query's bound are then collected once, in one
// walk of the tree, and each measured against the run's queries while still
// that near one of them (all a search of the tree would measure, so the
// answers are the same). Where the candidates are too many (queries far
// from the surface or far apart), each query searches the tree
// from its bound instead. With `normals`, distances are negative where the
// query is behind its closest feature's pseudo-normal. `bound2`: answers
// beyond it are none. The queries are read as `query_point` does, float or
// double, so that a caller makes no converted copy of them. The queries are
// sorted once, on all the threads, and the threads then take the sorted
// order's chunks as they come free: every thread's queries are as close
// together as the whole's, and a part of the mesh that costs more (finer
// triangles, points farther off) is shared out rather than left to one
// thread.
template <class S, class Q>
void mesh_distances(const BvhView<S>& bvh, const PointsView<Q>& queries, const QueryOrigin& origin,
                    std::optional<S> bound2, FeatureNormals normals, const MeshAnswers& answers, std::size_t threads,
                    std::size_t min_queries_per_thread) {
    const std::size_t parts = parts_for_items(queries.rows, threads, min_queries_per_thread);
    const LocalityOrder sorted(queries, parts);
    constexpr std::size_t chunk = 16384;
    const std::size_t chunks = (queries.rows + chunk - 1) / chunk;
    std::atomic<std::size_t> next_chunk{0};
    on_threads(parts, [&](std::size_t) {
        detail::ChunkSearch<S, Q> search(bvh, queries, origin, bound2, normals, answers, sorted);
        for (std::size_t c; (c = next_chunk.fetch_add(1, std::memory_order_relaxed)) < chunks;)
            search.answer(c * chunk, std::min(queries.rows, (c + 1) * chunk));
    });
}

}  // namespace ornel
