// A caller's array read in place through its byte strides.
//
// NumPy arrays arrive with any strides (of any sign), in any byte order of
// rows and columns, and unaligned; the core reads them where they are, one
// element at a time with memcpy, instead of copying them. `Strided<T>` is a
// one-dimensional array (CSR arrays, permutations), `Strided<T, 2>` a table
// (point coordinates, tetrahedra). Reads are unchecked unless named so.
#pragma once

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
};

// A cloud's coordinates as given: (rows, columns) of S, the first three
// columns read.
template <class S>
using PointsView = Strided<S, 2>;

}  // namespace ornel
