// The normal equations of one linearised point-to-plane ICP step, summed in
// one pass over the correspondences, without the gathered copies and (n, 6)
// rows NumPy needs for them.
//
// For every source point m whose squared distance to its match is at most
// `limit2`, with t and n the matched target point and its normal, the row is
// a = ((m × n) * scale, n) (lever arms in units of 1 / scale, so the columns
// are comparable) and the residual r = (t - m) · n; the sums are A = Σ a aᵀ
// and b = Σ a r, in one fixed order, so the step does not depend on threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ornel {

struct PlaneSystem {
    std::array<double, 36> matrix{};  // row-major 6 × 6, symmetric
    std::array<double, 6> rhs{};
};

// `moved`, `targets`, `normals`: rows of x, y, z; `targets` and `normals`
// indexed by `matches` (each below their row count, which the caller checks).
inline PlaneSystem point_to_plane_system(const double* moved, const double* targets, const double* normals,
                                         const std::uint32_t* matches, const double* squared, std::size_t count,
                                         double limit2, double scale) {
    // The 21 entries of the upper triangle, then b.
    std::array<double, 21> upper{};
    std::array<double, 6> rhs{};
    for (std::size_t i = 0; i < count; ++i) {
        if (!(squared[i] <= limit2)) continue;
        const double* m = moved + 3 * i;
        const double* t = targets + 3 * std::size_t{matches[i]};
        const double* n = normals + 3 * std::size_t{matches[i]};
        const double x = m[0] * scale, y = m[1] * scale, z = m[2] * scale;
        const double a[6] = {y * n[2] - z * n[1], z * n[0] - x * n[2], x * n[1] - y * n[0], n[0], n[1], n[2]};
        const double r = (t[0] - m[0]) * n[0] + (t[1] - m[1]) * n[1] + (t[2] - m[2]) * n[2];
        std::size_t at = 0;
        for (int row = 0; row < 6; ++row) {
            for (int column = row; column < 6; ++column) upper[at++] += a[row] * a[column];
            rhs[row] += a[row] * r;
        }
    }
    PlaneSystem system;
    std::size_t at = 0;
    for (int row = 0; row < 6; ++row)
        for (int column = row; column < 6; ++column)
            system.matrix[6 * row + column] = system.matrix[6 * column + row] = upper[at++];
    system.rhs = rhs;
    return system;
}

}  // namespace ornel
