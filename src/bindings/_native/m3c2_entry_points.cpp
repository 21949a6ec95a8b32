// Region searches (every point in a ball or a cylinder) and the per-core-point
// M3C2 statistics, over cell grids built here with the lock released.
#include "entry_points.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "../../lib/huge_page_block.hpp"
#include "../../lib/parallel_loop.hpp"
#include "../../lib/row_grid.hpp"
#include "../../lib/m3c2.hpp"
#include "../../lib/region_search.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"

namespace ornel::py {

namespace {

// Core points (or search centres) per thread below which another thread costs more than it saves.
constexpr std::size_t min_centres_per_thread = 256;
// Consecutive core points a thread claims at a time: enough to share cached
// cells along a spatial order, few enough that threads end together.
constexpr std::size_t core_points_per_claim = 512;

bool is_float32(PyObject* object) {
    ensure_numpy();
    return is_float32_array(object);
}

// A C-contiguous, aligned array of `type_number`: (rows, 3) when `ndim` is 2.
PyArrayObject* contiguous(const char* name, PyObject* object, int ndim, int type_number, const char* shape) {
    return convert(name, [&] { return contiguous_arg(object, ndim, type_number, shape); });
}

std::size_t rows_of(PyArrayObject* array) { return static_cast<std::size_t>(PyArray_DIM(array, 0)); }

const double* doubles(PyArrayObject* array) { return reinterpret_cast<const double*>(PyArray_DATA(array)); }

template <class T>
const T* data_of(PyArrayObject* array) {
    return reinterpret_cast<const T*>(PyArray_DATA(array));
}

double number(const char* name, PyObject* object) {
    const double value = convert(name, [&] {
        const double v = PyFloat_AsDouble(object);
        if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
        return v;
    });
    if (!(value >= 0) || !std::isfinite(value)) fail_input(Failure::size_not_finite);
    return value;
}

// The points (float32 or float64, C-contiguous (n, 3)) as the typed pointer `run` takes.
template <class Run>
auto with_points(PyArrayObject* points, Run&& run) {
    if (PyArray_TYPE(points) == NPY_FLOAT32) return run(data_of<float>(points));
    return run(data_of<double>(points));
}

PyArrayObject* points_param(const char* name, PyObject* object) {
    return contiguous(name, object, 2, is_float32(object) ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)");
}

// The rows `search(grid, centre, visit)` finds around each centre, ascending,
// as CSR (indptr int64, indices uint32): counted in one pass, written in a second.
template <class T, class Search>
PyObject* region_rows(const T* points, std::size_t n, std::size_t centres, double edge, std::size_t threads,
                      Search&& search) {
    Buffer<std::int64_t> indptr(centres + 1);
    Buffer<std::uint32_t> indices;
    {
        ReleasedGil released;
        const RowGrid<T> grid = build_row_grid(points, n, row_cells(edge), true, threads);
        indptr[0] = 0;
        split_over_threads(centres, threads, min_centres_per_thread, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                std::int64_t count = 0;
                search(grid, i, [&](std::uint32_t) { ++count; });
                indptr[i + 1] = count;
            }
        });
        for (std::size_t i = 0; i < centres; ++i) indptr[i + 1] += indptr[i];
        indices = Buffer<std::uint32_t>(static_cast<std::size_t>(indptr[centres]));
        split_over_threads(centres, threads, min_centres_per_thread, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                std::uint32_t* out = indices.data() + indptr[i];
                search(grid, i, [&](std::uint32_t position) { *out++ = grid.row[position]; });
                std::sort(indices.data() + indptr[i], out);
            }
        });
    }
    return result_pair(to_numpy(std::move(indptr)), to_numpy(std::move(indices)));
}

