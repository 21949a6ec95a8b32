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

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "row_grid.hpp"

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

// Conservative widening of the rows' narrowing: rounding there may only
// let more points be tested, never fewer.
inline constexpr double narrowing_slack = 1e-9;

// visit(first, last) for each run of grid points (positions in cell order)
// that may hold points of the ball: every point inside is in one of them.
template <class T, class Visit>
void visit_ball_runs(const RowGrid<T>& grid, const Ball& ball, Visit&& visit) {
    const double reach2 = ball.radius * ball.radius * (1 + narrowing_slack);
    const double* c = ball.centre;
    double lo[3], hi[3];
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = c[axis] - ball.radius;
        hi[axis] = c[axis] + ball.radius;
    }
    // Each row is cut to the chord of the sphere at the row's nearest point to the centre.
    auto narrow = [&](double y_lo, double y_hi, double z_lo, double z_hi, double& x_lo, double& x_hi) {
        const double pad = narrowing_slack * (std::abs(y_lo) + std::abs(z_lo) + grid.edge);
        const double dy = std::max({0.0, y_lo - pad - c[1], c[1] - y_hi - pad});
        const double dz = std::max({0.0, z_lo - pad - c[2], c[2] - z_hi - pad});
        const double rest = reach2 - dy * dy - dz * dz;
        if (rest < 0) return false;
        const double half = std::sqrt(rest) * (1 + narrowing_slack);
        x_lo = std::max(x_lo, c[0] - half);
        x_hi = std::min(x_hi, c[0] + half);
        return true;
    };
    grid.visit_rows(lo, hi, narrow, visit);
}

// visit(position, d, inside) for every grid point the ball's runs hold, d its
// offset from the centre and inside the ball's test.
template <class T, class Visit>
void visit_ball_rows(const RowGrid<T>& grid, const Ball& ball, Visit&& visit) {
    const double r2 = ball.radius * ball.radius;
    const double* c = ball.centre;
    visit_ball_runs(grid, ball, [&](std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t i = first; i < last; ++i) {
            const double d[3] = {static_cast<double>(grid.x[i]) - c[0], static_cast<double>(grid.y[i]) - c[1],
                                 static_cast<double>(grid.z[i]) - c[2]};
            visit(i, d, d[0] * d[0] + d[1] * d[1] + d[2] * d[2] <= r2);
        }
    });
}

// visit(position, d) for each grid point inside the ball, d its offset from
// the centre; position is in cell order (grid.row gives the caller's row).
template <class T, class Visit>
void visit_ball(const RowGrid<T>& grid, const Ball& ball, Visit&& visit) {
    visit_ball_rows(grid, ball, [&](std::uint32_t i, const double* d, bool inside) {
        if (inside) visit(i, d);
    });
}

// visit(first, last) for each run of grid points that may hold points of
// the cylinder: every point inside is in one of them.
template <class T, class Visit>
void visit_cylinder_runs(const RowGrid<T>& grid, const Cylinder& cylinder, Visit&& visit) {
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
    const double* c = cylinder.centre;
    // Once per cylinder rather than twice per row: the rows' bounds on t are
    // products with these (rounding there is within the narrowing's slack).
    const double inverse[3] = {a[0] != 0 ? 1 / a[0] : 0, a[1] != 0 ? 1 / a[1] : 0, a[2] != 0 ? 1 / a[2] : 0};
    // A point inside lies within radius of its axis point c + t a, |t| <= half_length.
    // In a row (y and z within its cell bounds) t is then confined to where the
    // axis passes within radius of both slabs, and x to that stretch of the axis
    // widened by the chord left over from the least distances in y and z.
    auto narrow = [&](double y_lo, double y_hi, double z_lo, double z_hi, double& x_lo, double& x_hi) {
        const double pad = narrowing_slack * (std::abs(y_lo) + std::abs(z_lo) + grid.edge);
        const double reach = cylinder.radius * (1 + narrowing_slack) + pad;
        double t_lo = -cylinder.half_length, t_hi = cylinder.half_length;
        auto confine = [&](double centre, double along, double inverse_along, double low, double high) {
            const double below = low - reach - centre, above = high + reach - centre;
            if (along == 0) return below <= 0 && 0 <= above;
            const double t1 = below * inverse_along, t2 = above * inverse_along;
            const double slack = narrowing_slack * (reach + std::abs(t1) + std::abs(t2));
            t_lo = std::max(t_lo, std::min(t1, t2) - slack);
            t_hi = std::min(t_hi, std::max(t1, t2) + slack);
            return t_lo <= t_hi;
        };
        if (!confine(c[1], a[1], inverse[1], y_lo, y_hi) || !confine(c[2], a[2], inverse[2], z_lo, z_hi)) return false;
        auto least = [&](double centre, double along, double low, double high) {
            const double u = centre + t_lo * along, v = centre + t_hi * along;
            return std::max({0.0, low - pad - std::max(u, v), std::min(u, v) - high - pad});
        };
        const double dy = least(c[1], a[1], y_lo, y_hi), dz = least(c[2], a[2], z_lo, z_hi);
        const double rest = reach * reach - dy * dy - dz * dz;
        if (rest < 0) return false;
        const double half = std::sqrt(rest) * (1 + narrowing_slack) + pad;
        const double u = c[0] + t_lo * a[0], v = c[0] + t_hi * a[0];
        x_lo = std::max(x_lo, std::min(u, v) - half);
        x_hi = std::min(x_hi, std::max(u, v) + half);
        return true;
    };
    grid.visit_rows(lo, hi, narrow, visit);
}

// visit(position, t, inside) for every grid point the cylinder's runs hold,
// t its signed position along the axis from the centre.
template <class T, class Visit>
void visit_cylinder_rows(const RowGrid<T>& grid, const Cylinder& cylinder, Visit&& visit) {
    const double r2 = cylinder.radius * cylinder.radius;
    const double* a = cylinder.axis;
    visit_cylinder_runs(grid, cylinder, [&](std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t i = first; i < last; ++i) {
            const double d[3] = {static_cast<double>(grid.x[i]) - cylinder.centre[0],
                                 static_cast<double>(grid.y[i]) - cylinder.centre[1],
                                 static_cast<double>(grid.z[i]) - cylinder.centre[2]};
            const double t = d[0] * a[0] + d[1] * a[1] + d[2] * a[2];
            const double e[3] = {d[0] - t * a[0], d[1] - t * a[1], d[2] - t * a[2]};
            visit(i, t, (std::abs(t) <= cylinder.half_length) & (e[0] * e[0] + e[1] * e[1] + e[2] * e[2] <= r2));
        }
    });
}

// visit(position, t) for each grid point inside the cylinder.
template <class T, class Visit>
void visit_cylinder(const RowGrid<T>& grid, const Cylinder& cylinder, Visit&& visit) {
    visit_cylinder_rows(grid, cylinder, [&](std::uint32_t i, double t, bool inside) {
        if (inside) visit(i, t);
    });
}

}  // namespace ornel
