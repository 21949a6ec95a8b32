// A bounding-volume hierarchy over a mesh's triangles, built once per mesh.
//
// A binary tree of axis-aligned boxes: every internal node's two children
// sit next to each other, after it; a leaf holds up to `leaf_triangles`
// triangles, stored with their corners in leaf order so that a search reads a
// leaf as one contiguous run. Splits are at the median centroid along the
// widest axis of the node's centroids, so the depth is about log2(m / 4) +
// 1 whatever the triangles' sizes, and building costs O(m log^2 m).
//
// Every box is grown by a margin that covers the rounding of a computed
// closest point (a few units in the last place of the mesh's coordinates), so
// a box's distance to a query never exceeds a computed triangle distance
// inside it: pruning by box loses no answer.
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

inline constexpr std::uint32_t leaf_triangles = 4;
// Deeper than any median-split tree of 2^32 triangles; a search's stack holds this many nodes.
inline constexpr std::uint32_t max_bvh_depth = 64;

// The tree as flat arrays, which NumPy holds and a store can keep:
// bounds (6 per node: low x y z, high x y z); links (2 per node: a leaf's
// first position and count, an internal node's first child and 0); corners
// (9 per triangle, in leaf order); order (leaf position -> triangle).
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

    void bound(std::uint32_t node, std::uint32_t first, std::uint32_t last) {
        S lo[3], hi[3];
        for (int k = 0; k < 3; ++k) lo[k] = std::numeric_limits<S>::infinity(), hi[k] = -lo[k];
        for (std::uint32_t i = first; i < last; ++i)
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], boxes[6 * order[i] + k]);
                hi[k] = std::max(hi[k], boxes[6 * order[i] + 3 + k]);
            }
        for (int k = 0; k < 3; ++k) {
            bounds[6 * node + k] = lo[k] - margin;
            bounds[6 * node + 3 + k] = hi[k] + margin;
        }
    }

    int widest_centroid_axis(std::uint32_t first, std::uint32_t last) const {
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
        return axis;
    }

    // Terminates: every split leaves both halves non-empty and smaller.
    void split(std::uint32_t node, std::uint32_t first, std::uint32_t last) {
        bound(node, first, last);
        if (last - first <= leaf_triangles) {
            links[2 * node] = first;
            links[2 * node + 1] = last - first;
            return;
        }
        const int axis = widest_centroid_axis(first, last);
        const std::uint32_t middle = first + (last - first) / 2;
        std::nth_element(order.data() + first, order.data() + middle, order.data() + last,
                         [&](std::uint32_t a, std::uint32_t b) {
                             const S ca = centroids[3 * a + axis], cb = centroids[3 * b + axis];
                             return ca < cb || (ca == cb && a < b);
                         });
        const std::uint32_t left = nodes;
        nodes += 2;
        links[2 * node] = left;
        links[2 * node + 1] = 0;
        split(left, first, middle);
        split(left + 1, middle, last);
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
    if (m > std::numeric_limits<std::uint32_t>::max() / 2) fail(Failure::too_many_points, m);
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
    const std::size_t most_nodes = 2 * m;
    Buffer<S> bounds(6 * most_nodes);
    Buffer<std::uint32_t> links(2 * most_nodes);
    // The computed closest point of a triangle is off by a few ulps of its
    // coordinates (and of its edges); 64 of them is far more than that.
    const S margin = 64 * std::numeric_limits<S>::epsilon() * largest + std::numeric_limits<S>::min();
    detail::BvhBuild<S> build{centroids, boxes, bvh.order, bounds, links, margin};
    build.split(0, 0, static_cast<std::uint32_t>(m));
    bvh.bounds = Buffer<S>(6 * std::size_t{build.nodes});
    std::copy_n(bounds.data(), bvh.bounds.size(), bvh.bounds.data());
    bvh.links = Buffer<std::uint32_t>(2 * std::size_t{build.nodes});
    std::copy_n(links.data(), bvh.links.size(), bvh.links.data());
    bvh.corners = Buffer<S>(9 * m);
    for (std::size_t position = 0; position < m; ++position)
        std::copy_n(corners.data() + 9 * std::size_t{bvh.order[position]}, 9, bvh.corners.data() + 9 * position);
    return bvh;
}

}  // namespace ornel
