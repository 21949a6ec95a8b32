// A grid of cells over a cloud sorted along its Morton curve: the index a
// target gets when it is searched once, built at about the cost of a sort.
//
// The cloud's points are keyed by the Morton code of their 21-bit quanta over
// the bounding box, radix-sorted, and kept as plain coordinate arrays in that
// order beside their original rows. A cell is an octree node of one level L,
// so its points are one run of the sorted arrays; L is the level at which the
// cells hold about `points_per_cell` points on average, read off the sorted
// keys themselves (one pass counts the distinct prefixes of every level). The
// occupied cells are listed in Morton order (code and first point), and a hash
// table of blocks of 4 x 4 x 4 cells (each with a mask of its occupied cells)
// finds a cell in one probe or few, a neighbour most often in the same block:
// memory grows with the occupied cells only, so a dense scan beside far
// outliers cannot blow it up.
//
// The cells reached by a ball are visited by one of two ways (visit_cells):
// the box of cells the ball spans, when it spans few; else the implicit octree
// above the cells (the prefixes of their codes), nearest child first, pruned
// by the bound. Both visit every cell a point within the bound may lie in:
// the quanta are monotone in the coordinates, and every box is widened by an
// allowance far above the rounding of the arithmetic that made it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "buffer.hpp"
#include "failure.hpp"
#include "huge_pages.hpp"
#include "morton.hpp"
#include "radix_sort.hpp"
#include "strided.hpp"
#include "parallel_loop.hpp"

namespace ornel {

inline constexpr int morton_levels = 21;
inline constexpr std::uint64_t morton_quanta = std::uint64_t{1} << morton_levels;

// The box the quanta are taken over, in double precision.
struct QuantisationFrame {
    double lo[3];
    double extent[3];
    // What a coordinate rebuilt from a quantum may be off by, per axis.
    double allowance[3];
    // Quanta a unit of coordinate, per axis.
    double scale[3];

    // The quantum of coordinate c, as morton_quantum's but by a product
    // instead of a quotient (cheaper: the grid's key pass took three
    // quotients a point), so off by one from it at most where the two round
    // apart, which the searches' boxes, widened by the allowance (many
    // thousand roundings), cover: a point lies in the widened box of the cell
    // its key names, and a query finds its own cell so too.
    std::uint64_t nearby_quantum(double c, int axis) const {
        const double q = (c - lo[axis]) * scale[axis];
        if (!(q > 0.0)) return 0;
        return q < static_cast<double>(morton_quanta - 1) ? static_cast<std::uint64_t>(q) : morton_quanta - 1;
    }
    // The smallest coordinate of quantum q and above, widened.
    double coordinate_below(std::uint64_t q, int axis) const {
        return lo[axis] + static_cast<double>(q) / 2097151.0 * extent[axis] - allowance[axis];
    }
};

// The frame of a box, from its lowest and highest corner.
inline QuantisationFrame frame_of_box(const double* low, const double* high) {
    QuantisationFrame frame{};
    for (int axis = 0; axis < 3; ++axis) {
        frame.lo[axis] = low[axis];
        frame.extent[axis] = high[axis] > low[axis] ? high[axis] - low[axis] : 1.0;
        frame.scale[axis] = 2097151.0 / frame.extent[axis];
        // Each step of a quantum's arithmetic rounds by a unit in 2^-52 of its
        // operands; a million such units is still far below a quantum.
        frame.allowance[axis] = (std::abs(low[axis]) + std::abs(high[axis]) + frame.extent[axis]) * 1e-10;
    }
    return frame;
}

// A cloud's points measured from `origin` and rounded to single precision as
// they are read (the difference taken in double, rounded once): the float32
// coordinates of a cloud in a frame of its own, with no copy of them made.
// Rows and columns as a PointsView's, for the grid's build and searches. The
// values are handed on in double, exactly, so that a grid keeps them so: its
// scans then load each coordinate as an operand, where float32 arrays would
// take a conversion of every load (the search ran about a tenth slower).
template <class T>
struct RoundedPoints {
    using value_type = double;

