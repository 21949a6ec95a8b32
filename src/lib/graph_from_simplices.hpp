// The neighbourhood graph of a tetrahedralisation, built from its tetrahedra.
//
// `graph_from_simplices` turns rows of four vertex ids into the CSR pair
// (indptr, indices) that the searches walk: row v lists, ascending and once
// each, every vertex that shares a tetrahedron with v. A tetrahedron that
// repeats a vertex makes that vertex its own neighbour (a self-loop).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "failure.hpp"

namespace ornel {

// A caller's two-dimensional uint64 array, read in place through its byte
// strides (any sign, any alignment).
struct SimplexView {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::ptrdiff_t row_stride = 0;     // bytes
    std::ptrdiff_t column_stride = 0;  // bytes

    // Unchecked: callers have checked r < rows and c < columns. memcpy because
    // a view of a byte buffer need not be aligned.
    std::uint64_t operator()(std::size_t r, std::size_t c) const {
        std::uint64_t value;
        std::memcpy(&value,
                    data + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * column_stride,
                    sizeof value);
        return value;
    }
};

struct SimplexGraph {
    Buffer<std::uint32_t> indptr;
    Buffer<std::uint32_t> indices;
};

namespace simplex_detail {

inline constexpr std::uint64_t u32_limit = 0xFFFFFFFFu;

// Raw entries are gathered in ranges of vertices whose entries fill at most
// this share of all of them, so the scratch stays a fraction of the raw size.
inline constexpr std::uint64_t range_share = 8;
// Below this many raw entries the whole build is one range.
inline constexpr std::uint64_t min_scratch = std::uint64_t{1} << 16;
// Lists longer than this are deduplicated by sorting instead of hashing.
inline constexpr std::size_t hash_slots = 4096;

[[noreturn]] inline void fail_changed() { fail("graph_from_simplices: simplices changed while being read"); }

struct Tetrahedron {
    std::uint32_t w0, w1, w2, w3;  // ascending, repeats kept
};

inline void order(std::uint32_t& a, std::uint32_t& b) {
    // Branch-free: the comparisons of a sorting network are unpredictable.
    const std::uint32_t swap = (0u - static_cast<std::uint32_t>(b < a)) & (a ^ b);
    a ^= swap;
    b ^= swap;
}

// Four ids below 2^32, in ascending order.
inline Tetrahedron sorted_ids(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3) {
    Tetrahedron t{static_cast<std::uint32_t>(v0), static_cast<std::uint32_t>(v1), static_cast<std::uint32_t>(v2),
                  static_cast<std::uint32_t>(v3)};
    order(t.w0, t.w1);
    order(t.w2, t.w3);
    order(t.w0, t.w2);
    order(t.w1, t.w3);
    order(t.w1, t.w2);
    return t;
}

inline std::uint64_t largest(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3) {
    return std::max(std::max(v0, v1), std::max(v2, v3));
}

// Row r's ids in ascending order, for the passes after validation: a row that
// has changed since then fails instead of being followed out of bounds.
inline Tetrahedron sorted_row(const SimplexView& simplices, std::size_t r, std::uint64_t n) {
    const std::uint64_t v0 = simplices(r, 0), v1 = simplices(r, 1), v2 = simplices(r, 2), v3 = simplices(r, 3);
    if (largest(v0, v1, v2, v3) >= n) [[unlikely]]
        fail_changed();
    return sorted_ids(v0, v1, v2, v3);
}

inline void insertion_sort(std::uint32_t* first, std::uint32_t* last) {
    for (std::uint32_t* p = first + 1; p < last; ++p) {
        const std::uint32_t value = *p;
        std::uint32_t* q = p;
        for (; q > first && q[-1] > value; --q) *q = q[-1];
        *q = value;
    }
}

// Sorts [first, last) ascending without repeats, in place; returns the new
// end. A list of a Delaunay vertex repeats each entry about five times, so
// repeats are dropped first, through a small hash table that stays in the
// first-level cache, and only the distinct entries are sorted.
inline std::uint32_t* sort_unique(std::uint32_t* first, std::uint32_t* last, std::uint32_t* table) {
    const std::size_t length = static_cast<std::size_t>(last - first);
    if (length < 2) return last;
    if (length > hash_slots / 2) {
        std::sort(first, last);
        return std::unique(first, last);
    }
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < 2 * length) ++bits;
    const std::uint32_t mask = (std::uint32_t{1} << bits) - 1;
    std::fill_n(table, std::size_t{1} << bits, 0u);  // a slot holds id + 1; 0 is empty
    std::uint32_t* kept = first;
    for (const std::uint32_t* p = first; p < last; ++p) {
        const std::uint32_t id = *p;
        std::uint32_t slot = (id * 0x9E3779B1u) >> (32 - bits);
        for (;; slot = (slot + 1) & mask) {
            if (table[slot] == id + 1) break;
            if (table[slot] == 0) {
                table[slot] = id + 1;
                *kept++ = id;
                break;
            }
        }
    }
    if (kept - first <= 32) insertion_sort(first, kept);
    else std::sort(first, kept);
    return kept;
}

// Writes the raw upper entries of the vertices in [lo, hi) into `scratch`,
// which holds their lists from offset `base` to `end`; `cursors[v]` is where
// v's next entry goes. The range tests are unpredictable, and a mispredicted
// branch would hold back the cache misses of the writes behind it, so each
// block of rows is first sorted, without branching, into three queues (rows
// whose w0, w1 or w2 is in range), and each queue is then written out.
inline void scatter_range(const SimplexView& simplices, std::uint64_t n, std::uint64_t lo, std::uint64_t hi,
                          std::uint64_t* cursors, std::uint32_t* scratch, std::uint64_t base, std::uint64_t end) {
    constexpr std::size_t block = 512;
    std::uint32_t first[block][4], second[block][3], third[block][2];
    const std::uint64_t span = hi - lo;
    // Only a row changed since validation can make a list overrun the range.
    auto reserve = [&](std::uint32_t v, std::uint64_t count) {
        std::uint64_t& cursor = cursors[v];
        if (end - cursor < count) [[unlikely]]
            fail_changed();
        std::uint32_t* out = scratch + (cursor - base);
        cursor += count;
        return out;
    };
    for (std::size_t r0 = 0; r0 < simplices.rows; r0 += block) {
        const std::size_t r1 = std::min(simplices.rows, r0 + block);
        std::size_t n1 = 0, n2 = 0, n3 = 0;
        for (std::size_t r = r0; r < r1; ++r) {
            const Tetrahedron t = sorted_row(simplices, r, n);
            // Always written; kept (counted) only when the vertex is in range.
            first[n1][0] = t.w0, first[n1][1] = t.w1, first[n1][2] = t.w2, first[n1][3] = t.w3;
            n1 += t.w0 - lo < span;
            second[n2][0] = t.w1, second[n2][1] = t.w2, second[n2][2] = t.w3;
            n2 += t.w1 - lo < span;
            third[n3][0] = t.w2, third[n3][1] = t.w3;
            n3 += t.w2 - lo < span;
        }
        for (std::size_t i = 0; i < n1; ++i) std::copy_n(&first[i][1], 3, reserve(first[i][0], 3));
        for (std::size_t i = 0; i < n2; ++i) std::copy_n(&second[i][1], 2, reserve(second[i][0], 2));
        for (std::size_t i = 0; i < n3; ++i) *reserve(third[i][0], 1) = third[i][1];
    }
}

}  // namespace simplex_detail

