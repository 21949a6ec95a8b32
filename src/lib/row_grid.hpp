// A cloud's points bucketed in a regular grid of cells, for searches of
// every point inside a region (balls, cylinders) rather than of the nearest.
//
// The points are copied in cell order, one array per axis (so that a run of
// points loads lane by lane): cells ordered y, then z, then x, so the
// cells of one x-row are one contiguous run of points and a search reads one
// pair of directory entries per row it crosses (y outermost: a build's parts,
// which own ranges of cells, then own bands across the rows, of about as many
// points each on a terrain, and a scan in rows along x meets them in runs
// rather than alternately by height); the cells are shorter along x
// than across, so that rows are cut closely to a region. The directory is dense (one
// offset per cell and one past the end); when the box of the cloud would need
// far more cells than it has points, the cell edge is doubled until they fit,
// which keeps the directory within a few bytes per point on thin or sparse
// clouds. Cell coordinates are measured from the box's low corner in double
// precision, so clouds far from the origin are bucketed as well as near it.
//
// Beside cell_grid.hpp (the first-use index) because the region searches need
// what that grid does not give: cells sized by the search's radius and cubic
// (its cells hold ~32 points and each axis is quantised over its own extent:
// on a 600 x 600 x 7 terrain they are 9.4 x 9.4 x 0.1 slabs, and a ball of
// radius 5 would test ~970 points for 218 inside, against ~350 here), and one
// contiguous run per row of cells rather than a hash probe per cell.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "buffer.hpp"
#include "failure.hpp"
#include "huge_page_block.hpp"
#include "parallel_loop.hpp"

namespace ornel {

// Cells per point the directory may spend before the edge is doubled.
inline constexpr std::size_t grid_cells_per_point = 4;
// Cells are this many times shorter along x, the axis of a row: a region's
// rows are cut to its chord that much closer, at no cost in rows read.
inline constexpr int grid_x_split = 4;
// So that a tiny cloud still gets a grid finer than one cell.
inline constexpr std::size_t grid_min_cells = 4096;
// Zeros after the last point of each axis: a search may load a whole group
// of lanes from a run's last point on, and mask off what lies past the run.
inline constexpr std::size_t grid_lane_pad = 8;

template <class T>
struct RowGrid {
    double origin[3] = {0, 0, 0};
    double edge = 1;              // the longest of the cells' edges
    double edges[3] = {1, 1, 1};  // along x, y, z
    double inverse_edges[3] = {1, 1, 1};
    std::int64_t cells[3] = {1, 1, 1};  // along x, y, z
    double last_cells[3] = {0, 0, 0};   // cells[axis] - 1, as cell_of compares it
    // The arrays below, and the build's cells and counters after them (kept
    // only to lend to the next build), in one block of large pages.
    HugePageBlock memory;
    BlockArray<T> x, y, z;            // the points' coordinates in cell order, then grid_lane_pad zeros
    BlockArray<std::uint32_t> row;    // each point's row in the caller's array (when kept)
    BlockArray<std::uint32_t> start;  // first point of each cell, then the count
    std::size_t points = 0;

    std::size_t size() const { return points; }

    // The cell holding coordinate c along `axis`, clamped to the grid; monotone
    // in c, so a box's cell range holds every point inside the box (the build
    // and the searches bucket by this one function, a product rather than a
    // quotient for speed: it need only be monotone, not exact).
    // Between 0 and the last cell a truncation is the floor: no rounding
    // call on the baseline instruction set, which has no instruction for it.
    std::int64_t cell_of(double c, int axis) const {
        const double q = (c - origin[axis]) * inverse_edges[axis];
        if (!(q > 0)) return 0;
        return q >= last_cells[axis] ? cells[axis] - 1 : static_cast<std::int64_t>(q);
    }

    std::size_t cell_index(std::int64_t x, std::int64_t y, std::int64_t z) const {
        return static_cast<std::size_t>((y * cells[2] + z) * cells[0] + x);
    }

    // Calls visit(first, last) for each x-row run of points (positions in cell
    // order) whose cells meet the box [lo, hi]; empty runs are skipped.
    template <class Visit>
    void visit_box(const double lo[3], const double hi[3], Visit&& visit) const {
        visit_rows(
            lo, hi,
            [](double, double, double, double, double& row_lo, double& row_hi) {
                (void)row_lo, (void)row_hi;
                return true;
            },
            visit);
    }

