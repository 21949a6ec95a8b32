// The Delaunay graph read off a finished tetrahedralisation: the vertex
// adjacency as CSR rows in ascending order.
//
// Every row's length is known before any star is searched: the link of a
// vertex (the faces opposite it in its F tetrahedra, the infinite ones
// included) is a triangulated sphere, which has F / 2 + 2 vertices, one of
// them the infinite vertex when the vertex is on the hull, and one the helper
// point when there is one. So the rows are written in place, in the result,
// with no second copy of the adjacency.
//
// Each vertex's star is read from the list of its tetrahedra: a counting
// sort of the (vertex, tetrahedron) pairs, which lives where the
// tetrahedra's neighbours were. Once the insertion is done only their
// vertices are needed: those are packed into the lower half of the
// tetrahedra's storage, and the lists take the upper half, four words a
// tetrahedron, which is room for every pair. No memory beyond the
// tetrahedra's, and every tetrahedron of a star is read at most once (the
// search stops when the row is whole), where turning around the star's edges
// met each about three times.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "../buffer.hpp"
#include "../csr.hpp"
#include "../failure.hpp"
#include "../huge_pages.hpp"
#include "../lanes.hpp"
#include "mesh.hpp"
#include "threads.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace ornel::delaunay {

namespace detail {

// Hands what was freed back to the system, for clouds of `n` points. Freed
// blocks sit mostly in the middle of the heap, where the allocator keeps
// them: handed back before the rows are allocated, the rows do not come on
// top of them. Only for large clouds: the trim walks every arena under its
// lock, which builds of small clouds side by side would wait for, to hand
// back little.
inline void hand_back_freed_memory([[maybe_unused]] std::size_t n) {
#if defined(__GLIBC__)
    if (n >= std::size_t{1} << 18) malloc_trim(0);
#endif
}

// Insertion sort: rows are short (about 15 on average). The smallest goes
// first, so that the inner loop needs no test of where the row begins.
inline void sort_row(std::uint32_t* begin, std::uint32_t* end) {
    if (end - begin < 2) return;
    std::iter_swap(begin, std::min_element(begin, end));
    for (std::uint32_t* i = begin + 2; i < end; ++i) {
        const std::uint32_t value = *i;
        std::uint32_t* j = i;
        for (; j[-1] > value; --j) *j = j[-1];
        *j = value;
    }
}

// Rows of at most 4 * blocks values, all distinct and below 2^31, with no
// branch that depends on them (insertion sort mispredicts about once a
// value): each value's place is the number of smaller ones, counted for four
// values at a time against each value in turn.
template <int blocks>
inline void rank_row(std::uint32_t* begin, std::uint32_t* end) {
    using Four = Vector<std::int32_t, 16>;
    const int n = static_cast<int>(end - begin);
    alignas(16) std::int32_t value[4 * blocks];
    // Padding above every value counts as smaller than none of them.
    Four key[blocks], smaller[blocks];
    for (int k = 0; k < blocks; ++k) {
        key[k] = Four{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
        smaller[k] = Four{};
    }
    std::memcpy(value, key, sizeof value);
    std::memcpy(value, begin, sizeof(std::uint32_t) * static_cast<std::size_t>(n));
    std::memcpy(key, value, sizeof value);
    for (int j = 0; j < n; ++j) {
        const Four other = {value[j], value[j], value[j], value[j]};
        for (int k = 0; k < blocks; ++k) smaller[k] -= other < key[k];  // a true lane is -1
    }
    alignas(16) std::int32_t place[4 * blocks];
    std::memcpy(place, smaller, sizeof place);
    for (int i = 0; i < n; ++i) begin[place[i]] = static_cast<std::uint32_t>(value[i]);
}

// Ascending order for a row of distinct values below 2^31.
inline void sort_distinct_row(std::uint32_t* begin, std::uint32_t* end) {
    const std::ptrdiff_t n = end - begin;
    if (n <= 8) {
        rank_row<2>(begin, end);
    } else if (n <= 16) {
        rank_row<4>(begin, end);
    } else if (n <= 24) {
        rank_row<6>(begin, end);
    } else {
        sort_row(begin, end);
    }
}

// A vertex's mark in a star's search: a byte, but not a character type, so
// that writing one does not make the compiler read everything else again.
// A clear mark is 1, the count a vertex adds to a row as it is read.
enum class Mark : std::uint8_t { set = 0, clear = 1 };

// A vertex's count of tetrahedra carries, in its top bits, whether the
// vertex is on the hull or beside the helper.
inline constexpr std::uint32_t on_hull = 1u << 31, beside_helper = 1u << 30, link_bits = on_hull | beside_helper;

using CountTable = std::vector<std::uint32_t, HugePageAllocator<std::uint32_t>>;

// Tetrahedra [first, last) of range k of `ranges` over `size`: the same
// ranges count the tetrahedra and later place their pairs.
inline std::pair<std::size_t, std::size_t> tetrahedron_range(std::size_t size, std::size_t ranges, std::size_t k) {
    return {size * k / ranges, size * (k + 1) / ranges};
}

// Each vertex's number of tetrahedra, with its link bits, counted by range
// k of the tetrahedra into counts[k]: the tetrahedra are read once. (Counting
// ranges of vertices had every thread read them all, and ran slower on two
// threads than on one; one table written by all would bounce between their
// caches.) Fails unless the infinite vertex stands first or last in every
// tetrahedron, which the hull test rests on.
inline void count_vertex_tetrahedra(const Tetrahedra& tets, std::size_t n, std::uint32_t helper,
                                    std::vector<CountTable>& counts) {
    const std::size_t size = tets.size(), ranges = counts.size();
    std::uint32_t inner_seen[max_threads] = {};
    on_threads(ranges, [&](std::size_t k) {
        // Plain copies: the counts are written through pointers that could
        // otherwise alias them, and be read again after every write.
        const std::uint32_t left_out = helper, points = static_cast<std::uint32_t>(n);
        const Tetrahedron* const all = tets.data();
        std::uint32_t* const count = counts[k].data();
        std::uint32_t inner = 0;
        for (auto [t, end] = tetrahedron_range(size, ranges, k); t < end; ++t) {
            const std::uint32_t* v = all[t].vertex;
            if (v[0] == freed_vertex) continue;
            inner |= v[1] | v[2];
            std::uint32_t links = std::max(v[0], v[3]) == infinite_vertex ? on_hull : 0;
            if (left_out != infinite_vertex)
                for (int j = 0; j < 4; ++j) links |= v[j] == left_out ? beside_helper : 0;
            for (int j = 0; j < 4; ++j)
                if (v[j] < points)
                    count[v[j]] = (count[v[j]] + 1) | links;  // leaves out the infinite vertex and the helper
        }
        inner_seen[k] = inner;
    });
    // Checked here, where it costs an OR. With fewer than 2^31 points only
    // the infinite vertex has the top bit.
    std::uint32_t inner_vertices_seen = 0;
    for (std::size_t k = 0; k < ranges; ++k) inner_vertices_seen |= inner_seen[k];
    if (n + 1 < (1u << 31) && (inner_vertices_seen & (1u << 31)) != 0) fail(Failure::vertex_link_not_sphere);
}

// Each row's length, at the vertex's new name (the names are a permutation,
// so the threads write apart); each vertex's number of pairs in `first`, and
// in each range's table where that range's pairs of the vertex begin among
// the vertex's.
inline void measure_rows(std::vector<CountTable>& counts, std::size_t n, std::size_t parts,
                         const std::uint32_t* given_index, Buffer<std::uint32_t>& indptr, CountTable& first) {
    on_threads(parts, [&](std::size_t k) {
        for (std::size_t v = n * k / parts, end = n * (k + 1) / parts; v < end; ++v) {
            std::uint32_t pairs = 0, links = 0;
            for (CountTable& count : counts) {
                const std::uint32_t c = count[v];
                links |= c;
                count[v] = pairs;
                pairs += c & ~link_bits;
            }
            if (pairs & 1) fail(Failure::vertex_link_not_sphere);
            first[v] = pairs;
            // A duplicate holds no tetrahedron and gets no row.
            indptr[given_index[v]] =
                pairs == 0 ? 0 : pairs / 2 + 2 - ((links & on_hull) != 0) - ((links & beside_helper) != 0);
        }
    });
}

// The row lengths in indptr[0, n) turned into offsets; returns the number of
// neighbours in all.
inline std::size_t offsets_from_lengths(Buffer<std::uint32_t>& indptr, std::size_t n) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t length = indptr[i];
        indptr[i] = static_cast<std::uint32_t>(total);
        total += length;
        if (total > 0xFFFFFFFFu) fail(Failure::too_many_adjacency_entries);
    }
    indptr[n] = static_cast<std::uint32_t>(total);
    return total;
}