PyObject* ball_search_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<4> parameters{{"points", "centres", "radius", "threads"}, 3};
        auto bound = match<4>(parameters.of(nullptr, "ball_search"), args, nargs, kwnames);
        PyArrayObject* points = points_param("points", bound[0]);
        PyArrayObject* centres = contiguous("centres", bound[1], 2, NPY_FLOAT64, "(q, 3)");
        const double radius = number("radius", bound[2]);
        const std::size_t threads = threads_arg(bound[3]);
        const double* c = doubles(centres);
        return with_points(points, [&](const auto* xyz) {
            return region_rows(xyz, rows_of(points), rows_of(centres), radius > 0 ? radius : 1, threads,
                               [&](const auto& grid, std::size_t i, auto&& found) {
                                   visit_ball(grid, Ball{{c[3 * i], c[3 * i + 1], c[3 * i + 2]}, radius},
                                              [&](std::uint32_t position, const double*) { found(position); });
                               });
        });
    });
}

PyObject* cylinder_search_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<6> parameters{{"points", "centres", "axes", "radius", "half_length", "threads"}, 5};
        auto bound = match<6>(parameters.of(nullptr, "cylinder_search"), args, nargs, kwnames);
        PyArrayObject* points = points_param("points", bound[0]);
        PyArrayObject* centres = contiguous("centres", bound[1], 2, NPY_FLOAT64, "(q, 3)");
        PyArrayObject* axes = contiguous("axes", bound[2], 2, NPY_FLOAT64, "(q, 3)");
        if (rows_of(axes) != rows_of(centres)) fail_input(Failure::axes_per_centre);
        const double radius = number("radius", bound[3]);
        const double half_length = number("half_length", bound[4]);
        const std::size_t threads = threads_arg(bound[5]);
        const double *c = doubles(centres), *a = doubles(axes);
        return with_points(points, [&](const auto* xyz) {
            return region_rows(xyz, rows_of(points), rows_of(centres), radius > 0 ? radius : 1, threads,
                               [&](const auto& grid, std::size_t i, auto&& found) {
                                   const Cylinder cylinder{{c[3 * i], c[3 * i + 1], c[3 * i + 2]},
                                                           {a[3 * i], a[3 * i + 1], a[3 * i + 2]},
                                                           radius,
                                                           half_length};
                                   visit_cylinder(grid, cylinder,
                                                  [&](std::uint32_t position, double) { found(position); });
                               });
        });
    });
}

