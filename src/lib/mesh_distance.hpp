// Point-to-mesh distances: for every query point the exact closest point on
// any triangle, found from the previous query's answer.
//
// Queries are taken in Morton order, so consecutive ones are near each other
// and so are their closest triangles. Each search starts in the leaf of the
// previous answer, whose triangles bound the answer, then walks up to the
// root, searching each sibling subtree on the way depth first (nearer child
// first) and only where its box is closer than the best distance so far,
// which certifies the answer: every triangle not measured lies in a box
// farther than it. With a good first bound almost
// every box is pruned at once. Ties go to the lowest triangle index, so the
// answer depends neither on the order nor on the split over threads.
//
// Cost: O(log m) boxes per query near the surface, more for queries far from
// it (whose sphere of candidates is large); no allocation per query.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "buffer.hpp"
#include "failure.hpp"
#include "morton.hpp"
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
};

// What a walk up from a leaf needs besides the arrays: each node's parent and
// each position's leaf.
struct BvhTopology {
    Buffer<std::uint32_t> parent;
    Buffer<std::uint32_t> leaf_of;
};

// The topology of a hierarchy, whose links and order are checked on the way,
// so that no walk can leave its arrays, overflow its stack or miss a
// triangle: a tree (every node but the root the child of exactly one node,
// children after their parent and within the nodes), no path deeper than
// max_bvh_depth, every position in exactly one leaf, the order within the
// triangles.
template <class S>
BvhTopology bvh_topology(const BvhView<S>& bvh) {
    if (bvh.nodes == 0 || bvh.triangles == 0) fail(Failure::index_out_of_bounds, 0, 0);
    const std::uint32_t unset = std::numeric_limits<std::uint32_t>::max();
    BvhTopology topology{Buffer<std::uint32_t>(bvh.nodes, unset), Buffer<std::uint32_t>(bvh.triangles, unset)};
    Buffer<std::uint8_t> depth(bvh.nodes, 0);
    for (std::size_t node = 0; node < bvh.nodes; ++node) {
        if (node > 0 && topology.parent[node] == unset) fail_index(bvh.nodes, node);  // unreachable node
        const std::uint32_t first = bvh.links[2 * node], count = bvh.links[2 * node + 1];
        if (count > 0) {
            check_slice(first, std::uint64_t{first} + count, bvh.triangles);
            for (std::uint32_t position = first; position < first + count; ++position) {
                if (topology.leaf_of[position] != unset) fail_index(bvh.triangles, position);
                topology.leaf_of[position] = static_cast<std::uint32_t>(node);
            }
            continue;
        }
        if (first <= node) fail_index(bvh.nodes, first);
        check_index(std::uint64_t{first} + 1, bvh.nodes);
        if (depth[node] + 1u >= max_bvh_depth) fail(Failure::index_out_of_bounds, max_bvh_depth, depth[node] + 1u);
        for (std::uint32_t child = first; child <= first + 1; ++child) {
            if (topology.parent[child] != unset) fail_index(bvh.nodes, child);
            topology.parent[child] = static_cast<std::uint32_t>(node);
            depth[child] = static_cast<std::uint8_t>(depth[node] + 1u);
        }
    }
    for (std::size_t position = 0; position < bvh.triangles; ++position) {
        if (topology.leaf_of[position] == unset) fail_index(bvh.triangles, position);
        check_index(bvh.order[position], bvh.triangles);
    }
    return topology;
}

// Per triangle, seven unit-or-zero pseudo-normals (face, vertices a b c,
// edges ab bc ca: 21 doubles), which sign a distance by the side of the
// closest feature.
struct FeatureNormals {
    const double* normals = nullptr;
};

template <class S>
struct MeshAnswers {
    S* distance;              // per query; negative inside when signed
    std::uint32_t* triangle;  // per query; the triangle count where none within the bound
    S* barycentric;           // 3 per query
};