    PointsView<T> points;
    double origin[3];
    std::size_t rows = points.rows;
    std::size_t columns = points.columns;

    double at(std::size_t row, std::size_t axis) const {
        return static_cast<float>(static_cast<double>(points.at(row, axis)) - origin[axis]);
    }
    std::size_t size() const { return rows; }
};

// A cloud's least and greatest coordinates per axis, in double precision.
struct CloudBox {
    double low[3], high[3];
};

// The bounding box of a non-empty cloud, in one read of the points shared by
// `threads` threads; a non-finite coordinate is refused (the first row that
// holds one named), since no quantum (and no distance) can be taken from it.
template <class Points>
CloudBox box_of_points(const Points& points, std::size_t threads) {
    const std::size_t parts = parts_for_items(points.rows, threads, 1 << 16);
    CloudBox boxes[max_threads];
    on_ranges(points.rows, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        CloudBox box{{inf, inf, inf}, {-inf, -inf, -inf}};
        bool finite = true;  // c - c is 0 but for infinities and NaN
        for (std::size_t i = begin; i < end; ++i)
            for (int axis = 0; axis < 3; ++axis) {
                const double c = static_cast<double>(points.at(i, axis));
                finite &= c - c == 0.0;
                box.low[axis] = c < box.low[axis] ? c : box.low[axis];
                box.high[axis] = c > box.high[axis] ? c : box.high[axis];
            }
        if (!finite) [[unlikely]]
            for (std::size_t i = begin; i < end; ++i)
                for (int axis = 0; axis < 3; ++axis) {
                    const double c = static_cast<double>(points.at(i, axis));
                    if (!std::isfinite(c)) fail_input(Failure::non_finite_coordinate, i, std::isnan(c) ? 1 : 0);
                }
        boxes[part] = box;
    });
    CloudBox all = boxes[0];
    for (std::size_t part = 1; part < parts; ++part)
        for (int axis = 0; axis < 3; ++axis) {
            all.low[axis] = std::min(all.low[axis], boxes[part].low[axis]);
            all.high[axis] = std::max(all.high[axis], boxes[part].high[axis]);
        }
    return all;
}

// The box of rounded points read off the box of the points as given, since
// rounding from an origin keeps order: no rounding of every coordinate.
// Where a corner rounds beyond float32's range, the rounded points are read
// after all, to name the first row that does.
template <class Points>
CloudBox cloud_box(const Points& points, std::size_t threads) {
    return box_of_points(points, threads);
}

template <class T>
CloudBox cloud_box(const RoundedPoints<T>& points, std::size_t threads) {
    CloudBox box = box_of_points(points.points, threads);
    bool finite = true;
    for (int axis = 0; axis < 3; ++axis) {
        box.low[axis] = static_cast<float>(box.low[axis] - points.origin[axis]);
        box.high[axis] = static_cast<float>(box.high[axis] - points.origin[axis]);
        finite &= std::isfinite(box.low[axis]) && std::isfinite(box.high[axis]);
    }
    if (!finite) return box_of_points(points, threads);
    return box;
}

// The frame of a cloud's bounding box (cloud_box).
template <class Points>
QuantisationFrame quantisation_frame(const Points& points, std::size_t threads = 1) {
    if (points.rows > 0 && points.columns < 3) fail_input(Failure::points_need_three_columns);
    if (points.rows == 0) {
        const double zero[3] = {0.0, 0.0, 0.0};
        return frame_of_box(zero, zero);
    }
    const CloudBox box = cloud_box(points, threads);
    return frame_of_box(box.low, box.high);
}

