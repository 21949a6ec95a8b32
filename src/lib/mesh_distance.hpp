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

#include "buffer.hpp"
#include "dispatch.hpp"
#include "failure.hpp"
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
// whose box lies within a distance of the run's box, their boxes laid out
// four by four as a node's lanes are.
template <class S>
struct Candidates {
    static constexpr std::size_t most = 512;
    Buffer<S> boxes{6 * most};
    Buffer<std::uint32_t> position{most};
    // One query's, per candidate: its box's distance; which are within its bound.
    Buffer<S> distance2{most};
    Buffer<std::uint32_t> near{most};
    std::size_t count = 0;
};

// How far the boxes [lo, hi] lie from [low, high] along one axis.
template <class S>
[[gnu::always_inline]] inline Pack<S> gaps(S low, S high, Pack<S> lo, Pack<S> hi) {
    const Pack<S> below = lo - high, above = low - hi, zero = {};
    const Pack<S> gap = below > above ? below : above;
    return gap > zero ? gap : zero;
}

// The squared distances of four boxes (laid out as a node's lanes) to the
// box [low, high].
template <class S>
[[gnu::always_inline]] inline void box_distances2(const S* box, const Vec3<S>& low, const Vec3<S>& high, S* distance2) {
    for (std::uint32_t lane = 0; lane < bvh_width; lane += pack_lanes<S>) {
        const Pack<S> dx = gaps<S>(low.x, high.x, load_pack(box + lane), load_pack(box + 12 + lane));
        const Pack<S> dy = gaps<S>(low.y, high.y, load_pack(box + 4 + lane), load_pack(box + 16 + lane));
        const Pack<S> dz = gaps<S>(low.z, high.z, load_pack(box + 8 + lane), load_pack(box + 20 + lane));
        const Pack<S> sum = dx * dx + dy * dy + dz * dz;
        std::memcpy(distance2 + lane, &sum, sizeof sum);
    }
}

// Collects into `candidates` every triangle whose lane box lies within
// sqrt(reach2) of the box [low, high] (with the slack of a search's pruning,
// so that it holds every triangle a search of a point in the box would
// measure within that distance). False where they are more than a run is
// worth (its queries are then searched one by one).
template <class S>
bool collect(const BvhView<S>& bvh, const Vec3<S>& low, const Vec3<S>& high, S reach2, Candidates<S>& candidates) {
    const S limit = reach2 * prune_slack<S>;
    std::array<std::uint32_t, bvh_width * max_bvh_depth> stack;
    std::size_t top = 0;
    stack[top++] = 0;
    candidates.count = 0;
    while (top > 0) {
        const std::uint32_t node = stack[--top];
        const S* box = bvh.bounds + 24 * std::size_t{node};
        const std::uint32_t* links = bvh.links + bvh_width * std::size_t{node};
        S distance2[bvh_width];
        box_distances2(box, low, high, distance2);
        for (std::uint32_t lane = 0; lane < bvh_width; ++lane) {
            if (distance2[lane] > limit) continue;
            const std::uint32_t link = links[lane];
            if (link & triangle_lane) {
                if (candidates.count == Candidates<S>::most) return false;
                const std::size_t c = candidates.count++;
                S* to = candidates.boxes.data() + 24 * (c / bvh_width) + c % bvh_width;
                for (int k = 0; k < 6; ++k) to[4 * k] = box[4 * k + lane];
                candidates.position[c] = link & ~triangle_lane;
            } else if (link != 0) {
                stack[top++] = link;
            }
        }
    }
    return true;
}

// Four values side by side (a 16-byte vector of floats, a 32-byte one of
// doubles: two 16-byte halves on the baseline, one AVX2 register).
template <class S>
struct FourOf;
template <>
struct FourOf<float> {
    using type [[gnu::vector_size(16)]] = float;
};
template <>
struct FourOf<double> {
    using type [[gnu::vector_size(32)]] = double;
};
template <class S>
using Four = typename FourOf<S>::type;

