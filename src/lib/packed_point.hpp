// The packed point layout every search reads, and the bounding box.
//
// A `PackedPoint<S>` is one point as four lanes (x, y, z, 0) in a vector type
// the size of the record, so that one aligned load brings a point into a
// register (16 bytes for float, 32 for double) and a squared distance is one
// subtraction, one multiplication and a horizontal sum. The pad lane is zero in
// every packed point, so it adds nothing to any distance.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

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

// Four unsigned integers of the scalar's size: target indices beside the four
// distances of squared_distances, so that one comparison mask selects both.
template <class S>
struct IndexVectorOf;
template <>
struct IndexVectorOf<float> {
    typedef std::uint32_t type __attribute__((vector_size(16)));
};
template <>
struct IndexVectorOf<double> {
    typedef std::uint64_t type __attribute__((vector_size(32)));
};
template <class S>
using IndexLanes = typename IndexVectorOf<S>::type;

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

// Lanes i0..i3 of the eight lanes of a then b.
template <int i0, int i1, int i2, int i3, class S>
inline Lanes<S> shuffle_lanes(Lanes<S> a, Lanes<S> b) {
#if defined(__clang__)
    return __builtin_shufflevector(a, b, i0, i1, i2, i3);
#else
    typedef std::conditional_t<sizeof(S) == 4, std::int32_t, std::int64_t> Mask __attribute__((vector_size(4 * sizeof(S))));
    return __builtin_shuffle(a, b, Mask{i0, i1, i2, i3});
#endif
}

// Index lanes i0..i3 of v.
template <int i0, int i1, int i2, int i3, class S>
inline IndexLanes<S> shuffle_index_lanes(IndexLanes<S> v) {
#if defined(__clang__)
    return __builtin_shufflevector(v, v, i0, i1, i2, i3);
#else
    return __builtin_shuffle(v, IndexLanes<S>{i0, i1, i2, i3});
#endif
}

// squared_distance of four points to p at once: the lanes of the four
// differences are regrouped so that one vector holds every point's x, one its
// y, and so on; then each result is (x² + y²) + (z² + pad²), the very
// operations of squared_distance in the same order, four at a time.
template <class S>
inline Lanes<S> squared_distances(const PackedPoint<S>& a, const PackedPoint<S>& b, const PackedPoint<S>& c,
                                  const PackedPoint<S>& d, const PackedPoint<S>& p) {
    const Lanes<S> da = a.lanes - p.lanes;
    const Lanes<S> db = b.lanes - p.lanes;
    const Lanes<S> dc = c.lanes - p.lanes;
    const Lanes<S> dd = d.lanes - p.lanes;
    const Lanes<S> low_ab = shuffle_lanes<0, 4, 1, 5, S>(da, db);   // a0 b0 a1 b1
    const Lanes<S> low_cd = shuffle_lanes<0, 4, 1, 5, S>(dc, dd);   // c0 d0 c1 d1
    const Lanes<S> high_ab = shuffle_lanes<2, 6, 3, 7, S>(da, db);  // a2 b2 a3 b3
    const Lanes<S> high_cd = shuffle_lanes<2, 6, 3, 7, S>(dc, dd);  // c2 d2 c3 d3
    const Lanes<S> x = shuffle_lanes<0, 1, 4, 5, S>(low_ab, low_cd);
    const Lanes<S> y = shuffle_lanes<2, 3, 6, 7, S>(low_ab, low_cd);
    const Lanes<S> z = shuffle_lanes<0, 1, 4, 5, S>(high_ab, high_cd);
    const Lanes<S> w = shuffle_lanes<2, 3, 6, 7, S>(high_ab, high_cd);
    return (x * x + y * y) + (z * z + w * w);
}

// True when any lane of a comparison mask is set.
template <class Mask>
[[gnu::always_inline]] inline bool any_lane(const Mask& mask) {
    std::uint64_t words[sizeof(Mask) / 8];
    std::memcpy(words, &mask, sizeof words);
    std::uint64_t any = 0;
    for (std::uint64_t word : words) any |= word;
    return any != 0;
}

// One bit per lane of a comparison mask, lane i at bit i.
template <class S, class Mask>
[[gnu::always_inline]] inline std::uint32_t lane_bits(const Mask& mask) {
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (sizeof(S) == 4) {
        typedef float Four __attribute__((vector_size(16)));
        return static_cast<std::uint32_t>(__builtin_ia32_movmskps(std::bit_cast<Four>(mask)));
    } else {
        // In two 16-byte halves, which the baseline instruction set can test.
        typedef double Two __attribute__((vector_size(16)));
        Two low, high;
        std::memcpy(&low, &mask, sizeof low);
        std::memcpy(&high, reinterpret_cast<const char*>(&mask) + sizeof low, sizeof high);
        return static_cast<std::uint32_t>(__builtin_ia32_movmskpd(low) | (__builtin_ia32_movmskpd(high) << 2));
    }
#else
    std::uint32_t bits = 0;
    for (int lane = 0; lane < 4; ++lane) bits |= static_cast<std::uint32_t>(mask[lane] != 0) << lane;
    return bits;
#endif
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