// The levels of the Morton keys the grid sorts by, its targets and its
// queries alike: neither the cells (coarser but for lines and very uneven
// clouds, which sort again by whole keys) nor the queries' order (whose
// finer levels hardly change which cells are at hand) need more. Their 30
// bits share one word with the row (PackedRow): half the bytes a sort moves
// and keeps, and one in-cache pass fewer than 11 levels would take.
inline constexpr int grid_key_levels = 10;
static_assert(3 * grid_key_levels <= PackedRow::most_key_bits);

// Every row's key over `frame`, cut to its top `levels` levels (few enough
// for the keys to fit `Record`), with its row, sorted by that (equal ones in
// row order) in one of `space`'s arrays, made and sorted on `threads` threads.
template <class Record, class Points>
const Record* sort_keyed_rows(SortSpace& space, const Points& points, const QuantisationFrame& frame,
                              std::size_t threads, int levels, std::size_t falls_allowed = 0) {
    auto quanta = [&](std::size_t i, std::uint64_t* q) __attribute__((always_inline)) {
        for (int axis = 0; axis < 3; ++axis)
            q[axis] = frame.nearby_quantum(static_cast<double>(points.at(i, axis)), axis);
    };
    if (levels <= spread_table_bits) {
        // Few levels: each quantum's top bits spread by one look-up, not five
        // shifts and masks (the key pass was the sort's dearest).
        const int dropped = morton_levels - levels;
        auto key_of = [&](std::size_t i) {
            std::uint64_t q[3];
            quanta(i, q);
            return std::uint64_t{spread_table[q[0] >> dropped]} | std::uint64_t{spread_table[q[1] >> dropped]} << 1 |
                   std::uint64_t{spread_table[q[2] >> dropped]} << 2;
        };
        return sort_by_key<Record>(space, points.rows, key_of, threads, 3 * levels, falls_allowed);
    }
    const int dropped = 3 * (morton_levels - levels);
    auto key_of = [&](std::size_t i) {
        std::uint64_t q[3];
        quanta(i, q);
        return morton_key(q[0], q[1], q[2]) >> dropped;
    };
    // The keys' higher bits are 0.
    return sort_by_key<Record>(space, points.rows, key_of, threads, 3 * levels, falls_allowed);
}

// The rows of `points` sorted along their Morton curve over `frame` (their
// own box), equal keys in row order: the order queries are searched in;
// sorted in `space`.
template <class Points>
Buffer<std::uint32_t> morton_rows(const Points& points, const QuantisationFrame& frame, std::size_t threads,
                                  SortSpace& space) {
    if (points.rows >= std::numeric_limits<std::uint32_t>::max()) fail_capacity_overflow();  // rows are 32-bit
    const PackedRow* const records = sort_keyed_rows<PackedRow>(space, points, frame, threads, grid_key_levels);
    Buffer<std::uint32_t> rows(points.rows);
    on_ranges(points.rows, parts_for_items(points.rows, threads, 1 << 15),
              [&](std::size_t, std::size_t begin, std::size_t end) {
                  for (std::size_t i = begin; i < end; ++i) rows[i] = records[i].sorted_row();
              });
    return rows;
}

template <class Points>
Buffer<std::uint32_t> morton_rows(const Points& points, const QuantisationFrame& frame, std::size_t threads) {
    SortSpace space;
    return morton_rows(points, frame, threads, space);
}

// A run of sorted points: a cell's, or any a search scans.
struct CellRun {
    std::uint32_t begin, end;
};

// A block of 4 x 4 x 4 cells in the hash table of blocks: its integer
// coordinates packed (x in the low 21 bits, then y, then z: cheaper to make
// than its Morton code), which of its cells are occupied (bit i: the cell
// i-th in Morton order within the block, since a block's cells are
// contiguous in it), and the number of its first occupied cell. A cell's
// neighbours most often share its block: found from the same entry.
struct CellBlock {
    std::uint64_t code;  // empty_cell where no block is
    std::uint64_t occupied;
    std::uint64_t first;
};
inline constexpr std::uint64_t empty_cell = ~std::uint64_t{0};

