// Exact orientation and insphere signs for points given as doubles.
//
// Each predicate first evaluates its determinant in floating point and
// accepts the sign when it exceeds a bound on the rounding error; otherwise it
// recomputes the determinant exactly: in a few machine words when the points'
// differences or coordinates lie within 61 bits of one another (narrow_integer.hpp),
// else with expansions (expansion.hpp), or, for points whose coordinates span
// too many orders of magnitude for expansions, with wide integers
// (wide_integer.hpp).
//
// Conventions: orient3d(a, b, c, d) is the sign of det[b - a, c - a, d - a]
// (positive for a right-handed tetrahedron); insphere(a, b, c, d, e) is
// positive when e lies strictly inside the circumsphere of the positively
// oriented tetrahedron abcd. `lifted_determinant` is the 5 x 5 determinant with
// rows (x, y, z, x^2 + y^2 + z^2, 1) of a, b, c, d, e, of which insphere is
// minus the sign.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "../lanes.hpp"
#include "expansion.hpp"
#include "narrow_integer.hpp"
#include "wide_integer.hpp"

namespace ornel::delaunay {

// Coordinates scaled so that the largest magnitude is below 1 keep every
// exact evaluation free of overflow; the smallest nonzero magnitude must then
// be at least this, so that no product of five coordinate differences (each an
// integer multiple of the smallest unit in the last place) underflows.
inline constexpr int smallest_safe_exponent = -140;

// The one rescaling, for a whole cloud or the points of one evaluation: a
// power of two (exact, keeping equality and order) that brings the largest
// magnitude below 1, allowed when the smallest nonzero one then stays in the
// safe range.
struct SafeScale {
    double largest = 0, smallest = INFINITY;

    void add(double value) {
        const double m = std::fabs(value);
        if (m > largest) largest = m;
        if (m != 0 && m < smallest) smallest = m;
    }

    // The coordinates are to be multiplied by 2^-top; false when not safe.
    bool exponent(int& top) const {
        top = 0;
        if (largest == 0) return true;
        int bottom;
        std::frexp(largest, &top);
        std::frexp(smallest, &bottom);
        return bottom - top >= smallest_safe_exponent;
    }
};

inline constexpr double epsilon = 1.1102230246251565e-16;  // 2^-53
// Rounding-error bounds relative to the permanents below, with margin over
// the derived constants (7 and 16 units of epsilon).
inline constexpr double orient_bound = (8.0 + 64.0 * epsilon) * epsilon;
inline constexpr double insphere_bound = (18.0 + 256.0 * epsilon) * epsilon;
// Covers absolute errors of results that underflow; with coordinates below 1
// no later factor amplifies them much.
inline constexpr double underflow_slack = 1e-280;

// How the predicates may treat a cloud: whether its coordinates are scaled
// (SafeScale), and a bound on the difference of any two of its points'
// coordinates, for the static stages of the filters.
struct CloudScaling {
    bool scaled = false;
    double span = 2.0;  // scaled coordinates are below 1 in magnitude
};

class Predicates {
public:
    // `xyz`: three doubles per point. `scaled`: every coordinate's magnitude
    // is below 1 and each nonzero one at least 2^smallest_safe_exponent, so
    // that expansions are exact; otherwise every evaluation rescales its own
    // points first and falls back to wide integers when that is not enough.
    Predicates(const double* xyz, CloudScaling scaling) : xyz_(xyz), scaled_(scaling.scaled) { set_span(scaling.span); }

    // For a cloud grown by a point (the helper of a coplanar one).
    void set_span(double span) {
        insphere_static_ = insphere_static_bound(span);
        orient_static_ = orient_static_bound(span);
    }

    const double* point(std::uint32_t v) const { return xyz_ + 3 * static_cast<std::size_t>(v); }

    // The two predicates the insertion runs most: the filtered floating-point
    // sign inline, the rest of the work out of line.
    int orient3d(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        if (scaled_) {
            const int s = orient3d_filtered(point(a), point(b), point(c), point(d), orient_static_);
            if (s != undecided) return s;
        }
        return orient3d_careful(a, b, c, d);
    }

