// Neighbourhood graphs in compressed sparse row (CSR) form, as every search,
// the graph builder and the bindings name them.
//
// A graph of n vertices is two uint32 arrays: `indptr`, n + 1 non-decreasing
// offsets, and `indices`, the neighbour list; the neighbours of vertex v are
// indices[indptr[v] .. indptr[v + 1]). `CsrGraph` owns the two arrays (a
// built or copied graph); a caller's arrays are read in place as `CsrArray`s.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "buffer.hpp"
#include "failure.hpp"
#include "strided.hpp"

namespace ornel {

using CsrArray = Strided<std::uint32_t>;

struct CsrGraph {
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> indices;
};

// A CSR row as a half-open range of positions in the neighbour list.
struct RowRange {
    std::uint64_t begin;
    std::uint64_t end;
};

// Row `vertex` of a graph, every read checked: indptr must reach vertex + 1
// and the range must be ordered and lie inside the neighbour list.
inline RowRange checked_row(const CsrArray& indptr, const CsrArray& indices, std::uint64_t vertex) {
    std::uint64_t begin = indptr.checked_at(vertex);
    std::uint64_t end = indptr.checked_at(vertex + 1);
    check_slice(begin, end, indices.len);
    return {begin, end};
}

// The entries of an array known to be contiguous and aligned (a converter
// checked both, or is_well_formed did), as a plain array: a read then costs no
// multiplication by the stride.
inline const std::uint32_t* contiguous_entries(const CsrArray& array) {
    return reinterpret_cast<const std::uint32_t*>(array.data);
}

// Searches that read a graph as plain arrays need both contiguous.
inline void require_contiguous_csr(const CsrArray& indptr, const CsrArray& indices) {
    if (!indptr.contiguous()) fail(Failure::strided_csr_indptr);
    if (!indices.contiguous()) fail(Failure::strided_csr_indices);
}

// The vertex where searches of a target start: 0, unless vertex 0's row is
// empty, then the lowest-numbered vertex whose row holds something. Qhull
// leaves one copy of a duplicated point out of the tetrahedralisation; when
// that copy is point 0, a start there would trap every descent on it. Offsets
// that decrease before such a row make the graph malformed, and then the
// start stays 0, as it does for a malformed or missing row 0, so that the
// searches report the fault they always did.
inline std::uint32_t start_vertex(const CsrArray& indptr, std::uint64_t n_points) {
    if (indptr.len < 2 || indptr[0] != indptr[1]) return 0;
    const std::uint64_t rows = std::min<std::uint64_t>({n_points, indptr.len - 1, UINT32_MAX});
    for (std::uint64_t v = 1; v < rows; ++v) {
        if (indptr[v] > indptr[v + 1]) return 0;
        if (indptr[v] < indptr[v + 1]) return static_cast<std::uint32_t>(v);
    }
    return 0;
}

// True for a graph of n >= 1 points whose offsets cover every point in order
// inside the neighbour list and whose every neighbour-list entry is below n,
// held in contiguous, aligned arrays: searches then read it as plain uint32
// arrays without checks. Vertices are 32-bit, so n may not exceed 2^32.
inline bool is_well_formed(std::uint64_t n, const CsrArray& indptr, const CsrArray& indices) {
    if (n == 0 || n - 1 > std::numeric_limits<std::uint32_t>::max() || indptr.len <= n) return false;
    for (const CsrArray& array : {indptr, indices})
        if (!array.contiguous() || reinterpret_cast<std::uintptr_t>(array.data) % alignof(std::uint32_t) != 0)
            return false;
    const std::uint32_t* offsets = contiguous_entries(indptr);
    for (std::uint64_t v = 0; v < n; ++v)
        if (offsets[v] > offsets[v + 1]) return false;
    if (offsets[n] > indices.len) return false;
    const std::uint32_t* neighbours = contiguous_entries(indices);
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < indices.len; ++i) largest = std::max(largest, neighbours[i]);
    return indices.len == 0 || largest < n;
}

}  // namespace ornel