// A ball's lower bound test with an allowance for the rounding of its terms.
inline constexpr double bound_allowance = 1.0 - 1e-12;

template <class S>
struct CellGrid {
    static constexpr std::size_t points_per_cell = 32;
    // Coordinates held beyond the last point, so that a scan may load a whole
    // step of eight lanes at the end of any cell (the lanes past it masked).
    static constexpr std::size_t padding = 8;

    QuantisationFrame frame{};
    int level = 0;  // cells per axis: 2^level
    // The points in Morton order: coordinates (and `padding` zeros after
    // them), and each one's row in the cloud.
    Buffer<S> x, y, z;
    Buffer<std::uint32_t> row;
    // The occupied cells in Morton order: their codes, and where each one's
    // points begin (one entry more, the end of the last).
    Buffer<std::uint64_t> cell_code;
    Buffer<std::uint32_t> cell_begin;
    Buffer<CellBlock> table;
    std::uint64_t table_mask = 0;
    int table_shift = 63;  // 64 less the bits of the table's size

    std::size_t size() const { return row.size(); }
    std::size_t cells() const { return cell_code.size(); }
    int shift() const { return morton_levels - level; }  // from a quantum to its cell

    // Multiplicative hashing: the product's top bits, where every bit of the
    // code (z's among them, packed highest) has reached.
    std::uint64_t slot_of(std::uint64_t code) const { return (code * 0x9E3779B97F4A7C15ull) >> table_shift; }

    static std::uint64_t packed(std::uint64_t x, std::uint64_t y, std::uint64_t z) { return x | y << 21 | z << 42; }

    // The integer coordinates of the cell a point q (double coordinates) falls in.
    void cell_of(const double* q, std::uint64_t* c) const {
        for (int axis = 0; axis < 3; ++axis) c[axis] = frame.nearby_quantum(q[axis], axis) >> shift();
    }

    // The packed code of the block of cell c.
    static std::uint64_t block_of(const std::uint64_t* c) { return packed(c[0] >> 2, c[1] >> 2, c[2] >> 2); }
    // Cell c's bit in its block's mask: the low two bits of its coordinates
    // interleaved, x lowest, as its Morton code has them.
    static int bit_in_block(const std::uint64_t* c) {
        return static_cast<int>((c[0] & 1) | (c[1] & 1) << 1 | (c[2] & 1) << 2 | (c[0] & 2) << 2 | (c[1] & 2) << 3 |
                                (c[2] & 2) << 4);
    }

    // The block of packed coordinates `code`, or nullptr when it is empty.
    const CellBlock* find_block(std::uint64_t code) const {
        std::uint64_t at = slot_of(code);
        for (;;) {
            const CellBlock& block = table[at];
            if (block.code == code) return &block;
            if (block.code == empty_cell) return nullptr;
            at = (at + 1) & table_mask;
        }
    }

    // Cell c's points, of `block` (its block, or nullptr): false where the
    // cell is empty.
    bool run_in_block(const CellBlock* block, const std::uint64_t* c, CellRun& run) const {
        if (block == nullptr) return false;
        const int bit = bit_in_block(c);
        if ((block->occupied >> bit & 1) == 0) return false;
        const std::size_t at = block->first + std::popcount(block->occupied & ((std::uint64_t{1} << bit) - 1));
        run = {cell_begin[at], cell_begin[at + 1]};
        return true;
    }
    bool run_of(const std::uint64_t* c, CellRun& run) const { return run_in_block(find_block(block_of(c)), c, run); }

