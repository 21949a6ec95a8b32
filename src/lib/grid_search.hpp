// Exact nearest, k-nearest and ball searches over a cell grid (cell_grid.hpp).
//
// Queries are taken in their own Morton order, and each search starts from
// the answer of the query before it: its distance bounds the ball, so a query
// visits the few cells that ball reaches, and every cell any point within the
// current bound may lie in is visited, which certifies the answer whatever
// the start. Distances are measured in double precision, as
// (dx² + dy²) + dz² of the differences of the coordinates taken in double:
// the very bits the graph walks and cKDTree give. Among equal distances the
// point of the lowest row wins. Each query reads the grid only, so searches
// run side by side on threads, the queries split into contiguous runs of
// their order; the answers do not depend on the split.
//
// A cell's points are scanned four at a time in vector lanes (the same
// operations as one at a time, lane by lane, so the same bits either way);
// the k-nearest and ball searches look at lanes within the bound one by one,
// a single nearest search keeps each lane's least across all the cells it
// visits and settles once, at the end.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "buffer.hpp"
#include "cell_grid.hpp"
#include "dispatch.hpp"
#include "lanes.hpp"
#include "strided.hpp"
#include "parallel_loop.hpp"

namespace ornel {

namespace detail {

using DoubleLanes = Vector<double, 32>;

template <class S>
[[gnu::always_inline]] inline DoubleLanes load_lanes(const S* p) {
    if constexpr (sizeof(S) == 8) {
        DoubleLanes v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        // Lane by lane, which GCC makes one widening load; a conversion of a
        // loaded vector it splits in halves.
        return DoubleLanes{static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2]),
                           static_cast<double>(p[3])};
    }
}

template <class Queries>
[[gnu::always_inline]] inline void read_query(const Queries& queries, std::size_t r, double* q) {
    for (int axis = 0; axis < 3; ++axis) q[axis] = static_cast<double>(queries.at(r, axis));
}

template <class S>
[[gnu::always_inline]] inline double grid_distance2(const CellGrid<S>& grid, std::size_t i, const double* q) {
    const double dx = q[0] - static_cast<double>(grid.x[i]);
    const double dy = q[1] - static_cast<double>(grid.y[i]);
    const double dz = q[2] - static_cast<double>(grid.z[i]);
    return dx * dx + dy * dy + dz * dz;
}

// Calls take(i, d2) for every point i of [begin, end) with d2 <= bound2
// (bound2 read anew after each call), eight points a step in two vectors of
// four lanes, whose lane-wise minimum takes one test against the bound.
template <class S, class Take>
[[gnu::always_inline]] inline void scan_run(const CellGrid<S>& grid, std::uint32_t begin, std::uint32_t end,
                                            const double* q, const double& bound2, Take&& take) {
    const DoubleLanes qx = {q[0], q[0], q[0], q[0]}, qy = {q[1], q[1], q[1], q[1]}, qz = {q[2], q[2], q[2], q[2]};
    const S* const x = grid.x.data();
    const S* const y = grid.y.data();
    const S* const z = grid.z.data();
    auto distances = [&](std::uint32_t at) {
        const DoubleLanes dx = qx - load_lanes(x + at);
        const DoubleLanes dy = qy - load_lanes(y + at);
        const DoubleLanes dz = qz - load_lanes(z + at);
        return (dx * dx + dy * dy) + dz * dz;
    };
    std::uint32_t i = begin;
    for (; i + 8 <= end; i += 8) {
        const DoubleLanes low = distances(i), high = distances(i + 4);
        const DoubleLanes limit = {bound2, bound2, bound2, bound2};
        if (lane_bits<double>((low < high ? low : high) <= limit) == 0) [[likely]]
            continue;
        for (int lane = 0; lane < 4; ++lane)
            if (low[lane] <= bound2) take(i + lane, low[lane]);
        for (int lane = 0; lane < 4; ++lane)
            if (high[lane] <= bound2) take(i + 4 + lane, high[lane]);
    }
    if (i + 4 <= end) {
        const DoubleLanes d2 = distances(i);
        const DoubleLanes limit = {bound2, bound2, bound2, bound2};
        if (lane_bits<double>(d2 <= limit) != 0)
            for (int lane = 0; lane < 4; ++lane)
                if (d2[lane] <= bound2) take(i + lane, d2[lane]);
        i += 4;
    }
    for (; i < end; ++i) {
        const double d2 = grid_distance2(grid, i, q);
        if (d2 <= bound2) take(i, d2);
    }
}

