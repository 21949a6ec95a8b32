// Angle-weighted pseudo-normals (Bærentzen and Aanæs, 2005), which sign a
// distance to a mesh by the side of its closest feature: inside a face its
// normal, on an edge the sum of its faces' normals, at a vertex the sum of
// its faces' normals weighted by their angles there. Made once per mesh.
//
// Vertices at equal coordinates are one (a triangle soup, or a mesh whose
// seams repeat vertices, signs as its welded surface), and an edge is the
// same either way round. A zero sum (a degenerate face, faces that cancel)
// stays zero, which signs nothing. Computed in double whatever the search's
// precision: a sign is a comparison with zero.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "buffer.hpp"
#include "failure.hpp"
#include "radix_sort.hpp"
#include "strided.hpp"

namespace ornel {

// The features of a triangle in the order their normals are kept (seven of
// three doubles per triangle), as TriangleFeature numbers them.
inline constexpr std::size_t normals_per_triangle = 7;

namespace detail {

struct Normal {
    double x = 0, y = 0, z = 0;
    Normal& operator+=(const Normal& o) {
        x += o.x, y += o.y, z += o.z;
        return *this;
    }
};

inline Normal scaled(const Normal& n, double s) { return {n.x * s, n.y * s, n.z * s}; }

inline Normal unit(const Normal& n) {
    const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    return length > 0 ? Normal{n.x / length, n.y / length, n.z / length} : Normal{};
}

inline Normal difference(const double* to, const double* from) {
    return {to[0] - from[0], to[1] - from[1], to[2] - from[2]};
}

}  // namespace detail

// Per triangle of `triangles` (rows of three indices, checked) over
// `vertices` (finite, first three columns read): its face, corners a b c and
// edges ab bc ca, each a unit vector or zero.
inline Buffer<double> pseudo_normals(const PointsView<double>& vertices, const Strided<std::uint32_t, 2>& triangles) {
    using detail::Normal;
    const std::size_t n = vertices.rows, m = triangles.rows;
    if (m > 0 && triangles.columns < 3) fail(Failure::too_few_columns, triangles.columns);
    if (n > 0 && vertices.columns < 3) fail(Failure::too_few_columns, vertices.columns);
    Buffer<double> xyz(3 * n);
    for (std::size_t v = 0; v < n; ++v)
        for (int k = 0; k < 3; ++k) xyz[3 * v + k] = vertices.at(v, k);
    // Welding: vertices sorted by their coordinates, equal ones one id.
    Buffer<std::uint32_t> by_place(n), welded(n);
    for (std::size_t v = 0; v < n; ++v) by_place[v] = static_cast<std::uint32_t>(v);
    const auto before = [&](std::uint32_t a, std::uint32_t b) {
        const double *p = xyz.data() + 3 * std::size_t{a}, *q = xyz.data() + 3 * std::size_t{b};
        return p[0] < q[0] || (p[0] == q[0] && (p[1] < q[1] || (p[1] == q[1] && p[2] < q[2])));
    };
    std::sort(by_place.begin(), by_place.end(), before);
    std::uint32_t places = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && before(by_place[i - 1], by_place[i])) ++places;
        welded[by_place[i]] = places;
    }
    Buffer<std::uint32_t> corner(3 * m);
    for (std::size_t t = 0; t < m; ++t)
        for (int j = 0; j < 3; ++j) {
            const std::uint32_t vertex = triangles.at(t, j);
            check_index(vertex, n);
            corner[3 * t + j] = vertex;
        }
    Buffer<double> normals(normals_per_triangle * 3 * m, 0.0);
    Buffer<Normal> faces(m), at_place(n > 0 ? std::size_t{places} + 1 : 0, Normal{});
    for (std::size_t t = 0; t < m; ++t) {
        const double* a = xyz.data() + 3 * std::size_t{corner[3 * t]};
        const double* b = xyz.data() + 3 * std::size_t{corner[3 * t + 1]};
        const double* c = xyz.data() + 3 * std::size_t{corner[3 * t + 2]};
        const Normal ab = detail::difference(b, a), ac = detail::difference(c, a);
        faces[t] = detail::unit({ab.y * ac.z - ab.z * ac.y, ab.z * ac.x - ab.x * ac.z, ab.x * ac.y - ab.y * ac.x});
        // Each corner's angle, between the edges to the two others.
        const double* ends[3] = {a, b, c};
        for (int j = 0; j < 3; ++j) {
            const double* here = ends[j];
            const Normal to_next = detail::unit(detail::difference(ends[(j + 1) % 3], here));
            const Normal to_last = detail::unit(detail::difference(ends[(j + 2) % 3], here));
            const double cosine = to_next.x * to_last.x + to_next.y * to_last.y + to_next.z * to_last.z;
            const double angle = std::acos(std::clamp(cosine, -1.0, 1.0));
            at_place[welded[corner[3 * t + j]]] += detail::scaled(faces[t], angle);
        }
    }
    for (std::size_t place = 0; place < at_place.size(); ++place) at_place[place] = detail::unit(at_place[place]);
    // Edges: each triangle's three (slot 3 * triangle + edge: ab, bc, ca) as
    // pairs of welded ends, lower first, sorted so that the faces of one edge
    // sit together, in slot order (a radix sort, stable: a sum in the same
    // order whatever the sort).
    const auto ends_of = [&](std::size_t slot) {
        const std::size_t t = slot / 3, e = slot % 3;
        const std::uint64_t p = welded[corner[3 * t + e]], q = welded[corner[3 * t + (e + 1) % 3]];
        return std::min(p, q) << 32 | std::max(p, q);
    };
    const std::size_t slots = 3 * m;
    // Slots are numbered in 32 bits (a mesh of 1.4e9 triangles would need 235 GB of normals).
    if (slots >= std::numeric_limits<std::uint32_t>::max()) fail(Failure::too_many_points, m);
    const Buffer<KeyedRow> edges = sorted_by_key(slots, ends_of, 1);
    for (std::size_t first = 0; first < slots;) {
        std::size_t last = first;
        Normal sum;
        for (; last < slots && edges[last].key == edges[first].key; ++last) sum += faces[edges[last].row / 3];
        const Normal edge = detail::unit(sum);
        for (std::size_t k = first; k < last; ++k) {
            double* to = normals.data() + 3 * (normals_per_triangle * (edges[k].row / 3) + 4 + edges[k].row % 3);
            to[0] = edge.x, to[1] = edge.y, to[2] = edge.z;
        }
        first = last;
    }
    for (std::size_t t = 0; t < m; ++t) {
        double* to = normals.data() + 3 * normals_per_triangle * t;
        const Normal feature[4] = {faces[t], at_place[welded[corner[3 * t]]], at_place[welded[corner[3 * t + 1]]],
                                   at_place[welded[corner[3 * t + 2]]]};
        for (int f = 0; f < 4; ++f)
            to[3 * f] = feature[f].x, to[3 * f + 1] = feature[f].y, to[3 * f + 2] = feature[f].z;
    }
    return normals;
}

}  // namespace ornel