    // The lower bound of the squared distance from q to anything in the cube
    // of level `at_level` with integer coordinates c.
    double cube_bound2(const double* q, int at_level, const std::uint64_t* c) const {
        const int s = morton_levels - at_level;
        double sum[3];
        for (int axis = 0; axis < 3; ++axis) {
            const double low = frame.coordinate_below(c[axis] << s, axis);
            const double high = frame.coordinate_below((c[axis] + 1) << s, axis) + 2 * frame.allowance[axis];
            const double gap = q[axis] < low ? low - q[axis] : (q[axis] > high ? q[axis] - high : 0.0);
            sum[axis] = gap * gap;
        }
        return ((sum[0] + sum[1]) + sum[2]) * bound_allowance;
    }

    // cube_bound2 for a cell of the grid's level, from the cell widths: the
    // same bound but for the rounding of a product instead of a quotient,
    // which the allowance covers many times over.
    double cell_bound2(const double* q, const std::uint64_t* c) const {
        double sum[3];
        for (int axis = 0; axis < 3; ++axis) {
            const double low = cell_origin[axis] + static_cast<double>(c[axis]) * cell_width[axis];
            const double high = low + cell_width[axis] + 2 * frame.allowance[axis];
            const double gap = q[axis] < low ? low - q[axis] : (q[axis] > high ? q[axis] - high : 0.0);
            sum[axis] = gap * gap;
        }
        return ((sum[0] + sum[1]) + sum[2]) * bound_allowance;
    }

    // Where the cells of the grid's level begin (widened), and their widths.
    double cell_origin[3] = {};
    double cell_width[3] = {};
};

namespace detail {

// Per part of the sorted keys, how many of its records begin a cell of each
// level (are the first of their prefix): a record and the one before it fall
// in different cells of every level from the one their highest differing bit
// names on. The first record of all begins a cell of level 0.
using LevelStarts = std::array<std::size_t, morton_levels + 1>;

// Keys of `levels` levels (the top ones of the Morton keys). Returns the
// longest run of equal keys within [begin, end).
template <class Record>
std::size_t count_level_starts(const Record* sorted, std::size_t begin, std::size_t end, int levels,
                               LevelStarts& starts) {
    starts.fill(0);
    std::size_t run = 1, longest = end > begin ? 1 : 0;
    for (std::size_t i = std::max<std::size_t>(begin, 1); i < end; ++i) {
        const std::uint64_t differ = sorted[i].sort_key() ^ sorted[i - 1].sort_key();
        if (differ == 0) {
            longest = std::max(longest, ++run);
            continue;
        }
        run = 1;
        const int bit = 63 - std::countl_zero(differ);
        ++starts[levels - bit / 3];
    }
    if (begin == 0 && end > 0) ++starts[0];
    return longest;
}

// The level whose cells hold about `per_cell` points on average, from the
// starts of all n records: the mean occupancy falls with the level; take the
// level whose mean is nearest to per_cell by ratio.
inline int grid_level(const LevelStarts& starts, std::size_t n, std::size_t per_cell) {
    std::size_t cells = 1;
    int level = 0;
    double best = std::abs(std::log(static_cast<double>(n) / static_cast<double>(per_cell)));
    for (int l = 1; l <= morton_levels; ++l) {
        cells += starts[l];
        const double off = std::abs(std::log(static_cast<double>(n) / static_cast<double>(cells * per_cell)));
        if (off < best) {
            best = off;
            level = l;
        }
        if (cells * per_cell > 8 * n) break;  // only finer and emptier from here
    }
    return level;
}

}  // namespace detail

