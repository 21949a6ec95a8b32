// Every point of a cell grid inside a ball or a cylinder.
//
// Exact: the grid's runs cover the region's box (widened, see visit_box), and
// each point in them is tested by the region's own inequality in double
// precision, measured from the region's centre; a point is inside when its
// test holds with equality too (closed regions). The tests are written as
// below so that a NumPy reference evaluating the same expressions in the same
// order agrees with them bit for bit:
//   ball:     d = p - c; d.x * d.x + d.y * d.y + d.z * d.z <= radius²
//   cylinder: d = p - c; t = d.x * a.x + d.y * a.y + d.z * a.z; |t| <= half_length
//             and e = d - t * a; e.x * e.x + e.y * e.y + e.z * e.z <= radius²
// Cost: the runs the box crosses (one directory read per x-row of cells) and
// one test per point in them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "cell_grid.hpp"

namespace ornel {

struct Ball {
    double centre[3];
    double radius;
};

// Around `centre` along the unit vector `axis`: the points within `radius` of
// the axis and within `half_length` of the centre along it.
struct Cylinder {
    double centre[3];
    double axis[3];
    double radius;
    double half_length;
};

// visit(position, d) for each grid point inside the ball, d its offset from
// the centre; position is in cell order (grid.row gives the caller's row).
template <class T, class Visit>
void visit_ball(const CellGrid<T>& grid, const Ball& ball, Visit&& visit) {
    const double r2 = ball.radius * ball.radius;
    double lo[3], hi[3];
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = ball.centre[axis] - ball.radius;
        hi[axis] = ball.centre[axis] + ball.radius;
    }
    grid.visit_box(lo, hi, [&](std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t i = first; i < last; ++i) {
            const T* p = grid.xyz.data() + 3 * std::size_t{i};
            const double d[3] = {static_cast<double>(p[0]) - ball.centre[0], static_cast<double>(p[1]) - ball.centre[1],
                                 static_cast<double>(p[2]) - ball.centre[2]};
            if (d[0] * d[0] + d[1] * d[1] + d[2] * d[2] <= r2) visit(i, d);
        }
    });
}

// visit(position, t) for each grid point inside the cylinder, t its signed
// position along the axis from the centre.
template <class T, class Visit>
void visit_cylinder(const CellGrid<T>& grid, const Cylinder& cylinder, Visit&& visit) {
    const double r2 = cylinder.radius * cylinder.radius;
    const double* a = cylinder.axis;
    double lo[3], hi[3];
    for (int axis = 0; axis < 3; ++axis) {
        // The box of the cylinder: its axis's reach plus its disc's, which
        // reaches radius * sqrt(1 - a²) along a unit axis a.
        const double across = std::sqrt(std::max(0.0, 1 - a[axis] * a[axis]));
        const double reach = cylinder.half_length * std::abs(a[axis]) + cylinder.radius * across;
        lo[axis] = cylinder.centre[axis] - reach;
        hi[axis] = cylinder.centre[axis] + reach;
    }
    grid.visit_box(lo, hi, [&](std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t i = first; i < last; ++i) {
            const T* p = grid.xyz.data() + 3 * std::size_t{i};
            const double d[3] = {static_cast<double>(p[0]) - cylinder.centre[0],
                                 static_cast<double>(p[1]) - cylinder.centre[1],
                                 static_cast<double>(p[2]) - cylinder.centre[2]};
            const double t = d[0] * a[0] + d[1] * a[1] + d[2] * a[2];
            if (!(std::abs(t) <= cylinder.half_length)) continue;
            const double e[3] = {d[0] - t * a[0], d[1] - t * a[1], d[2] - t * a[2]};
            if (e[0] * e[0] + e[1] * e[1] + e[2] * e[2] <= r2) visit(i, t);
        }
    });
}

}  // namespace ornel
