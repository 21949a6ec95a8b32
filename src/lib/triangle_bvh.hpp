// A bounding-volume hierarchy over a mesh's triangles, built once per mesh.
//
// A 4-wide tree: every node holds four lanes, each a triangle, a child node
// or nothing, with the lanes' boxes stored side by side (structure of
// arrays), so that a search measures a point against all four boxes in one
// pass of vector instructions. A triangle's lane box is its own, so the box
// test spares most exact measurements. Nodes are numbered depth first, each
// after its parent, and the triangles' corners stored in the order their
// lanes are met, so a search that goes down reads nearby memory.
//
// Each node splits its triangles in two at the median centroid along the
// widest axis of their centroids, and each half in two again the same way:
// up to four parts, a part of one triangle its lane, a larger part a child.
// The depth is about log4(m) whatever the triangles' sizes; building costs
// O(m log m).
//
// Every box is grown by a margin that covers the rounding of a computed
// closest point (a few units in the last place of the mesh's coordinates), so
// a box's distance to a query never exceeds a computed triangle distance
// inside it: pruning by box loses no answer. An empty lane's box is empty
// (low +inf, high -inf), infinitely far from every point.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "buffer.hpp"
#include "failure.hpp"
#include "strided.hpp"
#include "triangle_closest.hpp"

namespace ornel {

inline constexpr std::uint32_t bvh_width = 4;
// Deeper than any median-split tree of 2^31 triangles; a search's stack holds
// (bvh_width - 1) entries a level.
inline constexpr std::uint32_t max_bvh_depth = 64;
// A lane's link: 0 is an empty lane (the root is no one's child), a link with
// this bit the triangle at position (link without it), any other a child node.
inline constexpr std::uint32_t triangle_lane = 0x80000000u;

// The tree as flat arrays, which NumPy holds and a store can keep: bounds (24
// per node: the four lanes' low x, then low y, low z, high x, high y, high
// z); links (4 per node, see triangle_lane); corners (9 per triangle, in
// lane order); order (position -> triangle).
template <class S>
struct TriangleBvh {
    Buffer<S> bounds;
    Buffer<std::uint32_t> links;
    Buffer<S> corners;
    Buffer<std::uint32_t> order;
};

namespace detail {

template <class S>
struct BvhBuild {
    const Buffer<S>& centroids;  // 3 per triangle
    const Buffer<S>& boxes;      // 6 per triangle
    Buffer<std::uint32_t>& order;
    Buffer<S>& bounds;
    Buffer<std::uint32_t>& links;
    S margin;
    std::uint32_t nodes = 1;

    void bound(std::uint32_t node, int lane, std::uint32_t first, std::uint32_t last) {
        S lo[3], hi[3];
        for (int k = 0; k < 3; ++k) lo[k] = std::numeric_limits<S>::infinity(), hi[k] = -lo[k];
        for (std::uint32_t i = first; i < last; ++i)
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], boxes[6 * order[i] + k]);
                hi[k] = std::max(hi[k], boxes[6 * order[i] + 3 + k]);
            }
        S* box = bounds.data() + 24 * std::size_t{node};
        for (int k = 0; k < 3; ++k) {
            box[4 * k + lane] = lo[k] - margin;
            box[12 + 4 * k + lane] = hi[k] + margin;
        }
    }

    // The median of [first, last) along the widest axis of its centroids:
    // after it the range is split there, lower centroids (then lower indices) first.
    std::uint32_t halve(std::uint32_t first, std::uint32_t last) {
        S lo[3], hi[3];
        for (int k = 0; k < 3; ++k) lo[k] = std::numeric_limits<S>::infinity(), hi[k] = -lo[k];
        for (std::uint32_t i = first; i < last; ++i)
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], centroids[3 * order[i] + k]);
                hi[k] = std::max(hi[k], centroids[3 * order[i] + k]);
            }
        int axis = 0;
        for (int k = 1; k < 3; ++k)
            if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
        const std::uint32_t middle = first + (last - first) / 2;
        std::nth_element(order.data() + first, order.data() + middle, order.data() + last,
                         [&](std::uint32_t a, std::uint32_t b) {
                             const S ca = centroids[3 * a + axis], cb = centroids[3 * b + axis];
                             return ca < cb || (ca == cb && a < b);
                         });
        return middle;
    }

    // Fills `node` with the triangles [first, last), at least two (or the
    // root's one). Terminates: every part is non-empty and smaller.
    void split(std::uint32_t node, std::uint32_t first, std::uint32_t last) {
        std::uint32_t ends[bvh_width + 1] = {first};
        int parts = 0;
        if (last - first <= bvh_width) {
            for (std::uint32_t i = first; i < last; ++i) ends[++parts] = i + 1;
        } else {
            const std::uint32_t middle = halve(first, last);
            ends[1] = halve(first, middle);
            ends[2] = middle;
            ends[3] = halve(middle, last);
            ends[4] = last;
            parts = 4;
        }
        for (int lane = 0; lane < parts; ++lane) {
            const std::uint32_t from = ends[lane], to = ends[lane + 1];
            bound(node, lane, from, to);
            if (to - from == 1) {
                links[bvh_width * node + lane] = triangle_lane | from;
            } else {
                const std::uint32_t child = nodes++;
                links[bvh_width * node + lane] = child;
                split(child, from, to);
            }
        }
    }
};

}  // namespace detail