// The nearest of a search so far: its squared distance, row and sorted position.
struct NearestSoFar {
    double d2;
    std::uint32_t row;
    std::uint32_t at;

    // Point i at d2, of row `row`: taken if nearer, or as near and of a lower row.
    // Without a branch: whether a settled query improves on its warm start
    // is a toss-up.
    [[gnu::always_inline]] void offer(double candidate, std::uint32_t candidate_row, std::uint32_t i) {
        const bool take = (candidate < d2) | ((candidate == d2) & (candidate_row < row));
        d2 = take ? candidate : d2;
        row = take ? candidate_row : row;
        at = take ? i : at;
    }
};

// What a nearest search's lanes hold across every run it scans (scan_into):
// per lane of a step's two halves, the least distance, and the first and the
// last sorted position (as doubles, exact below 2^53) that had it. Kept from
// run to run, so that a query's cells are settled once, not one by one.
struct LeastLanes {
    DoubleLanes least_low, least_high, first_low, first_high, last_low, last_high;

    static LeastLanes none() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        LeastLanes lanes;
        lanes.least_low = lanes.least_high = DoubleLanes{inf, inf, inf, inf};
        lanes.first_low = lanes.first_high = lanes.last_low = lanes.last_high = DoubleLanes{};
        return lanes;
    }
    // The least distance of all lanes.
    [[gnu::always_inline]] double least() const {
        const DoubleLanes both = least_low < least_high ? least_low : least_high;
        return std::min(std::min(both[0], both[1]), std::min(both[2], both[3]));
    }
};

// The query's coordinates in every lane.
struct QueryLanes {
    DoubleLanes x, y, z;

    [[gnu::always_inline]] static QueryLanes of(const double* q) {
        QueryLanes lanes;
        lanes.x = DoubleLanes{q[0], q[0], q[0], q[0]};
        lanes.y = DoubleLanes{q[1], q[1], q[1], q[1]};
        lanes.z = DoubleLanes{q[2], q[2], q[2], q[2]};
        return lanes;
    }
};

// The points of [begin, end) kept in `lanes`, eight a step, without a branch
// a step: a query's own cell most often improves on the warm start several
// times, each a branch taken at random. A run's last step is one of eight
// lanes too, those past the end (the grid's padding) held infinitely far.
template <class S>
[[gnu::always_inline]] inline void scan_into(const CellGrid<S>& grid, std::uint32_t begin, std::uint32_t end,
                                             const QueryLanes& q, LeastLanes& lanes) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const S* const x = grid.x.data();
    const S* const y = grid.y.data();
    const S* const z = grid.z.data();
    auto distances = [&](std::uint32_t at) {
        const DoubleLanes dx = q.x - load_lanes(x + at);
        const DoubleLanes dy = q.y - load_lanes(y + at);
        const DoubleLanes dz = q.z - load_lanes(z + at);
        return (dx * dx + dy * dy) + dz * dz;
    };
    auto keep = [](const DoubleLanes& d2, const DoubleLanes& at, DoubleLanes& least, DoubleLanes& first,
                   DoubleLanes& last) __attribute__((always_inline)) {
        const auto below = d2 < least;
        const auto reaches = d2 <= least;
        first = below ? at : first;
        last = reaches ? at : last;
        least = below ? d2 : least;
    };
    const DoubleLanes lane = {0.0, 1.0, 2.0, 3.0};
    const double from = static_cast<double>(begin);
    // The lanes' positions, stepped along (exact: integers below 2^53).
    DoubleLanes at = DoubleLanes{from, from, from, from} + lane;
    std::uint32_t i = begin;
    for (; i + 8 <= end; i += 8) {
        keep(distances(i), at, lanes.least_low, lanes.first_low, lanes.last_low);
        keep(distances(i + 4), at + 4.0, lanes.least_high, lanes.first_high, lanes.last_high);
        at += 8.0;
    }
    if (i < end) {
        const DoubleLanes far = {inf, inf, inf, inf};
        const double left = static_cast<double>(end - i);
        const DoubleLanes limit = {left, left, left, left};
        keep(lane < limit ? distances(i) : far, at, lanes.least_low, lanes.first_low, lanes.last_low);
        keep(lane + 4.0 < limit ? distances(i + 4) : far, at + 4.0, lanes.least_high, lanes.first_high,
             lanes.last_high);
    }
}

