// Nearest and k-nearest searches of a target indexed by a cell grid built for
// the call (src/lib/cell_grid.hpp, grid_search.hpp): the index a target gets
// when it is searched once, since it costs about a sort to build.
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "../../lib/cell_grid.hpp"
#include "../../lib/grid_search.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/holder.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"

namespace ornel::py {

namespace {

bool is_float32(PyObject* object) {
    ensure_numpy();
    return is_float32_array(object);
}

// A point array of either precision, with at least three columns and rows
// that 32-bit indices can name.
template <class S>
PointsView<S> grid_points_arg(const char* name, PyObject* object) {
    PointsView<S> view = convert(name, [&] { return points_arg<S>(object); });
    const bool queries = std::string_view(name) == "queries";
    if (view.rows > 0 && view.columns < 3)
        fail_input(queries ? Failure::queries_too_few_columns : Failure::points_too_few_columns, view.rows,
                   view.columns);
    if (view.rows >= std::numeric_limits<std::uint32_t>::max())
        fail_input(queries ? Failure::queries_too_many : Failure::points_too_many, view.rows);
    return view;
}

// The frames of both clouds (quantisation_frame), each array's own.
struct CloudFrames {
    QuantisationFrame target, queries;
};

// Runs search(target view, query view, their frames) for the four pairings
// of precisions, on a team of `threads` threads started once for the call
// (every parallel step of the build and the search runs on it); the frames
// are taken with the lock released, and a non-finite coordinate becomes
// ValueError naming the array it is in. `rounded`: both clouds read as
// RoundedPoints from `origin` (three doubles).
template <bool rounded = false, class Search>
PyObject* with_clouds(PyObject* points, PyObject* queries, std::size_t threads, Search&& search,
                      const double* origin = nullptr) {
    auto as_read = [origin](const auto& view) {
        if constexpr (rounded) {
            using T = typename std::decay_t<decltype(view)>::value_type;
            return RoundedPoints<T>{view, {origin[0], origin[1], origin[2]}};
        } else {
            return view;
        }
    };
    auto run = [&](auto given_target) {
        const auto target = as_read(given_target);
        auto with_queries = [&](auto given_rows) {
            const auto rows = as_read(given_rows);
            ThreadTeam team(threads);
            TeamScope scope(&team);
            CloudFrames frames;
            // Checked here, where the array can be named: the core only refuses.
            const char* culprit = "points";
            try {
                ReleasedGil released;
                frames.target = quantisation_frame(target, threads);
                culprit = "queries";
                frames.queries = quantisation_frame(rows, threads);
                culprit = nullptr;
            } catch (const InputFailure& failure) {
                if (failure.kind() != Failure::non_finite_coordinate) throw;
                fail_input(
                    std::string_view(culprit) == "queries" ? Failure::queries_non_finite : Failure::points_non_finite,
                    failure.value(0), failure.value(1));
            }
            return search(target, rows, frames);
        };
        if (is_float32(queries)) return with_queries(grid_points_arg<float>("queries", queries));
        return with_queries(grid_points_arg<double>("queries", queries));
    };
    if (is_float32(points)) return run(grid_points_arg<float>("points", points));
    return run(grid_points_arg<double>("points", points));
}

// Three finite doubles from a (3,) array-like, or nullopt for None.
std::optional<std::array<double, 3>> origin_arg(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    PyArrayObject* array = convert("origin", [&] { return array_arg(object, 1, NPY_FLOAT64, "(3,)"); });
    if (PyArray_DIM(array, 0) != 3) fail_input(Failure::origin_not_three);
    const char* at = PyArray_BYTES(array);
    const npy_intp step = PyArray_STRIDE(array, 0);
    std::array<double, 3> origin{};
    for (int axis = 0; axis < 3; ++axis) {
        origin[axis] = ornel::detail::load<double>(at, axis * step);
        if (!std::isfinite(origin[axis])) fail_input(Failure::origin_not_three);
    }
    return origin;
}

// The sort's arrays of the last one-off search, kept for the next while they
// are small. The C library maps an allocation of their size afresh every
// time (one as large freed raises its threshold only to that very size) and
// the kernel faults it in page by page: at 30,000 points that cost as much as
// the sorts that wrote them. Lent to one call at a time (a call that finds
// them lent sorts in arrays of its own); arrays grown larger are let go.
class SpareSortSpace {
public:
    SortSpace& lend() { return lent_.owns_lock() ? spare_ : own_; }
    ~SpareSortSpace() {
        if (lent_.owns_lock() && spare_.bytes() > most_kept_bytes) spare_ = SortSpace();
    }

private:
    static constexpr std::size_t most_kept_bytes = std::size_t{8} << 20;  // 500,000 points
    static inline std::mutex lock_;
    static inline SortSpace spare_;
    std::unique_lock<std::mutex> lent_{lock_, std::try_to_lock};
    SortSpace own_;
};

PyObject* grid_nearest_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<4> parameters{{"points", "queries", "threads", "origin"}, 2};
        auto bound = match<4>(parameters.of(nullptr, "grid_nearest"), args, nargs, kwnames);
        const std::size_t threads = convert("threads", [&] { return threads_arg(bound[2]); });
        const std::optional<std::array<double, 3>> origin = origin_arg(bound[3]);
        auto search = [&](const auto& target, const auto& queries, const CloudFrames& frames) {
            Buffer<double> dist2(queries.rows);
            Buffer<std::uint32_t> idx(queries.rows);
            {
                ReleasedGil released;
                SpareSortSpace spare;
                SortSpace& space = spare.lend();  // the target's sort's arrays, the queries' again
                const auto grid = build_cell_grid(target, frames.target, threads, space);
                grid_nearest(grid, queries, frames.queries, threads, dist2.data(), idx.data(), space);
            }
            return result_pair(to_numpy(std::move(dist2)), to_numpy(std::move(idx)));
        };
        if (origin) return with_clouds<true>(bound[0], bound[1], threads, search, origin->data());
        return with_clouds(bound[0], bound[1], threads, search);
    });
}