    // `wide`: the floating-point stage in vectors of four doubles (AVX2).
    template <bool wide = true>
    int insphere(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t e) {
        if (scaled_) {
            const int s =
                wide ? insphere_filtered(point(a), point(b), point(c), point(d), point(e), insphere_static_)
                     : insphere_filtered_pairs(point(a), point(b), point(c), point(d), point(e), insphere_static_);
            if (s != undecided) return s;
        }
        return insphere_careful(a, b, c, d, e);
    }

    // insphere's floating-point stage alone, on the vertices v[0..3] and e:
    // the sign, or `undecided` for insphere_careful to settle.
    static constexpr int undecided = 2;
    template <bool wide = true>
    int insphere_filtered(const std::uint32_t* v, std::uint32_t e) const {
        if (!scaled_) return undecided;
        return wide ? insphere_filtered(point(v[0]), point(v[1]), point(v[2]), point(v[3]), point(e), insphere_static_)
                    : insphere_filtered_pairs(point(v[0]), point(v[1]), point(v[2]), point(v[3]), point(e),
                                              insphere_static_);
    }

    [[gnu::noinline]] int orient3d_careful(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        const double* p[4] = {point(a), point(b), point(c), point(d)};
        if (scaled_) return orient3d_scaled(p);
        double local[12];
        const double* q[4];
        if (!rescale<4>(p, local, q)) return orient3d_wide(p);
        return orient3d_scaled(q);
    }

    [[gnu::noinline]] int insphere_careful(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                                           std::uint32_t e) {
        const double* p[5] = {point(a), point(b), point(c), point(d), point(e)};
        if (scaled_) return insphere_scaled(p);
        double local[15];
        const double* q[5];
        if (!rescale<5>(p, local, q)) return insphere_wide(p);
        return insphere_scaled(q);
    }

    // The walk's four tests at once: for the positively oriented tetrahedron
    // `v` (four finite vertices), which faces p lies strictly beyond, that is,
    // the positions k where putting p in place of v[k] orients it negatively;
    // a bit per position. The floating-point stage alone: positions it cannot
    // decide are set in `unsure`, for orient3d.
    unsigned faces_beyond(const std::uint32_t* v, std::uint32_t p, unsigned& unsure) const {
        if (!scaled_) {
            unsure = 0xF;
            return 0;
        }
        using V4 = FourLanes;
        const auto [x, y, z] = rows_less(point(v[0]), point(v[1]), point(v[2]), point(v[3]), point(p));
        // Lane k: the determinant of the other three rows less p, (p < q < r),
        // z_p m_qr - z_q m_pr + z_r m_pq: orient3d's floating-point stage on
        // p and those three, and the orientation with p in place of v[k] up
        // to the sign (-1)^k.
        const V4 xp = __builtin_shufflevector(x, x, 1, 0, 0, 0), xq = __builtin_shufflevector(x, x, 2, 2, 1, 1),
                 xr = __builtin_shufflevector(x, x, 3, 3, 3, 2);
        const V4 yp = __builtin_shufflevector(y, y, 1, 0, 0, 0), yq = __builtin_shufflevector(y, y, 2, 2, 1, 1),
                 yr = __builtin_shufflevector(y, y, 3, 3, 3, 2);
        const V4 zp = __builtin_shufflevector(z, z, 1, 0, 0, 0), zq = __builtin_shufflevector(z, z, 2, 2, 1, 1),
                 zr = __builtin_shufflevector(z, z, 3, 3, 3, 2);
        const V4 xqyr = xq * yr, xryq = xr * yq, xpyr = xp * yr, xryp = xr * yp, xpyq = xp * yq, xqyp = xq * yp;
        const V4 det = zp * (xqyr - xryq) - zq * (xpyr - xryp) + zr * (xpyq - xqyp);
        // Beyond face k: orientation negative, so det negative for even k, positive for odd.
        const V4 flip = {1, -1, 1, -1};
        const V4 oriented = det * flip;
        // orient3d_filtered's static stage first, then its permanent.
        const unsigned surely_beyond = lane_bits<double>(-oriented > orient_static_);
        const unsigned surely_within = lane_bits<double>(oriented > orient_static_);
        if ((surely_beyond | surely_within) == 0xFu) {
            unsure = 0;
            return surely_beyond;
        }
        const V4 zero = {0, 0, 0, 0};
#define ORNEL_MAGNITUDE(u) ((u) < zero ? -(u) : (u))
        const V4 permanent = ORNEL_MAGNITUDE(zp) * (ORNEL_MAGNITUDE(xqyr) + ORNEL_MAGNITUDE(xryq)) +
                             ORNEL_MAGNITUDE(zq) * (ORNEL_MAGNITUDE(xpyr) + ORNEL_MAGNITUDE(xryp)) +
                             ORNEL_MAGNITUDE(zr) * (ORNEL_MAGNITUDE(xpyq) + ORNEL_MAGNITUDE(xqyp));
#undef ORNEL_MAGNITUDE
        const V4 bound = orient_bound * permanent + underflow_slack;
        const unsigned beyond = lane_bits<double>(-oriented > bound);
        unsure = ~(beyond | lane_bits<double>(oriented > bound)) & 0xFu;
        return beyond;
    }

