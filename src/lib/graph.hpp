// Neighbourhood graphs as the searches see them.
//
// A graph is CSR: an offsets array (n + 1 non-decreasing entries) and a
// neighbour list; the neighbours of point i are neighbours[offsets[i] ..
// offsets[i + 1]). `U32View` reads a caller's uint32 array in place through its
// byte stride. A `GraphOperand` bundles packed points with the two views; a
// `PreparedGraph` owns packed points, contiguous CSR copies and the bounding
// box, and never changes after it is built (bar the pool of visit stamps it
// lends to searches and the seeding order it keeps as a query cloud, each
// behind its own lock).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>

#include "buffer.hpp"
#include "failure.hpp"
#include "packed_point.hpp"
#include "seeding_order.hpp"
#include "visit_stamps.hpp"

namespace ornel {

struct U32View {
    const char* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = sizeof(std::uint32_t);  // bytes

    static U32View of(const Buffer<std::uint32_t>& buffer) {
        return {reinterpret_cast<const char*>(buffer.data()), buffer.size(), sizeof(std::uint32_t)};
    }

    // Unchecked: callers have checked i < len.
    std::uint32_t operator[](std::size_t i) const {
        std::uint32_t value;
        std::memcpy(&value, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
        return value;
    }
    std::uint32_t at(std::size_t i) const {
        check_index(i, len);
        return (*this)[i];
    }
    bool contiguous() const { return len < 2 || stride == static_cast<std::ptrdiff_t>(sizeof(std::uint32_t)); }
};

// A CSR row as a half-open range of positions in the neighbour list.
struct RowRange {
    std::uint64_t begin;
    std::uint64_t end;
};

// Row `vertex` of a graph, every read checked: the offsets must reach
// vertex + 1 and the range must be ordered and lie inside the neighbour list.
inline RowRange checked_row(const U32View& offsets, const U32View& neighbours, std::uint64_t vertex) {
    std::uint64_t begin = offsets.at(vertex);
    std::uint64_t end = offsets.at(vertex + 1);
    check_slice(begin, end, neighbours.len);
    return {begin, end};
}

// The vertex where searches of a target start: 0, unless vertex 0's row is
// empty, then the lowest-numbered vertex whose row holds something. Qhull
// leaves one copy of a duplicated point out of the tetrahedralisation; when
// that copy is point 0, a start there would trap every descent on it. Offsets
// that decrease before such a row make the graph malformed, and then the
// start stays 0, as it does for a malformed or missing row 0, so that the
// searches report the fault they always did.
inline std::uint32_t start_vertex(const U32View& offsets, std::uint64_t n_points) {
    if (offsets.len < 2 || offsets[0] != offsets[1]) return 0;
    const std::uint64_t rows = std::min<std::uint64_t>({n_points, offsets.len - 1, UINT32_MAX});
    for (std::uint64_t v = 1; v < rows; ++v) {
        if (offsets[v] > offsets[v + 1]) return 0;
        if (offsets[v] < offsets[v + 1]) return static_cast<std::uint32_t>(v);
    }
    return 0;
}

template <class S>
struct GraphOperand {
    const PackedPoint<S>* points = nullptr;
    std::size_t n_points = 0;
    U32View offsets;
    U32View neighbours;
    std::uint32_t start = 0;  // start_vertex of the graph, where searches of it begin
    // Set only for a graph known, once and for all, to have n >= 1 points,
    // offsets that cover every point in order inside the neighbour list, and
    // every neighbour-list entry below n: searches then read it unchecked.
    bool well_formed = false;
    StampPool* stamp_pool = nullptr;  // where searches borrow visit stamps, if anywhere
    SeedingOrderCache* seeding_cache = nullptr;  // where the graph keeps its seeding order, if anywhere
};

// True for the graphs that GraphOperand::well_formed describes, held in
// contiguous, aligned arrays (searches then read them as plain uint32 arrays).
// Vertices are 32-bit, so n may not exceed 2^32.
inline bool is_well_formed(std::uint64_t n, const U32View& indptr, const U32View& indices) {
    if (n == 0 || n - 1 > std::numeric_limits<std::uint32_t>::max() || indptr.len <= n) return false;
    for (const U32View& view : {indptr, indices})
        if (!view.contiguous() || reinterpret_cast<std::uintptr_t>(view.data) % alignof(std::uint32_t) != 0)
            return false;
    const auto* offsets = reinterpret_cast<const std::uint32_t*>(indptr.data);
    for (std::uint64_t v = 0; v < n; ++v)
        if (offsets[v] > offsets[v + 1]) return false;
    if (offsets[n] > indices.len) return false;
    const auto* neighbours = reinterpret_cast<const std::uint32_t*>(indices.data);
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < indices.len; ++i) largest = std::max(largest, neighbours[i]);
    return indices.len == 0 || largest < n;
}

// A caller's cloud as given: points read through their strides and the two
// CSR arrays, read in place.
template <class S>
struct CloudView {
    PointsView<S> points;
    U32View offsets;
    U32View neighbours;
};

// A cloud packed for the duration of one call, with the caller's CSR arrays.
// A cloud to be searched (`as_target`) has its graph checked once, like a
// prepared one, so that a well-formed graph is searched without checks.
template <class S>
struct PackedCloud {
    explicit PackedCloud(const CloudView<S>& cloud, bool as_target = false)
        : points(pack(cloud.points)),
          offsets(cloud.offsets),
          neighbours(cloud.neighbours),
          start(start_vertex(cloud.offsets, points.size())),
          well_formed(as_target && is_well_formed(points.size(), offsets, neighbours)) {}