    // visit_box, each row's x-range first narrowed by narrow(y_lo, y_hi, z_lo,
    // z_hi, x_lo, x_hi), given the row's cell bounds and the box's x-range: it
    // may raise x_lo and lower x_hi, or return false to skip the row. Regions
    // rounder than their box read fewer points so.
    template <class Narrow, class Visit>
    void visit_rows(const double lo[3], const double hi[3], Narrow&& narrow, Visit&& visit) const {
        if (size() == 0) return;
        std::int64_t first[3], last[3];
        for (int axis = 0; axis < 3; ++axis) {
            // Widened by a few units in the last place: the bounds are rounded
            // sums and the points' own tests are exact, so the box must not
            // lose a point that lies on its face.
            const double slack = 1e-12 * (std::abs(lo[axis]) + std::abs(hi[axis]) + edge);
            if (hi[axis] + slack < origin[axis] ||
                lo[axis] - slack > origin[axis] + edges[axis] * static_cast<double>(cells[axis]))
                return;
            first[axis] = cell_of(lo[axis] - slack, axis);
            last[axis] = cell_of(hi[axis] + slack, axis);
        }
        const double x_slack = 1e-12 * (std::abs(lo[0]) + std::abs(hi[0]) + edge);
        // In the directory's order: y, then z.
        for (std::int64_t y = first[1]; y <= last[1]; ++y) {
            const double y_lo = origin[1] + edges[1] * static_cast<double>(y), y_hi = y_lo + edges[1];
            for (std::int64_t z = first[2]; z <= last[2]; ++z) {
                const double z_lo = origin[2] + edges[2] * static_cast<double>(z), z_hi = z_lo + edges[2];
                // Rows empty across the whole box are most rows of a
                // surface's box: skipped before their narrowing is worked out.
                if (start[cell_index(first[0], y, z)] == start[cell_index(last[0], y, z) + 1]) continue;
                double x_lo = lo[0], x_hi = hi[0];
                if (!narrow(y_lo, y_hi, z_lo, z_hi, x_lo, x_hi)) continue;
                const std::int64_t x_first = std::max(first[0], cell_of(x_lo - x_slack, 0));
                const std::int64_t x_last = std::min(last[0], cell_of(x_hi + x_slack, 0));
                if (x_first > x_last) continue;
                const std::uint32_t begin = start[cell_index(x_first, y, z)];
                const std::uint32_t end = start[cell_index(x_last, y, z) + 1];
                if (begin < end) visit(begin, end);
            }
        }
    }
};

// Points per thread below which another thread costs the build more than it saves.
inline constexpr std::size_t grid_points_per_thread = 1 << 16;
// Counters per point the ranges of a build's sort may spend beyond the
// directory: each range but the last counts its points' cells in counters of
// its own, so that every pass reads each point once however many threads run
// (ranges of cells, each reading every point's cell to pick out its own, ran
// no faster on two threads than on one). A sparse cloud, whose cells
// outnumber its points, sorts on fewer threads instead.
inline constexpr std::size_t grid_sort_counters_per_point = 2;

// The ranges of points a build of n points in `cells` cells sorts in, at most `parts`.
inline std::size_t sort_parts(std::size_t n, std::size_t cells, std::size_t parts) {
    return std::min(parts, 1 + grid_sort_counters_per_point * n / std::max<std::size_t>(cells, 1));
}

// The grid of the n points at `points` (x, y, z rows), its cells of edge
// `edge` (> 0) or larger. Cost O(n + cells): a counting sort. Points of one
// cell stay in row order, so the grid depends on nothing but its input.
// Searches that need no rows (statistics of what they find) save their 4 bytes a point.
// A non-finite coordinate fails as non_finite_coordinate (its row, 1 for NaN),
// found by the box's pass. The box, the points' cells with their counts,
// and the copy in cell order run over ranges of points on `threads` threads,
// each range counting into counters of its own (see sort_parts); the
// directory over ranges of cells. `recycled` lends its block of memory when it
// is large enough (a grid built after another reuses its pages rather than
// faulting in new ones).
// The cells' edges along x, y and z (all > 0).
struct CellEdges {
    double x, y, z;
};

// Cells of edge `edge` across rows, grid_x_split times shorter along them.
inline CellEdges row_cells(double edge) { return {edge / grid_x_split, edge, edge}; }

template <class T>
RowGrid<T> build_row_grid(const T* points, std::size_t n, CellEdges edge, bool keep_rows = true,
                          std::size_t threads = 1, RowGrid<T>&& recycled = RowGrid<T>{}) {
    if (n >= std::numeric_limits<std::uint32_t>::max()) fail_capacity_overflow();
    RowGrid<T> grid;
    const std::size_t parts = parts_for_items(n, threads, grid_points_per_thread);
    double part_lo[max_threads][3], part_hi[max_threads][3];
    bool part_finite[max_threads];
    on_ranges(n, parts, [&](std::size_t part, std::size_t first, std::size_t last) {
        // In locals, stored once at the end: held in part_lo and part_hi, which
        // the compiler must assume the points may alias, each point stored
        // them, and the parts' entries share a cache line (the pass ran three
        // times as long on two threads as on one).
        double low[3], high[3];
        for (int axis = 0; axis < 3; ++axis)
            low[axis] = std::numeric_limits<double>::infinity(), high[axis] = -low[axis];
        // c - c is 0 but for NaN and infinities: a test without a branch, in
        // the pass that reads every coordinate anyway.
        bool finite = true;
        for (std::size_t i = first; i < last; ++i)
            for (int axis = 0; axis < 3; ++axis) {
                const double c = static_cast<double>(points[3 * i + axis]);
                low[axis] = std::min(low[axis], c);
                high[axis] = std::max(high[axis], c);
                finite &= c - c == 0;
            }
        std::copy_n(low, 3, part_lo[part]);
        std::copy_n(high, 3, part_hi[part]);
        part_finite[part] = finite;
    });
    for (std::size_t part = 0; part < parts; ++part)
        if (!part_finite[part])
            for (std::size_t i = 0; i < 3 * n; ++i)
                if (const double c = static_cast<double>(points[i]); !std::isfinite(c))
                    fail_input(Failure::non_finite_coordinate, i / 3, std::isnan(c) ? 1 : 0);
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = std::numeric_limits<double>::infinity();
        hi[axis] = -lo[axis];
        for (std::size_t part = 0; part < parts; ++part) {
            lo[axis] = std::min(lo[axis], part_lo[part][axis]);
            hi[axis] = std::max(hi[axis], part_hi[part][axis]);
        }
        if (n == 0) lo[axis] = hi[axis] = 0;
        grid.origin[axis] = lo[axis];
    }
    const double budget = static_cast<double>(std::max(grid_min_cells, grid_cells_per_point * n));
    auto set_edges = [&](double scale) {
        grid.edges[0] = edge.x * scale, grid.edges[1] = edge.y * scale, grid.edges[2] = edge.z * scale;
        grid.edge = std::max({grid.edges[0], grid.edges[1], grid.edges[2]});
        for (int axis = 0; axis < 3; ++axis) grid.inverse_edges[axis] = 1 / grid.edges[axis];
    };
    for (double scale = 1;; scale *= 2) {
        set_edges(scale);
        double total = 1;
        for (int axis = 0; axis < 3; ++axis) total *= std::floor((hi[axis] - lo[axis]) / grid.edges[axis]) + 1;
        if (total <= budget) break;
    }
    for (int axis = 0; axis < 3; ++axis) {
        grid.cells[axis] = static_cast<std::int64_t>(std::floor((hi[axis] - lo[axis]) / grid.edges[axis])) + 1;
        grid.last_cells[axis] = static_cast<double>(grid.cells[axis] - 1);
    }
    const std::size_t total = static_cast<std::size_t>(grid.cells[0] * grid.cells[1] * grid.cells[2]);

