// Entry points of the tetrahedraliser: the tetrahedra of a cloud, or its
// Delaunay graph straight from the tetrahedralisation.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "tetrahedralisation.hpp"

namespace ornel::delaunay {

namespace detail {

// Point indices sorted by coordinates (x, then y, then z), ties by index.
inline std::vector<std::uint32_t> lexicographic_order(const Coordinates& xyz, std::size_t n) {
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        for (int k = 0; k < 3; ++k)
            if (xyz[3 * a + k] != xyz[3 * b + k]) return xyz[3 * a + k] < xyz[3 * b + k];
        return a < b;
    });
    return order;
}

inline bool equal_points(const Coordinates& xyz, std::uint32_t a, std::uint32_t b) {
    return xyz[3 * a] == xyz[3 * b] && xyz[3 * a + 1] == xyz[3 * b + 1] && xyz[3 * a + 2] == xyz[3 * b + 2];
}

inline std::size_t count_distinct(const Coordinates& xyz, std::size_t n) {
    const std::vector<std::uint32_t> order = lexicographic_order(xyz, n);
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < n; ++i) distinct += i == 0 || !equal_points(xyz, order[i - 1], order[i]);
    return distinct;
}

// Points on one line, in order along it (the lexicographic order is monotone
// along any line): each group of equal points is joined to its own members
// and to the groups before and after it.
inline CsrGraph path_graph(const Coordinates& xyz, std::size_t n) {
    const std::vector<std::uint32_t> order = lexicographic_order(xyz, n);
    std::vector<std::size_t> group_start;  // positions in `order`
    for (std::size_t i = 0; i < n; ++i)
        if (i == 0 || !equal_points(xyz, order[i - 1], order[i])) group_start.push_back(i);
    group_start.push_back(n);
    const std::size_t groups = group_start.size() - 1;
    CsrGraph out{Buffer<std::uint32_t>(n + 1), {}};
    std::vector<std::size_t> degree(n);
    std::size_t total = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t begin = g > 0 ? group_start[g - 1] : group_start[g];
        const std::size_t end = g + 1 < groups ? group_start[g + 2] : group_start[g + 1];
        for (std::size_t i = group_start[g]; i < group_start[g + 1]; ++i) degree[order[i]] = end - begin - 1;
    }
    out.indptr[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        total += degree[i];
        if (total > 0xFFFFFFFFu) fail(Failure::too_many_adjacency_entries);
        out.indptr[i + 1] = static_cast<std::uint32_t>(total);
    }
    out.indices = Buffer<std::uint32_t>(total);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t begin = g > 0 ? group_start[g - 1] : group_start[g];
        const std::size_t end = g + 1 < groups ? group_start[g + 2] : group_start[g + 1];
        for (std::size_t i = group_start[g]; i < group_start[g + 1]; ++i) {
            const std::uint32_t v = order[i];
            std::uint32_t* row = out.indices.data() + out.indptr[v];
            std::uint32_t* cursor = row;
            for (std::size_t j = begin; j < end; ++j)
                if (order[j] != v) *cursor++ = order[j];
            std::sort(row, cursor);
        }
    }
    return out;
}

// The threads of one build, kept for all its parts, when it has more than
// one and enough points to share (`team` stays empty otherwise).
inline TeamScope team_for(std::optional<ThreadTeam>& team, std::size_t n, std::size_t threads) {
    if (threads > 1 && n >= 1024) team.emplace(threads);
    return TeamScope(team ? &*team : nullptr);
}

[[noreturn]] inline void refuse_flat(Shape shape, const Coordinates& xyz, std::size_t n) {
    if (count_distinct(xyz, n) < 4) fail_input(Failure::fewer_than_four_distinct);
    if (shape == Shape::collinear) fail_input(Failure::all_collinear);
    fail_input(Failure::all_coplanar);
}

}  // namespace detail

// The finite tetrahedra, four point indices per row (row-major, 4 * m values).
// Flat clouds are refused with an InputFailure saying how flat they are.
// `threads`: how many threads may share the insertion; the result is the
// same set of tetrahedra for any number.
template <class S>
Buffer<std::uint64_t> tetrahedra(const PointsView<S>& points, std::size_t threads = 1) {
    const std::size_t n = points.rows;
    std::optional<ThreadTeam> team;
    const TeamScope scope = detail::team_for(team, n, threads);
    Tetrahedralisation triangulation(read_points(points), n, threads);
    const Shape shape = triangulation.build();
    if (shape != Shape::solid) detail::refuse_flat(shape, triangulation.coordinates(), n);
    return triangulation.simplices();
}

// The Delaunay graph over all points. Flat clouds get the Delaunay graph of
// their own dimension: a path for points on a line, the edges of the planar
// Delaunay triangulation for points on a plane.
template <class S>
CsrGraph graph(const PointsView<S>& points, std::size_t threads = 1) {
    const std::size_t n = points.rows;
    std::optional<ThreadTeam> team;
    const TeamScope scope = detail::team_for(team, n, threads);
    Tetrahedralisation triangulation(read_points(points), n, threads);
    const Shape shape = triangulation.build();
    if (shape == Shape::single || shape == Shape::collinear) return detail::path_graph(triangulation.coordinates(), n);
    // A failed start leaves no tetrahedra behind, so the same object can
    // start again with the helper point.
    if (shape == Shape::coplanar) triangulation.build_with_apex();
    return triangulation.graph();
}

}  // namespace ornel::delaunay