// Where each vertex's pairs begin (at most four a tetrahedron, so below
// 2^32), and where each range's begin: one table to read for each pair
// placed, at an address the caches cannot guess.
inline void place_pair_starts(CountTable& first, std::vector<CountTable>& counts, std::size_t n) {
    std::size_t placed = 0;
    for (std::size_t v = 0; v < n; ++v) {
        const std::uint32_t pairs = first[v];
        first[v] = static_cast<std::uint32_t>(placed);
        for (CountTable& count : counts) count[v] += static_cast<std::uint32_t>(placed);
        placed += pairs;
    }
    first[n] = static_cast<std::uint32_t>(placed);
}

// The tetrahedra's vertices packed into the lower half of their storage,
// four words each: tetrahedron t's go where word 4t was. Doubling blocks
// [a, 2a) read words [8a, 16a) and write [4a, 8a), which only the block
// before read: taken in order, none overwrites what is still to be read,
// and the threads share each large block. (Tetrahedron 0's are in place
// already.) Returns the packed words.
inline std::uint32_t* pack_tetrahedron_vertices(Tetrahedra& tets, std::size_t parts) {
    const std::size_t size = tets.size();
    std::uint32_t* const words = reinterpret_cast<std::uint32_t*>(tets.data());
    for (std::size_t a = 1; a < size; a *= 2) {
        const std::size_t b = std::min(2 * a, size);
        const std::size_t shares = b - a >= (std::size_t{1} << 16) ? parts : 1;
        on_threads(shares, [&](std::size_t k) {
            for (std::size_t t = a + (b - a) * k / shares, end = a + (b - a) * (k + 1) / shares; t < end; ++t)
                std::memcpy(words + 4 * t, words + 8 * t, 4 * sizeof(std::uint32_t));
        });
    }
    return words;
}