namespace detail {

// How far x lies outside [lo, hi]; compiled to min/max, without branches.
template <class S>
[[gnu::always_inline]] inline S outside(S x, S lo, S hi) {
    const S below = lo - x, above = x - hi;
    const S gap = below > above ? below : above;
    return gap > S(0) ? gap : S(0);
}

template <class S>
[[gnu::always_inline]] inline S box_distance2(const S* box, const Vec3<S>& p) {
    const S dx = outside(p.x, box[0], box[3]), dy = outside(p.y, box[1], box[4]), dz = outside(p.z, box[2], box[5]);
    return dx * dx + dy * dy + dz * dz;
}

template <class S>
[[gnu::always_inline]] inline S low3(S a, S b, S c) {
    const S ab = a < b ? a : b;
    return ab < c ? ab : c;
}

template <class S>
[[gnu::always_inline]] inline S high3(S a, S b, S c) {
    const S ab = a > b ? a : b;
    return ab > c ? ab : c;
}

// The squared distance of p to the box of a triangle's corners: a cheap
// lower bound that spares most of the exact measurements of a leaf.
template <class S>
[[gnu::always_inline]] inline S corner_box_distance2(const S* c, const Vec3<S>& p) {
    const S dx = outside(p.x, low3(c[0], c[3], c[6]), high3(c[0], c[3], c[6]));
    const S dy = outside(p.y, low3(c[1], c[4], c[7]), high3(c[1], c[4], c[7]));
    const S dz = outside(p.z, low3(c[2], c[5], c[8]), high3(c[2], c[5], c[8]));
    return dx * dx + dy * dy + dz * dz;
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
void measure(const BvhView<S>& bvh, const Vec3<S>& p, std::uint32_t position, Best<S>& best) {
    if (corner_box_distance2(bvh.corners + 9 * std::size_t{position}, p) > best.closest.distance2 * prune_slack<S>)
        return;
    const TriangleClosest<S> closest = closest_on_triangle(
        p, corner(bvh.corners, position, 0), corner(bvh.corners, position, 1), corner(bvh.corners, position, 2));
    const std::uint32_t triangle = bvh.order[position];
    if (closest.distance2 < best.closest.distance2 ||
        (closest.distance2 == best.closest.distance2 && triangle < best.triangle))
        best = {closest, position, triangle};
}

// Improves `best` by every triangle under `node` (at squared box distance
// `distance2`) that could be closer: depth first, the nearer child first.
template <class S>
void descend(const BvhView<S>& bvh, const Vec3<S>& p, std::uint32_t node, S distance2, Best<S>& best) {
    struct Entry {
        std::uint32_t node;
        S distance2;
    };
    std::array<Entry, 2 * max_bvh_depth> stack;
    std::size_t top = 0;
    stack[top++] = {node, distance2};
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.distance2 > best.closest.distance2 * prune_slack<S>) continue;
        const std::uint32_t first = bvh.links[2 * entry.node], count = bvh.links[2 * entry.node + 1];
        if (count > 0) {
            for (std::uint32_t position = first; position < first + count; ++position) measure(bvh, p, position, best);
            continue;
        }
        const S left = box_distance2(bvh.bounds + 6 * std::size_t{first}, p);
        const S right = box_distance2(bvh.bounds + 6 * (std::size_t{first} + 1), p);
        const S limit = best.closest.distance2 * prune_slack<S>;
        const bool left_first = left <= right;
        const Entry later = left_first ? Entry{first + 1, right} : Entry{first, left};
        const Entry sooner = left_first ? Entry{first, left} : Entry{first + 1, right};
        if (later.distance2 <= limit) stack[top++] = later;
        if (sooner.distance2 <= limit) stack[top++] = sooner;
    }
}