// A target's grid built ahead of its search (the command builds it from the
// bytes of its file while NumPy loads), with the arrays of its sort kept for
// the queries' sort, as grid_nearest reuses them.
struct BuiltGrid {
    CellGrid<double> grid;
    // Where the bytes it was built from began: how a caller knows an array for them.
    std::uintptr_t address = 0;
    // Lent to one search at a time; a search that finds it lent sorts in its own.
    mutable std::mutex space_lock;
    mutable SortSpace space;
};

OnceCache<PyObject> built_grid_type_cache;

PyObject* built_grid_rows(PyObject* self, void*) {
    return call_boundary([&] { return require(PyLong_FromSize_t(held<BuiltGrid>(self).grid.size())); });
}

PyObject* built_grid_address(PyObject* self, void*) {
    return call_boundary([&] { return require(PyLong_FromSize_t(held<BuiltGrid>(self).address)); });
}

PyGetSetDef built_grid_getset[] = {
    {"rows", built_grid_rows, nullptr, "How many points the grid holds.", nullptr},
    {"address", built_grid_address, nullptr, "Where the bytes it was built from began in memory.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::string built_grid_doc() {
    return "BuiltGrid\n--\n\n"
           "The cell grid of a target, made by `grid_build` and searched by\n"
           "`grid_nearest_built`; never changed once made, so it may be shared\n"
           "between threads freely.";
}

PyTypeObject* built_grid_type() {
    return holder_class<BuiltGrid>(built_grid_type_cache, "BuiltGrid", built_grid_doc,
                                   {{Py_tp_getset, built_grid_getset}}, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
}

// A borrowed buffer, released when the guard ends (with the lock held).
class HeldBuffer {
public:
    explicit HeldBuffer(PyObject* object) { require(PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS)); }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
};

PyObject* grid_build_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"points", "threads"}, 1};
        auto bound = match<2>(parameters.of(nullptr, "grid_build"), args, nargs, kwnames);
        const std::size_t threads = convert("threads", [&] { return threads_arg(bound[1]); });
        // Bytes, not an array: it is called before NumPy is loaded.
        HeldBuffer buffer(bound[0]);
        const Py_buffer& bytes = buffer.view();
        constexpr std::size_t row_bytes = 3 * sizeof(double);
        const std::size_t length = static_cast<std::size_t>(bytes.len);
        if (length % row_bytes != 0 || reinterpret_cast<std::uintptr_t>(bytes.buf) % alignof(double) != 0)
            fail_input(Failure::points_not_rows);
        const PointsView<double> points{static_cast<const char*>(bytes.buf), length / row_bytes, 3, row_bytes,
                                        sizeof(double)};
        if (points.rows >= std::numeric_limits<std::uint32_t>::max()) fail_input(Failure::points_too_many, points.rows);
        auto built = std::make_unique<BuiltGrid>();
        built->address = reinterpret_cast<std::uintptr_t>(bytes.buf);
        try {
            ReleasedGil released;
            ThreadTeam team(threads);
            TeamScope scope(&team);
            built->grid = build_cell_grid(points, quantisation_frame(points, threads), threads, built->space);
        } catch (const InputFailure& failure) {
            if (failure.kind() != Failure::non_finite_coordinate) throw;
            fail_input(Failure::points_non_finite, failure.value(0), failure.value(1));
        }
        return hold(built_grid_type(), std::move(built));
    });
}