// Offers the least of `lanes` to `best`: its point alone when one position
// holds it, else (a tie, in one lane or across lanes, or squares beyond
// double range, which the padding's infinities share) every point of the
// scanned runs at that distance, in a second read. The same answer as
// offering every point (the least distance, the lowest row among its ties).
// `runs` null: the runs were too many to keep, and every cell within the
// least distance is visited again instead.
template <class S>
inline void settle(const CellGrid<S>& grid, const double* q, const LeastLanes& lanes, const CellRun* runs,
                   std::size_t count, NearestSoFar& best) {
    const double least = lanes.least();
    if (least > best.d2) return;
    const DoubleLanes limit = {least, least, least, least};
    const std::uint32_t at_least =
        lane_bits<double>(lanes.least_low == limit) | lane_bits<double>(lanes.least_high == limit) << 4;
    if (std::has_single_bit(at_least) && least < std::numeric_limits<double>::infinity()) {
        const int lane = std::countr_zero(at_least);
        const DoubleLanes& first = lane < 4 ? lanes.first_low : lanes.first_high;
        const DoubleLanes& last = lane < 4 ? lanes.last_low : lanes.last_high;
        if (first[lane & 3] == last[lane & 3]) {
            const std::uint32_t at = static_cast<std::uint32_t>(first[lane & 3]);
            best.offer(least, grid.row[at], at);
            return;
        }
    }
    auto offer_ties = [&](std::uint32_t begin, std::uint32_t end) {
        for (std::uint32_t j = begin; j < end; ++j)
            if (grid_distance2(grid, j, q) == least) best.offer(least, grid.row[j], j);
    };
    if (runs != nullptr) {
        for (std::size_t r = 0; r < count; ++r) offer_ties(runs[r].begin, runs[r].end);
        return;
    }
    const double bound2 = least;
    visit_cells(grid, q, bound2, offer_ties);
}

// The nearest point of each of a run of queries (search(q, best), `best`
// holding the warm start or nothing): the own cell first; then, when the
// ball of the distance so far stays within the 3 x 3 x 3 block of cells
// around it (it most often does), each of the 26 others whose gap from q is
// within it, the gaps per axis read off the own cell's faces; else every
// other cell through visit_other_cells. Consecutive queries most often share
// their cell: its slot and faces are kept from one to the next.
template <class S>
class NearestInGrid {
public:
    explicit NearestInGrid(const CellGrid<S>& grid) : grid_(grid) {
        for (int axis = 0; axis < 3; ++axis) {
            origin_[axis] = grid.cell_origin[axis];
            width_[axis] = grid.cell_width[axis];
            widen_[axis] = 2 * grid.frame.allowance[axis];
        }
        last_cell_ = static_cast<double>((std::uint64_t{1} << grid.level) - 1);
    }