    // Orientation where `d` is given by coordinates rather than an index.
    int orient3d_at(std::uint32_t a, std::uint32_t b, std::uint32_t c, const double* d) {
        const double* p[4] = {point(a), point(b), point(c), d};
        if (scaled_) return orient3d_scaled(p);
        double local[12];
        const double* q[4];
        if (!rescale<4>(p, local, q)) return orient3d_wide(p);
        return orient3d_scaled(q);
    }

private:
    static int sign_of(double x) { return (x > 0) - (x < 0); }

    // The semi-static bound below for the largest lift any test on the
    // cloud can meet: every difference is at most `span`, so every lift at
    // most 3 span^2 (with margin for its rounding).
    // The orientation's permanent for differences at most `span`:
    // 3 * span * (span^2 + span^2), with margin for its rounding.
    static double orient_static_bound(double span) {
        return orient_bound * (6.0 * span * span * span * 1.01) + underflow_slack;
    }

    static double insphere_static_bound(double span) {
        const double lift = 3.0 * span * span * 1.01;
        return (insphere_bound * 24.0 * 1.01) * (lift * lift * std::sqrt(lift)) + underflow_slack;
    }

    // orient3d_scaled's and insphere_scaled's floating-point stage on points
    // given one by one (kept in registers): the sign, or `undecided`.
    static int orient3d_filtered(const double* a, const double* b, const double* c, const double* d,
                                 double static_bound) {
        const double ux = b[0] - a[0], uy = b[1] - a[1], uz = b[2] - a[2];
        const double vx = c[0] - a[0], vy = c[1] - a[1], vz = c[2] - a[2];
        const double wx = d[0] - a[0], wy = d[1] - a[1], wz = d[2] - a[2];
        const double vywz = vy * wz, vzwy = vz * wy, vzwx = vz * wx, vxwz = vx * wz, vxwy = vx * wy, vywx = vy * wx;
        const double det = ux * (vywz - vzwy) + uy * (vzwx - vxwz) + uz * (vxwy - vywx);
        // The cloud's static bound first (orient_static_bound).
        if (det > static_bound) return 1;
        if (-det > static_bound) return -1;
        const double permanent = std::fabs(ux) * (std::fabs(vywz) + std::fabs(vzwy)) +
                                 std::fabs(uy) * (std::fabs(vzwx) + std::fabs(vxwz)) +
                                 std::fabs(uz) * (std::fabs(vxwy) + std::fabs(vywx));
        const double bound = orient_bound * permanent + underflow_slack;
        if (det > bound) return 1;
        if (-det > bound) return -1;
        return undecided;
    }

    // The four rows in the lanes of one vector, (a, b, c, d): the very
    // operations of insphere_scaled's floating-point stage in the same order,
    // so the same value and the same bound.
    static int insphere_filtered(const double* a, const double* b, const double* c, const double* d, const double* e,
                                 double static_bound) {
        using V2 = Vector<double, 16>;
        using V4 = FourLanes;
        const FourRows rows = rows_less(a, b, c, d, e);
        const V4 lift = rows.x * rows.x + rows.y * rows.y + rows.z * rows.z;
        const V4 q = lift * cofactors(rows);                             // the cofactors: d123, d023, d013, d012
        const V4 terms = __builtin_shufflevector(q, q, 1, 0, 3, 2) - q;  // lb d023 - la d123, ., ld d012 - lc d013, .
        const double det = terms[0] + terms[2];
        // The cloud's static bound first (insphere_static_bound), which spares
        // the largest lift on most tests.
        if (det > static_bound) return -1;
        if (-det > static_bound) return 1;
        const V2 low = __builtin_shufflevector(lift, lift, 0, 1), high = __builtin_shufflevector(lift, lift, 2, 3);
        const V2 larger = low > high ? low : high;
        return insphere_semi_static(det, std::max(larger[0], larger[1]));
    }