// The tree of the triangles `triangles` (rows of three vertex indices, each
// checked against the vertices) over `vertices` (first three columns read).
// At least one triangle.
template <class S>
TriangleBvh<S> build_triangle_bvh(const PointsView<S>& vertices, const Strided<std::uint32_t, 2>& triangles) {
    const std::size_t m = triangles.rows;
    if (m == 0 || triangles.columns < 3) fail(Failure::too_few_columns, triangles.columns);
    if (m >= triangle_lane) fail(Failure::too_many_points, m);
    if (vertices.rows > 0 && vertices.columns < 3) fail(Failure::too_few_columns, vertices.columns);
    Buffer<S> corners(9 * m), centroids(3 * m), boxes(6 * m);
    S largest = 0;  // the largest coordinate magnitude and extent, for the rounding margin
    for (std::size_t t = 0; t < m; ++t) {
        for (int j = 0; j < 3; ++j) {
            const std::uint32_t vertex = triangles.at(t, j);
            check_index(vertex, vertices.rows);
            for (int k = 0; k < 3; ++k) {
                const S c = vertices.at(vertex, k);
                if (!std::isfinite(c)) fail_input(Failure::non_finite_coordinate, vertex, std::isnan(c) ? 1 : 0);
                corners[9 * t + 3 * j + k] = c;
            }
        }
        for (int k = 0; k < 3; ++k) {
            const S a = corners[9 * t + k], b = corners[9 * t + 3 + k], c = corners[9 * t + 6 + k];
            const S lo = std::min({a, b, c}), hi = std::max({a, b, c});
            boxes[6 * t + k] = lo;
            boxes[6 * t + 3 + k] = hi;
            centroids[3 * t + k] = lo / 2 + hi / 2;
            largest = std::max({largest, std::abs(lo), std::abs(hi), hi - lo});
        }
    }
    TriangleBvh<S> bvh;
    bvh.order = Buffer<std::uint32_t>(m);
    for (std::size_t t = 0; t < m; ++t) bvh.order[t] = static_cast<std::uint32_t>(t);
    // Every node has two lanes or more (but a root of one triangle), so there
    // are fewer nodes than triangles.
    const std::size_t most_nodes = std::max<std::size_t>(m - 1, 1);
    Buffer<S> bounds(24 * most_nodes);
    for (std::size_t node = 0; node < most_nodes; ++node)
        for (std::size_t k = 0; k < 12; ++k) {
            bounds[24 * node + k] = std::numeric_limits<S>::infinity();
            bounds[24 * node + 12 + k] = -std::numeric_limits<S>::infinity();
        }
    Buffer<std::uint32_t> links(bvh_width * most_nodes, 0);
    // The computed closest point of a triangle is off by a few ulps of its
    // coordinates (and of its edges); 64 of them is far more than that.
    const S margin = 64 * std::numeric_limits<S>::epsilon() * largest + std::numeric_limits<S>::min();
    detail::BvhBuild<S> build{centroids, boxes, bvh.order, bounds, links, margin};
    build.split(0, 0, static_cast<std::uint32_t>(m));
    bvh.bounds = Buffer<S>(24 * std::size_t{build.nodes});
    std::copy_n(bounds.data(), bvh.bounds.size(), bvh.bounds.data());
    bvh.links = Buffer<std::uint32_t>(bvh_width * std::size_t{build.nodes});
    std::copy_n(links.data(), bvh.links.size(), bvh.links.data());
    bvh.corners = Buffer<S>(9 * m);
    for (std::size_t position = 0; position < m; ++position)
        std::copy_n(corners.data() + 9 * std::size_t{bvh.order[position]}, 9, bvh.corners.data() + 9 * position);
    return bvh;
}

}  // namespace ornel