    [[gnu::always_inline]] void search(const double* q, NearestSoFar& best) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const CellGrid<S>& grid = grid_;
        if (grid.cells() == 0) return;
        std::uint64_t own[3];
        grid.cell_of(q, own);
        const std::uint64_t code = CellGrid<S>::packed(own[0], own[1], own[2]);
        if (code != code_) [[unlikely]]
            take_cell(own, code);
        const CellRun own_run = run_;
        const QueryLanes lanes_of_q = QueryLanes::of(q);
        LeastLanes lanes = LeastLanes::none();
        CellRun runs[27];
        std::size_t count = 0;
        if (own_run.begin != own_run.end) {
            scan_into(grid, own_run.begin, own_run.end, lanes_of_q, lanes);
            runs[count++] = own_run;
        }
        double bound2 = std::min(best.d2, lanes.least());
        // The squared gaps from q to the cells beside its own, below and above
        // per axis (infinite where there is none, and in the fourth lane).
        const DoubleLanes at = {q[0], q[1], q[2], 0.0};
        const DoubleLanes zero = {0.0, 0.0, 0.0, 0.0};
        DoubleLanes gap_below = at - below_face_, gap_above = above_face_ - at;
        gap_below = gap_below > zero ? gap_below : zero;
        gap_above = gap_above > zero ? gap_above : zero;
        const DoubleLanes below = gap_below * gap_below, above = gap_above * gap_above;
        const DoubleLanes past_lanes_low = at - past_below_, past_lanes_high = past_above_ - at;
        const DoubleLanes past_lanes = past_lanes_low < past_lanes_high ? past_lanes_low : past_lanes_high;
        const double past = std::min(std::min(past_lanes[0], past_lanes[1]), past_lanes[2]);
        auto scan = [&](std::uint32_t begin, std::uint32_t end, LeastLanes& kept) __attribute__((always_inline)) {
            scan_into(grid, begin, end, lanes_of_q, kept);
            if (count < 27) runs[count] = {begin, end};
            ++count;
            bound2 = std::min(bound2, kept.least());
        };
        if (past > 0.0 && past * past * bound_allowance > bound2) [[likely]] {
            const DoubleLanes limit = {bound2, bound2, bound2, bound2};
            const DoubleLanes allowance = {bound_allowance, bound_allowance, bound_allowance, bound_allowance};
            const std::uint32_t reach_below = lane_bits<double>(below * allowance <= limit);
            const std::uint32_t reach_above = lane_bits<double>(above * allowance <= limit);
            if ((reach_below | reach_above) != 0) {
                // Per axis, the offsets the ball reaches and their squared gaps.
                int offsets[3][3];
                double squares[3][3];
                int options[3];
                for (int axis = 0; axis < 3; ++axis) {
                    options[axis] = 1;
                    offsets[axis][0] = 0;
                    squares[axis][0] = 0.0;
                    if (reach_below >> axis & 1) {
                        offsets[axis][options[axis]] = -1;
                        squares[axis][options[axis]++] = below[axis];
                    }
                    if (reach_above >> axis & 1) {
                        offsets[axis][options[axis]] = 1;
                        squares[axis][options[axis]++] = above[axis];
                    }
                }
                for (int k = 0; k < options[2]; ++k)
                    for (int j = 0; j < options[1]; ++j) {
                        const double yz = squares[1][j] + squares[2][k];
                        for (int i = j == 0 && k == 0 ? 1 : 0; i < options[0]; ++i) {
                            if ((squares[0][i] + yz) * bound_allowance > bound2) continue;
                            const std::uint64_t c[3] = {own[0] + offsets[0][i], own[1] + offsets[1][j],
                                                        own[2] + offsets[2][k]};
                            const std::uint64_t block = CellGrid<S>::block_of(c);
                            CellRun run;
                            if (grid.run_in_block(block == block_code_ ? block_ : grid.find_block(block), c, run))
                                scan(run.begin, run.end, lanes);
                        }
                    }
            }
        } else {
            // Through another function: the lanes are copied in and out, so
            // that these here need not live in memory.
            LeastLanes kept = lanes;
            visit_other_cells(grid, q, own, own_run.begin != own_run.end, bound2,
                              [&](std::uint32_t begin, std::uint32_t end) { scan(begin, end, kept); });
            lanes = kept;
        }
        settle(grid, q, lanes, count <= 27 ? runs : nullptr, count, best);
    }

