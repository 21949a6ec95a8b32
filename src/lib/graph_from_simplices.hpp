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
#include <utility>

#include "buffer.hpp"
#include "csr.hpp"
#include "failure.hpp"
#include "strided.hpp"

namespace ornel {

namespace simplex_detail {

inline constexpr std::uint64_t u32_limit = 0xFFFFFFFFu;

// The counting step gathers raw entries in ranges of vertices that fill at
// most this share of all of them; for a Delaunay tetrahedralisation (about 2.6
// raw entries per result entry) its scratch is then two thirds of the result.
inline constexpr std::uint64_t count_share = 4;
// Below this many raw entries the counting step is one range.
inline constexpr std::uint64_t min_scratch = std::uint64_t{1} << 16;
// Lists longer than half of this are deduplicated by sorting, not hashing.
inline constexpr std::size_t hash_slots = 4096;

// Every pass after the first rereads the caller's rows; if they changed in
// between, the counts no longer hold and the build stops instead of writing
// outside its buffers.
[[noreturn]] inline void fail_changed() { fail(Failure::simplices_changed); }

struct Tetrahedron {
    std::uint32_t w0, w1, w2, w3;  // ascending, repeats kept
};

inline void order(std::uint32_t& a, std::uint32_t& b) {
    // Branch-free: the comparisons of a sorting network are unpredictable.
    const std::uint32_t swap = (0u - static_cast<std::uint32_t>(b < a)) & (a ^ b);
    a ^= swap;
    b ^= swap;
}

inline std::uint64_t largest(std::uint64_t v0, std::uint64_t v1, std::uint64_t v2, std::uint64_t v3) {
    return std::max(std::max(v0, v1), std::max(v2, v3));
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

// Row r's ids in ascending order, for the passes after validation.
inline Tetrahedron sorted_row(const Strided<std::uint64_t, 2>& simplices, std::size_t r, std::uint64_t n) {
    const std::uint64_t v0 = simplices.at(r, 0), v1 = simplices.at(r, 1), v2 = simplices.at(r, 2),
                        v3 = simplices.at(r, 3);
    if (largest(v0, v1, v2, v3) >= n) [[unlikely]]
        fail_changed();
    return sorted_ids(v0, v1, v2, v3);
}

// Writes the raw upper entries of the vertices in [lo, hi) into their lists:
// the entry at offset p goes to lists[p - base], and the lists of the range
// span the offsets [base, end). `starts[v]` is where v's next entry goes; when
// the rows are written out, it stands at v's list end, which is v + 1's list
// start, and is moved back there, so that starts[v] is again v's list start.
//
// The range tests are unpredictable, and a mispredicted branch would hold back
// the cache misses of the writes behind it, so each block of rows is first
// sorted, without branching, into three queues (rows whose w0, w1 or w2 is in
// range), and each queue is then written out.
inline void gather_lists(const Strided<std::uint64_t, 2>& simplices, std::uint64_t n, std::uint64_t lo,
                         std::uint64_t hi, std::uint64_t* starts, std::uint32_t* lists, std::uint64_t base,
                         std::uint64_t end) {
    constexpr std::size_t block = 512;
    std::uint32_t first[block][4], second[block][3], third[block][2];
    const std::uint64_t span = hi - lo;
    auto reserve = [&](std::uint32_t v, std::uint64_t count) {
        std::uint64_t& cursor = starts[v];
        if (end - cursor < count) [[unlikely]]
            fail_changed();
        std::uint32_t* out = lists + (cursor - base);
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
    if (starts[hi - 1] != end) fail_changed();
    for (std::uint64_t v = hi - 1; v > lo; --v) {
        if (starts[v - 1] > starts[v]) fail_changed();
        starts[v] = starts[v - 1];
    }
    starts[lo] = base;
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
// end. A Delaunay vertex's raw list repeats each entry about five times, so
// repeats are dropped first, through a small hash table that stays in the
// first-level cache (`table`, hash_slots entries), and only the distinct
// entries are sorted.
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
        for (std::uint32_t slot = (id * 0x9E3779B1u) >> (32 - bits);; slot = (slot + 1) & mask) {
            if (table[slot] == id + 1) break;
            if (table[slot] == 0) {
                table[slot] = id + 1;
                *kept++ = id;
                break;
            }
        }
    }
    if (kept - first <= 32)
        insertion_sort(first, kept);
    else
        std::sort(first, kept);
    return kept;
}

// The end of the longest range of vertices from lo whose raw lists, laid out
// at the end of `indices`, can be deduplicated in order, each copied to the
// tail of its row, without overwriting a list still to be read or a row
// already written: the lists must start at or after indptr[lo], and for each
// v in the range, row v must end before the lists of v + 1 onwards begin.
// Returns lo when not even vertex lo's list fits.
inline std::uint64_t fitting_range_end(const std::uint64_t* starts, const std::uint32_t* indptr, std::uint64_t lo,
                                       std::uint64_t n, std::uint64_t entries) {
    std::uint64_t bound = starts[lo] + (entries - indptr[lo]);
    std::uint64_t hi = lo;
    while (hi < n) {
        bound = std::min(bound, starts[hi + 1] + (entries - indptr[hi + 1]));
        if (starts[hi + 1] > bound) break;
        ++hi;
    }
    return hi;
}

// Step 1: starts[v] counts v's raw upper entries, then becomes the offset of
// v's raw list; starts[n] is the number of raw entries.
inline void count_upper_entries(const Strided<std::uint64_t, 2>& simplices, std::uint64_t n,
                                Buffer<std::uint64_t>& starts) {
    for (std::size_t r = 0; r < simplices.rows; ++r) {
        const std::uint64_t v0 = simplices.at(r, 0), v1 = simplices.at(r, 1), v2 = simplices.at(r, 2),
                            v3 = simplices.at(r, 3);
        if (largest(v0, v1, v2, v3) >= n) [[unlikely]] {
            for (std::uint64_t id : {v0, v1, v2, v3}) check_index(id, n);
        }
        const Tetrahedron t = sorted_ids(v0, v1, v2, v3);
        starts[t.w0] += 3;
        starts[t.w1] += 2;
        starts[t.w2] += 1;
    }
    std::uint64_t raw = 0;
    for (std::uint64_t v = 0; v <= n; ++v) raw += std::exchange(starts[v], raw);
}

// Ranges of vertices whose raw lists fill at most `budget` entries.
struct ListRanges {
    std::uint64_t* starts;  // lent to the gathering, which moves them and puts them back
    std::uint64_t n;
    std::uint64_t budget;

    // The largest hi such that the lists of [lo, hi) fit, or lo + 1.
    std::uint64_t end(std::uint64_t lo) const {
        const std::uint64_t* past = std::upper_bound(starts + lo + 1, starts + n + 1, starts[lo] + budget);
        return std::max<std::uint64_t>(static_cast<std::uint64_t>(past - starts) - 1, lo + 1);
    }
    std::uint64_t largest() const {
        std::uint64_t widest = 0;
        for (std::uint64_t lo = 0, hi; lo < n; lo = hi) {
            hi = end(lo);
            widest = std::max(widest, starts[hi] - starts[lo]);
        }
        return widest;
    }
};

// Step 2: row lengths, counted in length[v]: each deduplicated upper list
// counts in its own row and in each row it names.
inline void count_row_lengths(const Strided<std::uint64_t, 2>& simplices, const ListRanges& ranges,
                              std::uint64_t largest_range, std::uint32_t* table, std::uint32_t* length) {
    const std::uint64_t n = ranges.n;
    std::uint64_t* const starts = ranges.starts;
    // Zeroed, so that a list spoilt by rows changing holds valid ids.
    Buffer<std::uint32_t> scratch(largest_range, 0u);
    for (std::uint64_t lo = 0, hi; lo < n; lo = hi) {
        hi = ranges.end(lo);
        const std::uint64_t base = starts[lo];
        if (starts[hi] == base) continue;
        gather_lists(simplices, n, lo, hi, starts, scratch.data(), base, starts[hi]);
        for (std::uint64_t v = lo; v < hi; ++v) {
            std::uint32_t* first = scratch.data() + (starts[v] - base);
            std::uint32_t* last = sort_unique(first, scratch.data() + (starts[v + 1] - base), table);
            length[v] += static_cast<std::uint32_t>(last - first);
            for (const std::uint32_t* p = first; p < last; ++p)
                if (*p != v) length[*p] += 1;
        }
    }
}

// The lengths turned into row ends, in place; returns the number of entries.
// The running total passes every row end in order, so the limit fails
// exactly when the concatenated rows would exceed it.
inline std::uint64_t row_ends_from_lengths(std::uint32_t* length, std::uint64_t n) {
    std::uint64_t entries = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        entries += length[v];
        if (entries > u32_limit) fail(Failure::too_many_edges);
        length[v] = static_cast<std::uint32_t>(entries);
    }
    return entries;
}

// Step 3: each up(v) deduplicated again and copied to the tail of its row.
// The result's unwritten end holds a range's raw lists when it can take at
// least half of a budget range; otherwise (rows repeated many times make raw
// lists far longer than rows) a scratch buffer does, so that the passes stay
// few. Once up(v) is in place, starts[v] packs two positions in row v: where
// up(v) starts (high half) and the next free slot of its lower part (low
// half).
inline void place_upper_lists(const Strided<std::uint64_t, 2>& simplices, const ListRanges& ranges,
                              std::uint64_t largest_range, std::uint32_t* table, std::uint64_t* starts,
                              const std::uint32_t* indptr, std::uint32_t* indices, std::uint64_t entries) {
    const std::uint64_t n = ranges.n;
    Buffer<std::uint32_t> scratch;
    for (std::uint64_t lo = 0, hi; lo < n; lo = hi) {
        const std::uint64_t fitting = fitting_range_end(starts, indptr, lo, n, entries);
        const std::uint64_t planned = ranges.end(lo);
        std::uint32_t* lists;
        if (fitting > lo && 2 * (starts[fitting] - starts[lo]) >= starts[planned] - starts[lo]) {
            hi = fitting;
            lists = indices + (entries - (starts[hi] - starts[lo]));
        } else {
            hi = planned;
            // Ranges here start where the fitting ranges ended, not where the
            // ranges of step 2 did, so one can exceed largest_range.
            const std::uint64_t need = starts[hi] - starts[lo];
            if (scratch.size() < need) scratch = Buffer<std::uint32_t>(std::max(need, largest_range), 0u);
            lists = scratch.data();
        }
        const std::uint64_t base = starts[lo], end = starts[hi];
        if (end > base) gather_lists(simplices, n, lo, hi, starts, lists, base, end);
        for (std::uint64_t v = lo; v < hi; ++v) {
            std::uint32_t* first = lists + (starts[v] - base);
            std::uint32_t* last = sort_unique(first, lists + (starts[v + 1] - base), table);
            const std::uint64_t up_length = static_cast<std::uint64_t>(last - first);
            if (up_length > indptr[v + 1] - indptr[v]) fail_changed();
            const std::uint64_t up_start = indptr[v + 1] - up_length;
            std::memmove(indices + up_start, first, up_length * sizeof *first);
            starts[v] = up_start << 32 | indptr[v];
        }
    }
}

// Step 4: every entry b of up(a) other than a writes a into the next free
// slot of row b's lower part, in vertex order.
inline void mirror_lower_parts(std::uint64_t* starts, const std::uint32_t* indptr, std::uint32_t* indices,
                               std::uint64_t n) {
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
}

}  // namespace simplex_detail

// graph_from_simplices: the vertex adjacency of tetrahedra, as CSR.
//
// Computes: for n vertices and the rows of `simplices` (columns 0 to 3 are a
// tetrahedron's vertex ids), row v of the result lists ascending and without
// repeats every u that shares a row with v (u = v when a row repeats v). The
// failures and their order are those of appending both ends of every vertex
// pair of every row to per-vertex lists, then sorting and concatenating the
// lists: an id >= n fails naming the first such id in row order, then column
// order; more than 2^32 - 1 result entries fail after every id has passed.
//
// Method. Each of the six pairs of a row, with ids w_i <= w_j, is one raw
// "upper" entry w_j in the list of w_i: a tetrahedron with ids w0 <= w1 <=
// w2 <= w3 gives w1, w2, w3 to w0, then w2, w3 to w1 and w3 to w2.
// Deduplicated, the upper lists hold each edge once, at its smaller end (a
// self-loop at its only end). Row v of the result is its lower part (each
// a < v whose upper list holds v, ascending because a is visited in order)
// followed by up(v), which starts with v itself for a self-loop.
//   1. One pass over the rows validates every id and counts each vertex's raw
//      upper entries.
//   2. In ranges of vertices whose raw entries fill at most a quarter of all
//      of them, a pass over the rows gathers the range's raw lists into a
//      scratch buffer; each list is deduplicated, and counted in its own row
//      and in each row it names. The counts give indptr.
//   3. In ranges whose raw lists fit in the still unwritten end of the result
//      (for repeated rows, in ranges of step 2 and scratch), a pass gathers
//      them there; each is deduplicated again and copied to the tail of its
//      row.
//   4. In vertex order, every entry b of up(a) other than a writes a into the
//      next free slot of row b's lower part.
// Invariant of step 4: entering vertex a, every a' < a has written its
// mirrors, so row a's lower part is complete and ends where up(a) starts.
// Terminates: every step is a loop over rows, vertices or entries; each range
// holds at least one vertex.
// Cost: O(m) per pass over the m rows: 1, at most 9 in step 2, and in step 3
// a number bounded likewise, since each of its ranges takes at least half of
// what a range of step 2 from there would (for a Delaunay tetrahedralisation
// 1 + 5 + 4 passes). O(1) per raw entry (6m of them) to gather and to hash,
// twice; only distinct entries are sorted. Memory beyond the result: one
// 64-bit count per vertex, plus in step 2 scratch for at most a quarter of
// the raw entries (or one vertex's list), freed before the result exists;
// step 3 needs the same scratch again only for heavily repeated rows.
inline CsrGraph graph_from_simplices(const Strided<std::uint64_t, 2>& simplices, std::uint64_t n) {
    using namespace simplex_detail;
    if (n > u32_limit) fail(Failure::too_many_points, n);
    const std::size_t m = simplices.rows;
    if (m > 0 && simplices.columns < 4) fail(Failure::too_few_columns, simplices.columns);

    CsrGraph graph;
    graph.indptr = Buffer<std::uint32_t>(n + 1, 0u);
    if (m == 0) {
        graph.indices = Buffer<std::uint32_t>(0);
        return graph;
    }
    Buffer<std::uint64_t> starts(n + 1, 0);
    count_upper_entries(simplices, n, starts);
    const ListRanges ranges{starts.data(), n, std::max(starts[n] / count_share + 1, min_scratch)};
    const std::uint64_t largest_range = ranges.largest();
    Buffer<std::uint32_t> table(hash_slots);
    std::uint32_t* const length = graph.indptr.data() + 1;
    count_row_lengths(simplices, ranges, largest_range, table.data(), length);
    const std::uint64_t entries = row_ends_from_lengths(length, n);
    // Zeroed: every slot is read only after it is written, and checked, but a
    // build stopped by changing rows must never meet uninitialised memory.
    graph.indices = Buffer<std::uint32_t>(entries, 0u);
    place_upper_lists(simplices, ranges, largest_range, table.data(), starts.data(), graph.indptr.data(),
                      graph.indices.data(), entries);
    mirror_lower_parts(starts.data(), graph.indptr.data(), graph.indices.data(), n);
    return graph;
}

}  // namespace ornel
