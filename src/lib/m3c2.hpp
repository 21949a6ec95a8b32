// Change between two epochs of a surface by multi-scale model-to-model cloud
// comparison (M3C2; Lague, Brodu and Leroux 2013), per core point:
//
// 1. The normal: the direction of least spread (PCA) of the first epoch's
//    points in the ball of each normal radius around the core point; of the
//    radii, the one whose neighbourhood is most planar (the least eigenvalue's
//    share of the spread, λ3 / (λ1 + λ2 + λ3), smallest; the first on a tie).
//    Turned to the side of a preferred direction, or of a sensor position.
//    Normals may be given instead.
// 2. In the cylinder of the cylinder radius along the normal, within the
//    maximum depth of the core point along it, each epoch's points' positions
//    t = (p - core) . normal: their mean and sample standard deviation, or
//    (robust) their median and interquartile range (quantiles as below).
//
// The signed change (position2 - position1) and the level of detection are
// arithmetic on these, left to the caller. Everything is measured from the
// core point in double precision, so epochs far from the origin lose nothing
// to their offset. A core point where no normal is fitted (fewer than three
// points in every ball, or all on a line) gets a NaN normal and empty
// cylinders. Cost per core point: the balls' and cylinders' grid runs and
// one test per point in them, plus a sort of each cylinder when robust.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "row_grid.hpp"
#include "normals.hpp"
#include "region_search.hpp"

namespace ornel {

enum class NormalSide { as_fitted, toward_direction, toward_position };

struct M3c2Parameters {
    const double* normal_radii = nullptr;  // ascending not required; ties go to the first
    std::size_t scales = 0;
    const double* given_normals = nullptr;  // 3 per core point, unit; replaces step 1 when set
    NormalSide side = NormalSide::as_fitted;
    double toward[3] = {0, 0, 1};  // the direction, or the sensor position
    double cylinder_radius = 0;
    double max_depth = 0;
    bool robust = false;
};

// Where the answers for each core point go (arrays of one entry per core point,
// normal three).
struct M3c2Answers {
    double* normal;
    std::uint32_t* scale;  // the normal radius chosen; `scales` when none was fitted or normals were given
    double* position[2];
    double* spread[2];
    std::uint32_t* count[2];
};

// Step 1 for one core point: the most planar scale's normal, or NaN.
template <class T>
std::uint32_t fit_normal(const RowGrid<T>& grid, const double core[3], const M3c2Parameters& parameters,
                         double normal[3]) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    normal[0] = normal[1] = normal[2] = nan;
    std::uint32_t chosen = static_cast<std::uint32_t>(parameters.scales);
    double least_share = std::numeric_limits<double>::infinity();
    for (std::size_t scale = 0; scale < parameters.scales; ++scale) {
        // Sums of offsets from the core point: small numbers however far the cloud lies.
        double count = 0, sx = 0, sy = 0, sz = 0, xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
        // Summed with the test's outcome as a weight: no branch on the half of the points outside.
        visit_ball_rows(grid, Ball{{core[0], core[1], core[2]}, parameters.normal_radii[scale]},
                        [&](std::uint32_t, const double* d, bool inside) {
                            const double w = inside ? 1.0 : 0.0;
                            const double x = w * d[0], y = w * d[1], z = w * d[2];
                            count += w;
                            sx += x, sy += y, sz += z;
                            xx += x * d[0], xy += x * d[1], xz += x * d[2];
                            yy += y * d[1], yz += y * d[2], zz += z * d[2];
                        });
        if (count < 3) continue;
        const double cxx = xx - sx * sx / count, cxy = xy - sx * sy / count, cxz = xz - sx * sz / count;
        const double cyy = yy - sy * sy / count, cyz = yz - sy * sz / count, czz = zz - sz * sz / count;
        const Vector3 v = least_eigenvector(cxx, cxy, cxz, cyy, cyz, czz);
        if (v[0] == 0 && v[1] == 0 && v[2] == 0) continue;
        const double trace = cxx + cyy + czz;
        // The Rayleigh quotient of the eigenvector is its eigenvalue, to rounding.
        const double least = v[0] * (cxx * v[0] + cxy * v[1] + cxz * v[2]) +
                             v[1] * (cxy * v[0] + cyy * v[1] + cyz * v[2]) +
                             v[2] * (cxz * v[0] + cyz * v[1] + czz * v[2]);
        const double share = trace > 0 ? std::max(0.0, least) / trace : 0;
        if (share < least_share) {
            least_share = share;
            chosen = static_cast<std::uint32_t>(scale);
            normal[0] = v[0], normal[1] = v[1], normal[2] = v[2];
        }
    }
    return chosen;
}