private:
    // The cell `own` (packed: `code`) at hand: its slot, and the faces the
    // gaps to its neighbours are measured from (cell k spans
    // [origin + k width, origin + (k + 1) width + widen]).
    [[gnu::noinline]] void take_cell(const std::uint64_t* own, std::uint64_t code) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        code_ = code;
        block_code_ = CellGrid<S>::block_of(own);
        block_ = grid_.find_block(block_code_);
        run_ = {0, 0};
        grid_.run_in_block(block_, own, run_);
        below_face_ = past_below_ = DoubleLanes{-inf, -inf, -inf, -inf};
        above_face_ = past_above_ = DoubleLanes{inf, inf, inf, inf};
        for (int axis = 0; axis < 3; ++axis) {
            const double c = static_cast<double>(own[axis]), origin = origin_[axis], width = width_[axis];
            if (c > 0.0) below_face_[axis] = origin + c * width + widen_[axis];
            if (c > 1.0) past_below_[axis] = origin + (c - 1.0) * width + widen_[axis];
            if (c < last_cell_) above_face_[axis] = origin + (c + 1.0) * width;
            if (c + 1.0 < last_cell_) past_above_[axis] = origin + (c + 2.0) * width;
        }
    }

    const CellGrid<S>& grid_;
    double origin_[3], width_[3], widen_[3], last_cell_;
    std::uint64_t code_ = empty_cell;
    std::uint64_t block_code_ = empty_cell;
    const CellBlock* block_ = nullptr;
    CellRun run_{0, 0};  // empty where the cell is
    // Per axis: the faces of the cells beside the own one (below: the top
    // of the one below, above: the bottom of the one above) and of those
    // two away; infinitely far where there is none.
    DoubleLanes below_face_{}, above_face_{}, past_below_{}, past_above_{};
};

}  // namespace detail

// Queries are read out of their own order and answers written so too: a
// block of them is gathered before its searches and scattered after, in tight
// loops whose loads and stores overlap, rather than one miss at a time among
// the searches.
inline constexpr std::size_t query_block = 1024;

// The nearest point of each query of `order[first, last)` (the rows of
// `queries`, a PointsView or RoundedPoints, in their sorted records):
// dist2[row] its squared distance, idx[row] its row in the target; (inf, n)
// for an empty target. `block` holds 3 query_block doubles.
template <class S, class Queries>
struct GridNearest {
    template <std::size_t vector_bytes>
    [[gnu::always_inline]] static void run(const CellGrid<S>* grid_, const Queries* queries_, const PackedRow* order,
                                           std::size_t first, std::size_t last, double* block, double* dist2,
                                           std::uint32_t* idx) {
        const CellGrid<S>& grid = *grid_;
        const Queries& queries = *queries_;
        const std::uint32_t none = static_cast<std::uint32_t>(grid.size());
        std::uint32_t previous = none;  // the sorted position of the last answer
        detail::NearestInGrid<S> nearest(grid);
        double* const block_dist2 = block + 3 * query_block;
        std::uint32_t* const block_idx = reinterpret_cast<std::uint32_t*>(block + 4 * query_block);
        for (std::size_t start = first; start < last; start += query_block) {
            const std::size_t count = std::min(query_block, last - start);
            for (std::size_t j = 0; j < count; ++j)
                detail::read_query(queries, order[start + j].sorted_row(), block + 3 * j);
            for (std::size_t j = 0; j < count; ++j) {
                const double* q = block + 3 * j;
                detail::NearestSoFar best{std::numeric_limits<double>::infinity(), none, none};
                if (previous != none) best = {detail::grid_distance2(grid, previous, q), grid.row[previous], previous};
                nearest.search(q, best);
                block_dist2[j] = best.d2;
                block_idx[j] = best.row;
                previous = best.at;
            }
            for (std::size_t j = 0; j < count; ++j) {
                const std::uint32_t r = order[start + j].sorted_row();
                dist2[r] = block_dist2[j];
                idx[r] = block_idx[j];
            }
        }
    }
};

