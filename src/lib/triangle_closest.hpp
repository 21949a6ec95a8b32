// The closest point of a triangle to a point.
//
// Ericson's region method (Real-Time Collision Detection, 5.1.5): the signs
// of six dot products tell which Voronoi region of the triangle (three
// vertices, three edges, the face) holds the point, and the closest point is
// that feature's projection. It stays well defined on degenerate triangles:
// an edge of zero length projects to its first end, and a triangle whose
// face region has no positive area (repeated or collinear corners, or a
// sliver whose barycentric coordinates round outside the triangle) is
// measured as the nearest of its three edges. Every branch is a fixed
// sequence of operations, so results are reproducible bit for bit (no
// contraction into fused multiply-adds: the build forbids it).
#pragma once

#include <cstdint>

namespace ornel {

// The feature of a triangle a closest point lies on; the pseudo-normal that
// signs a distance is that feature's.
enum class TriangleFeature : std::uint8_t { face, vertex_a, vertex_b, vertex_c, edge_ab, edge_bc, edge_ca };

template <class S>
struct Vec3 {
    S x, y, z;
    Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    S dot(const Vec3& o) const { return x * o.x + y * o.y + z * o.z; }
};

// The closest point as barycentric weights (u, v, w) of the corners (a, b,
// c), its squared distance, and its feature.
template <class S>
struct TriangleClosest {
    S distance2;
    S u, v, w;
    TriangleFeature feature;
};

namespace detail {

template <class S>
S squared_distance_to(const Vec3<S>& p, const Vec3<S>& a, const Vec3<S>& ab, const Vec3<S>& ac, S v, S w) {
    const Vec3<S> c{a.x + ab.x * v + ac.x * w, a.y + ab.y * v + ac.y * w, a.z + ab.z * v + ac.z * w};
    const Vec3<S> d = p - c;
    return d.dot(d);
}

// The closest point of the segment from `from` to `from + along`, as its
// parameter t in [0, 1]; a segment of zero length answers its start.
template <class S>
S segment_parameter(const Vec3<S>& p, const Vec3<S>& from, const Vec3<S>& along) {
    const S length2 = along.dot(along);
    if (!(length2 > S(0))) return S(0);
    const S t = (p - from).dot(along) / length2;
    return t <= S(0) ? S(0) : (t >= S(1) ? S(1) : t);
}

// A triangle without a usable face region: the nearest of its three edges,
// the first of equal ones (ab, then bc, then ca).
template <class S>
TriangleClosest<S> closest_on_edges(const Vec3<S>& p, const Vec3<S>& a, const Vec3<S>& b, const Vec3<S>& c) {
    const Vec3<S> ab = b - a, ac = c - a, bc = c - b;
    const S t_ab = segment_parameter(p, a, ab);
    const S t_bc = segment_parameter(p, b, bc);
    const S t_ca = segment_parameter(p, a, ac);  // from a along ac: (1 - t) a + t c
    const S d_ab = squared_distance_to(p, a, ab, ac, t_ab, S(0));
    const S d_bc = squared_distance_to(p, b, bc, ac, t_bc, S(0));
    const S d_ca = squared_distance_to(p, a, ab, ac, S(0), t_ca);
    TriangleClosest<S> best{d_ab, S(1) - t_ab, t_ab, S(0), TriangleFeature::edge_ab};
    if (d_bc < best.distance2) best = {d_bc, S(0), S(1) - t_bc, t_bc, TriangleFeature::edge_bc};
    if (d_ca < best.distance2) best = {d_ca, S(1) - t_ca, S(0), t_ca, TriangleFeature::edge_ca};
    return best;
}

}  // namespace detail

// A triangle with what every measurement of it computes first: its edges
// from a, and whether a repeated corner leaves an edge of zero length (whose
// region tests hold for every point, their dot products all zero: such a
// triangle is a segment or a point, measured as the nearest of its edges).
template <class S>
struct PreparedTriangle {
    Vec3<S> a, b, c, ab, ac;
    bool degenerate;
};

template <class S>
PreparedTriangle<S> prepare_triangle(const Vec3<S>& a, const Vec3<S>& b, const Vec3<S>& c) {
    const Vec3<S> ab = b - a, ac = c - a, bc = c - b;
    return {a, b, c, ab, ac, ab.dot(ab) == S(0) || ac.dot(ac) == S(0) || bc.dot(bc) == S(0)};
}

template <class S>
TriangleClosest<S> closest_on_triangle(const Vec3<S>& p, const PreparedTriangle<S>& triangle) {
    using detail::squared_distance_to;
    const Vec3<S>&a = triangle.a, &b = triangle.b, &c = triangle.c, &ab = triangle.ab, &ac = triangle.ac;
    if (triangle.degenerate) return detail::closest_on_edges(p, a, b, c);
    const Vec3<S> ap = p - a;
    const S d1 = ab.dot(ap), d2 = ac.dot(ap);
    if (d1 <= S(0) && d2 <= S(0)) return {ap.dot(ap), S(1), S(0), S(0), TriangleFeature::vertex_a};
    const Vec3<S> bp = p - b;
    const S d3 = ab.dot(bp), d4 = ac.dot(bp);
    if (d3 >= S(0) && d4 <= d3) return {bp.dot(bp), S(0), S(1), S(0), TriangleFeature::vertex_b};
    const S vc = d1 * d4 - d3 * d2;
    if (vc <= S(0) && d1 >= S(0) && d3 <= S(0)) {
        const S span = d1 - d3;  // |ab|^2 >= 0; zero when a == b
        const S v = span > S(0) ? d1 / span : S(0);
        return {squared_distance_to(p, a, ab, ac, v, S(0)), S(1) - v, v, S(0), TriangleFeature::edge_ab};
    }
    const Vec3<S> cp = p - c;
    const S d5 = ab.dot(cp), d6 = ac.dot(cp);
    if (d6 >= S(0) && d5 <= d6) return {cp.dot(cp), S(0), S(0), S(1), TriangleFeature::vertex_c};
    const S vb = d5 * d2 - d1 * d6;
    if (vb <= S(0) && d2 >= S(0) && d6 <= S(0)) {
        const S span = d2 - d6;
        const S w = span > S(0) ? d2 / span : S(0);
        return {squared_distance_to(p, a, ab, ac, S(0), w), S(1) - w, S(0), w, TriangleFeature::edge_ca};
    }
    const S va = d3 * d6 - d5 * d4;
    const S from_b = d4 - d3, from_c = d5 - d6;
    if (va <= S(0) && from_b >= S(0) && from_c >= S(0)) {
        const S span = from_b + from_c;
        const S w = span > S(0) ? from_b / span : S(0);
        return {squared_distance_to(p, a, ab, ac, S(1) - w, w), S(0), S(1) - w, w, TriangleFeature::edge_bc};
    }
    const S area = va + vb + vc;  // |ab x ac|^2: positive unless the corners are collinear
    if (area > S(0)) {
        const S v = vb / area, w = vc / area, u = S(1) - v - w;
        if (v >= S(0) && w >= S(0) && u >= S(0))
            return {squared_distance_to(p, a, ab, ac, v, w), u, v, w, TriangleFeature::face};
    }
    return detail::closest_on_edges(p, a, b, c);
}

template <class S>
TriangleClosest<S> closest_on_triangle(const Vec3<S>& p, const Vec3<S>& a, const Vec3<S>& b, const Vec3<S>& c) {
    return closest_on_triangle(p, prepare_triangle(a, b, c));
}

}  // namespace ornel