PyObject* m3c2_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<12> parameters{
            {"epoch1", "epoch2", "cores", "normal_radii", "normals", "side", "toward", "cylinder_radius", "max_depth",
             "robust", "threads", "order"},
            10};
        auto bound = match<12>(parameters.of(nullptr, "m3c2"), args, nargs, kwnames);
        PyArrayObject* first = points_param("epoch1", bound[0]);
        PyArrayObject* second = points_param("epoch2", bound[1]);
        if (PyArray_TYPE(first) != PyArray_TYPE(second)) fail_input(Failure::epochs_of_two_types);
        PyArrayObject* cores = contiguous("cores", bound[2], 2, NPY_FLOAT64, "(q, 3)");
        PyArrayObject* radii = contiguous("normal_radii", bound[3], 1, NPY_FLOAT64, "(scales,)");
        const std::size_t q = rows_of(cores);
        M3c2Parameters setting;
        setting.normal_radii = doubles(radii);
        setting.scales = rows_of(radii);
        for (std::size_t s = 0; s < setting.scales; ++s)
            if (!(setting.normal_radii[s] > 0) || !std::isfinite(setting.normal_radii[s]))
                fail_input(Failure::normal_radius_not_positive);
        if (bound[4] != Py_None) {
            PyArrayObject* normals = contiguous("normals", bound[4], 2, NPY_FLOAT64, "(q, 3)");
            if (rows_of(normals) != q) fail_input(Failure::normals_per_core_point);
            setting.given_normals = doubles(normals);
        } else if (setting.scales == 0) {
            fail_input(Failure::normal_radii_missing);
        }
        const std::uint64_t side = convert("side", [&] { return unsigned_arg(bound[5]); });
        if (side > 2) fail_input(Failure::unknown_side);
        setting.side = static_cast<NormalSide>(side);
        PyArrayObject* toward = contiguous("toward", bound[6], 1, NPY_FLOAT64, "(3,)");
        if (rows_of(toward) != 3) fail_input(Failure::toward_not_three);
        std::copy_n(doubles(toward), 3, setting.toward);
        setting.cylinder_radius = number("cylinder_radius", bound[7]);
        setting.max_depth = number("max_depth", bound[8]);
        setting.robust = convert("robust", [&] { return flag_arg(bound[9]); });
        const std::size_t threads = threads_arg(bound[10]);
        const std::int64_t* given_order = nullptr;
        if (bound[11] != nullptr && bound[11] != Py_None) {
            PyArrayObject* order = contiguous("order", bound[11], 1, NPY_INT64, "(q,)");
            if (rows_of(order) != q) fail_input(Failure::order_not_permutation);
            const std::int64_t* rows = data_of<std::int64_t>(order);
            // Each row once: the answers are then put back one to a row.
            std::vector<bool> seen(q);
            for (std::size_t k = 0; k < q; ++k) {
                if (rows[k] < 0 || static_cast<std::uint64_t>(rows[k]) >= q || seen[rows[k]])
                    fail_input(Failure::order_not_permutation);
                seen[rows[k]] = true;
            }
            given_order = rows;
        }

        // The answers in one block of large pages (see huge_page_block.hpp),
        // handed to NumPy whole: each answer a view into it, in its final type
        // (counts int64, scales as radii), so that the caller makes no copies.
        HugePageBlock answer_memory(block_bytes<double>(3 * q) + 5 * block_bytes<double>(q) +
                                    2 * block_bytes<std::int64_t>(q));
        double* const normal = answer_memory.take<double>(3 * q);
        double* const doubles_of_answers[4] = {answer_memory.take<double>(q), answer_memory.take<double>(q),
                                               answer_memory.take<double>(q), answer_memory.take<double>(q)};
        double *const position1 = doubles_of_answers[0], *const position2 = doubles_of_answers[1];
        double *const spread1 = doubles_of_answers[2], *const spread2 = doubles_of_answers[3];
        double* const normal_scale = answer_memory.take<double>(q);
        std::int64_t *const count1 = answer_memory.take<std::int64_t>(q), *const count2 =
                                                                              answer_memory.take<std::int64_t>(q);
        const double* core = doubles(cores);
        const double* normals_by_row = setting.given_normals;
        // Cells as wide as the cylinder (a quarter of that along x): on the
        // benchmark's terrain a ball tests ~366 points for 218 inside and a
        // cylinder ~112 for 35, against ~290 and ~74 in cells half as wide, but
        // reads half the rows, whose directory reads and bounds cost more than
        // the points saved (14% less time). Cells half as wide across x only, or
        // that and twice as tall (the terrain in one layer: fewer rows and ~17%
        // fewer points tested) measured no faster either.
        const double edge = setting.cylinder_radius > 0 ? 2 * setting.cylinder_radius : 1;
        const CellEdges cell_edges = row_cells(edge);
        // One epoch's grid at a time: epoch 1's fits the normals and is freed
        // before epoch 2's is built, so that only one copy of an epoch is held.
        auto run = [&](const auto* xyz1, const auto* xyz2) {
            using T = std::remove_cvref_t<decltype(*xyz1)>;
            ReleasedGil released;
            const auto kernel = M3c2CorePoints<T>::pick();
            const std::size_t parts = parts_for_items(q, threads, min_centres_per_thread);
            // One team of threads for the call's parallel passes (four per
            // grid, one per epoch's core points, the gathers): a thread started
            // for each pass begins it late, and the passes here are a few
            // milliseconds each.
            ThreadTeam team(threads);
            TeamScope scope(&team);
            std::vector<std::vector<double>> positions(parts);
            RowGrid<T> grid = build_row_grid(xyz1, rows_of(first), cell_edges, false, threads);
            // The core points, and their given normals, copied into the order
            // they are processed in (the caller's, else a sweep over epoch 1's
            // rows), their answers written in that order and put back by row at
            // the end: reads and writes in sequence rather than scattered over
            // ten arrays (4 to 5% of the searches' time on a million points).
            // The call's own arrays in one block of large pages (see
            // huge_page_block.hpp): fresh for the call, freed at its end.
            const bool sweep = given_order == nullptr;
            // The sweep's counters and the ordered core points share their
            // room (the one is done with before the other is written), and the
            // sweep's keys that of the scales.
            const std::size_t shared =
                std::max(block_bytes<double>(3 * q), sweep ? block_bytes<std::size_t>(sweep_cells(grid)) : 0);
            HugePageBlock block((sweep ? block_bytes<std::int64_t>(q) : 0) + shared +
                                (normals_by_row != nullptr ? block_bytes<double>(3 * q) : 0) +
                                3 * block_bytes<std::uint32_t>(q));
            std::int64_t* const swept = sweep ? block.take<std::int64_t>(q) : nullptr;
            std::byte* const shared_room = block.take<std::byte>(shared);
            double* ordered_normals = normals_by_row != nullptr ? block.take<double>(3 * q) : nullptr;
            // The scales and counts as the kernel writes them, in the sweep's order.
            std::uint32_t *const swept_scale = block.take<std::uint32_t>(q),
                                 *const swept_count1 = block.take<std::uint32_t>(q),
                                 *const swept_count2 = block.take<std::uint32_t>(q);
            const std::int64_t* order = given_order;
            if (sweep) {
                sweep_order(grid, core, q, swept, swept_scale, reinterpret_cast<std::size_t*>(shared_room));
                order = swept;
            }
            double* const ordered_cores = reinterpret_cast<double*>(shared_room);
            const M3c2Answers answers{
                normal, swept_scale, {position1, position2}, {spread1, spread2}, {swept_count1, swept_count2}};
            split_over_threads(q, threads, min_centres_per_thread, [&](std::size_t begin, std::size_t end) {
                for (std::size_t k = begin; k < end; ++k) {
                    const std::size_t i = static_cast<std::size_t>(order[k]);
                    std::copy_n(core + 3 * i, 3, ordered_cores + 3 * k);
                    if (normals_by_row != nullptr) std::copy_n(normals_by_row + 3 * i, 3, ordered_normals + 3 * k);
                }
            });
            if (normals_by_row != nullptr) setting.given_normals = ordered_normals;
            auto epoch_statistics = [&](int epoch) {
                // Each thread its own stretch of the sweep, in claims (see on_claimed_stretches).
                on_claimed_stretches(
                    q, parts, core_points_per_claim, [&](std::size_t part, std::size_t begin, std::size_t end) {
                        kernel(&grid, epoch, ordered_cores, &setting, begin, end, &answers, &positions[part]);
                    });
            };
            epoch_statistics(0);
            // Epoch 2's grid takes over epoch 1's buffers.
            grid = build_row_grid(xyz2, rows_of(second), cell_edges, false, threads, std::move(grid));
            epoch_statistics(1);
            // Each answer back to its row: the scales and counts straight into
            // their arrays, the others through the ordered core points' buffer
            // (no longer needed).
            split_over_threads(q, threads, min_centres_per_thread, [&](std::size_t begin, std::size_t end) {
                const double nan = std::numeric_limits<double>::quiet_NaN();
                for (std::size_t k = begin; k < end; ++k) {
                    const auto row = static_cast<std::size_t>(order[k]);
                    normal_scale[row] = swept_scale[k] < setting.scales ? setting.normal_radii[swept_scale[k]] : nan;
                    count1[row] = swept_count1[k], count2[row] = swept_count2[k];
                }
            });
            auto by_row = [&](double* values, double* through, std::size_t width) {
                split_over_threads(q, threads, min_centres_per_thread, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t k = begin; k < end; ++k)
                        std::copy_n(values + width * k, width, through + width * static_cast<std::size_t>(order[k]));
                });
                split_over_threads(q, threads, min_centres_per_thread, [&](std::size_t begin, std::size_t end) {
                    std::copy(through + width * begin, through + width * end, values + width * begin);
                });
            };
            double* spare = ordered_cores;
            by_row(normal, spare, 3);
            for (double* values : doubles_of_answers) by_row(values, spare, 1);
        };
        if (PyArray_TYPE(first) == NPY_FLOAT32)
            run(data_of<float>(first), data_of<float>(second));
        else
            run(data_of<double>(first), data_of<double>(second));
        const npy_intp rows = static_cast<npy_intp>(q);
        const std::size_t bytes = answer_memory.allocated();
        const Ref whole = wrap_memory(answer_memory.release(), bytes, NPY_UINT8, 1, {static_cast<npy_intp>(bytes)});
        Ref items[] = {view_into(whole, normal, {rows, 3}), view_into(whole, normal_scale, {rows}),
                       view_into(whole, position1, {rows}), view_into(whole, position2, {rows}),
                       view_into(whole, spread1, {rows}),   view_into(whole, spread2, {rows}),
                       view_into(whole, count1, {rows}),    view_into(whole, count2, {rows})};
        return require(PyTuple_Pack(8, items[0].get(), items[1].get(), items[2].get(), items[3].get(), items[4].get(),
                                    items[5].get(), items[6].get(), items[7].get()));
    });
}

}  // namespace

