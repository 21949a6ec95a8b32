// Unit normals of a cloud from each point's neighbours: the direction of least
// spread of the neighbours (principal component analysis), oriented away from
// the cloud's centre and then towards the side most of the neighbours' normals
// take, which turns the few pointing inwards in hollows; and the normals of the
// sheet each point lies on, which signed distances orient over the graph.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "strided.hpp"

namespace ornel {

using Vector3 = std::array<double, 3>;

inline Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline double dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// The unit eigenvector of the least eigenvalue of the symmetric matrix
// (xx, xy, xz, yy, yz, zz); zero where no direction is least (no spread, or
// spread in one direction only: no plane is fitted there).
inline Vector3 least_eigenvector(double xx, double xy, double xz, double yy, double yz, double zz) {
    // Scaled to unit size first, so that tiny or huge spreads behave alike.
    const double scale = std::max({std::abs(xx), std::abs(xy), std::abs(xz), std::abs(yy), std::abs(yz), std::abs(zz)});
    if (!(scale > 0) || !std::isfinite(scale)) return {0, 0, 0};
    xx /= scale, xy /= scale, xz /= scale, yy /= scale, yz /= scale, zz /= scale;
    // Eigenvalues in closed form (the trigonometric solution of the characteristic cubic).
    const double mean = (xx + yy + zz) / 3;
    const double off = xy * xy + xz * xz + yz * yz;
    const double spread =
        std::sqrt(((xx - mean) * (xx - mean) + (yy - mean) * (yy - mean) + (zz - mean) * (zz - mean) + 2 * off) / 6);
    if (!(spread > 0)) return {0, 0, 0};  // a multiple of the identity: every direction alike
    const double a = (xx - mean) / spread, b = (yy - mean) / spread, c = (zz - mean) / spread;
    const double d = xy / spread, e = xz / spread, f = yz / spread;
    const double half_det = (a * (b * c - f * f) - d * (d * c - f * e) + e * (d * f - b * e)) / 2;
    const double angle = std::acos(std::clamp(half_det, -1.0, 1.0)) / 3;
    const double least = mean + 2 * spread * std::cos(angle + 2 * std::numbers::pi / 3);
    // The eigenvector is orthogonal to the rows of (A - least I): the longest cross product of two rows.
    const Vector3 r0{xx - least, xy, xz}, r1{xy, yy - least, yz}, r2{xz, yz, zz - least};
    const Vector3 candidates[3] = {cross(r0, r1), cross(r0, r2), cross(r1, r2)};
    const Vector3* longest = &candidates[0];
    for (const Vector3& candidate : candidates)
        if (dot(candidate, candidate) > dot(*longest, *longest)) longest = &candidate;
    const double length = std::sqrt(dot(*longest, *longest));
    // Two least eigenvalues equal (spread along a line): the rows are parallel. The
    // closed form loses half the digits there (acos near 1), hence the wide threshold.
    if (!(length > 1e-6)) return {0, 0, 0};
    return {(*longest)[0] / length, (*longest)[1] / length, (*longest)[2] / length};
}

// Sums of offsets from one point and of their products, whose least spread
// direction is the normal of their least-squares plane.
struct PlaneFit {
    Vector3 sum{0, 0, 0};
    double xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
    double count = 0;

