// Conversion of bound arguments by kind.
//
// Every converter either returns a typed view of the argument or raises the
// exception that CPython or this module's refusal message prescribe. Wrap each
// call in `convert(name, ...)`, which attaches the note "while processing
// '{name}'" to any failure. Arrays are never copied or cast: a view reads the
// caller's memory in place, through its strides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../../lib/csr.hpp"
#include "../../lib/packed_point.hpp"
#include "../../lib/search_bound.hpp"
#include "../../lib/strided.hpp"
#include "numpy_api.hpp"
#include "ref.hpp"
#include "runtime.hpp"

namespace ornel::py {

// A refusal whose exception is set, with what the converter expected and what
// it was given; `convert` adds that as a second note, after the parameter's.
struct Refusal : PythonError {
    std::string detail;
};

template <class Convert>
auto convert(const char* name, Convert&& conversion) -> decltype(conversion()) {
    try {
        return conversion();
    } catch (const Refusal& refusal) {
        add_note(std::string("while processing '") + name + "'");
        add_note(refusal.detail);
        throw;
    } catch (const PythonError&) {
        add_note(std::string("while processing '") + name + "'");
        throw;
    }
}

// "'{T}' object is not an instance of '{C}'" (or "'None' is not ..."), as TypeError.
[[noreturn]] void refuse_object(PyObject* object, const char* expected);

// An ndarray (or subclass) with exactly `ndim` dimensions whose element type is
// equivalent to `type_number` in native byte order; else the array refusal, a
// Refusal whose detail reads "expected a {dtype} array of shape {shape}{also};
// got {dtype} with shape {shape}" (or "got {type}" for anything not an array).
PyArrayObject* array_arg(PyObject* object, int ndim, int type_number, const char* shape, const char* also = "");

// When `columns` is below `needed` for a non-empty array that passed
// conversion, the core refuses it later (Failure::too_few_columns); that
// failure then carries the notes naming the parameter and saying what was
// expected and given.
void expect_too_few_columns(const char* name, PyObject* array, std::size_t rows, std::size_t columns,
                            std::size_t needed, const char* shape);

template <class S>
constexpr int numpy_type_number() {
    if constexpr (sizeof(S) == 4)
        return NPY_FLOAT32;
    else
        return NPY_FLOAT64;
}

// The points of a C-contiguous, aligned (n, 3) array of S that contiguous_arg
// has accepted.
template <class S>
ContiguousPoints<S> contiguous_points(PyArrayObject* array) {
    return {reinterpret_cast<const S*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_DIM(array, 0))};
}

template <class S>
PointsView<S> points_arg(PyObject* object) {
    PyArrayObject* array = array_arg(object, 2, numpy_type_number<S>(), "(n, 3)");
    return {PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)),
            static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1)};
}

// A point array parameter: converted under its name, and a too narrow one
// announced for the packing fault it will meet.
template <class S>
PointsView<S> points_param(const char* name, PyObject* object) {
    PointsView<S> view = convert(name, [&] { return points_arg<S>(object); });
    expect_too_few_columns(name, object, view.rows, view.columns, 3, "(n, 3)");
    return view;
}

// A 1-D uint32 array that a converter has accepted, read in place.
CsrArray csr_view(PyArrayObject* array);

CsrArray csr_arg(PyObject* object);

// A cloud given as three arguments (points, indptr, indices), converted in
// that order under their parameter names; packed later, with the lock released.
template <class S>
struct CloudArgs {
    PointsView<S> points;
    CsrArray indptr;
    CsrArray indices;
};

template <class S>
CloudArgs<S> cloud_args(PyObject* const* bound, const char* points_name, const char* indptr_name,
                        const char* indices_name) {
    auto points = points_param<S>(points_name, bound[0]);
    auto indptr = convert(indptr_name, [&] { return csr_arg(bound[1]); });
    auto indices = convert(indices_name, [&] { return csr_arg(bound[2]); });
    return {points, indptr, indices};
}

// The tetrahedra of `graph_from_simplices`: a 2-D uint64 array, any strides.
Strided<std::uint64_t, 2> simplices_arg(PyObject* object);

// An int or an object with __index__, whose value fits in 64 bits unsigned.
std::uint64_t unsigned_arg(PyObject* object);

// A thread count, the one rule of every entry point that takes one: None (or
// absent) for the cores this process may run on; else an int (or __index__)
// of at least 1, anything lower being ValueError "threads must be at least 1,
// not {value}". Counts beyond what the work can share are harmless: a loop
// never runs more parts than it has items for (parallel_loop.hpp).
std::size_t threads_arg(PyObject* object);

// Anything CPython turns into a float.
double float_arg(PyObject* object);

// Whether `object` is an ndarray of float32 elements (else it is read as float64).
bool is_float32_array(PyObject* object);

// An array as array_arg requires it, and also C-contiguous and aligned (with 3
// columns when 2-D), for cores that read it row after row in place; else a
// Refusal, ValueError "expected a C-contiguous array of shape {shape}".
PyArrayObject* contiguous_arg(PyObject* object, int ndim, int type_number, const char* shape);

// None (or absent) is no bound; anything CPython turns into a float is one.
std::optional<double> distance_arg(PyObject* object);

// The search bound of a converted `distance_upper_bound`, rounded to S.
template <class S>
std::optional<SearchBound<S>> make_bound(const std::optional<double>& distance, const BoundingBox<S>& target_box,
                                         std::optional<BoundingBox<S>> query_box) {
    if (!distance) return std::nullopt;
    return SearchBound<S>{target_box, static_cast<S>(*distance), query_box};
}

// Runs build(view) on the points of `object` (a float32 or float64 array, any
// strides; converted under `name`) with the lock released.
template <class Build>
auto with_points(const char* name, PyObject* object, Build&& build) {
    auto run = [&](auto view) {
        ReleasedGil released;
        return build(view);
    };
    if (convert(name, [&] { return is_float32_array(object); }))
        return run(convert(name, [&] { return points_arg<float>(object); }));
    return run(convert(name, [&] { return points_arg<double>(object); }));
}

// True/False or a NumPy boolean scalar; an int is refused.
bool flag_arg(PyObject* object);

// An instance of `type` (or a subclass); else the object refusal naming it.
PyObject* instance_arg(PyObject* object, PyTypeObject* type);

// A one-dimensional int64 permutation array as it was given, any stride.
// The reference keeps the array alive while the lock is released.
struct PermArg {
    Ref array;
    Strided<std::int64_t> values;
};

// None is no permutation; else an ndarray of exactly one dimension and int64
// elements, or the array refusal.
std::optional<PermArg> perm_arg(PyObject* object);

// The contiguous view the core reads; a strided array fails with `strided`
// (PanicException).
std::optional<Strided<std::int64_t>> contiguous_perm(const std::optional<PermArg>& perm, Failure strided);

// The items of a sequence (an instance of collections.abc.Sequence), each held
// by a new reference, so that the caller's sequence may change meanwhile. A
// str is refused with "Can't extract `str` to `Vec`", anything else that is
// not a sequence with the object refusal naming 'Sequence'.
std::vector<Ref> sequence_items(PyObject* object);

}  // namespace ornel::py