// Written through a reference: a 32-byte vector passed by value would be
// another calling convention on the baseline.
template <class V>
[[gnu::always_inline]] inline void dot(const V* u, const V* v, V& out) {
    out = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

// Four triangles measured at once: closest_on_triangle's operations, in its
// order, lane by lane, its branches taken as selections, so that every lane
// gets the bits it gives. A lane it would measure as the nearest of three
// edges (a repeated corner, no face region) is measured by it alone.
template <class S>
[[gnu::always_inline]] inline void measure_four(const BvhView<S>& bvh, const Vec3<S>& p, const std::uint32_t* positions,
                                                Best<S>& best) {
    using V = Four<S>;
    // The four triangles' corners and edges, coordinate by coordinate.
    S columns[15][4];
    bool degenerate[4];
    for (int lane = 0; lane < 4; ++lane) {
        const PreparedTriangle<S>& t = bvh.prepared[positions[lane]];
        const Vec3<S>* parts[5] = {&t.a, &t.b, &t.c, &t.ab, &t.ac};
        for (int part = 0; part < 5; ++part) {
            columns[3 * part][lane] = parts[part]->x;
            columns[3 * part + 1][lane] = parts[part]->y;
            columns[3 * part + 2][lane] = parts[part]->z;
        }
        degenerate[lane] = t.degenerate;
    }
    V a[3], b[3], c[3], ab[3], ac[3];
    V* rows[5] = {a, b, c, ab, ac};
    for (int part = 0; part < 5; ++part)
        for (int k = 0; k < 3; ++k) std::memcpy(&rows[part][k], columns[3 * part + k], sizeof(V));
    const S point[3] = {p.x, p.y, p.z};
    V ap[3], bp[3], cp[3];
    for (int k = 0; k < 3; ++k) ap[k] = point[k] - a[k], bp[k] = point[k] - b[k], cp[k] = point[k] - c[k];
    const V zero = {}, one = zero + S(1);
    V d1, d2, d3, d4, d5, d6, at_a, at_b, at_c;
    dot(ab, ap, d1), dot(ac, ap, d2), dot(ab, bp, d3), dot(ac, bp, d4), dot(ab, cp, d5), dot(ac, cp, d6);
    dot(ap, ap, at_a), dot(bp, bp, at_b), dot(cp, cp, at_c);
    const V vc = d1 * d4 - d3 * d2, vb = d5 * d2 - d1 * d6, va = d3 * d6 - d5 * d4;
    const V from_b = d4 - d3, from_c = d5 - d6;
    // The regions in closest_on_triangle's order, each where none before is.
    using M = decltype(d1 < d2);
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
    V d[3], at_point;
    for (int k = 0; k < 3; ++k) d[k] = point[k] - (a[k] + ab[k] * v + ac[k] * w);
    dot(d, d, at_point);
    const V distance2 = in_a ? at_a : (in_b ? at_b : (in_c ? at_c : at_point));
    const V u_out = in_a ? one : (in_ab ? one - v_ab : (in_ca ? one - w_ca : (in_face ? u_face : zero)));
    const V v_out = in_b ? one : (in_ab ? v_ab : (in_bc ? one - w_bc : (in_face ? v_face : zero)));
    const V w_out = in_c ? one : (in_ca ? w_ca : (in_bc ? w_bc : (in_face ? w_face : zero)));
    for (int lane = 0; lane < 4; ++lane) {
        TriangleClosest<S> closest;
        if (degenerate[lane] || !(taken[lane] || in_face[lane])) {
            closest = closest_on_triangle(p, bvh.prepared[positions[lane]]);
        } else if (distance2[lane] > best.closest.distance2) {
            continue;  // most lanes: farther than the best, whatever their feature
        } else {
            const TriangleFeature feature = in_a[lane]    ? TriangleFeature::vertex_a
                                            : in_b[lane]  ? TriangleFeature::vertex_b
                                            : in_ab[lane] ? TriangleFeature::edge_ab
                                            : in_c[lane]  ? TriangleFeature::vertex_c
                                            : in_ca[lane] ? TriangleFeature::edge_ca
                                            : in_bc[lane] ? TriangleFeature::edge_bc
                                                          : TriangleFeature::face;
            closest = {distance2[lane], u_out[lane], v_out[lane], w_out[lane], feature};
        }
        const std::uint32_t triangle = bvh.order[positions[lane]];
        if (closest.distance2 < best.closest.distance2 ||
            (closest.distance2 == best.closest.distance2 && triangle < best.triangle))
            best = {closest, positions[lane], triangle};
    }
}

// Improves `best` by every candidate that could be closer. The boxes'
// distances are taken four at a time, and the candidates within the first
// bound kept without a branch (most are not, and which are is
// unpredictable); those whose boxes are still within the best so far are
// then measured four at a time (the last few one by one). A triangle
// measured before is measured again rather than looked for: measuring it
// again changes nothing, and skipping it cost more than it saved.
template <class S>
[[gnu::always_inline]] inline void measure_candidates(const BvhView<S>& bvh, const Vec3<S>& p,
                                                      Candidates<S>& candidates, Best<S>& best) {
    const std::size_t count = candidates.count;
    S* distance2 = candidates.distance2.data();
    for (std::size_t c = 0; c < count; c += bvh_width)
        lane_distances2(candidates.boxes.data() + 6 * c, p, distance2 + c);
    const S limit = best.closest.distance2 * prune_slack<S>;
    std::uint32_t* near = candidates.near.data();
    std::size_t kept = 0;
    for (std::size_t c = 0; c < count; ++c) {
        near[kept] = static_cast<std::uint32_t>(c);
        kept += distance2[c] <= limit;
    }
    std::uint32_t group[4];
    int filled = 0;
    for (std::size_t i = 0; i < kept; ++i)
        if (distance2[near[i]] <= best.closest.distance2 * prune_slack<S>) {
            group[filled++] = candidates.position[near[i]];
            if (filled == 4) {
                measure_four(bvh, p, group, best);
                filled = 0;
            }
        }
    for (int k = 0; k < filled; ++k) measure(bvh, p, group[k], best);
}

// measure_candidates for this processor's instructions (dispatch.hpp).
template <class S>
struct CandidateKernel {
    template <std::size_t>
    [[gnu::always_inline]] static void run(const BvhView<S>* bvh, const Vec3<S>* p, Candidates<S>* candidates,
                                           Best<S>* best) {
        measure_candidates(*bvh, *p, *candidates, *best);
    }
};

template <class S>
using CandidateMeasure =
    FlatDispatch<CandidateKernel<S>, void, const BvhView<S>*, const Vec3<S>*, Candidates<S>*, Best<S>*>;

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
                Vec3<S> low = points_[from], high = points_[from];
                S reach2 = 0;
                for (std::size_t k = from; k < to; ++k) {
                    Best<S>& best = found_[k];
                    best = {{limit2, S(0), S(0), S(0), TriangleFeature::face}, none, none};
                    if (seed != none) measure(bvh, points_[k], seed, best);
                    reach2 = std::max(reach2, best.closest.distance2);
                    const Vec3<S>& p = points_[k];
                    low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
                    high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
                }
                const bool shared = seed != none && collect(bvh, low, high, reach2, candidates_);
                for (std::size_t k = from; k < to; ++k) {
                    // The answer before, nearer than the seed, is the tighter first bound.
                    std::uint32_t measured = seed;
                    if (k > from && found_[k - 1].triangle != none && found_[k - 1].position != seed) {
                        measured = found_[k - 1].position;
                        measure(bvh, points_[k], measured, found_[k]);
                    }
                    if (shared)
                        measure_candidates_(&bvh, &points_[k], &candidates_, &found_[k]);
                    else
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
    typename CandidateMeasure<S>::Entry measure_candidates_ = CandidateMeasure<S>::pick();
};

}  // namespace detail

// Answers every query of `queries`, taken in their Morton order. A run of
// eight consecutive queries is measured first against the triangle of the
// answer before it, whose distances bound their answers;
// the triangles within the largest of those bounds of the run's box are then
// collected once, and each query measures only those that its own bound
// leaves (all a search of the tree would measure, so the answers are the
// same). Where the candidates are too many (queries far from the surface or
// far apart), each query searches the tree from its bound instead. With
// `normals`, distances are negative where the query is behind its closest
// feature's pseudo-normal. `bound2`: answers beyond it are none. The
// queries are read as `query_point` does, float or double, so that a caller
// makes no converted copy of them. The queries are sorted once, on all the
// threads, and the threads then take the sorted order's chunks as they come
// free: every thread's queries are as close together as the whole's, and a
// part of the mesh that costs more (finer triangles, points farther off)
// is shared out rather than left to one thread.
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
