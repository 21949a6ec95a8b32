// The packed point layout every search reads, and the bounding box.
//
// A `PackedPoint<S>` is one point as four lanes (x, y, z, 0) in a vector type
// the size of the record, so that one aligned load brings a point into a
// register (16 bytes for float, 32 for double) and a squared distance is one
// subtraction, one multiplication and a horizontal sum. The pad lane is zero in
// every packed point, so it adds nothing to any distance.
#pragma once

#include <cstddef>
#include <limits>

#include "buffer.hpp"
#include "failure.hpp"
#include "lanes.hpp"
#include "strided.hpp"

namespace ornel {

template <class S>
struct alignas(4 * sizeof(S)) PackedPoint {
    Lanes<S> lanes;

    S operator[](int lane) const { return lanes[lane]; }
};
static_assert(sizeof(PackedPoint<float>) == 16 && alignof(PackedPoint<float>) == 16);
static_assert(sizeof(PackedPoint<double>) == 32 && alignof(PackedPoint<double>) == 32);

template <class S>
inline S squared_distance(const PackedPoint<S>& a, const PackedPoint<S>& b) {
    Lanes<S> d = a.lanes - b.lanes;
    return horizontal_sum<S>(d * d);
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
    if (count == 0)
        return {PackedPoint<S>{Lanes<S>{inf, inf, inf, inf}}, PackedPoint<S>{Lanes<S>{-inf, -inf, -inf, -inf}}};
    BoundingBox<S> box{points[0], points[0]};
    for (std::size_t i = 1; i < count; ++i) {
        for (int lane = 0; lane < 4; ++lane) {
            box.lo.lanes[lane] = min_ignoring_nan(box.lo.lanes[lane], points[i].lanes[lane]);
            box.hi.lanes[lane] = max_ignoring_nan(box.hi.lanes[lane], points[i].lanes[lane]);
        }
    }
    return box;
}

// Packs the first three columns of every row; columns beyond the third are not
// read. A non-empty array with fewer than three columns is refused.
template <class S>
Buffer<PackedPoint<S>> pack(const PointsView<S>& view) {
    Buffer<PackedPoint<S>> packed(view.rows);
    if (view.rows > 0 && view.columns < 3) fail(Failure::too_few_columns, view.columns);
    for (std::size_t i = 0; i < view.rows; ++i)
        packed[i].lanes = Lanes<S>{view.at(i, 0), view.at(i, 1), view.at(i, 2), S(0)};
    return packed;
}

}  // namespace ornel