// graph_from_simplices: the vertex adjacency of tetrahedra, as CSR.
//
// Computes: for n vertices and the rows of `simplices` (columns 0 to 3 are a
// tetrahedron's vertex ids), row v of the result lists ascending and without
// repeats every u such that v and u sit in one row (u = v when a row repeats
// v). The failures and their order are those of appending both ends of every
// vertex pair of every row to per-vertex lists, then sorting and concatenating
// the lists: an id >= n fails naming the first such id in row order, then
// column order; more than 2^32 - 1 result entries fail after every id passed.
//
// Method. Each of the six pairs of a tetrahedron, with ids w_i <= w_j, is one
// raw "upper" entry w_j in the list of w_i; a tetrahedron with ids
// w0 <= w1 <= w2 <= w3 gives w1, w2, w3 to w0, then w2, w3 to w1 and w3 to w2.
// Deduplicated, the upper lists hold each edge once, at its smaller end (a
// self-loop at its only end). Row v of the result is its lower part (each
// a < v whose upper list holds v, ascending because a is visited in order)
// followed by up(v), which starts with v itself for a self-loop.
//   1. One pass over the rows validates every id and counts each vertex's raw
//      upper entries.
//   2. The vertices are cut into ranges whose raw entries fill at most 1/8 of
//      all of them (or one vertex). For each range, a pass over the rows
//      scatters its raw entries into scratch; each list is deduplicated,
//      sorted, counted in its own row and in the rows it names, and the range's
//      distinct lists are kept, packed.
//   3. The row lengths give indptr (and the size check); each kept list is
//      copied to the tail of its row and its packed copy freed.
//   4. In vertex order, every entry b of up(a) other than a writes a into the
//      next free slot of row b's lower part.
// Invariant of step 4: entering vertex a, every a' < a has written its
// mirrors, so row a's lower part is complete and ends where up(a) starts.
// Terminates: every step is a loop over rows, vertices or entries.
// Cost: O(m) per pass over the m rows, at most about 2 * 8 + 2 passes; O(raw)
// scatter and hashing for the 6m raw entries; sorting only the distinct
// entries. Memory beyond the result: one 64-bit count per vertex, scratch for
// 1/8 of the raw entries, and the packed upper lists (half the result), whose
// pages are given back while the result's pages are first written.
inline SimplexGraph graph_from_simplices(const SimplexView& simplices, std::uint64_t n) {
    using namespace simplex_detail;
    if (n > u32_limit)
        fail("graph_from_simplices: " + std::to_string(n) + " points exceeds the u32 CSR limit of 4294967295");
    const std::size_t m = simplices.rows;
    if (m > 0 && simplices.columns < 4) fail_index(simplices.columns, simplices.columns);

    SimplexGraph graph;
    graph.indptr = Buffer<std::uint32_t>(n + 1, 0u);
    if (m == 0) {
        graph.indices = Buffer<std::uint32_t>(0);
        return graph;
    }

    // Step 1. starts[v] counts v's raw upper entries, then becomes their offset.
    Buffer<std::uint64_t> starts(n + 1, 0);
    for (std::size_t r = 0; r < m; ++r) {
        const std::uint64_t v0 = simplices(r, 0), v1 = simplices(r, 1), v2 = simplices(r, 2),
                            v3 = simplices(r, 3);
        if (largest(v0, v1, v2, v3) >= n) [[unlikely]] {
            for (std::uint64_t id : {v0, v1, v2, v3}) check_index(id, n);
        }
        const Tetrahedron t = sorted_ids(v0, v1, v2, v3);
        starts[t.w0] += 3;
        starts[t.w1] += 2;
        starts[t.w2] += 1;
    }
    std::uint64_t total = 0;
    for (std::uint64_t v = 0; v <= n; ++v) total += std::exchange(starts[v], total);

    // Step 2: the ranges [bounds[k], bounds[k + 1]).
    const std::uint64_t budget = std::max(total / range_share + 1, min_scratch);
    std::vector<std::uint64_t> bounds{0};
    std::uint64_t scratch_size = 0;
    while (bounds.back() < n) {
        const std::uint64_t lo = bounds.back();
        const std::uint64_t* past =
            std::upper_bound(starts.begin() + lo + 1, starts.begin() + n + 1, starts[lo] + budget);
        const std::uint64_t hi = std::max<std::uint64_t>(static_cast<std::uint64_t>(past - starts.begin()) - 1, lo + 1);
        scratch_size = std::max(scratch_size, starts[hi] - starts[lo]);
        bounds.push_back(hi);
    }
    // Zeroed, so that whatever a list holds is a valid vertex id.
    Buffer<std::uint32_t> scratch(scratch_size, 0u);
    Buffer<std::uint32_t> table(hash_slots);
    std::vector<Buffer<std::uint32_t>> kept(bounds.size() - 1);
    std::uint32_t* const degree = graph.indptr.data() + 1;  // degree[v] is indptr[v + 1] until step 3
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        const std::uint64_t lo = bounds[k], hi = bounds[k + 1];
        const std::uint64_t base = starts[lo], end = starts[hi];
        if (base == end) {
            std::fill(starts.begin() + lo, starts.begin() + hi, 0);
            continue;
        }
        scatter_range(simplices, n, lo, hi, starts.data(), scratch.data(), base, end);
        // Each cursor now stands at the end of its list, which is where the
        // next list starts. Deduplicate the lists in order, pack them at the
        // front of the scratch, and leave each list's length in starts[v].
        if (starts[hi - 1] != end) fail_changed();
        std::uint64_t list_begin = base;
        std::uint32_t* packed = scratch.data();
        for (std::uint64_t v = lo; v < hi; ++v) {
            const std::uint64_t list_end = starts[v];
            if (list_end < list_begin) fail_changed();
            std::uint32_t* first = scratch.data() + (list_begin - base);
            std::uint32_t* last = sort_unique(first, scratch.data() + (list_end - base), table.data());
            const std::uint64_t length = static_cast<std::uint64_t>(last - first);
            degree[v] += static_cast<std::uint32_t>(length);
            for (const std::uint32_t* p = first; p < last; ++p)
                if (*p != v) degree[*p] += 1;
            packed = std::copy(first, last, packed);
            starts[v] = length;
            list_begin = list_end;
        }
        kept[k] = Buffer<std::uint32_t>(static_cast<std::size_t>(packed - scratch.data()));
        std::copy(scratch.data(), packed, kept[k].data());
    }
    scratch = Buffer<std::uint32_t>();

    // Step 3. The running total reaches every row end in order, so the limit
    // fails exactly when the full concatenation would exceed it.
    std::uint64_t entries = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        entries += degree[v];
        if (entries > u32_limit) fail("graph_from_simplices: edge count exceeds u32: TryFromIntError(PosOverflow)");
        degree[v] = static_cast<std::uint32_t>(entries);
    }
    const std::uint32_t* const indptr = graph.indptr.data();
    graph.indices = Buffer<std::uint32_t>(entries);
    std::uint32_t* const indices = graph.indices.data();
    // From here starts[v] packs two positions in row v: where up(v) starts
    // (high half) and the next free slot of its lower part (low half).
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        const std::uint32_t* source = kept[k].data();
        std::uint64_t left = kept[k].size();
        for (std::uint64_t v = bounds[k]; v < bounds[k + 1]; ++v) {
            const std::uint64_t length = starts[v];
            if (length > left || length > indptr[v + 1] - indptr[v]) fail_changed();
            const std::uint64_t up_start = indptr[v + 1] - length;
            std::copy(source, source + length, indices + up_start);
            source += length;
            left -= length;
            starts[v] = up_start << 32 | indptr[v];
        }
        kept[k] = Buffer<std::uint32_t>();
    }

    // Step 4.
    constexpr std::uint64_t low_half = u32_limit;
    for (std::uint64_t a = 0; a < n; ++a) {
        const std::uint64_t up_start = starts[a] >> 32;
        if ((starts[a] & low_half) != up_start) fail_changed();
        for (std::uint64_t i = up_start; i < indptr[a + 1]; ++i) {
            const std::uint32_t b = indices[i];
            if (b == a) continue;
            if (b < a || b >= n) fail_changed();
            std::uint64_t& slot = starts[b];
            if ((slot & low_half) >= slot >> 32) fail_changed();
            indices[slot & low_half] = static_cast<std::uint32_t>(a);
            slot += 1;
        }
    }
    return graph;
}

}  // namespace ornel
