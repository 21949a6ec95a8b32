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
#include "normal_orientation_entry_points.hpp"

namespace ornel::py {

namespace {

[[noreturn]] void refuse_value(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PythonError{};
}

// A C-contiguous, aligned array of `columns` columns (any, when 0) read in place.
PyArrayObject* rows_arg(const char* name, PyObject* object, int type_number, const char* shape, npy_intp columns) {
    PyArrayObject* array = convert(name, [&] { return array_arg(object, 2, type_number, shape); });
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array) || (columns && PyArray_DIM(array, 1) != columns))
        refuse_value(std::string(name) + " must be a C-contiguous array of shape " + shape);
    return array;
}

template <class T>
std::size_t orient(PyArrayObject* points, std::size_t n, const std::uint32_t* rows, std::size_t k, double* normals,
                   std::uint32_t* component) {
    return orient_normals(reinterpret_cast<const T*>(PyArray_DATA(points)), n, rows, k, normals, component);
}

}  // namespace

PyObject* sheet_normals_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"points", "neighbours", "core"}, 3};
        auto bound = match<3>(parameters.of(nullptr, "sheet_normals"), args, nargs, kwnames);
        ensure_numpy();
        const bool single = PyArray_Check(bound[0]) &&
                            PyArray_TYPE(reinterpret_cast<PyArrayObject*>(bound[0])) == NPY_FLOAT32;
        PyArrayObject* points = rows_arg("points", bound[0], single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)", 3);
        PyArrayObject* neighbours = rows_arg("neighbours", bound[1], NPY_UINT32, "(n, k)", 0);
        const std::uint64_t core = convert("core", [&] { return unsigned_arg(bound[2]); });
        const auto n = static_cast<std::size_t>(PyArray_DIM(points, 0));
        if (static_cast<std::size_t>(PyArray_DIM(neighbours, 0)) != n)
            refuse_value("points and neighbours must have one row per point");
        const auto k = static_cast<std::size_t>(PyArray_DIM(neighbours, 1));
        const auto* rows = reinterpret_cast<const std::uint32_t*>(PyArray_DATA(neighbours));
        Buffer<double> normals(3 * n);
        bool outside = false;
        {
            ReleasedGil released;
            outside = std::any_of(rows, rows + n * k, [n](std::uint32_t v) { return v >= n; });
            if (!outside) {
                if (single)
                    estimate_sheet_normals(reinterpret_cast<const float*>(PyArray_DATA(points)), n, rows, k,
                                           static_cast<std::size_t>(core), normals.data());
                else
                    estimate_sheet_normals(reinterpret_cast<const double*>(PyArray_DATA(points)), n, rows, k,
                                           static_cast<std::size_t>(core), normals.data());
            }
        }
        if (outside) refuse_value("neighbours holds an index that is not a point");
        return to_numpy(std::move(normals), {static_cast<npy_intp>(n), 3}).release();
    });
}

PyObject* orient_normals_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"points", "normals", "neighbours"}, 3};
        auto bound = match<3>(parameters.of(nullptr, "orient_normals"), args, nargs, kwnames);
        ensure_numpy();
        const bool single = PyArray_Check(bound[0]) &&
                            PyArray_TYPE(reinterpret_cast<PyArrayObject*>(bound[0])) == NPY_FLOAT32;
        PyArrayObject* points = rows_arg("points", bound[0], single ? NPY_FLOAT32 : NPY_FLOAT64, "(n, 3)", 3);
        PyArrayObject* given = rows_arg("normals", bound[1], NPY_FLOAT64, "(n, 3)", 3);
        PyArrayObject* neighbours = rows_arg("neighbours", bound[2], NPY_UINT32, "(n, k)", 0);
        const auto n = static_cast<std::size_t>(PyArray_DIM(points, 0));
        if (static_cast<std::size_t>(PyArray_DIM(given, 0)) != n || static_cast<std::size_t>(PyArray_DIM(neighbours, 0)) != n)
            refuse_value("points, normals and neighbours must have one row per point");
        if (n >= no_component) refuse_value("too many points for uint32 components");
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
                if (single) orient<float>(points, n, rows, k, normals.data(), component.data());
                else orient<double>(points, n, rows, k, normals.data(), component.data());
            }
        }
        if (outside) refuse_value("neighbours holds an index that is not a point");
        return result_pair(to_numpy(std::move(normals), {static_cast<npy_intp>(n), 3}),
                           to_numpy(std::move(component)));
    });
}

}  // namespace ornel::py