// Each vertex's tetrahedra into `stars`: each range of the tetrahedra
// places its pairs after those of the ranges before it, at the cursors its
// table holds.
inline void list_vertex_tetrahedra(const std::uint32_t* quads, std::size_t size, std::size_t n,
                                   std::vector<CountTable>& counts, std::uint32_t* stars) {
    const std::size_t ranges = counts.size();
    on_threads(ranges, [&](std::size_t k) {
        // Plain copies, as in the count.
        const std::uint32_t points = static_cast<std::uint32_t>(n);
        const std::uint32_t* const tet_vertices = quads;
        std::uint32_t* const pairs = stars;
        std::uint32_t* const cursor = counts[k].data();
        // The pairs go to places the caches cannot guess: the slots the
        // cursors point to are fetched some tetrahedra ahead. (The cursors
        // themselves, indexed by vertices of nearby tetrahedra, mostly are
        // in cache: fetching them too was no faster.)
        constexpr std::size_t ahead = 8;
        for (auto [t, end] = tetrahedron_range(size, ranges, k); t < end; ++t) {
            if (t + ahead < end)
                for (int j = 0; j < 4; ++j) {
                    const std::uint32_t u = tet_vertices[4 * (t + ahead) + j];
                    if (u < points) __builtin_prefetch(pairs + cursor[u], 1);
                }
            const std::uint32_t* v = tet_vertices + 4 * t;
            if (v[0] == freed_vertex) continue;
            for (int j = 0; j < 4; ++j)
                if (v[j] < points) pairs[cursor[v[j]]++] = static_cast<std::uint32_t>(t);
        }
    });
}

// The rows of the vertices' stars, read from their lists of tetrahedra. A
// vertex's row gathers the vertices of its tetrahedra that are not yet
// marked; the vertex itself is marked first, and the infinite vertex and the
// helper always (`marked` is indexed by vertex + 1: they take slots 0 and
// n + 1).
struct StarRows {
    const std::uint32_t* quads;  // each tetrahedron's four vertices
    const std::uint32_t* stars;  // each vertex's tetrahedra, from first[v] to first[v + 1]
    const std::uint32_t* first;
    const std::uint32_t* given_index;  // the rows' names
    const std::uint32_t* indptr;
    std::uint32_t* indices;
    std::size_t n;

