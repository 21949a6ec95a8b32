// sheet_normals and orient_normals: the normals signed distances follow
// (src/lib/normals.hpp) and their consistent orientation over the k-nearest
// graph (src/lib/normal_orientation.hpp), run with the lock released.
#include <algorithm>
#include <cstdint>
#include <string>

#include "../../lib/buffer.hpp"
#include "../../lib/normal_orientation.hpp"
#include "../../lib/normals.hpp"
#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"

namespace ornel::py {

namespace {

// A C-contiguous, aligned array of `columns` columns (any, when 0) read in place;
// `refusal` says what was wanted.
PyArrayObject* rows_arg(const char* name, PyObject* object, int type_number, const char* shape, npy_intp columns,
                        Failure refusal) {
    PyArrayObject* array = convert(name, [&] { return array_arg(object, 2, type_number, shape); });
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array) || (columns && PyArray_DIM(array, 1) != columns))
        fail_input(refusal);
    return array;
}

PyObject* sheet_normals_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"points", "neighbours", "core"}, 3};
        auto bound = match<3>(parameters.of(nullptr, "sheet_normals"), args, nargs, kwnames);
        ensure_numpy();
        const bool single =
            PyArray_Check(bound[0]) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(bound[0])) == NPY_FLOAT32;
        PyArrayObject* points =
            rows_arg("points", bound[0], single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)", 3, Failure::points_not_rows);
        PyArrayObject* neighbours =
            rows_arg("neighbours", bound[1], NPY_UINT32, "(n, k)", 0, Failure::neighbours_not_rows);
        const std::uint64_t core = convert("core", [&] { return unsigned_arg(bound[2]); });
        const auto n = static_cast<std::size_t>(PyArray_DIM(points, 0));
        if (static_cast<std::size_t>(PyArray_DIM(neighbours, 0)) != n) fail_input(Failure::neighbours_per_point);
        const auto k = static_cast<std::size_t>(PyArray_DIM(neighbours, 1));
        const auto* rows = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(neighbours));
        Buffer<double> normals(3 * n);
        bool outside = false;
        {
            ReleasedGil released;
            outside = std::any_of(rows, rows + n * k, [n](std::uint32_t v) { return v >= n; });
            if (!outside) {
                if (single)
                    estimate_sheet_normals(contiguous_points<float>(points), rows, k, static_cast<std::size_t>(core),
                                           normals.data());
                else
                    estimate_sheet_normals(contiguous_points<double>(points), rows, k, static_cast<std::size_t>(core),
                                           normals.data());
            }
        }
        if (outside) fail_input(Failure::neighbour_outside_points);
        return to_numpy(std::move(normals), {static_cast<npy_intp>(n), 3}).release();
    });
}

PyObject* orient_normals_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"points", "normals", "neighbours"}, 3};
        auto bound = match<3>(parameters.of(nullptr, "orient_normals"), args, nargs, kwnames);
        ensure_numpy();
        const bool single =
            PyArray_Check(bound[0]) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(bound[0])) == NPY_FLOAT32;
        PyArrayObject* points =
            rows_arg("points", bound[0], single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)", 3, Failure::points_not_rows);
        PyArrayObject* given = rows_arg("normals", bound[1], NPY_FLOAT64, "(n, 3)", 3, Failure::normals_not_rows);
        PyArrayObject* neighbours =
            rows_arg("neighbours", bound[2], NPY_UINT32, "(n, k)", 0, Failure::neighbours_not_rows);
        const auto n = static_cast<std::size_t>(PyArray_DIM(points, 0));
        if (static_cast<std::size_t>(PyArray_DIM(given, 0)) != n ||
            static_cast<std::size_t>(PyArray_DIM(neighbours, 0)) != n)
            fail_input(Failure::normals_per_point);
        if (n >= no_component) fail_input(Failure::too_many_points_for_components);
        const auto k = static_cast<std::size_t>(PyArray_DIM(neighbours, 1));
        const auto* rows = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(neighbours));
        const auto* source = reinterpret_cast<const double*>(PyArray_DATA(given));
        Buffer<double> normals(3 * n);
        Buffer<std::uint32_t> component(n);
        bool outside = false;
        {
            ReleasedGil released;
            // The walk follows these indices without further checks.
            outside = std::any_of(rows, rows + n * k, [n](std::uint32_t v) { return v >= n; });
            std::copy(source, source + 3 * n, normals.data());
            if (!outside) {
                if (single)
                    orient_normals(contiguous_points<float>(points), rows, k, normals.data(), component.data());
                else
                    orient_normals(contiguous_points<double>(points), rows, k, normals.data(), component.data());
            }
        }
        if (outside) fail_input(Failure::neighbour_outside_points);
        return result_pair(to_numpy(std::move(normals), {static_cast<npy_intp>(n), 3}), to_numpy(std::move(component)));
    });
}

}  // namespace

PyMethodDef normal_orientation_functions[] = {
    {"sheet_normals", ORNEL_PYCFUNCTION(sheet_normals_entry), METH_FASTCALL | METH_KEYWORDS,
     "sheet_normals(points, neighbours, core)\n--\n\n"
     "Unit normals (n, 3) float64, not oriented, of the sheet each of `points`\n"
     "(float32 or float64, C-contiguous (n, 3)) lies on: the plane of its\n"
     "first `core` neighbours (rows of `neighbours`, C-contiguous uint32\n"
     "(n, k), nearest first) picks the row's points within half their radius\n"
     "of it, whose plane gives the normal; so the other side of a plate\n"
     "thinner than a row does not tilt it. Zero where no plane is spanned.\n"
     "Runs with the GIL released."},
    {"orient_normals", ORNEL_PYCFUNCTION(orient_normals_entry), METH_FASTCALL | METH_KEYWORDS,
     "orient_normals(points, normals, neighbours)\n--\n\n"
     "The normals (n, 3) float64, unit or zero, of `points` (float32 or\n"
     "float64, C-contiguous (n, 3)) flipped to agree over the graph of the\n"
     "rows of `neighbours` (C-contiguous uint32 (n, k)), followed both ways\n"
     "along a minimum spanning tree of 1 - |ni . nj|; across an edge within\n"
     "45 degrees of both its ends' nearly parallel normals (two facing sheets)\n"
     "both point away from the gap or both into it. Returns\n"
     "(oriented normals (n, 3) float64, component (n,) uint32 numbered from 0\n"
     "by lowest point, 2**32 - 1 for a zero normal); each component's first\n"
     "point keeps its sign. Runs with the GIL released."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ornel::py