    using FourLanes = Vector<double, 32>;

    // The coordinates of a, b, c and d less e's, a point a lane: each point
    // loaded whole with the next point's x (the coordinates hold a spare
    // double past the last point for it), then transposed.
    struct FourRows {
        FourLanes x, y, z;
    };
    static FourRows rows_less(const double* a, const double* b, const double* c, const double* d, const double* e) {
        auto load = [](const double* p) {
            FourLanes v;
            std::memcpy(&v, p, sizeof v);
            return v;
        };
        const FourLanes pa = load(a), pb = load(b), pc = load(c), pd = load(d);
        const FourLanes ab_even = __builtin_shufflevector(pa, pb, 0, 4, 2, 6);  // xa xb za zb
        const FourLanes ab_odd = __builtin_shufflevector(pa, pb, 1, 5, 3, 7);   // ya yb . .
        const FourLanes cd_even = __builtin_shufflevector(pc, pd, 0, 4, 2, 6);  // xc xd zc zd
        const FourLanes cd_odd = __builtin_shufflevector(pc, pd, 1, 5, 3, 7);   // yc yd . .
        return {__builtin_shufflevector(ab_even, cd_even, 0, 1, 4, 5) - e[0],
                __builtin_shufflevector(ab_odd, cd_odd, 0, 1, 4, 5) - e[1],
                __builtin_shufflevector(ab_even, cd_even, 2, 3, 6, 7) - e[2]};
    }

    // Lane k: the cofactor of row k, the 3 x 3 determinant of the other rows
    // p < q < r, z_p m_qr - z_q m_pr + z_r m_pq with m_ij = x_i y_j - x_j y_i.
    // The minors come from permuting the lanes, which AVX2 does in one
    // instruction (a build without it splits the vectors in halves).
    static FourLanes cofactors(const FourRows& r) {
        auto p = [](FourLanes v) { return __builtin_shufflevector(v, v, 1, 0, 0, 0); };
        auto q = [](FourLanes v) { return __builtin_shufflevector(v, v, 2, 2, 1, 1); };
        auto s = [](FourLanes v) { return __builtin_shufflevector(v, v, 3, 3, 3, 2); };
        const FourLanes mqr = q(r.x) * s(r.y) - s(r.x) * q(r.y);
        const FourLanes mpr = p(r.x) * s(r.y) - s(r.x) * p(r.y);
        const FourLanes mpq = p(r.x) * q(r.y) - q(r.x) * p(r.y);
        return p(r.z) * mqr - q(r.z) * mpr + s(r.z) * mpq;
    }

    // The semi-static bound of insphere_scaled, from the largest lift.
    static int insphere_semi_static(double det, double largest) {
        const double cheap_bound =
            (insphere_bound * 24.0 * 1.001) * (largest * largest * std::sqrt(largest)) + underflow_slack;
        if (det > cheap_bound) return -1;
        if (-det > cheap_bound) return 1;
        return undecided;
    }