PyObject* grid_nearest_built_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"grid", "queries", "threads"}, 2};
        auto bound = match<3>(parameters.of(nullptr, "grid_nearest_built"), args, nargs, kwnames);
        const BuiltGrid& built =
            held<BuiltGrid>(convert("grid", [&] { return instance_arg(bound[0], built_grid_type()); }));
        const std::size_t threads = convert("threads", [&] { return threads_arg(bound[2]); });
        auto search = [&](const auto& queries) {
            Buffer<double> dist2(queries.rows);
            Buffer<std::uint32_t> idx(queries.rows);
            {
                ReleasedGil released;
                ThreadTeam team(threads);
                TeamScope scope(&team);
                QuantisationFrame frame;
                try {
                    frame = quantisation_frame(queries, threads);
                } catch (const InputFailure& failure) {
                    if (failure.kind() != Failure::non_finite_coordinate) throw;
                    fail_input(Failure::queries_non_finite, failure.value(0), failure.value(1));
                }
                std::unique_lock<std::mutex> lent(built.space_lock, std::try_to_lock);
                SortSpace own;
                grid_nearest(built.grid, queries, frame, threads, dist2.data(), idx.data(),
                             lent.owns_lock() ? built.space : own);
            }
            return result_pair(to_numpy(std::move(dist2)), to_numpy(std::move(idx)));
        };
        if (is_float32(bound[1])) return search(grid_points_arg<float>("queries", bound[1]));
        return search(grid_points_arg<double>("queries", bound[1]));
    });
}

// A search of a built grid begun before its caller can take the answers:
// the command starts it, on the thread that read the files, while NumPy and
// the package still load on the other core, and its own threads join in
// once they are loaded. The queries are searched a stretch of rows at a
// time, each claimed by whichever thread comes for one next, through
// grid_nearest on that stretch: its answers are grid_nearest's for every
// row, whichever thread searched it. A claim takes a quarter of the rows
// left (but no fewer than `least` rows): few long stretches while one
// thread works alone, each sorted and searched on its own (a stretch of
// 16,384 rows took a third more time a query than one of a million, one
// of 262,144 a fifteenth more), and short ones at the end, so that no
// thread is left waiting long for the last.
struct GridSearch {
    GridSearch(PyObject* grid_object, PyObject* queries_object)
        : grid(Ref::borrow(grid_object)), built(held<BuiltGrid>(grid_object)), bytes(queries_object) {}