    // Range k of the sort counts its points' cells in counts_of(k), then
    // copies each point to where its cursor there says; the last range's
    // counters are the directory's own entries start[c + 1], whose cursors the
    // copy leaves at cell c + 1's first point.
    const std::size_t sorters = sort_parts(n, total, parts);
    const std::size_t bytes = 3 * block_bytes<T>(n + grid_lane_pad) + block_bytes<std::uint32_t>(total + 1) +
                              (keep_rows ? block_bytes<std::uint32_t>(n) : 0) + block_bytes<std::uint32_t>(n) +
                              block_bytes<std::uint32_t>((sorters - 1) * total);
    if (recycled.memory.capacity() >= bytes) {
        grid.memory = std::move(recycled.memory);
        grid.memory.clear();
    } else {
        recycled.memory = HugePageBlock();  // freed before the larger one is had
        // In whole large pages: room for a next build of a few more cells.
        grid.memory = HugePageBlock((bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes);
    }
    grid.points = n;
    grid.x = BlockArray<T>(grid.memory, n + grid_lane_pad);
    grid.y = BlockArray<T>(grid.memory, n + grid_lane_pad);
    grid.z = BlockArray<T>(grid.memory, n + grid_lane_pad);
    grid.start = BlockArray<std::uint32_t>(grid.memory, total + 1);
    if (keep_rows) grid.row = BlockArray<std::uint32_t>(grid.memory, n);
    BlockArray<std::uint32_t> cell(grid.memory, n);
    BlockArray<std::uint32_t> own_counts(grid.memory, (sorters - 1) * total);
    auto counts_of = [&](std::size_t part) {
        return part + 1 == sorters ? grid.start.data() + 1 : own_counts.data() + part * total;
    };
    on_ranges(n, sorters, [&](std::size_t part, std::size_t first, std::size_t last) {
        std::uint32_t* count = counts_of(part);
        std::fill_n(count, total, 0u);
        for (std::size_t i = first; i < last; ++i) {
            const T* p = points + 3 * i;
            const auto c = static_cast<std::uint32_t>(grid.cell_index(grid.cell_of(static_cast<double>(p[0]), 0),
                                                                      grid.cell_of(static_cast<double>(p[1]), 1),
                                                                      grid.cell_of(static_cast<double>(p[2]), 2)));
            cell[i] = c;
            ++count[c];
        }
    });
    for (BlockArray<T>* axis : {&grid.x, &grid.y, &grid.z}) std::fill_n(axis->data() + n, grid_lane_pad, T{0});
    // The directory over ranges of cells: part k's cells [total k / parts,
    // total (k + 1) / parts) hold part_points[k] points, which begin where
    // the earlier parts' end. In each cell the ranges' points follow each
    // other in range order, so each cell's points stay in row order.
    auto cells_of = [&](std::size_t part, std::size_t& low, std::size_t& high) {
        low = total * part / parts;
        high = total * (part + 1) / parts;
    };
    std::size_t part_points[max_threads];
    on_threads(parts, [&](std::size_t part) {
        std::size_t low, high, sum = 0;
        cells_of(part, low, high);
        for (std::size_t range = 0; range < sorters; ++range) {
            const std::uint32_t* count = counts_of(range);
            for (std::size_t c = low; c < high; ++c) sum += count[c];
        }
        part_points[part] = sum;
    });
    std::size_t part_first[max_threads];
    for (std::size_t part = 0, sum = 0; part < parts; ++part) part_first[part] = sum, sum += part_points[part];
    grid.start[0] = 0;
    on_threads(parts, [&](std::size_t part) {
        std::size_t low, high;
        cells_of(part, low, high);
        auto next = static_cast<std::uint32_t>(part_first[part]);
        for (std::size_t c = low; c < high; ++c)
            for (std::size_t range = 0; range < sorters; ++range) {
                std::uint32_t* cursor = counts_of(range) + c;
                const std::uint32_t count = *cursor;
                *cursor = next;
                next += count;
            }
    });
    on_ranges(n, sorters, [&](std::size_t part, std::size_t first, std::size_t last) {
        // Locals, so that the stores through them do not make each point reload them.
        std::uint32_t* const cursor = counts_of(part);
        const std::uint32_t* const cells = cell.data();
        T *const x = grid.x.data(), *const y = grid.y.data(), *const z = grid.z.data();
        std::uint32_t* const rows = keep_rows ? grid.row.data() : nullptr;
        for (std::size_t i = first; i < last; ++i) {
            const std::uint32_t at = cursor[cells[i]]++;
            x[at] = points[3 * i], y[at] = points[3 * i + 1], z[at] = points[3 * i + 2];
            if (rows != nullptr) rows[at] = static_cast<std::uint32_t>(i);
        }
    });
    return grid;
}

}  // namespace ornel