// The grid of the rows of `points` (three columns read; a PointsView or
// RoundedPoints) over `frame`, their own box's, on `threads` threads, sorted
// in `space` (left for another sort).
template <class Points, class S = typename Points::value_type>
CellGrid<S> build_cell_grid(const Points& points, const QuantisationFrame& frame, std::size_t threads,
                            SortSpace& space) {
    const std::size_t n = points.rows;
    if (n >= std::numeric_limits<std::uint32_t>::max()) fail_capacity_overflow();  // rows are 32-bit
    CellGrid<S> grid;
    grid.frame = frame;
    // One threaded read of the keys finds the level and where each part's
    // cells begin; one more lists the cells as it gathers the coordinates.
    const std::size_t parts = parts_for_items(n, threads, 1 << 15);
    detail::LevelStarts part_starts[max_threads];
    std::size_t part_longest[max_threads];
    int levels = grid_key_levels;
    // Sets the level from the sorted records; returns the longest run of equal keys.
    auto choose_level = [&](const auto* records) {
        on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
            part_longest[part] = detail::count_level_starts(records, begin, end, levels, part_starts[part]);
        });
        detail::LevelStarts starts{};
        std::size_t longest = 0;
        for (std::size_t part = 0; part < parts; ++part) {
            for (int l = 0; l <= morton_levels; ++l) starts[l] += part_starts[part][l];
            longest = std::max(longest, part_longest[part]);
        }
        grid.level = n > 0 ? detail::grid_level(starts, n, CellGrid<S>::points_per_cell) : 0;
        return longest;
    };
    const PackedRow* packed = sort_keyed_rows<PackedRow>(space, points, grid.frame, threads, levels);
    const KeyedRow* whole = nullptr;
    // A cell of the finest level sorted still holding many cells' worth (a
    // line, a dense patch beside far outliers): sorted again by whole keys,
    // whose finer levels may split it.
    if (choose_level(packed) > 16 * CellGrid<S>::points_per_cell) {
        levels = morton_levels;
        whole = sort_keyed_rows<KeyedRow>(space, points, grid.frame, threads, levels);
        packed = nullptr;
        choose_level(whole);
    }
    for (int axis = 0; axis < 3; ++axis) {
        grid.cell_width[axis] =
            static_cast<double>(std::uint64_t{1} << grid.shift()) / 2097151.0 * grid.frame.extent[axis];
        grid.cell_origin[axis] = grid.frame.lo[axis] - grid.frame.allowance[axis];
    }
    // A part's first cell: the cells begun in the parts before it.
    std::size_t first_cell[max_threads + 1];
    first_cell[0] = 0;
    for (std::size_t part = 0; part < parts; ++part) {
        std::size_t begun = 0;
        for (int l = 0; l <= grid.level; ++l) begun += part_starts[part][l];
        first_cell[part + 1] = first_cell[part] + begun;
    }
    const std::size_t cells = first_cell[parts];

    grid.x = Buffer<S>(n + CellGrid<S>::padding);
    grid.y = Buffer<S>(n + CellGrid<S>::padding);
    grid.z = Buffer<S>(n + CellGrid<S>::padding);
    grid.row = Buffer<std::uint32_t>(n);
    // Written once each, in order: 2 MB pages spare most of their faults.
    for (Buffer<S>* axis : {&grid.x, &grid.y, &grid.z}) advise_huge_pages(axis->data(), axis->size() * sizeof(S));
    advise_huge_pages(grid.row.data(), n * sizeof(std::uint32_t));
    for (Buffer<S>* axis : {&grid.x, &grid.y, &grid.z}) std::fill_n(axis->data() + n, CellGrid<S>::padding, S{0});
    grid.cell_code = Buffer<std::uint64_t>(cells);
    grid.cell_begin = Buffer<std::uint32_t>(cells + 1);
    const int cell_shift = 3 * (levels - grid.level);  // from a sorted key to its cell's code
    auto gather = [&](const auto* records) {
        on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
            std::size_t cell = first_cell[part];
            std::uint64_t code = begin > 0 ? records[begin - 1].sort_key() >> cell_shift : empty_cell;
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint32_t r = records[i].sorted_row();
                grid.x[i] = points.at(r, 0);
                grid.y[i] = points.at(r, 1);
                grid.z[i] = points.at(r, 2);
                grid.row[i] = r;
                const std::uint64_t own = records[i].sort_key() >> cell_shift;
                if (own != code) {
                    grid.cell_code[cell] = own;
                    grid.cell_begin[cell] = static_cast<std::uint32_t>(i);
                    ++cell;
                    code = own;
                }
            }
        });
    };
    if (packed != nullptr)
        gather(packed);
    else
        gather(whole);
    grid.cell_begin[cells] = static_cast<std::uint32_t>(n);

    // The blocks, each the cells of one code above the low 6 bits (a block's
    // cells are contiguous in Morton order); at most half full, so that a
    // miss ends after few probes.
    std::size_t blocks = 0;
    for (std::size_t c = 0; c < cells; ++c) blocks += c == 0 || grid.cell_code[c] >> 6 != grid.cell_code[c - 1] >> 6;
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * blocks, 16));
    grid.table = Buffer<CellBlock>(capacity, CellBlock{empty_cell, 0, 0});
    grid.table_mask = capacity - 1;
    grid.table_shift = 64 - std::countr_zero(capacity);
    for (std::size_t c = 0; c < cells;) {
        const std::uint64_t morton = grid.cell_code[c] >> 6;
        const std::uint64_t code =
            CellGrid<S>::packed(compact_bits_21(morton), compact_bits_21(morton >> 1), compact_bits_21(morton >> 2));
        CellBlock block{code, 0, c};
        for (; c < cells && grid.cell_code[c] >> 6 == morton; ++c)
            block.occupied |= std::uint64_t{1} << (grid.cell_code[c] & 63);
        std::uint64_t at = grid.slot_of(code);
        while (grid.table[at].code != empty_cell) at = (at + 1) & grid.table_mask;
        grid.table[at] = block;
    }
    return grid;
}

