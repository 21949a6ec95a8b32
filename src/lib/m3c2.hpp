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
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "dispatch.hpp"
#include "lanes.hpp"
#include "normals.hpp"
#include "region_search.hpp"
#include "row_grid.hpp"

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

// Four grid points at a time, in lanes of double: the same 32 bytes on every
// instruction set (two halves on the baseline's), so that each build does
// the same operations in the same order and gets the same bits.
using PointLanes = Vector<double, 32>;
using PointMask = MaskOf<PointLanes>;
inline constexpr std::uint32_t point_lanes = 4;

// Coordinates i .. i + 3 of one axis of the grid (its arrays are padded for this).
template <class T>
[[gnu::always_inline]] inline PointLanes load_lanes(const T* at) {
    Vector<T, point_lanes * sizeof(T)> v;
    std::memcpy(&v, at, sizeof v);
    return __builtin_convertvector(v, PointLanes);
}

// For each set of lanes (lane i at bit i), their indices in order, then the
// others', as the two 32-bit halves of each lane: a shuffle of halves is one
// instruction on AVX2 (vpermd), where one of 64-bit lanes by a run-time
// index was rebuilt into that from the 64-bit indices, group by group.
using LaneIndices = Vector<std::int32_t, 32>;
using LaneHalves = Vector<std::int32_t, 32>;  // a group of lanes viewed as halves
inline constexpr LaneIndices lanes_packed[16] = {
    {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, {2, 3, 0, 1, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7},
    {4, 5, 0, 1, 2, 3, 6, 7}, {0, 1, 4, 5, 2, 3, 6, 7}, {2, 3, 4, 5, 0, 1, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7},
    {6, 7, 0, 1, 2, 3, 4, 5}, {0, 1, 6, 7, 2, 3, 4, 5}, {2, 3, 6, 7, 0, 1, 4, 5}, {0, 1, 2, 3, 6, 7, 4, 5},
    {4, 5, 6, 7, 0, 1, 2, 3}, {0, 1, 4, 5, 6, 7, 2, 3}, {2, 3, 4, 5, 6, 7, 0, 1}, {0, 1, 2, 3, 4, 5, 6, 7}};
// The number of lanes in each set.
inline constexpr std::uint8_t lanes_set[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

// The lanes of a group starting at i that lie before `last`.
[[gnu::always_inline]] inline PointMask lanes_before(std::uint32_t i, std::uint32_t last) {
    const PointLanes offset{0, 1, 2, 3};
    return offset < static_cast<double>(last - i);
}

[[gnu::always_inline]] inline PointLanes masked(PointLanes v, PointMask keep) {
    return reinterpret_cast<PointLanes>(reinterpret_cast<PointMask>(v) & keep);
}

// The count of the ball's points, and the sums of their offsets from its
// centre and of those offsets' products: small numbers however far the cloud
// lies. Each lane sums every fourth point of each run; the lanes are added
// once at the end, as (l0 + l1) + (l2 + l3).
struct BallMoments {
    double count = 0, sx = 0, sy = 0, sz = 0, xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
};

// Always inlined, like the steps below: the dispatch targets compile what they inline for their own instruction set.
template <class T>
[[gnu::always_inline]] inline BallMoments ball_moments(const RowGrid<T>& grid, const Ball& ball) {
    const double r2 = ball.radius * ball.radius;
    const double* c = ball.centre;
    PointLanes count{}, sx{}, sy{}, sz{}, xx{}, xy{}, xz{}, yy{}, yz{}, zz{};
    const T *gx = grid.x.data(), *gy = grid.y.data(), *gz = grid.z.data();
    visit_ball_runs(grid, ball, [&](std::uint32_t first, std::uint32_t last) {
        // The sums held in locals over a run, and the groups wholly inside
        // the run apart from the last, so that the loop's sums fit in
        // registers (in the enclosing frame, every group stored and
        // reloaded each of them).
        PointLanes n = count, ax = sx, ay = sy, az = sz, axx = xx, axy = xy, axz = xz, ayy = yy, ayz = yz, azz = zz;
        auto add = [&](std::uint32_t i, PointMask keep) {
            const PointLanes dx = load_lanes(gx + i) - c[0];
            const PointLanes dy = load_lanes(gy + i) - c[1];
            const PointLanes dz = load_lanes(gz + i) - c[2];
            const PointMask inside = (dx * dx + dy * dy + dz * dz <= r2) & keep;
            const PointLanes x = masked(dx, inside), y = masked(dy, inside), z = masked(dz, inside);
            n += masked(PointLanes{1, 1, 1, 1}, inside);
            ax += x, ay += y, az += z;
            axx += x * x, axy += x * y, axz += x * z;
            ayy += y * y, ayz += y * z, azz += z * z;
        };
        std::uint32_t i = first;
        for (; last - i >= point_lanes; i += point_lanes) add(i, PointMask{-1, -1, -1, -1});
        // The points past the run are masked off, and so are the pad's zeros.
        if (i < last) add(i, lanes_before(i, last));
        count = n, sx = ax, sy = ay, sz = az, xx = axx, xy = axy, xz = axz, yy = ayy, yz = ayz, zz = azz;
    });
    return {horizontal_sum<double>(count), horizontal_sum<double>(sx), horizontal_sum<double>(sy),
            horizontal_sum<double>(sz),    horizontal_sum<double>(xx), horizontal_sum<double>(xy),
            horizontal_sum<double>(xz),    horizontal_sum<double>(yy), horizontal_sum<double>(yz),
            horizontal_sum<double>(zz)};
}

// The positions t along the axis of the cylinder's points, written to
// `positions` from its start (grown when short; a thread reuses its own);
// returns their count. Each point's test is the scalar search's, term for term.
template <class T>
[[gnu::always_inline]] inline std::size_t cylinder_positions(const RowGrid<T>& grid, const Cylinder& cylinder,
                                                             std::vector<double>& positions) {
    const double r2 = cylinder.radius * cylinder.radius;
    const double *c = cylinder.centre, *a = cylinder.axis;
    const T *gx = grid.x.data(), *gy = grid.y.data(), *gz = grid.z.data();
    std::size_t found = 0;
    visit_cylinder_runs(grid, cylinder, [&](std::uint32_t first, std::uint32_t last) {
        // Room for the run's points, and for the lanes written past its last one.
        if (positions.size() < found + (last - first) + point_lanes)
            positions.resize(2 * (found + (last - first) + point_lanes));
        double* out = positions.data();
        std::size_t kept = found;
        auto keep = [&](std::uint32_t i, PointMask within) {
            const PointLanes dx = load_lanes(gx + i) - c[0];
            const PointLanes dy = load_lanes(gy + i) - c[1];
            const PointLanes dz = load_lanes(gz + i) - c[2];
            const PointLanes t = dx * a[0] + dy * a[1] + dz * a[2];
            const PointLanes ex = dx - t * a[0], ey = dy - t * a[1], ez = dz - t * a[2];
            // |t| <= h as -h <= t <= h: negation is exact, so the two agree.
            const PointMask inside = (t <= cylinder.half_length) & (t >= -cylinder.half_length) &
                                     (ex * ex + ey * ey + ez * ez <= r2) & within;
            // The inside lanes moved to the front and all four written, the
            // count advanced by theirs: no branch, and one store, per group.
            const std::uint32_t bits = lane_bits<double>(inside);
            const LaneHalves packed = __builtin_shuffle(std::bit_cast<LaneHalves>(t), lanes_packed[bits]);
            std::memcpy(out + kept, &packed, sizeof packed);
            kept += lanes_set[bits];
        };
        // The groups wholly in the run unmasked; the last one's lanes past the run masked off.
        std::uint32_t i = first;
        for (; last - i >= point_lanes; i += point_lanes) keep(i, PointMask{-1, -1, -1, -1});
        if (i < last) keep(i, lanes_before(i, last));
        found = kept;
    });
    return found;
}

// Step 1 for one core point: the most planar scale's normal, or NaN.
template <class T>
[[gnu::always_inline]] inline std::uint32_t fit_normal(const RowGrid<T>& grid, const double core[3],
                                                       const M3c2Parameters& parameters, double normal[3]) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    normal[0] = normal[1] = normal[2] = nan;
    std::uint32_t chosen = static_cast<std::uint32_t>(parameters.scales);
    double least_share = std::numeric_limits<double>::infinity();
    for (std::size_t scale = 0; scale < parameters.scales; ++scale) {
        const BallMoments m = ball_moments(grid, Ball{{core[0], core[1], core[2]}, parameters.normal_radii[scale]});
        const double count = m.count, sx = m.sx, sy = m.sy, sz = m.sz;
        const double xx = m.xx, xy = m.xy, xz = m.xz, yy = m.yy, yz = m.yz, zz = m.zz;
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

// Location and spread of one cylinder's n positions (sorted in place when
// robust); `values` has room for point_lanes values past the n-th. The sums
// run in lanes, each over every fourth value, added as (l0 + l1) + (l2 + l3):
// a chain of additions a quarter as long.
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
    auto lanes_at = [&](std::size_t k) {
        PointLanes v;
        std::memcpy(&v, values + k, sizeof v);
        return v;
    };
    const std::uint32_t count = static_cast<std::uint32_t>(n);
    PointLanes sum{};
    for (std::uint32_t k = 0; k < count; k += point_lanes) sum += masked(lanes_at(k), lanes_before(k, count));
    position = horizontal_sum<double>(sum) / static_cast<double>(n);
    if (n < 2) return;
    PointLanes squares{};
    for (std::uint32_t k = 0; k < count; k += point_lanes) {
        const PointLanes deviation = lanes_at(k) - position;
        squares += masked(deviation * deviation, lanes_before(k, count));
    }
    spread = std::sqrt(horizontal_sum<double>(squares) / static_cast<double>(n - 1));
}

// For core points first .. last (rows of `cores`, 3 doubles each), with
// `grid` as epoch `epoch` (0 or 1): for epoch 0, step 1 (or the given
// normals) then step 2; for epoch 1, step 2 along the normals epoch 0 left
// in `answers`. One epoch at a time, so that only one epoch's grid need be
// held; independent per core point, so ranges may run on threads of their own.
// `positions` is the calling thread's scratch for a cylinder's positions: it
// grows to the most points one cylinder's runs hold, then is reused.
template <class T>
void m3c2_core_points(const RowGrid<T>& grid, int epoch, const double* cores, const M3c2Parameters& parameters,
                      std::size_t first, std::size_t last, const M3c2Answers& answers, std::vector<double>& positions) {
    if (positions.size() < 1024) positions.resize(1024);
    for (std::size_t i = first; i < last; ++i) {
        const double* core = cores + 3 * i;
        double* normal = answers.normal + 3 * i;
        if (epoch == 0) {
            if (parameters.given_normals != nullptr) {
                std::copy_n(parameters.given_normals + 3 * i, 3, normal);
                answers.scale[i] = static_cast<std::uint32_t>(parameters.scales);
            } else {
                answers.scale[i] = fit_normal(grid, core, parameters, normal);
                turn_normal(parameters, core, normal);
            }
        }
        const bool fitted = std::isfinite(normal[0]) && std::isfinite(normal[1]) && std::isfinite(normal[2]);
        const std::size_t found = fitted ? cylinder_positions(grid,
                                                              Cylinder{{core[0], core[1], core[2]},
                                                                       {normal[0], normal[1], normal[2]},
                                                                       parameters.cylinder_radius,
                                                                       parameters.max_depth},
                                                              positions)
                                         : 0;
        answers.count[epoch][i] = static_cast<std::uint32_t>(found);
        cylinder_statistics(positions.data(), found, parameters.robust, answers.position[epoch][i],
                            answers.spread[epoch][i]);
    }
}

// The order of a sweep over the grid's rows of the q core points (rows of
// `cores`), written to order[0 .. q): by their cell in the grid's order, ties
// in row order. Neighbours come one after the other, and so do the rows of
// cells their searches read, in the order the grid holds them: on a
// million-point terrain the searches cost 6 to 8% less than in Morton order,
// where each step to a new quadrant reads rows far from the last. A counting
// sort: O(q + cells), in `key` (q entries) and `first` (sweep_cells(grid)).
template <class T>
std::size_t sweep_cells(const RowGrid<T>& grid) {
    return static_cast<std::size_t>(grid.cells[0] * grid.cells[1] * grid.cells[2]) + 1;
}

template <class T>
void sweep_order(const RowGrid<T>& grid, const double* cores, std::size_t q, std::int64_t* order, std::uint32_t* key,
                 std::size_t* first) {
    if (q == 0) return;
    const std::size_t total = sweep_cells(grid) - 1;
    std::fill_n(first, total + 1, std::size_t{0});
    for (std::size_t i = 0; i < q; ++i) {
        const double* c = cores + 3 * i;
        key[i] = static_cast<std::uint32_t>(
            grid.cell_index(grid.cell_of(c[0], 0), grid.cell_of(c[1], 1), grid.cell_of(c[2], 2)));
        ++first[key[i] + 1];
    }
    for (std::size_t c = 0; c < total; ++c) first[c + 1] += first[c];
    for (std::size_t i = 0; i < q; ++i) order[first[key[i]]++] = static_cast<std::int64_t>(i);
}

// m3c2_core_points compiled for the baseline and for AVX2 (the same bits).
template <class T>
struct M3c2Kernel {
    template <std::size_t>
    [[gnu::always_inline]] static void run(const RowGrid<T>* grid, int epoch, const double* cores,
                                           const M3c2Parameters* parameters, std::size_t first, std::size_t last,
                                           const M3c2Answers* answers, std::vector<double>* positions) {
        m3c2_core_points(*grid, epoch, cores, *parameters, first, last, *answers, *positions);
    }
};

template <class T>
using M3c2CorePoints = FlatDispatch<M3c2Kernel<T>, void, const RowGrid<T>*, int, const double*, const M3c2Parameters*,
                                    std::size_t, std::size_t, const M3c2Answers*, std::vector<double>*>;

}  // namespace ornel
