// What a search reads of a cloud, and the two objects that provide it.
//
// A `GraphOperand` is the one view every search takes of a cloud: its packed
// points and its CSR graph, read in place, plus what is known of the graph.
// Two owners hand one out with `operand()`: a `PackedCloud` packs a caller's
// points for the duration of one call and reads the caller's CSR arrays where
// they are; a `PreparedGraph` owns packed points, a contiguous copy of the
// graph and the bounding box, and never changes after it is built (bar the
// pool of visit stamps it lends to searches and the seeding order it keeps as
// a query cloud, each behind its own lock). Both read a caller's points as a
// `PointsView` and its graph as `CsrArray`s, the one vocabulary of every
// search (strided.hpp, csr.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "buffer.hpp"
#include "csr.hpp"
#include "packed_point.hpp"
#include "seeding_order.hpp"
#include "strided.hpp"
#include "visit_stamps.hpp"

namespace ornel {

// Packed points read as a point source, pad lane left out.
template <class S>
struct PackedPoints {
    using value_type = S;

    const PackedPoint<S>* data = nullptr;
    std::size_t rows = 0;

    S at(std::size_t row, std::size_t axis) const { return data[row][static_cast<int>(axis)]; }
    std::size_t size() const { return rows; }
};

static_assert(PointSource<PackedPoints<float>> && PointSource<PackedPoints<double>>);

// The points of any source as a fresh row-major (n, 3) array.
template <PointSource P>
Buffer<typename P::value_type> row_major(const P& points) {
    Buffer<typename P::value_type> out(points.size() * 3);
    for (std::size_t i = 0; i < points.size(); ++i)
        for (std::size_t axis = 0; axis < 3; ++axis) out[3 * i + axis] = points.at(i, axis);
    return out;
}

template <class S>
struct GraphOperand {
    const PackedPoint<S>* points = nullptr;
    std::size_t n_points = 0;
    CsrArray indptr;
    CsrArray indices;
    std::uint32_t start = 0;  // start_vertex of the graph, where searches of it begin
    // Set only for a graph known, once and for all, to be well formed
    // (is_well_formed): searches then read it unchecked.
    bool well_formed = false;
    StampPool* stamp_pool = nullptr;             // where searches borrow visit stamps, if anywhere
    SeedingOrderCache* seeding_cache = nullptr;  // where the graph keeps its seeding order, if anywhere
};

// A cloud packed for the duration of one call, with the caller's CSR arrays.
// A cloud to be searched (`as_target`) has its graph checked once, like a
// prepared one, so that a well-formed graph is searched without checks.
template <class S>
struct PackedCloud {
    PackedCloud(const PointsView<S>& given_points, const CsrArray& given_indptr, const CsrArray& given_indices,
                bool as_target = false)
        : points(pack(given_points)),
          indptr(given_indptr),
          indices(given_indices),
          start(start_vertex(indptr, points.size())),
          well_formed(as_target && is_well_formed(points.size(), indptr, indices)) {}

    GraphOperand<S> operand() const { return {points.data(), points.size(), indptr, indices, start, well_formed}; }

    Buffer<PackedPoint<S>> points;
    CsrArray indptr;
    CsrArray indices;
    std::uint32_t start;
    bool well_formed;
};

template <class S>
struct PreparedGraph {
    Buffer<PackedPoint<S>> points;
    CsrGraph graph;
    BoundingBox<S> box;
    std::uint32_t start = 0;  // start_vertex, computed once
    bool well_formed = false;
    std::unique_ptr<StampPool> stamp_pool = std::make_unique<StampPool>();
    std::unique_ptr<SeedingOrderCache> seeding_cache = std::make_unique<SeedingOrderCache>();

    // Packs the points and copies both CSR arrays into contiguous storage.
    // Nothing about the graph is checked here; a search checks what it reads.
    static PreparedGraph build(const PointsView<S>& points, const CsrArray& indptr, const CsrArray& indices) {
        PreparedGraph prepared;
        prepared.points = pack(points);
        prepared.box = bounding_box(prepared.points.data(), prepared.points.size());
        prepared.graph = {copy(indptr), copy(indices)};
        prepared.start = start_vertex(prepared.indptr(), prepared.points.size());
        prepared.well_formed = is_well_formed(prepared.points.size(), prepared.indptr(), prepared.indices());
        return prepared;
    }

    CsrArray indptr() const { return CsrArray::of(graph.indptr); }
    CsrArray indices() const { return CsrArray::of(graph.indices); }

    GraphOperand<S> operand() const {
        return {points.data(), points.size(), indptr(),         indices(),
                start,         well_formed,   stamp_pool.get(), seeding_cache.get()};
    }

    // The points as a fresh row-major (n, 3) array, pad lane dropped.
    Buffer<S> data() const { return row_major(PackedPoints<S>{points.data(), points.size()}); }

private:
    static Buffer<std::uint32_t> copy(const CsrArray& array) {
        Buffer<std::uint32_t> out(array.len);
        for (std::size_t i = 0; i < array.len; ++i) out[i] = array[i];
        return out;
    }
};

}  // namespace ornel