    // The same, two rows at a time in pairs of doubles, for builds without
    // AVX2, which would split insphere_filtered's lane permutes into many
    // instructions.
    static int insphere_filtered_pairs(const double* a, const double* b, const double* c, const double* d,
                                       const double* e, double static_bound) {
        using V = Vector<double, 16>;
        auto load_xy = [](const double* p) {
            V v;
            std::memcpy(&v, p, sizeof v);
            return v;
        };
        const V exy = load_xy(e), ez = {e[2], e[2]};
        const V axy = load_xy(a) - exy, bxy = load_xy(b) - exy, cxy = load_xy(c) - exy, dxy = load_xy(d) - exy;
        const V x1 = __builtin_shufflevector(axy, bxy, 0, 2), y1 = __builtin_shufflevector(axy, bxy, 1, 3);
        const V x2 = __builtin_shufflevector(cxy, dxy, 0, 2), y2 = __builtin_shufflevector(cxy, dxy, 1, 3);
        const V z1 = V{a[2], b[2]} - ez, z2 = V{c[2], d[2]} - ez;
        const V l1 = x1 * x1 + y1 * y1 + z1 * z1;  // (la, lb)
        const V l2 = x2 * x2 + y2 * y2 + z2 * z2;  // (lc, ld)
        const V m02_13 = x1 * y2 - x2 * y1;
        const V m03_12 = x1 * __builtin_shufflevector(y2, y2, 1, 0) - __builtin_shufflevector(x2, x2, 1, 0) * y1;
        const V p1 = x1 * __builtin_shufflevector(y1, y1, 1, 0), p2 = x2 * __builtin_shufflevector(y2, y2, 1, 0);
        const V m01_23 = __builtin_shufflevector(p1, p2, 0, 2) - __builtin_shufflevector(p1, p2, 1, 3);
        // (d123, d023) and (d013, d012)
        const V d1 = __builtin_shufflevector(z1, z1, 1, 0) * __builtin_shufflevector(m01_23, m01_23, 1, 1) -
                     __builtin_shufflevector(z2, z2, 0, 0) * __builtin_shufflevector(m02_13, m03_12, 1, 2) +
                     __builtin_shufflevector(z2, z2, 1, 1) * __builtin_shufflevector(m03_12, m02_13, 1, 2);
        const V d2 = __builtin_shufflevector(z1, z1, 0, 0) * __builtin_shufflevector(m02_13, m03_12, 1, 3) -
                     __builtin_shufflevector(z1, z1, 1, 1) * __builtin_shufflevector(m03_12, m02_13, 0, 2) +
                     __builtin_shufflevector(z2, z2, 1, 0) * __builtin_shufflevector(m01_23, m01_23, 0, 0);
        const V q1 = l1 * d1, q2 = l2 * d2;  // (la d123, lb d023), (lc d013, ld d012)
        const V terms = __builtin_shufflevector(q1, q2, 1, 3) - __builtin_shufflevector(q1, q2, 0, 2);
        const double det = terms[0] + terms[1];
        if (det > static_bound) return -1;
        if (-det > static_bound) return 1;
        const V larger = l1 > l2 ? l1 : l2;
        return insphere_semi_static(det, std::max(larger[0], larger[1]));
    }

    // Copies the points scaled as a whole cloud is (SafeScale); false when
    // their own magnitudes do not allow it.
    template <int N>
    static bool rescale(const double* const* p, double* local, const double** q) {
        SafeScale range;
        for (int i = 0; i < N; ++i)
            for (int k = 0; k < 3; ++k) range.add(p[i][k]);
        int top;
        if (!range.exponent(top)) return false;
        for (int i = 0; i < N; ++i) {
            for (int k = 0; k < 3; ++k) local[3 * i + k] = std::ldexp(p[i][k], -top);
            q[i] = local + 3 * i;
        }
        return true;
    }

    int orient3d_scaled(const double* const* p) {
        const double ux = p[1][0] - p[0][0], uy = p[1][1] - p[0][1], uz = p[1][2] - p[0][2];
        const double vx = p[2][0] - p[0][0], vy = p[2][1] - p[0][1], vz = p[2][2] - p[0][2];
        const double wx = p[3][0] - p[0][0], wy = p[3][1] - p[0][1], wz = p[3][2] - p[0][2];
        const double vywz = vy * wz, vzwy = vz * wy, vzwx = vz * wx, vxwz = vx * wz, vxwy = vx * wy, vywx = vy * wx;
        const double det = ux * (vywz - vzwy) + uy * (vzwx - vxwz) + uz * (vxwy - vywx);
        const double permanent = std::fabs(ux) * (std::fabs(vywz) + std::fabs(vzwy)) +
                                 std::fabs(uy) * (std::fabs(vzwx) + std::fabs(vxwz)) +
                                 std::fabs(uz) * (std::fabs(vxwy) + std::fabs(vywx));
        const double bound = orient_bound * permanent + underflow_slack;
        if (det > bound || -det > bound) return sign_of(det);
        return orient3d_exact(p);
    }