    void add(const Vector3& d) {
        sum[0] += d[0], sum[1] += d[1], sum[2] += d[2];
        xx += d[0] * d[0], xy += d[0] * d[1], xz += d[0] * d[2], yy += d[1] * d[1], yz += d[1] * d[2],
            zz += d[2] * d[2];
        count += 1;
    }
    Vector3 centroid() const { return {sum[0] / count, sum[1] / count, sum[2] / count}; }
    Vector3 normal() const {
        if (count == 0) return {0, 0, 0};
        const Vector3 mean = centroid();
        return least_eigenvector(xx - count * mean[0] * mean[0], xy - count * mean[0] * mean[1],
                                 xz - count * mean[0] * mean[2], yy - count * mean[1] * mean[1],
                                 yz - count * mean[1] * mean[2], zz - count * mean[2] * mean[2]);
    }
};

// The normal of the sheet each point lies on, for signs: on a plate thinner
// than a neighbourhood the k nearest points span both sides, and their spread
// tilts or turns the normal. Each point's `core` nearest (the first of its row)
// lie on its own side; their plane picks, among the whole row, the points
// within half the core's radius of it, whose plane picks again: the last
// plane's normal is the point's. Zero where a fit spans no plane. Not
// oriented. Cost: 1 + sheet_rounds passes over each row.
inline constexpr int sheet_rounds = 2;

// Row j of `points` less row i, in double.
template <PointSource P>
inline Vector3 offset_between(const P& points, std::size_t i, std::size_t j) {
    return {coordinate(points, j, 0) - coordinate(points, i, 0), coordinate(points, j, 1) - coordinate(points, i, 1),
            coordinate(points, j, 2) - coordinate(points, i, 2)};
}

template <PointSource P>
void estimate_sheet_normals(const P& points, const std::uint32_t* neighbours, std::size_t k, std::size_t core,
                            double* normals) {
    core = std::min(core, k);
    for (std::size_t i = 0; i < points.size(); ++i) {
        const std::uint32_t* row = neighbours + i * k;
        auto offset = [&](std::uint32_t j) { return offset_between(points, i, j); };
        PlaneFit first;
        double radius2 = 0;
        for (std::size_t j = 0; j < core; ++j) {
            const Vector3 d = offset(row[j]);
            first.add(d);
            radius2 = std::max(radius2, dot(d, d));
        }
        Vector3 normal = first.normal();
        // Measured from the fit's centroid: the point itself may be off its plane by the noise.
        Vector3 centre = first.centroid();
        const double half_width2 = radius2 / 4;
        for (int round = 0; round < sheet_rounds && dot(normal, normal) > 0; ++round) {
            PlaneFit sheet;
            for (std::size_t j = 0; j < k; ++j) {
                const Vector3 d = offset(row[j]);
                const double off = dot(Vector3{d[0] - centre[0], d[1] - centre[1], d[2] - centre[2]}, normal);
                if (off * off <= half_width2) sheet.add(d);
            }
            normal = sheet.normal();
            centre = sheet.centroid();
        }
        for (int axis = 0; axis < 3; ++axis) normals[3 * i + axis] = normal[axis];
    }
}

// normals[i] for point i of `points` (n rows) from its k neighbours
// `neighbours[i * k .. i * k + k)` (indices below n; the point itself may be
// among them). `passes` rounds of orientation by the neighbours' majority
// follow the orientation away from the centre; each round decides every point
// from the previous round's normals, so the result depends on nothing but
// the input.
template <PointSource P>
void estimate_normals(const P& points, const std::uint32_t* neighbours, std::size_t k, int passes, double* normals) {
    const std::size_t n = points.size();
    if (n == 0) return;
    Vector3 centre{0, 0, 0};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t axis = 0; axis < 3; ++axis) centre[axis] += coordinate(points, i, axis);
    for (double& mean : centre) mean /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t* row = neighbours + i * k;
        // Measured from the point itself, which keeps the sums small and exact far from the origin.
        PlaneFit fit;
        for (std::size_t j = 0; j < k; ++j) fit.add(offset_between(points, i, row[j]));
        Vector3 normal = fit.normal();
        const Vector3 outwards{coordinate(points, i, 0) - centre[0], coordinate(points, i, 1) - centre[1],
                               coordinate(points, i, 2) - centre[2]};
        const double sign = dot(normal, outwards) < 0 ? -1.0 : 1.0;
        for (int axis = 0; axis < 3; ++axis) normals[3 * i + axis] = sign * normal[axis];
    }
    std::vector<std::uint8_t> flip(n);
    for (int pass = 0; pass < passes; ++pass) {
        for (std::size_t i = 0; i < n; ++i) {
            const Vector3 own{normals[3 * i], normals[3 * i + 1], normals[3 * i + 2]};
            double agreement = 0;
            for (std::size_t j = 0; j < k; ++j) {
                const double* other = normals + 3 * std::size_t{neighbours[i * k + j]};
                agreement += own[0] * other[0] + own[1] * other[1] + own[2] * other[2];
            }
            flip[i] = agreement < 0;
        }
        for (std::size_t i = 0; i < n; ++i)
            if (flip[i])
                for (int axis = 0; axis < 3; ++axis) normals[3 * i + axis] = -normals[3 * i + axis];
    }
}

}  // namespace ornel
