// The points as the tetrahedraliser reads them: three doubles per point,
// checked, and scaled as a whole by one power of two when that keeps every
// predicate's expansions exact.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../failure.hpp"
#include "../huge_pages.hpp"
#include "../packed_point.hpp"
#include "predicates.hpp"

namespace ornel::delaunay {

// Three doubles a point, read by vertex in the predicates.
using Coordinates = std::vector<double, HugePageAllocator<double>>;

// Reads the first three columns of `points`, converted to double exactly,
// with one spare triple for a helper point and one double more, so that a
// point's three coordinates can be loaded as four. Refuses fewer than three
// columns, non-finite coordinates and more points than 32-bit indices name.
template <class S>
Coordinates read_points(const PointsView<S>& points) {
    if (points.rows > std::size_t{0xFFFFFFFFu}) fail_input(Failure::too_many_cloud_points, points.rows);
    if (points.rows > 0 && points.columns < 3) fail_input(Failure::cloud_too_few_columns, points.columns);
    Coordinates xyz(3 * points.rows + 4);
    for (std::size_t i = 0; i < points.rows; ++i)
        for (std::size_t k = 0; k < 3; ++k) {
            const double value = static_cast<double>(points.at(i, k));
            if (!std::isfinite(value)) fail_input(Failure::non_finite_coordinate, i, std::isnan(value));
            xyz[3 * i + k] = value + 0.0;  // -0.0 becomes 0.0, so equal points hash alike
        }
    return xyz;
}

// Scales the first `n` points by one power of two (SafeScale); true when
// that was safe and done, false when they are left as given.
inline bool rescale_cloud(Coordinates& xyz, std::size_t n) {
    SafeScale range;
    for (std::size_t i = 0; i < 3 * n; ++i) range.add(xyz[i]);
    int top;
    if (!range.exponent(top)) return false;
    if (top == 0) return true;
    // Scaled values are safe, so no product over- or underflows and each is
    // exact: a multiplication by 2^-top does what ldexp does, at a fraction of
    // the cost, wherever 2^-top is a double itself (2^-1074 to 2^1023).
    if (top >= -1023 && top <= 1074) {
        const double factor = std::ldexp(1.0, -top);
        for (std::size_t i = 0; i < 3 * n; ++i) xyz[i] *= factor;
    } else {
        for (std::size_t i = 0; i < 3 * n; ++i) xyz[i] = std::ldexp(xyz[i], -top);
    }
    return true;
}

}  // namespace ornel::delaunay