// The k nearest points of each query of `order[first, last)`, ascending by
// (distance, row): rows r * k .. r * k + k of dist2 and idx, missing entries
// (inf, n). `scratch` holds 2 k entries for this run of queries.
template <class S, class Q>
struct GridNearestK {
    struct Entry {
        double d2;
        std::uint32_t row;
        std::uint32_t at;
    };

    template <std::size_t vector_bytes>
    [[gnu::always_inline]] static void run(const CellGrid<S>* grid_, const PointsView<Q>* queries_,
                                           const std::uint32_t* order, std::size_t first, std::size_t last,
                                           std::size_t k, Entry* scratch, double* dist2, std::uint32_t* idx) {
        const CellGrid<S>& grid = *grid_;
        const PointsView<Q>& queries = *queries_;
        const std::uint32_t none = static_cast<std::uint32_t>(grid.size());
        Entry* best = scratch;          // the current query's, sorted
        Entry* previous = scratch + k;  // the last query's
        std::size_t previous_count = 0;
        for (std::size_t at = first; at < last; ++at) {
            const std::uint32_t r = order[at];
            double q[3];
            detail::read_query(queries, r, q);
            std::size_t count = 0;
            double bound2 = std::numeric_limits<double>::infinity();
            auto take = [&](std::uint32_t i, double d2) {
                const std::uint32_t row = grid.row[i];
                auto before = [&](const Entry& e) { return d2 < e.d2 || (d2 == e.d2 && row < e.row); };
                if (count == k && !before(best[k - 1])) return;
                std::size_t place = count < k ? count++ : k - 1;  // a free slot, or the one dropped
                for (; place > 0 && before(best[place - 1]); --place) best[place] = best[place - 1];
                best[place] = {d2, row, i};
                if (count == k) bound2 = best[k - 1].d2;
            };
            // The last query's answers first: their farthest bounds the ball.
            for (std::size_t j = 0; j < previous_count; ++j) {
                const std::uint32_t i = previous[j].at;
                take(i, detail::grid_distance2(grid, i, q));
            }
            visit_cells(grid, q, bound2, [&](std::uint32_t begin, std::uint32_t end) {
                detail::scan_run(grid, begin, end, q, bound2, [&](std::uint32_t i, double d2) {
                    for (std::size_t j = 0; j < previous_count; ++j)  // a seed, taken already
                        if (previous[j].at == i) return;
                    take(i, d2);
                });
            });
            for (std::size_t j = 0; j < k; ++j) {
                dist2[r * k + j] = j < count ? best[j].d2 : std::numeric_limits<double>::infinity();
                idx[r * k + j] = j < count ? best[j].row : none;
            }
            std::copy(best, best + count, previous);
            previous_count = count;
        }
    }
};

// Calls take(i, d2) for every sorted point i of the grid within squared
// distance `radius2` of q (double coordinates), cell by cell.
template <class S, class Take>
void ball_in_grid(const CellGrid<S>& grid, const double* q, double radius2, Take&& take) {
    const double bound2 = radius2;
    visit_cells(grid, q, bound2,
                [&](std::uint32_t begin, std::uint32_t end) { detail::scan_run(grid, begin, end, q, bound2, take); });
}

// Queries in fewer than this many a thread are not worth another thread.
inline constexpr std::size_t grid_queries_per_thread = 8192;

