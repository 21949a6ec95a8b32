// Point-to-mesh distances: for every query point the exact closest point on
// any triangle, found from the previous query's answer.
//
// Queries are taken in Morton order, so consecutive ones are near each other
// and so are their closest triangles. Each search first measures the
// previous answer's triangle: its distance d bounds the answer. A depth-first
// walk of the hierarchy (nearer child first) then visits only boxes closer
// than the best distance so far, which certifies the answer: every triangle
// not measured lies in a box farther than it. With a good first bound almost
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

// The hierarchy's links and order are checked once, so the walk cannot leave
// its arrays or overflow its stack: children come after their parent (no
// cycle) and within the nodes, leaves within the triangles, paths no deeper
// than max_bvh_depth, the order a permutation's range.
template <class S>
void check_bvh(const BvhView<S>& bvh) {
    if (bvh.nodes == 0 || bvh.triangles == 0) fail(Failure::index_out_of_bounds, 0, 0);
    Buffer<std::uint8_t> depth(bvh.nodes, 0);
    for (std::size_t node = 0; node < bvh.nodes; ++node) {
        const std::uint32_t first = bvh.links[2 * node], count = bvh.links[2 * node + 1];
        if (count > 0) {
            check_slice(first, std::uint64_t{first} + count, bvh.triangles);
            continue;
        }
        if (first <= node) fail_index(bvh.nodes, first);
        check_index(std::uint64_t{first} + 1, bvh.nodes);
        if (depth[node] + 1u >= max_bvh_depth) fail(Failure::index_out_of_bounds, max_bvh_depth, depth[node] + 1u);
        for (std::uint32_t child = first; child <= first + 1; ++child)
            depth[child] = static_cast<std::uint8_t>(std::max<unsigned>(depth[child], depth[node] + 1u));
    }
    for (std::size_t position = 0; position < bvh.triangles; ++position) check_index(bvh.order[position], bvh.triangles);
}

// Per triangle, seven unit-or-zero pseudo-normals (face, vertices a b c,
// edges ab bc ca: 21 doubles), which sign a distance by the side of the
// closest feature.
struct FeatureNormals {
    const double* normals = nullptr;
};

template <class S>
struct MeshAnswers {
    S* distance;                // per query; negative inside when signed
    std::uint32_t* triangle;    // per query; the triangle count where none within the bound
    S* barycentric;             // 3 per query
};

namespace detail {

template <class S>
S box_distance2(const S* box, const Vec3<S>& p) {
    const S dx = std::max({box[0] - p.x, S(0), p.x - box[3]});
    const S dy = std::max({box[1] - p.y, S(0), p.y - box[4]});
    const S dz = std::max({box[2] - p.z, S(0), p.z - box[5]});
    return dx * dx + dy * dy + dz * dz;
}

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
    const TriangleClosest<S> closest = closest_on_triangle(p, corner(bvh.corners, position, 0),
                                                           corner(bvh.corners, position, 1),
                                                           corner(bvh.corners, position, 2));
    const std::uint32_t triangle = bvh.order[position];
    if (closest.distance2 < best.closest.distance2 ||
        (closest.distance2 == best.closest.distance2 && triangle < best.triangle))
        best = {closest, position, triangle};
}

// The closest triangle to p, starting from the best already known (the
// previous answer, or the bound alone).
template <class S>
void search(const BvhView<S>& bvh, const Vec3<S>& p, Best<S>& best) {
    // Box distances are rounded too: a box is pruned only when it is farther
    // than the best by more than that rounding.
    constexpr S slack = 1 + 8 * std::numeric_limits<S>::epsilon();
    struct Entry {
        std::uint32_t node;
        S distance2;
    };
    std::array<Entry, 2 * max_bvh_depth> stack;
    std::size_t top = 0;
    stack[top++] = {0, box_distance2(bvh.bounds, p)};
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.distance2 > best.closest.distance2 * slack) continue;
        const std::uint32_t first = bvh.links[2 * entry.node], count = bvh.links[2 * entry.node + 1];
        if (count > 0) {
            for (std::uint32_t position = first; position < first + count; ++position) measure(bvh, p, position, best);
            continue;
        }
        const S near = box_distance2(bvh.bounds + 6 * std::size_t{first}, p);
        const S far = box_distance2(bvh.bounds + 6 * (std::size_t{first} + 1), p);
        const S limit = best.closest.distance2 * slack;
        const bool left_first = near <= far;
        const Entry later = left_first ? Entry{first + 1, far} : Entry{first, near};
        const Entry sooner = left_first ? Entry{first, near} : Entry{first + 1, far};
        if (later.distance2 <= limit) stack[top++] = later;
        if (sooner.distance2 <= limit) stack[top++] = sooner;
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

// Answers the queries at sorted positions [first, last) of `sorted` (rows of
// `queries`), each searched from the answer of the one before it. With
// `normals`, distances are negative where the query is behind its closest
// feature's pseudo-normal. `bound2`: answers beyond it are none (the
// distance then is infinite, the triangle the triangle count).
template <class S>
void mesh_distances(const BvhView<S>& bvh, const PointsView<S>& queries, const std::int64_t* sorted,
                    std::size_t first, std::size_t last, std::optional<S> bound2, FeatureNormals normals,
                    const MeshAnswers<S>& answers) {
    const S limit2 = bound2 ? *bound2 : std::numeric_limits<S>::infinity();
    const std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
    // Queries are gathered, and answers scattered, a block at a time: the
    // rows of one block are independent loads the processor overlaps, where
    // inside the search each would stall it.
    constexpr std::size_t block = 1024;
    Buffer<Vec3<S>> points(block);
    Buffer<detail::Best<S>> found(block);
    std::uint32_t previous = none;
    for (std::size_t start = first; start < last; start += block) {
        const std::size_t count = std::min(block, last - start);
        for (std::size_t k = 0; k < count; ++k)
            points[k] = detail::query_point(queries, static_cast<std::size_t>(sorted[start + k]));
        for (std::size_t k = 0; k < count; ++k) {
            detail::Best<S>& best = found[k];
            best = {{limit2, S(0), S(0), S(0), TriangleFeature::face}, none, none};
            if (previous != none) detail::measure(bvh, points[k], previous, best);
            detail::search(bvh, points[k], best);
            if (best.triangle != none) previous = best.position;
        }
        for (std::size_t k = 0; k < count; ++k)
            detail::answer(bvh, points[k], found[k], normals, answers, static_cast<std::size_t>(sorted[start + k]));
    }
}

}  // namespace ornel