// The closest triangle to p, from the leaf holding `start` (the previous
// answer) up: that leaf's triangles first, then on the way to the root each
// sibling's subtree. Every node not under the path hangs off it as some
// sibling's descendant, so every triangle is covered.
template <class S>
void search_up(const BvhView<S>& bvh, const BvhTopology& topology, const Vec3<S>& p, std::uint32_t start,
               Best<S>& best) {
    std::uint32_t node = topology.leaf_of[start];
    const std::uint32_t first = bvh.links[2 * node], count = bvh.links[2 * node + 1];
    for (std::uint32_t position = first; position < first + count; ++position) measure(bvh, p, position, best);
    while (node != 0) {
        const std::uint32_t parent = topology.parent[node];
        const std::uint32_t left = bvh.links[2 * parent];
        const std::uint32_t sibling = node == left ? left + 1 : left;
        const S distance2 = box_distance2(bvh.bounds + 6 * std::size_t{sibling}, p);
        if (distance2 <= best.closest.distance2 * prune_slack<S>) descend(bvh, p, sibling, distance2, best);
        node = parent;
    }
}

template <class S>
Vec3<S> query_point(const PointsView<S>& queries, std::size_t row) {
    return {queries.at(row, 0), queries.at(row, 1), queries.at(row, 2)};
}

// Writes one query's answer at its row, signed by the closest feature's
// pseudo-normal when normals are given.
template <class S>
void answer(const BvhView<S>& bvh, const Vec3<S>& p, const Best<S>& best, FeatureNormals normals,
            const MeshAnswers<S>& answers, std::size_t row) {
    if (best.triangle == std::numeric_limits<std::uint32_t>::max()) {
        answers.distance[row] = std::numeric_limits<S>::infinity();
        answers.triangle[row] = static_cast<std::uint32_t>(bvh.triangles);
        for (int k = 0; k < 3; ++k) answers.barycentric[3 * row + k] = std::numeric_limits<S>::quiet_NaN();
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
    answers.barycentric[3 * row] = c.u;
    answers.barycentric[3 * row + 1] = c.v;
    answers.barycentric[3 * row + 2] = c.w;
}

}  // namespace detail

// Answers the queries of rows [first, last) of `queries`, taken in their
// Morton order, each searched from the answer of the one before it. With
// `normals`, distances are negative where the query is behind its closest
// feature's pseudo-normal. `bound2`: answers beyond it are none (the
// distance then is infinite, the triangle the triangle count). Each thread
// sorts its own rows, so the sort is split over the threads too.
template <class S>
void mesh_distances(const BvhView<S>& bvh, const BvhTopology& topology, const PointsView<S>& queries, std::size_t first,
                    std::size_t last, std::optional<S> bound2, FeatureNormals normals, const MeshAnswers<S>& answers) {
    const S limit2 = bound2 ? *bound2 : std::numeric_limits<S>::infinity();
    const std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
    PointsView<S> rows = queries;
    rows.data += static_cast<std::ptrdiff_t>(first) * queries.row_stride;
    rows.rows = last - first;
    const Buffer<std::int64_t> sorted = morton_order(rows);
    // Queries are gathered, and answers scattered, a block at a time: the
    // rows of one block are independent loads the processor overlaps, where
    // inside the search each would stall it.
    constexpr std::size_t block = 1024;
    Buffer<Vec3<S>> points(block);
    Buffer<detail::Best<S>> found(block);
    std::uint32_t previous = none;
    for (std::size_t start = 0; start < rows.rows; start += block) {
        const std::size_t count = std::min(block, rows.rows - start);
        for (std::size_t k = 0; k < count; ++k)
            points[k] = detail::query_point(rows, static_cast<std::size_t>(sorted[start + k]));
        for (std::size_t k = 0; k < count; ++k) {
            detail::Best<S>& best = found[k];
            best = {{limit2, S(0), S(0), S(0), TriangleFeature::face}, none, none};
            if (previous != none)
                detail::search_up(bvh, topology, points[k], previous, best);
            else
                detail::descend(bvh, points[k], 0, detail::box_distance2(bvh.bounds, points[k]), best);
            if (best.triangle != none) previous = best.position;
        }
        for (std::size_t k = 0; k < count; ++k)
            detail::answer(bvh, points[k], found[k], normals, answers,
                           first + static_cast<std::size_t>(sorted[start + k]));
    }
}

}  // namespace ornel