    int orient3d_exact(const double* const* p) {
        if (int sign; narrow_orient3d(p, sign)) return sign;
        ExpansionArena::Scope scope(arena_);
        ExpansionArena& x = arena_;
        Expansion d[3][3];
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) d[i][k] = x.difference(p[i + 1][k], p[0][k]);
        return det3(d[0], d[1], d[2]).sign();
    }

    // det of the rows r0, r1, r2 (three expansions each).
    Expansion det3(const Expansion* r0, const Expansion* r1, const Expansion* r2) {
        ExpansionArena& x = arena_;
        const Expansion m0 = x.subtract(x.product(r1[1], r2[2]), x.product(r1[2], r2[1]));
        const Expansion m1 = x.subtract(x.product(r1[2], r2[0]), x.product(r1[0], r2[2]));
        const Expansion m2 = x.subtract(x.product(r1[0], r2[1]), x.product(r1[1], r2[0]));
        return x.sum(x.sum(x.product(r0[0], m0), x.product(r0[1], m1)), x.product(r0[2], m2));
    }

    int insphere_scaled(const double* const* p) {
        double d[4][3], lift[4];
        for (int i = 0; i < 4; ++i) {
            for (int k = 0; k < 3; ++k) d[i][k] = p[i][k] - p[4][k];
            lift[i] = d[i][0] * d[i][0] + d[i][1] * d[i][1] + d[i][2] * d[i][2];
        }
        // 2 x 2 minors of the x, y columns, then 3 x 3 minors with z.
        auto minor = [&](int i, int j) { return d[i][0] * d[j][1] - d[j][0] * d[i][1]; };
        const double m01 = minor(0, 1), m02 = minor(0, 2), m03 = minor(0, 3), m12 = minor(1, 2), m13 = minor(1, 3),
                     m23 = minor(2, 3);
        auto z = [&](int i) { return d[i][2]; };
        const double d123 = z(1) * m23 - z(2) * m13 + z(3) * m12;
        const double d023 = z(0) * m23 - z(2) * m03 + z(3) * m02;
        const double d013 = z(0) * m13 - z(1) * m03 + z(3) * m01;
        const double d012 = z(0) * m12 - z(1) * m02 + z(2) * m01;
        const double det = (lift[1] * d023 - lift[0] * d123) + (lift[3] * d012 - lift[2] * d013);
        // Semi-static bound first, from the largest lift L alone (three comparisons
        // instead of a maximum per axis): every difference is at most sqrt(L) in
        // magnitude, so each of the 4 x 6 products of a lift and three differences in
        // the permanent is at most L^(5/2), and the permanent at most 24 L^(5/2).
        // Computing L, its root and the products loses at most a few units of
        // epsilon, relative, which the factor 1.001 covers many times over; when the
        // squares underflow, the permanent itself is far below underflow_slack.
        const double largest_lift = std::max(std::max(lift[0], lift[1]), std::max(lift[2], lift[3]));
        const double cheap_bound =
            (insphere_bound * 24.0 * 1.001) * (largest_lift * largest_lift * std::sqrt(largest_lift)) + underflow_slack;
        if (det > cheap_bound || -det > cheap_bound) return -sign_of(det);
        return insphere_close(p, det);
    }

    // The dynamic bound from the permanent itself, then the exact sign. Out of
    // line and recomputing the differences, so that the common path above
    // keeps them in registers.
    [[gnu::noinline]] int insphere_close(const double* const* p, double det) {
        double d[4][3], lift[4];
        for (int i = 0; i < 4; ++i) {
            for (int k = 0; k < 3; ++k) d[i][k] = p[i][k] - p[4][k];
            lift[i] = d[i][0] * d[i][0] + d[i][1] * d[i][1] + d[i][2] * d[i][2];
        }
        auto minor_abs = [&](int i, int j) { return std::fabs(d[i][0] * d[j][1]) + std::fabs(d[j][0] * d[i][1]); };
        const double a01 = minor_abs(0, 1), a02 = minor_abs(0, 2), a03 = minor_abs(0, 3), a12 = minor_abs(1, 2),
                     a13 = minor_abs(1, 3), a23 = minor_abs(2, 3);
        auto za = [&](int i) { return std::fabs(d[i][2]); };
        const double p123 = za(1) * a23 + za(2) * a13 + za(3) * a12;
        const double p023 = za(0) * a23 + za(2) * a03 + za(3) * a02;
        const double p013 = za(0) * a13 + za(1) * a03 + za(3) * a01;
        const double p012 = za(0) * a12 + za(1) * a02 + za(2) * a01;
        const double permanent = (lift[1] * p023 + lift[0] * p123) + (lift[3] * p012 + lift[2] * p013);
        const double bound = insphere_bound * permanent + underflow_slack;
        if (det > bound || -det > bound) return -sign_of(det);
        return -insphere_exact(p);
    }