// The levels of the keys the queries are sorted by: as many as make a cell
// of their own frame at most twice as wide as one of the grid's (their box
// is most often about the target's, a little wider or narrower), at most
// grid_key_levels. Finer levels hardly change the cells at hand from one
// query to the next (a query scans its own cell whole, whatever its warm
// start), and fewer bits spare the sort passes: at 30,000 points (a grid of
// level 4) one instead of three, at 1,000,000 (level 6) one instead of two,
// about a quarter of the sort either way, the search no slower.
template <class S>
int query_key_levels(const CellGrid<S>& grid, const QuantisationFrame& frame) {
    int levels = grid.level;
    for (int axis = 0; axis < 3; ++axis)
        while (levels < grid_key_levels &&
               frame.extent[axis] > std::ldexp(grid.frame.extent[axis], levels - grid.level + 1))
            ++levels;
    return std::min(levels, grid_key_levels);  // a grid of whole keys may be finer
}

// The nearest target point of every row of `queries`: (squared distance,
// target row) per query row, on `threads` threads; `frame` is the queries'
// own (quantisation_frame), and their order is sorted in `space`.
template <class S, class Queries>
void grid_nearest(const CellGrid<S>& grid, const Queries& queries, const QuantisationFrame& frame, std::size_t threads,
                  double* dist2, std::uint32_t* idx, SortSpace& space) {
    if (queries.rows >= std::numeric_limits<std::uint32_t>::max()) fail_capacity_overflow();  // rows are 32-bit
    // The queries' sorted records name their rows: read in place, not copied.
    // Queries given nearly in that order (sorted, then rounded to single
    // precision) are searched as given: the order changes no answer.
    const PackedRow* const order =
        sort_keyed_rows<PackedRow>(space, queries, frame, threads, query_key_levels(grid, frame), queries.rows / 256);
    const auto search =
        FlatDispatch<GridNearest<S, Queries>, void, const CellGrid<S>*, const Queries*, const PackedRow*, std::size_t,
                     std::size_t, double*, double*, std::uint32_t*>::pick();
    on_ranges(queries.rows, parts_for_items(queries.rows, threads, grid_queries_per_thread),
              [&](std::size_t, std::size_t first, std::size_t last) {
                  // Coordinates, distances and rows of a block of queries.
                  Buffer<double> block(3 * query_block + query_block + query_block / 2);
                  search(&grid, &queries, order, first, last, block.data(), dist2, idx);
              });
}

// The k nearest target points of every row of `queries`, k a row.
template <class S, class Q>
void grid_nearest_k(const CellGrid<S>& grid, const PointsView<Q>& queries, const QuantisationFrame& frame,
                    std::size_t k, std::size_t threads, double* dist2, std::uint32_t* idx, SortSpace& space) {
    using Entry = typename GridNearestK<S, Q>::Entry;
    if (k == 0) return;
    const Buffer<std::uint32_t> order = morton_rows(queries, frame, threads, space);
    const auto search =
        FlatDispatch<GridNearestK<S, Q>, void, const CellGrid<S>*, const PointsView<Q>*, const std::uint32_t*,
                     std::size_t, std::size_t, std::size_t, Entry*, double*, std::uint32_t*>::pick();
    on_ranges(queries.rows, parts_for_items(queries.rows, threads, grid_queries_per_thread),
              [&](std::size_t, std::size_t first, std::size_t last) {
                  Buffer<Entry> scratch(2 * k);
                  search(&grid, &queries, order.data(), first, last, k, scratch.data(), dist2, idx);
              });
}

// How many target points lie within `radius2` (squared) of each row of
// `queries`, the queries split over `threads` threads.
template <class S, class Q>
void grid_ball_counts(const CellGrid<S>& grid, const PointsView<Q>& queries, double radius2, std::size_t threads,
                      std::uint64_t* counts) {
    on_ranges(queries.rows, parts_for_items(queries.rows, threads, grid_queries_per_thread),
              [&](std::size_t, std::size_t first, std::size_t last) {
                  for (std::size_t r = first; r < last; ++r) {
                      double q[3];
                      detail::read_query(queries, r, q);
                      std::uint64_t count = 0;
                      ball_in_grid(grid, q, radius2, [&](std::uint32_t, double) { ++count; });
                      counts[r] = count;
                  }
              });
}

}  // namespace ornel