    Ref grid;  // keeps the grid searched
    const BuiltGrid& built;
    HeldBuffer bytes;  // keeps the queries' bytes, and so their address
    PointsView<double> queries;
    std::size_t least = 1;  // rows, the shortest claim
    mutable Buffer<double> dist2;
    mutable Buffer<std::uint32_t> idx;
    mutable std::atomic<std::size_t> next{0};  // the first row not claimed
    mutable std::atomic<bool> stopped{false};
    mutable std::atomic<std::size_t> working{0};  // threads in work()
    mutable std::mutex lock;
    mutable std::condition_variable finished;
    mutable std::size_t done = 0;  // rows searched or given up (under `lock`)
    // The failure of the stretch of the lowest rows that failed, and its first row.
    mutable std::exception_ptr failure;
    mutable std::size_t failed_from = 0;
    // Its answers handed out: atomic, since a build without the GIL lets two
    // callers finish it at once.
    mutable std::atomic<bool> taken{false};

    // Searches stretches until none is left unclaimed (or it is stopped).
    void work() const {
        working.fetch_add(1);
        SortSpace space;  // each stretch's sort, in the arrays of the one before
        for (std::size_t first, last; claim(first, last);) {
            std::exception_ptr error;
            if (!stopped.load()) {
                try {
                    search(first, last, space);
                } catch (...) {
                    error = std::current_exception();
                }
            }
            std::lock_guard<std::mutex> guard(lock);
            if (error && (!failure || first < failed_from)) {
                failure = error;
                failed_from = first;
            }
            done += last - first;
            if (done == queries.rows) finished.notify_all();
        }
        working.fetch_sub(1);
    }

    void wait() const {
        std::unique_lock<std::mutex> guard(lock);
        finished.wait(guard, [&] { return done == queries.rows; });
    }

    std::size_t unclaimed() const { return queries.rows - std::min(queries.rows, next.load()); }

private:
    bool claim(std::size_t& first, std::size_t& last) const {
        std::size_t at = next.load();
        while (at < queries.rows) {
            last = std::min(queries.rows, at + std::max(least, (queries.rows - at) / 4));
            if (next.compare_exchange_weak(at, last)) {
                first = at;
                return true;
            }
        }
        return false;
    }

    void search(std::size_t first, std::size_t last, SortSpace& space) const {
        const PointsView<double> part{queries.data + static_cast<std::ptrdiff_t>(first) * queries.row_stride,
                                      last - first, 3, queries.row_stride, queries.column_stride};
        grid_nearest(built.grid, part, quantisation_frame(part, 1), 1, dist2.data() + first, idx.data() + first, space);
    }
};

// The shortest stretch of a GridSearch, in rows: about 3 ms of one core, the
// longest the last thread to finish keeps the others waiting.
constexpr std::size_t grid_search_least = 16384;

OnceCache<PyObject> grid_search_type_cache;

[[noreturn]] void refuse(const char* problem) {
    PyErr_SetString(PyExc_ValueError, problem);
    throw PythonError{};
}

PyObject* grid_search_address(PyObject* self, void*) {
    return call_boundary([&] {
        return require(PyLong_FromSize_t(reinterpret_cast<std::uintptr_t>(held<GridSearch>(self).queries.data)));
    });
}

PyObject* grid_search_rows(PyObject* self, void*) {
    return call_boundary([&] { return require(PyLong_FromSize_t(held<GridSearch>(self).queries.rows)); });
}

PyObject* grid_search_grid(PyObject* self, void*) {
    return call_boundary([&] { return Ref::borrow(held<GridSearch>(self).grid.get()).release(); });
}