template <class Points, class S = typename Points::value_type>
CellGrid<S> build_cell_grid(const Points& points, std::size_t threads) {
    SortSpace space;
    return build_cell_grid(points, quantisation_frame(points, threads), threads, space);
}

// The widest box of cells (per axis) visited cell by cell; a ball spanning
// more goes through the octree, whose cost grows with the occupied cells it
// reaches rather than with its volume.
inline constexpr std::uint64_t box_visit_cells = 64;

namespace detail {

// The octree node of `at_level` with integer coordinates c, whose occupied
// cells are [first, last): each cell within `bound2` (read anew before every
// step, since the visit may shrink it) is visited, nearest child first, but
// for the cell numbered `skip` (visited already).
template <class S, class Visit>
void visit_octree(const CellGrid<S>& grid, const double* q, const double& bound2, int at_level, const std::uint64_t* c,
                  std::size_t first, std::size_t last, std::size_t skip, Visit& visit) {
    if (at_level == grid.level) {  // a cell: its parent has tested its bound
        if (first != skip) visit(grid.cell_begin[first], grid.cell_begin[first + 1]);
        return;
    }
    if (last - first == 1) {
        // One occupied cell below: straight to it, its coordinates read off its code.
        if (first == skip) return;
        const std::uint64_t code = grid.cell_code[first];
        std::uint64_t cell[3] = {0, 0, 0};
        for (int bit = 0; bit < grid.level; ++bit)
            for (int axis = 0; axis < 3; ++axis) cell[axis] |= ((code >> (3 * bit + axis)) & 1) << bit;
        if (grid.cube_bound2(q, grid.level, cell) <= bound2) visit(grid.cell_begin[first], grid.cell_begin[first + 1]);
        return;
    }
    const int child_level = at_level + 1;
    const int code_shift = 3 * (grid.level - child_level);
    struct Child {
        double bound2;
        std::size_t first, last;
        std::uint64_t c[3];
    };
    Child children[8];
    int count = 0;
    std::size_t begin = first;
    const std::uint64_t* codes = grid.cell_code.data();
    while (begin < last) {
        const std::uint64_t prefix = codes[begin] >> code_shift;
        const std::size_t end =
            static_cast<std::size_t>(std::upper_bound(codes + begin, codes + last,
                                                      (prefix << code_shift) | ((std::uint64_t{1} << code_shift) - 1)) -
                                     codes);
        const std::uint64_t octant = prefix & 7;
        Child child{
            0.0, begin, end, {2 * c[0] + (octant & 1), 2 * c[1] + ((octant >> 1) & 1), 2 * c[2] + (octant >> 2)}};
        child.bound2 = grid.cube_bound2(q, child_level, child.c);
        int at = count++;
        while (at > 0 && children[at - 1].bound2 > child.bound2) {
            children[at] = children[at - 1];
            --at;
        }
        children[at] = child;
        begin = end;
    }
    for (int i = 0; i < count; ++i) {
        if (children[i].bound2 > bound2) break;
        visit_octree(grid, q, bound2, child_level, children[i].c, children[i].first, children[i].last, skip, visit);
    }
}

}  // namespace detail