    // The rows of vertices [begin, end).
    void read(std::size_t begin, std::size_t end, Mark* marked, ScratchList& seen) const {
        // Rows are written at the caller's indices, and a star's tetrahedra
        // lie anywhere: each is fetched some vertices ahead, in the order
        // its address becomes known.
        constexpr std::size_t ahead = 4;
        for (std::size_t v = begin; v < end; ++v) {
            if (v + 2 * ahead < end) __builtin_prefetch(indptr + given_index[v + 2 * ahead]);
            if (v + ahead < end) __builtin_prefetch(indices + indptr[given_index[v + ahead]], 1);
            if (v + 2 < end)
                for (std::uint32_t i = first[v + 2], last = first[v + 3]; i < last; ++i)
                    __builtin_prefetch(quads + 4 * stars[i]);
            const std::uint32_t name = given_index[v];
            const std::size_t degree = indptr[name + 1] - indptr[name];
            if (degree == 0) continue;
            std::uint32_t* const row = indices + indptr[name];
            // Each tetrahedron brings at most three new vertices: a slot of
            // room past them lets every candidate be written before its test.
            std::uint32_t* const found_vertices = seen.room(0, degree + 4);
            std::size_t found = 0;
            marked[v + 1] = Mark::set;
            for (std::uint32_t i = first[v], last = first[v + 1]; i < last; ++i) {
                const std::uint32_t* quad = quads + 4 * stars[i];
                for (int j = 0; j < 4; ++j) {
                    const std::uint32_t u = quad[j];
                    const auto fresh = static_cast<std::size_t>(marked[u + 1]);
                    marked[u + 1] = Mark::set;
                    found_vertices[found] = u;
                    found += fresh;
                }
                // A row as long as its length is whole: the star's other
                // tetrahedra could only repeat its vertices (about a third
                // of them are left unread).
                if (found >= degree) break;
            }
            marked[v + 1] = Mark::clear;
            for (std::size_t i = 0; i < found; ++i) {
                marked[found_vertices[i] + 1] = Mark::clear;
                row[i] = given_index[found_vertices[i]];
            }
            if (found != degree) fail(Failure::star_degree_mismatch);
            // Caller's indices are below 2^31 when there are fewer points.
            if (n < (std::size_t{1} << 31)) {
                sort_distinct_row(row, row + degree);
            } else {
                sort_row(row, row + degree);
            }
        }
    }

    // Every row, by ranges of vertices that the threads take in turn as they
    // finish (a thread of a shared machine may lose its core for a while).
    void read_all(std::size_t parts) const {
        const std::size_t ranges = parts == 1 ? 1 : std::min<std::size_t>(16 * parts, n / 1024 + 1);
        std::atomic<std::size_t> next_range{0};
        on_threads(parts, [&](std::size_t) {
            // A byte per vertex: each thread its own.
            std::vector<Mark> marked(n + 2, Mark::clear);
            marked.front() = marked.back() =
                Mark::set;  // the infinite vertex, the helper (the only vertices from n up)
            ScratchList seen;
            for (std::size_t r; (r = next_range.fetch_add(1, std::memory_order_relaxed)) < ranges;)
                read(n * r / ranges, n * (r + 1) / ranges, marked.data(), seen);
        });
    }
};

}  // namespace detail

// The graph over the n points of the tetrahedra `tets` (freed ones marked);
// points that are no vertex get empty rows; `helper` (or infinite_vertex)
// is a vertex left out. `given_index` renames the vertices (a permutation
// of 0..n-1): row given_index[v] lists the new names of v's neighbours.
// The stars are searched under the tetrahedra's own names, in which
// neighbours sit close in memory. Consumes the tetrahedra. `threads` may
// share the work on large clouds.
inline CsrGraph star_graph(Tetrahedra& tets, std::size_t n, std::uint32_t helper, std::size_t threads,
                           const std::uint32_t* given_index) {
    static_assert(sizeof(Tetrahedron) == 8 * sizeof(std::uint32_t), "a tetrahedron is eight words, unpadded");
    const std::size_t size = tets.size();
    const std::size_t parts = parts_for(n, threads, 2048);
    // Each table beyond the first takes 4 bytes a point until the pairs are
    // placed, before the rows are allocated. Allocated here, not by the
    // threads that fill them: memory a thread's own arena held would not be
    // handed back before the rows.
    std::vector<detail::CountTable> counts(std::min<std::size_t>(parts, 4));
    for (detail::CountTable& count : counts) count.assign(n, 0);
    detail::count_vertex_tetrahedra(tets, n, helper, counts);
    Buffer<std::uint32_t> indptr(n + 1);
    advise_huge_pages(indptr.data(), sizeof(std::uint32_t) * (n + 1));  // read and written by the caller's indices
    detail::CountTable first(n + 1);
    detail::measure_rows(counts, n, parts, given_index, indptr, first);
    const std::size_t total = detail::offsets_from_lengths(indptr, n);
    detail::place_pair_starts(first, counts, n);
    const std::uint32_t* const quads = detail::pack_tetrahedron_vertices(tets, parts);
    std::uint32_t* const stars = reinterpret_cast<std::uint32_t*>(tets.data()) + 4 * size;  // the upper half
    detail::list_vertex_tetrahedra(quads, size, n, counts, stars);
    std::vector<detail::CountTable>().swap(counts);
    detail::hand_back_freed_memory(n);  // the insertion's scratch and the counts
    Buffer<std::uint32_t> indices(total);
    advise_huge_pages(indices.data(), sizeof(std::uint32_t) * total);  // rows written by the caller's indices
    detail::StarRows{quads, stars, first.data(), given_index, indptr.data(), indices.data(), n}.read_all(parts);
    Tetrahedra().swap(tets);
    return {std::move(indptr), std::move(indices)};
}

}  // namespace ornel::delaunay