    // Sign of the lifted determinant, exactly.
    int insphere_exact(const double* const* p) {
        if (int sign; narrow_lifted_determinant(p, sign)) return sign;
        ExpansionArena::Scope scope(arena_);
        ExpansionArena& x = arena_;
        Expansion d[4][3], lift[4];
        for (int i = 0; i < 4; ++i) {
            for (int k = 0; k < 3; ++k) d[i][k] = x.difference(p[i][k], p[4][k]);
            lift[i] =
                x.sum(x.sum(x.product(d[i][0], d[i][0]), x.product(d[i][1], d[i][1])), x.product(d[i][2], d[i][2]));
        }
        const Expansion d123 = det3(d[1], d[2], d[3]), d023 = det3(d[0], d[2], d[3]), d013 = det3(d[0], d[1], d[3]),
                        d012 = det3(d[0], d[1], d[2]);
        const Expansion det = x.sum(x.subtract(x.product(lift[1], d023), x.product(lift[0], d123)),
                                    x.subtract(x.product(lift[3], d012), x.product(lift[2], d013)));
        return det.sign();
    }

    // Wide-integer versions, in units of the smallest bit among the points.
    template <int N>
    static int common_unit(const double* const* p) {
        int unit = 1 << 20;
        for (int i = 0; i < N; ++i)
            for (int k = 0; k < 3; ++k) {
                const double v = p[i][k];
                if (v == 0) continue;
                int exponent;
                const double fraction = std::frexp(std::fabs(v), &exponent);
                auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
                const int lowest = exponent - 53 + __builtin_ctzll(mantissa);
                if (lowest < unit) unit = lowest;
            }
        return unit;
    }

    static int orient3d_wide(const double* const* p) {
        if (int sign; narrow_orient3d(p, sign)) return sign;
        const int unit = common_unit<4>(p);
        WideInteger d[3][3];
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k)
                d[i][k] = WideInteger::from_double(p[i + 1][k], unit) - WideInteger::from_double(p[0][k], unit);
        return wide_det3(d[0], d[1], d[2]).sign();
    }

    static WideInteger wide_det3(const WideInteger* r0, const WideInteger* r1, const WideInteger* r2) {
        return r0[0] * (r1[1] * r2[2] - r1[2] * r2[1]) + r0[1] * (r1[2] * r2[0] - r1[0] * r2[2]) +
               r0[2] * (r1[0] * r2[1] - r1[1] * r2[0]);
    }

    static int insphere_wide(const double* const* p) {
        if (int sign; narrow_lifted_determinant(p, sign)) return -sign;
        const int unit = common_unit<5>(p);
        WideInteger d[4][3];
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 3; ++k)
                d[i][k] = WideInteger::from_double(p[i][k], unit) - WideInteger::from_double(p[4][k], unit);
        WideInteger det;
        const int signs[4] = {-1, 1, -1, 1};
        for (int i = 0; i < 4; ++i) {
            const WideInteger* rest[3];
            for (int j = 0, r = 0; j < 4; ++j)
                if (j != i) rest[r++] = d[j];
            const WideInteger lift = d[i][0] * d[i][0] + d[i][1] * d[i][1] + d[i][2] * d[i][2];
            const WideInteger term = lift * wide_det3(rest[0], rest[1], rest[2]);
            det = signs[i] > 0 ? det + term : det - term;
        }
        return -det.sign();
    }

    const double* xyz_;
    bool scaled_;
    double insphere_static_, orient_static_;
    ExpansionArena arena_;
};

}  // namespace ornel::delaunay