    GraphOperand<S> operand() const {
        return {points.data(), points.size(), offsets, neighbours, start, well_formed};
    }

    Buffer<PackedPoint<S>> points;
    U32View offsets;
    U32View neighbours;
    std::uint32_t start;
    bool well_formed;
};

template <class S>
struct PreparedGraph {
    PackedPoint<S> bbox_lo;
    PackedPoint<S> bbox_hi;
    std::uint64_t n = 0;
    Buffer<PackedPoint<S>> points;
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> indices;
    std::uint32_t start = 0;  // start_vertex, computed once
    bool well_formed = false;
    std::unique_ptr<StampPool> stamp_pool = std::make_unique<StampPool>();
    std::unique_ptr<SeedingOrderCache> seeding_cache = std::make_unique<SeedingOrderCache>();

    // Packs the points and copies both CSR arrays into contiguous storage.
    // Nothing about the graph is checked here; a search checks what it reads.
    static PreparedGraph build(const PointsView<S>& points, const U32View& indptr, const U32View& indices) {
        PreparedGraph graph;
        graph.points = pack(points);
        graph.n = points.rows;
        BoundingBox<S> box = bounding_box(graph.points.data(), graph.points.size());
        graph.bbox_lo = box.lo;
        graph.bbox_hi = box.hi;
        graph.indptr = copy(indptr);
        graph.indices = copy(indices);
        graph.start = start_vertex(U32View::of(graph.indptr), graph.points.size());
        graph.well_formed = is_well_formed(graph.n, U32View::of(graph.indptr), U32View::of(graph.indices));
        return graph;
    }

    BoundingBox<S> box() const { return {bbox_lo, bbox_hi}; }

    GraphOperand<S> as_operand() const {
        return {points.data(), points.size(), U32View::of(indptr), U32View::of(indices), start, well_formed,
                stamp_pool.get(), seeding_cache.get()};
    }

    // The points as a fresh row-major (n, 3) array, pad lane dropped.
    Buffer<S> data() const {
        Buffer<S> out(points.size() * 3);
        for (std::size_t i = 0; i < points.size(); ++i)
            for (int lane = 0; lane < 3; ++lane) out[3 * i + lane] = points[i][lane];
        return out;
    }

private:
    static Buffer<std::uint32_t> copy(const U32View& view) {
        Buffer<std::uint32_t> out(view.len);
        for (std::size_t i = 0; i < view.len; ++i) out[i] = view[i];
        return out;
    }
};

}  // namespace ornel