PyGetSetDef grid_search_getset[] = {
    {"rows", grid_search_rows, nullptr, "How many queries it searches.", nullptr},
    {"address", grid_search_address, nullptr, "Where the bytes of its queries begin in memory.", nullptr},
    {"grid", grid_search_grid, nullptr, "The BuiltGrid it searches.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::string grid_search_doc() {
    return "GridSearch\n--\n\n"
           "A search of a BuiltGrid by rows of queries, made by `grid_search_ahead`,\n"
           "worked on by `grid_search_work` and finished by `grid_search_finish`.";
}

PyTypeObject* grid_search_type() {
    return holder_class<GridSearch>(grid_search_type_cache, "GridSearch", grid_search_doc,
                                    {{Py_tp_getset, grid_search_getset}},
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
}

const GridSearch& grid_search_arg(PyObject* object) {
    return held<GridSearch>(convert("search", [&] { return instance_arg(object, grid_search_type()); }));
}

PyObject* grid_search_ahead_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"grid", "queries", "least"}, 2};
        auto bound = match<3>(parameters.of(nullptr, "grid_search_ahead"), args, nargs, kwnames);
        const std::uint64_t least =
            bound[2] == nullptr ? grid_search_least : convert("least", [&] { return unsigned_arg(bound[2]); });
        if (least < 1) refuse("least must be at least 1 row");
        PyObject* grid = convert("grid", [&] { return instance_arg(bound[0], built_grid_type()); });
        // Bytes, not an array, as for grid_build: NumPy may not be loaded yet.
        auto search = std::make_unique<GridSearch>(grid, bound[1]);
        const Py_buffer& bytes = search->bytes.view();
        constexpr std::size_t row_bytes = 3 * sizeof(double);
        const std::size_t length = static_cast<std::size_t>(bytes.len);
        if (length % row_bytes != 0 || reinterpret_cast<std::uintptr_t>(bytes.buf) % alignof(double) != 0)
            refuse("queries must be a C-contiguous buffer of rows of three float64");
        search->queries = {static_cast<const char*>(bytes.buf), length / row_bytes, 3, row_bytes, sizeof(double)};
        if (search->queries.rows >= std::numeric_limits<std::uint32_t>::max())
            fail_input(Failure::queries_too_many, search->queries.rows);
        const std::size_t rows = search->queries.rows;
        search->least = static_cast<std::size_t>(least);
        search->dist2 = Buffer<double>(rows);
        search->idx = Buffer<std::uint32_t>(rows);
        {
            // Its stretches are sorted in arrays of their own, a stretch long: the
            // target's, kept for a sort of all the queries, are let go (measured:
            // the peak of a 1,000,000-point compare 129 MB rather than 146).
            std::unique_lock<std::mutex> lent(search->built.space_lock, std::try_to_lock);
            if (lent.owns_lock()) search->built.space = SortSpace();
        }
        return hold(grid_search_type(), std::move(search));
    });
}

PyObject* grid_search_work_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<1> parameters{{"search"}, 1};
        auto bound = match<1>(parameters.of(nullptr, "grid_search_work"), args, nargs, kwnames);
        const GridSearch& search = grid_search_arg(bound[0]);
        {
            ReleasedGil released;
            search.work();
        }
        Py_RETURN_NONE;
    });
}

PyObject* grid_search_stop_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<1> parameters{{"search"}, 1};
        auto bound = match<1>(parameters.of(nullptr, "grid_search_stop"), args, nargs, kwnames);
        grid_search_arg(bound[0]).stopped.store(true);
        Py_RETURN_NONE;
    });
}

PyObject* grid_search_finish_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"search", "threads"}, 1};
        auto bound = match<2>(parameters.of(nullptr, "grid_search_finish"), args, nargs, kwnames);
        const GridSearch& search = grid_search_arg(bound[0]);
        const std::size_t threads = convert("threads", [&] { return threads_arg(bound[1]); });
        if (search.stopped.load() || search.taken.exchange(true)) refuse("the search was stopped or finished already");
        {
            ReleasedGil released;
            // `threads` at work on it in all, those at work already counted: the caller
            // waits for them where they are as many.
            const std::size_t at_work = search.working.load();
            const std::size_t more = threads > at_work ? threads - at_work : 0;
            const std::size_t parts = std::min(more, search.unclaimed() / search.least + 1);
            if (parts > 0) on_threads(parts, [&](std::size_t) { search.work(); });
            search.wait();  // the stretches other threads were still searching
        }
        if (search.failure) {
            try {
                std::rethrow_exception(search.failure);
            } catch (const InputFailure& failure) {
                if (failure.kind() != Failure::non_finite_coordinate) throw;
                fail_input(Failure::queries_non_finite, failure.value(0) + search.failed_from, failure.value(1));
            }
        }
        return result_pair(to_numpy(std::move(search.dist2)), to_numpy(std::move(search.idx)));
    });
}

