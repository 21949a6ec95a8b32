// A caller's array read in place through its byte strides.
//
// NumPy arrays arrive with any strides (of any sign), in any byte order of
// rows and columns, and unaligned; the core reads them where they are, one
// element at a time with memcpy, instead of copying them. `Strided<T>` is a
// one-dimensional array (CSR arrays, permutations), `Strided<T, 2>` a table
// (point coordinates, tetrahedra). Reads are unchecked unless named so.
//
// `PointSource` is what every search asks of a cloud's points: how many rows,
// and coordinate `axis` (0, 1 or 2) of a row. A caller's array read in place
// through its strides (`PointsView`) is one; the same array known to be
// C-contiguous with three columns (`ContiguousPoints`, which saves the
// strides' multiplications in inner loops) is another, and so are the packed
// points a prepared cloud owns (`PackedPoints`, operand.hpp).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "buffer.hpp"
#include "failure.hpp"

namespace ornel {

namespace detail {
template <class T>
inline T load(const char* data, std::ptrdiff_t offset) {
    T value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}
}  // namespace detail

template <class T, int rank = 1>
struct Strided;

template <class T>
struct Strided<T, 1> {
    const char* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = sizeof(T);  // bytes

    static Strided of(const Buffer<T>& buffer) {
        return {reinterpret_cast<const char*>(buffer.data()), buffer.size(), sizeof(T)};
    }

    // Unchecked: callers have checked i < len.
    T operator[](std::size_t i) const { return detail::load<T>(data, static_cast<std::ptrdiff_t>(i) * stride); }
    T checked_at(std::size_t i) const {
        check_index(i, len);
        return (*this)[i];
    }
    bool contiguous() const { return len < 2 || stride == static_cast<std::ptrdiff_t>(sizeof(T)); }
};

template <class T>
struct Strided<T, 2> {
    using value_type = T;

    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::ptrdiff_t row_stride = 0;     // bytes
    std::ptrdiff_t column_stride = 0;  // bytes

    // Unchecked: callers have checked row < rows and column < columns.
    T at(std::size_t row, std::size_t column) const {
        return detail::load<T>(
            data, static_cast<std::ptrdiff_t>(row) * row_stride + static_cast<std::ptrdiff_t>(column) * column_stride);
    }
    std::size_t size() const { return rows; }
};

template <class P>
concept PointSource = requires(const P& points, std::size_t row, std::size_t axis) {
    typename P::value_type;
    { points.size() } -> std::same_as<std::size_t>;
    { points.at(row, axis) } -> std::same_as<typename P::value_type>;
};

// A cloud's coordinates as given: (rows, columns) of S, the first three
// columns read; callers check that there are three.
template <class S>
using PointsView = Strided<S, 2>;

// A C-contiguous (n, 3) array of S, aligned: what a converter that requires
// contiguous points hands on.
template <class S>
struct ContiguousPoints {
    using value_type = S;

    const S* data = nullptr;
    std::size_t rows = 0;

    S at(std::size_t row, std::size_t axis) const { return (data + 3 * row)[axis]; }
    std::size_t size() const { return rows; }
};

static_assert(PointSource<PointsView<float>> && PointSource<PointsView<double>>);
static_assert(PointSource<ContiguousPoints<float>> && PointSource<ContiguousPoints<double>>);

// Coordinate `axis` of row `row` in double, exactly (both precisions widen
// without rounding).
template <PointSource P>
inline double coordinate(const P& points, std::size_t row, std::size_t axis) {
    return static_cast<double>(points.at(row, axis));
}

}  // namespace ornel
