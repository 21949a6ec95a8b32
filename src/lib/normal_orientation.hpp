// Consistent orientation of a cloud's normals over its neighbourhood graph
// (Hoppe et al., "Surface reconstruction from unorganized points", 1992).
//
// What it computes: each point's normal flipped or kept so that neighbours on
// one sheet of the surface agree, and the connected component of the graph
// each point belongs to. The graph joins every point to the rows of its k
// nearest points, both ways. A minimum spanning tree over the cost
// 1 - |ni . nj| carries the side from one point to the next along the
// smoothest turns (Prim's order), so the side crosses creases and rims where
// the normals change least between neighbours. The cost grows as the edge
// leaves its ends' tangent planes, to 1 - |ni . nj| (1 - max |n . e| / |e|):
// the side is carried along a sheet rather than between sheets, where a
// tangent plane says least about the other end.
//
// Thin sheets: the two sides of a plate thinner than a neighbourhood are each
// other's neighbours, with parallel normals and no cost between them; carried
// across as ni . nj > 0, the side would point into the plate on one of them.
// An edge that lies within 45 degrees of both its ends' normals, themselves
// within 45 degrees of parallel, joins two sheets facing each other across a
// gap, not two points of one sheet: across it the normals are made to point
// both away from the gap or both into it, (ni . e)(nj . e) < 0 for the edge e,
// at a cost of 1 - |ni . e||nj . e| / |e|^2. A crease between two faces is
// not such an edge: its ends' normals are far from parallel.
//
// Invariant: a point taken from the heap is oriented from a point already
// oriented in its component, and never again. Terminates: every point is
// taken once. Cost: O(n k log n) time, O(n k) memory for the reversed rows.
// Deterministic: ties on cost go to the lower point, then the lower parent.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <queue>
#include <tuple>
#include <vector>

#include "strided.hpp"

namespace ornel {

// A point without a normal (all zero) belongs to no component.
inline constexpr std::uint32_t no_component = std::numeric_limits<std::uint32_t>::max();

// |cos| of the widest angle between an edge and both its ends' normals, and
// between the normals themselves, for the edge to join two facing sheets.
inline constexpr double facing_cosine = 0.70710678118654752;

namespace orientation_detail {

// The rows of the k-nearest table read backwards: for each point, the points
// that list it. Counting sort, so the reversed rows are in ascending order.
inline void reverse_rows(const std::uint32_t* neighbours, std::size_t n, std::size_t k,
                         std::vector<std::size_t>& offsets, std::vector<std::uint32_t>& listed_by) {
    offsets.assign(n + 1, 0);
    for (std::size_t i = 0; i < n * k; ++i) ++offsets[std::size_t{neighbours[i]} + 1];
    for (std::size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
    listed_by.resize(n * k);
    std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < k; ++j) listed_by[next[neighbours[i * k + j]]++] = static_cast<std::uint32_t>(i);
}

}  // namespace orientation_detail

// Orients `normals` (a row of x, y, z, unit or zero, for each of the n points) in place over the graph
// of `neighbours` (n rows of k indices below n, as the k-nearest search gives
// them) and writes each point's component to `component` (numbered from 0 in
// the order of their lowest point; `no_component` for zero normals). Each
// component's first point keeps its sign: choosing the side of a whole
// component is the caller's. Returns the number of components.
template <PointSource P>
std::size_t orient_normals(const P& points, const std::uint32_t* neighbours, std::size_t k, double* normals,
                           std::uint32_t* component) {
    const std::size_t n = points.size();
    std::vector<std::size_t> offsets;
    std::vector<std::uint32_t> listed_by;
    orientation_detail::reverse_rows(neighbours, n, k, offsets, listed_by);

    auto has_normal = [&](std::size_t i) {
        return normals[3 * i] != 0 || normals[3 * i + 1] != 0 || normals[3 * i + 2] != 0;
    };
    auto alignment = [&](std::size_t i, std::size_t j) {
        return normals[3 * i] * normals[3 * j] + normals[3 * i + 1] * normals[3 * j + 1] +
               normals[3 * i + 2] * normals[3 * j + 2];
    };
    // What the edge from i to j costs, and whether j's normal, as it stands, breaks
    // the rule of the edge: (ni . e)(nj . e) < 0 across facing sheets, else ni . nj > 0.
    // Measured in double from one end, which keeps the difference exact enough far from the origin.
    struct Link {
        double cost;
        bool flip;
    };
    auto link = [&](std::size_t i, std::size_t j) {
        double length2 = 0, along_i = 0, along_j = 0;
        for (int axis = 0; axis < 3; ++axis) {
            const double edge = coordinate(points, j, axis) - coordinate(points, i, axis);
            length2 += edge * edge;
            along_i += edge * normals[3 * i + axis];
            along_j += edge * normals[3 * j + axis];
        }
        const double aligned = alignment(i, j);
        const double limit2 = facing_cosine * facing_cosine * length2;
        if (std::abs(aligned) >= facing_cosine && length2 > 0 && along_i * along_i > limit2 &&
            along_j * along_j > limit2)
            return Link{1 - std::abs(along_i * along_j) / length2, along_i * along_j > 0};
        const double off_plane = length2 > 0 ? std::sqrt(std::max(along_i * along_i, along_j * along_j) / length2) : 0;
        return Link{1 - std::abs(aligned) * (1 - off_plane), aligned < 0};
    };

    // (cost, point, the oriented point it is reached from); the smallest first.
    using Entry = std::tuple<double, std::uint32_t, std::uint32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
    std::vector<double> best(n, std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < n; ++i) component[i] = no_component;

    auto offer = [&](std::size_t from, std::size_t to) {
        if (to == from || component[to] != no_component || !has_normal(to)) return;
        const double cost = link(from, to).cost;
        if (cost < best[to]) {
            best[to] = cost;
            heap.emplace(cost, static_cast<std::uint32_t>(to), static_cast<std::uint32_t>(from));
        }
    };

    std::size_t components = 0;
    for (std::size_t root = 0; root < n; ++root) {
        if (component[root] != no_component || !has_normal(root)) continue;
        const auto label = static_cast<std::uint32_t>(components++);
        heap.emplace(0.0, static_cast<std::uint32_t>(root), static_cast<std::uint32_t>(root));
        while (!heap.empty()) {
            const auto [cost, point, from] = heap.top();
            heap.pop();
            if (component[point] != no_component) continue;  // reached earlier at a lower cost
            component[point] = label;
            if (point != from && link(from, point).flip)
                for (int axis = 0; axis < 3; ++axis) normals[3 * point + axis] = -normals[3 * point + axis];
            for (std::size_t j = 0; j < k; ++j) offer(point, neighbours[std::size_t{point} * k + j]);
            for (std::size_t j = offsets[point]; j < offsets[point + 1]; ++j) offer(point, listed_by[j]);
        }
    }
    return components;
}

}  // namespace ornel