PyObject* grid_nearest_k_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<4> parameters{{"points", "queries", "k", "threads"}, 3};
        auto bound = match<4>(parameters.of(nullptr, "grid_nearest_k"), args, nargs, kwnames);
        const std::uint64_t k = convert("k", [&] { return unsigned_arg(bound[2]); });
        if (k < 1 || k > 4096) fail_input(Failure::k_out_of_range, k);
        const std::size_t threads = convert("threads", [&] { return threads_arg(bound[3]); });
        auto search = [&](const auto& target, const auto& queries, const CloudFrames& frames) {
            if (queries.rows > std::numeric_limits<std::size_t>::max() / 16 / k) fail_capacity_overflow();
            Buffer<double> dist2(queries.rows * k);
            Buffer<std::uint32_t> idx(queries.rows * k);
            {
                ReleasedGil released;
                SpareSortSpace spare;
                SortSpace& space = spare.lend();
                const auto grid = build_cell_grid(target, frames.target, threads, space);
                grid_nearest_k(grid, queries, frames.queries, k, threads, dist2.data(), idx.data(), space);
            }
            const npy_intp rows = static_cast<npy_intp>(queries.rows), columns = static_cast<npy_intp>(k);
            return result_pair(to_numpy(std::move(dist2), {rows, columns}), to_numpy(std::move(idx), {rows, columns}));
        };
        return with_clouds(bound[0], bound[1], threads, search);
    });
}

PyObject* grid_ball_counts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<4> parameters{{"points", "queries", "radius", "threads"}, 3};
        auto bound = match<4>(parameters.of(nullptr, "grid_ball_counts"), args, nargs, kwnames);
        const std::optional<double> radius = convert("radius", [&] { return distance_arg(bound[2]); });
        if (!radius || !(*radius >= 0) || !std::isfinite(*radius)) fail_input(Failure::radius_not_a_distance);
        const std::size_t threads = convert("threads", [&] { return threads_arg(bound[3]); });
        auto search = [&](const auto& target, const auto& queries, const CloudFrames& frames) {
            Buffer<std::uint64_t> counts(queries.rows);
            {
                ReleasedGil released;
                const auto grid = [&] {
                    SpareSortSpace spare;  // not needed beyond the build
                    return build_cell_grid(target, frames.target, threads, spare.lend());
                }();
                grid_ball_counts(grid, queries, *radius * *radius, threads, counts.data());
            }
            return to_numpy(std::move(counts)).release();
        };
        return with_clouds(bound[0], bound[1], threads, search);
    });
}

}  // namespace