PyMethodDef m3c2_functions[] = {
    {"ball_search", ORNEL_PYCFUNCTION(ball_search_entry), METH_FASTCALL | METH_KEYWORDS,
     "ball_search(points, centres, radius, threads=None)\n--\n\n"
     "The rows of `points` (float32 or float64, C-contiguous (n, 3)) within\n"
     "`radius` of each row of `centres` (C-contiguous float64 (q, 3)), the\n"
     "distance measured in double precision and the boundary included, as CSR\n"
     "(indptr int64 (q + 1,), indices uint32), each row's indices ascending.\n"
     "The centres are split over `threads` threads (default: the cores this\n"
     "process may use); the answer does not depend on their number. Runs with\n"
     "the GIL released."},
    {"cylinder_search", ORNEL_PYCFUNCTION(cylinder_search_entry), METH_FASTCALL | METH_KEYWORDS,
     "cylinder_search(points, centres, axes, radius, half_length, threads=None)\n--\n\n"
     "The rows of `points` in each closed cylinder around a row of `centres`\n"
     "along the unit vector in the same row of `axes` (both C-contiguous\n"
     "float64 (q, 3)): with d = p - centre and t = d . axis, |t| <= half_length\n"
     "and |d - t axis|^2 <= radius^2, in double precision. CSR as\n"
     "`ball_search`. Runs with the GIL released."},
    {"m3c2", ORNEL_PYCFUNCTION(m3c2_entry), METH_FASTCALL | METH_KEYWORDS,
     "m3c2(epoch1, epoch2, cores, normal_radii, normals, side, toward, cylinder_radius, max_depth, robust, "
     "threads=None, order=None)\n--\n\n"
     "Per core point (rows of `cores`, C-contiguous float64 (q, 3)): the unit\n"
     "normal fitted to epoch1 at the most planar of `normal_radii` (or the\n"
     "row of `normals`), turned by `side` (0 as fitted, 1 to the side of the\n"
     "direction `toward`, 2 to the side of the position `toward`); then in the\n"
     "cylinder of `cylinder_radius` along it within `max_depth`, each epoch's\n"
     "positions along the normal: mean and sample standard deviation, or with\n"
     "`robust` median and interquartile range. Returns (normal (q, 3), the\n"
     "normal radius each was fitted at (NaN where none was, or normals were\n"
     "given), position1, position2, spread1, spread2, count1 int64, count2\n"
     "int64), all float64 but the counts. The epochs are float32 or float64\n"
     "(the same), C-contiguous (n, 3). Core points are split over `threads` threads in\n"
     "a sweep over the rows of epoch1's grid (neighbours together), or in\n"
     "`order` (int64 (q,), a permutation of the rows of `cores`), with the\n"
     "answers by row of `cores`; the answer depends on neither. Runs with the\n"
     "GIL released."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ornel::py