inline void turn_normal(const M3c2Parameters& parameters, const double core[3], double normal[3]) {
    if (parameters.side == NormalSide::as_fitted) return;
    double toward[3] = {parameters.toward[0], parameters.toward[1], parameters.toward[2]};
    if (parameters.side == NormalSide::toward_position)
        for (int axis = 0; axis < 3; ++axis) toward[axis] -= core[axis];
    if (normal[0] * toward[0] + normal[1] * toward[1] + normal[2] * toward[2] < 0)
        for (int axis = 0; axis < 3; ++axis) normal[axis] = -normal[axis];
}

// The quantile q of sorted values as the inverse of their empirical
// distribution, averaged where it is flat (Hyndman and Fan's second
// definition, NumPy's "averaged_inverted_cdf"): the usual median, and the
// quartiles as the medians of the lower and upper halves for even counts.
inline double sorted_quantile(const double* sorted, std::size_t n, double q) {
    const double h = q * static_cast<double>(n);
    const double below = std::floor(h);
    const std::size_t j = static_cast<std::size_t>(below);
    if (h == below && j > 0 && j < n) return (sorted[j - 1] + sorted[j]) / 2;
    return sorted[std::min(j, n - 1)];
}

// Location and spread of one cylinder's n positions (sorted in place when robust).
inline void cylinder_statistics(double* values, std::size_t n, bool robust, double& position, double& spread) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    position = spread = nan;
    if (n == 0) return;
    if (robust) {
        std::sort(values, values + n);
        position = sorted_quantile(values, n, 0.5);
        spread = sorted_quantile(values, n, 0.75) - sorted_quantile(values, n, 0.25);
        return;
    }
    // Two passes: the deviations are summed from the mean, not from zero.
    double sum = 0;
    for (std::size_t k = 0; k < n; ++k) sum += values[k];
    position = sum / static_cast<double>(n);
    if (n < 2) return;
    double squares = 0;
    for (std::size_t k = 0; k < n; ++k) squares += (values[k] - position) * (values[k] - position);
    spread = std::sqrt(squares / static_cast<double>(n - 1));
}

// Steps 1 and 2 for core points first .. last (rows of `cores`, 3 doubles each);
// independent per core point, so ranges may run on threads of their own.
template <class T>
void m3c2_core_points(const RowGrid<T>& first_epoch, const RowGrid<T>& second_epoch, const double* cores,
                      const M3c2Parameters& parameters, std::size_t first, std::size_t last,
                      const M3c2Answers& answers) {
    const RowGrid<T>* epochs[2] = {&first_epoch, &second_epoch};
    // Grows to the most points one cylinder's rows hold, then is reused.
    std::vector<double> positions(1024);
    for (std::size_t i = first; i < last; ++i) {
        const double* core = cores + 3 * i;
        double* normal = answers.normal + 3 * i;
        if (parameters.given_normals != nullptr) {
            std::copy_n(parameters.given_normals + 3 * i, 3, normal);
            answers.scale[i] = static_cast<std::uint32_t>(parameters.scales);
        } else {
            answers.scale[i] = fit_normal(first_epoch, core, parameters, normal);
            turn_normal(parameters, core, normal);
        }
        const bool fitted = std::isfinite(normal[0]) && std::isfinite(normal[1]) && std::isfinite(normal[2]);
        for (int epoch = 0; epoch < 2; ++epoch) {
            std::size_t found = 0;
            if (fitted)
                visit_cylinder_rows(*epochs[epoch],
                                    Cylinder{{core[0], core[1], core[2]},
                                             {normal[0], normal[1], normal[2]},
                                             parameters.cylinder_radius,
                                             parameters.max_depth},
                                    [&](std::uint32_t, double t, bool inside) {
                                        // Written always, kept when inside: no branch per point.
                                        if (found == positions.size()) positions.resize(2 * found);
                                        positions[found] = t;
                                        found += inside;
                                    });
            answers.count[epoch][i] = static_cast<std::uint32_t>(found);
            cylinder_statistics(positions.data(), found, parameters.robust, answers.position[epoch][i],
                                answers.spread[epoch][i]);
        }
    }
}

}  // namespace ornel