PyMethodDef grid_functions[] = {
    {"grid_nearest", ORNEL_PYCFUNCTION(grid_nearest_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_nearest(points, queries, threads=None, origin=None)\n--\n\n"
     "For every row of `queries`, the nearest row of `points` (each float32 or\n"
     "float64, (n, 3) or wider, any strides), found through a grid of cells\n"
     "built for this call over the points sorted along their Morton curve.\n"
     "Returns (squared distances as float64, rows of `points` as uint32):\n"
     "distances measured in double precision as (dx² + dy²) + dz², exact;\n"
     "among equal distances the lowest row. An empty target answers (inf, 0).\n"
     "Build and search run on `threads` threads (default: the cores this\n"
     "process may use); the answers do not depend on their number. Raises\n"
     "ValueError for non-finite coordinates. With `origin` (three numbers),\n"
     "both clouds are searched as measured from it and rounded to float32\n"
     "(the difference taken in double, rounded once) as they are read: the\n"
     "same answers as for float32 arrays of those values, without making\n"
     "them; a coordinate whose difference is beyond float32's range is\n"
     "refused as non-finite. Runs with the GIL released."},
    {"grid_build", ORNEL_PYCFUNCTION(grid_build_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_build(points, threads=None)\n--\n\n"
     "The grid `grid_nearest` builds over `points`, built now and kept: a\n"
     "BuiltGrid for `grid_nearest_built`. `points` is a C-contiguous buffer\n"
     "of bytes (no NumPy array is needed: it may be called before NumPy\n"
     "loads) holding rows of x, y, z float64 in native byte order; its\n"
     "coordinates are copied into the grid. Raises ValueError for a buffer\n"
     "that is not whole aligned rows and for non-finite coordinates. Runs\n"
     "with the GIL released on `threads` threads."},
    {"grid_nearest_built", ORNEL_PYCFUNCTION(grid_nearest_built_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_nearest_built(grid, queries, threads=None)\n--\n\n"
     "`grid_nearest` through a grid built by `grid_build`: the same answers\n"
     "as grid_nearest(points, queries) for the points it was built from."},
    {"grid_search_ahead", ORNEL_PYCFUNCTION(grid_search_ahead_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_search_ahead(grid, queries, least=16384)\n--\n\n"
     "A GridSearch of `grid` (a BuiltGrid) for every row of `queries`, a\n"
     "C-contiguous buffer of rows of x, y, z float64 in native byte order (no\n"
     "NumPy array is needed), which it holds; nothing is searched yet. Threads\n"
     "search it by `grid_search_work`, a stretch of rows at a time (a quarter\n"
     "of those left, at least `least`), and the caller takes its answers from\n"
     "`grid_search_finish`."},
    {"grid_search_work", ORNEL_PYCFUNCTION(grid_search_work_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_search_work(search)\n--\n\n"
     "Searches stretches of `search`'s queries no other thread has taken until\n"
     "none is left (or it is stopped). Runs with the GIL released; any number\n"
     "of threads may call it at once. Needs no NumPy."},
    {"grid_search_stop", ORNEL_PYCFUNCTION(grid_search_stop_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_search_stop(search)\n--\n\n"
     "Leaves the rest of `search` unsearched: threads working on it return\n"
     "after their stretch, and it can no longer be finished."},
    {"grid_search_finish", ORNEL_PYCFUNCTION(grid_search_finish_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_search_finish(search, threads=None)\n--\n\n"
     "Searches what is left of `search` on `threads` threads in all (those at\n"
     "work on it already counted: with as many, it only waits for them), waits\n"
     "for the stretches others are searching, and returns its answers, once:\n"
     "grid_nearest_built(grid, queries)'s, the same arrays. Raises ValueError\n"
     "for non-finite coordinates (as grid_nearest_built does) and for a\n"
     "search stopped or finished already."},
    {"grid_nearest_k", ORNEL_PYCFUNCTION(grid_nearest_k_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_nearest_k(points, queries, k, threads=None)\n--\n\n"
     "`grid_nearest` for the k nearest rows of `points` (1 <= k <= 4096):\n"
     "(squared distances (q, k) float64, rows (q, k) uint32), each row\n"
     "ascending by (distance, row); entries beyond the target's size are\n"
     "(inf, n)."},
    {"grid_ball_counts", ORNEL_PYCFUNCTION(grid_ball_counts_entry), METH_FASTCALL | METH_KEYWORDS,
     "grid_ball_counts(points, queries, radius, threads=None)\n--\n\n"
     "For every row of `queries`, how many rows of `points` lie within\n"
     "`radius` of it (squared distances as in `grid_nearest`, at most\n"
     "radius * radius), through a grid built for the call: uint64 (q,)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ornel::py
