// The packed point layout every search reads, and the bounding box.
//
// A `PackedPoint<S>` is one point as four lanes (x, y, z, 0) in a vector type
// the size of the record, so that one aligned load brings a point into a
// register (16 bytes for float, 32 for double) and a squared distance is one
// subtraction, one multiplication and a horizontal sum. The pad lane is zero in
// every packed point, so it adds nothing to any distance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "buffer.hpp"
#include "failure.hpp"

namespace ornel {

template <class S>
struct VectorOf;
template <>
struct VectorOf<float> {
    typedef float type __attribute__((vector_size(16)));
};
template <>
struct VectorOf<double> {
    typedef double type __attribute__((vector_size(32)));
};
template <class S>
using Lanes = typename VectorOf<S>::type;

template <class S>
struct alignas(4 * sizeof(S)) PackedPoint {
    Lanes<S> lanes;

    S operator[](int lane) const { return lanes[lane]; }
};
static_assert(sizeof(PackedPoint<float>) == 16 && alignof(PackedPoint<float>) == 16);
static_assert(sizeof(PackedPoint<double>) == 32 && alignof(PackedPoint<double>) == 32);

// Sum of the four lanes as (l0 + l1) + (l2 + l3). With the pad lane at zero this
// is (dx² + dy²) + dz² exactly; the grouping decides ties between equal-looking
// distances, so every search uses this one function.
template <class S>
inline S horizontal_sum(Lanes<S> v) {
    return (v[0] + v[1]) + (v[2] + v[3]);
}

template <class S>
inline S squared_distance(const PackedPoint<S>& a, const PackedPoint<S>& b) {
    Lanes<S> d = a.lanes - b.lanes;
    return horizontal_sum<S>(d * d);
}

// Minimum and maximum that pass over NaN: a NaN operand yields the other one.
template <class S>
inline S min_ignoring_nan(S running, S value) {
    if (running != running) return value;
    return value < running ? value : running;
}
template <class S>
inline S max_ignoring_nan(S running, S value) {
    if (running != running) return value;
    return value > running ? value : running;
}

template <class S>
struct BoundingBox {
    PackedPoint<S> lo;
    PackedPoint<S> hi;
};

// Lane-wise extent of a packed cloud, pad lane included, NaN coordinates passed
// over. An empty cloud gives lo = +inf and hi = -inf in every lane.
template <class S>
BoundingBox<S> bounding_box(const PackedPoint<S>* points, std::size_t count) {
    constexpr S inf = std::numeric_limits<S>::infinity();
    if (count == 0) return {PackedPoint<S>{Lanes<S>{inf, inf, inf, inf}}, PackedPoint<S>{Lanes<S>{-inf, -inf, -inf, -inf}}};
    BoundingBox<S> box{points[0], points[0]};
    for (std::size_t i = 1; i < count; ++i) {
        for (int lane = 0; lane < 4; ++lane) {
            box.lo.lanes[lane] = min_ignoring_nan(box.lo.lanes[lane], points[i].lanes[lane]);
            box.hi.lanes[lane] = max_ignoring_nan(box.hi.lanes[lane], points[i].lanes[lane]);
        }
    }
    return box;
}

// A caller's (rows, columns) array of S, read element by element through byte
// strides (any sign), so views, Fortran order and unaligned data all work.
template <class S>
struct PointsView {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::ptrdiff_t row_stride = 0;     // bytes
    std::ptrdiff_t column_stride = 0;  // bytes

    S at(std::size_t row, std::size_t column) const {
        S value;
        std::memcpy(&value,
                    data + static_cast<std::ptrdiff_t>(row) * row_stride +
                        static_cast<std::ptrdiff_t>(column) * column_stride,
                    sizeof value);
        return value;
    }
};

// Packs the first three columns of every row; columns beyond the third are not
// read. A non-empty array with fewer than three columns is refused.
template <class S>
Buffer<PackedPoint<S>> pack(const PointsView<S>& view) {
    Buffer<PackedPoint<S>> packed(view.rows);
    if (view.rows > 0 && view.columns < 3) fail_index(view.columns, view.columns);
    for (std::size_t i = 0; i < view.rows; ++i)
        packed[i].lanes = Lanes<S>{view.at(i, 0), view.at(i, 1), view.at(i, 2), S(0)};
    return packed;
}

}  // namespace ornel