// visit_cells for every cell but the query's own, `own` (its integer
// coordinates; `own_found` whether it is occupied), which the caller has
// visited: the box of cells the ball spans when it spans few, else the
// octree. `bound2` is read again before each cell.
template <class S, class Visit>
void visit_other_cells(const CellGrid<S>& grid, const double* q, const std::uint64_t* own, bool own_found,
                       const double& bound2, Visit&& visit) {
    const int s = grid.shift();
    std::uint64_t low[3], high[3];
    std::uint64_t span = 1;
    if (bound2 < std::numeric_limits<double>::infinity()) {
        const double reach = std::sqrt(bound2) * (1.0 + 1e-12);
        for (int axis = 0; axis < 3; ++axis) {
            const double widen = grid.frame.allowance[axis];
            low[axis] = grid.frame.nearby_quantum(q[axis] - reach - widen, axis) >> s;
            high[axis] = grid.frame.nearby_quantum(q[axis] + reach + widen, axis) >> s;
            span *= std::min(high[axis] - low[axis] + 1, box_visit_cells + 1);
            if (span > box_visit_cells) break;
        }
    } else {
        span = box_visit_cells + 1;
    }
    if (span <= box_visit_cells) {
        std::uint64_t c[3];
        for (c[2] = low[2]; c[2] <= high[2]; ++c[2])
            for (c[1] = low[1]; c[1] <= high[1]; ++c[1])
                for (c[0] = low[0]; c[0] <= high[0]; ++c[0]) {
                    if (c[0] == own[0] && c[1] == own[1] && c[2] == own[2]) continue;
                    if (grid.cell_bound2(q, c) > bound2) continue;
                    if (CellRun run; grid.run_of(c, run)) visit(run.begin, run.end);
                }
        return;
    }
    // The own cell's number, so that the octree passes it by.
    std::size_t skip = grid.cells();
    if (own_found)
        skip = static_cast<std::size_t>(std::lower_bound(grid.cell_code.data(), grid.cell_code.data() + grid.cells(),
                                                         morton_key(own[0], own[1], own[2])) -
                                        grid.cell_code.data());
    const std::uint64_t root[3] = {0, 0, 0};
    detail::visit_octree(grid, q, bound2, 0, root, 0, grid.cells(), skip, visit);
}

// Visits (visit(begin, end): a run of sorted points) every occupied cell that
// a point within squared distance `bound2` of q (double coordinates) may lie
// in, each once; `bound2` is read again before each cell, so a search may
// shrink it as it goes (an infinite bound visits every cell, nearest first).
template <class S, class Visit>
void visit_cells(const CellGrid<S>& grid, const double* q, const double& bound2, Visit&& visit) {
    if (grid.cells() == 0) return;
    // The query's own cell first: it most often holds the answer, whose
    // distance then bounds the box of the others, which most often leaves
    // them unvisited.
    std::uint64_t own[3];
    grid.cell_of(q, own);
    CellRun run;
    const bool own_found = grid.run_of(own, run);
    if (own_found) visit(run.begin, run.end);
    visit_other_cells(grid, q, own, own_found, bound2, visit);
}

}  // namespace ornel
