// The Delaunay graph read off a finished tetrahedralisation: the vertex
// adjacency as CSR rows in ascending order.
//
// Every row's length is known before any star is searched: the link of a
// vertex (the faces opposite it in its F tetrahedra, the infinite ones
// included) is a triangulated sphere, which has F / 2 + 2 vertices, one of
// them the infinite vertex when the vertex is on the hull, and one the helper
// point when there is one. So the rows are written in place, in the result,
// with no second copy of the adjacency.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
enum class Mark : std::uint8_t { clear, set };

// Which of the four vertices of t is x (one of them): the lanes equal to x.
inline int position_of(const Tetrahedron& t, std::uint32_t x) {
    using Four = Vector<std::uint32_t, 16>;
    Four lanes;
    std::memcpy(&lanes, t.vertex, sizeof lanes);
    const Four wanted = {x, x, x, x};
    return __builtin_ctz(lane_bits<std::uint32_t>(lanes == wanted));
}

// The vertices sharing a tetrahedron with v (not v, the infinite vertex or
// the helper point), written to `out` under their names in `rename`; `out`
// has room for as many as v's link says: the search stops when it is full.
// Returns how many it found.
//
// The link of v is a triangulated sphere, and each of its vertices u is met
// by turning around the edge v-u: the tetrahedra around it form a ring, each
// the next one's neighbour across the face that holds v, u and the vertex the
// two share, and each brings one new vertex of the ring. So the search turns
// around the edges to the vertices it has found, from the tetrahedron where
// it found them, until it has found them all; it marks vertices only, not
// tetrahedra, and visits about a ring per few vertices. The link less the
// infinite vertex and the helper is still connected (a triangulated sphere
// is 3-connected), so turning around the others reaches every vertex.
// `marked` is indexed by vertex + 1, so that the infinite vertex takes slot
// 0 and the helper slot n + 1: both stay marked, which leaves them out with
// no test of their own; the vertices' slots are clear before and after.
// `seen` keeps every vertex found, with its tetrahedron, in the order found:
// the rings to turn around, then the marks to clear.
inline std::size_t collect_star(const Tetrahedron* tets, std::uint32_t v, std::uint32_t first, Mark* marked,
                                ScratchList& seen, std::uint32_t* out, std::size_t room,
                                const std::uint32_t* rename) {
    std::size_t found = 0;
    std::uint32_t* const pairs = seen.room(0, 2 * room);
    auto meet = [&](std::uint32_t u, std::uint32_t t) {
        if (marked[u + 1] != Mark::clear) return false;
        marked[u + 1] = Mark::set;
        out[found] = rename[u];
        pairs[2 * found] = u;
        pairs[2 * found + 1] = t;
        // u's ring starts across one of t's faces, some rings later.
        for (const std::uint32_t next : tets[t].neighbour) __builtin_prefetch(tets + (next >> 2));
        return ++found == room;
    };
    {
        const Tetrahedron& t = tets[first];
        for (int k = 0; k < 4; ++k)
            if (t.vertex[k] != v && meet(t.vertex[k], first)) goto done;
    }
    for (std::size_t next = 0; next < found; ++next) {
        const std::uint32_t u = pairs[2 * next], start = pairs[2 * next + 1];
        const Tetrahedron& s = tets[start];
        // The two vertices of `start` besides v and u: cross the face opposite
        // one, keep the other, which the next tetrahedron holds too.
        const unsigned rest = 0xFu & ~(1u << position_of(s, v)) & ~(1u << position_of(s, u));
        const std::uint32_t crossed = s.vertex[__builtin_ctz(rest)];
        std::uint32_t reference = s.neighbour[__builtin_ctz(rest)];
        std::uint32_t kept = s.vertex[__builtin_ctz(rest & (rest - 1))];
        while (true) {
            const std::uint32_t t = reference >> 2;
            const Tetrahedron& next_tet = tets[t];
            const std::uint32_t fresh = next_tet.vertex[reference & 3];  // opposite the face crossed
            if (fresh == crossed) break;  // round the ring: the next tetrahedron is `start`
            if (meet(fresh, t)) goto done;
            reference = next_tet.neighbour[position_of(next_tet, kept)];
            kept = fresh;
        }
    }
done:
    for (std::size_t i = 0; i < found; ++i) marked[pairs[2 * i] + 1] = Mark::clear;
    return found;
}

}  // namespace detail

// The graph over the n points of the tetrahedra `tets` (freed ones marked);
// points that are no vertex get empty rows; `helper` (or infinite_vertex)
// is a vertex left out. `given_index` renames the vertices (a permutation
// of 0..n-1): row given_index[v] lists the new names of v's neighbours.
// The stars are searched under the tetrahedra's own names, in which
// neighbours sit close in memory. Consumes the tetrahedra. `threads` may
// share the stars of large clouds.
inline CsrGraph star_graph(Tetrahedra& tets, std::size_t n, std::uint32_t helper, std::size_t threads,
                           const std::uint32_t* given_index) {
    // Each vertex's number of tetrahedra, whether it is on the hull or beside
    // the helper (the top bits), and the last tetrahedron holding it. With
    // threads, each counts a range of the tetrahedra into a tally of its
    // own, joined after: the tetrahedra are read once. (Counting ranges of
    // vertices had every thread read them all, and ran slower on two
    // threads than on one; one table written by all would bounce between
    // their caches.)
    const std::size_t parts = parts_for(n, threads, 2048);
    // Each tally beyond the first takes 8 bytes a point, freed before the
    // rows are allocated: three more stay below the peak those make (the
    // tetrahedra and the rows, about 280 bytes a point).
    const std::size_t counters = std::min<std::size_t>(parts, 4);
    constexpr std::uint32_t on_hull = 1u << 31, beside_helper = 1u << 30;
    // The counts, by vertex under the tetrahedra's names.
    using Table = std::vector<std::uint32_t, HugePageAllocator<std::uint32_t>>;
    Table tally(n, 0);
    struct Tally {
        Table counts, last;
    };
    std::vector<Tally> more_tallies(counters - 1);
    // Indexed by vertex + 1, as `marked` below: the infinite vertex and the
    // helper take the two ends and hold no tetrahedron.
    Table incident(n + 2, infinite_vertex);
    // The hull test below rests on the infinite vertex standing first or
    // last: checked here, where it costs an OR.
    // Allocated here, not by the threads that fill them: memory a thread's
    // own arena held would not be handed back before the rows (8 bytes a
    // point more at the peak).
    for (Tally& other : more_tallies) {
        other.counts.assign(n, 0);
        other.last.assign(n + 2, infinite_vertex);
    }
    std::uint32_t inner_seen[max_threads] = {};
    on_threads(counters, [&](std::size_t k) {
        // Plain copies: the counts are written through pointers that could
        // otherwise alias them, and be read again after every write.
        const std::uint32_t left_out = helper, points = static_cast<std::uint32_t>(n);
        const Tetrahedron* const all = tets.data();
        std::uint32_t* const counts = k == 0 ? tally.data() : more_tallies[k - 1].counts.data();
        std::uint32_t* const last = (k == 0 ? incident.data() : more_tallies[k - 1].last.data()) + 1;
        std::uint32_t inner = 0;
        for (std::size_t t = tets.size() * k / counters, end = tets.size() * (k + 1) / counters; t < end; ++t) {
            const std::uint32_t* v = all[t].vertex;
            if (v[0] == freed_vertex) continue;
            inner |= v[1] | v[2];
            std::uint32_t links = std::max(v[0], v[3]) == infinite_vertex ? on_hull : 0;
            if (left_out != infinite_vertex)
                for (int j = 0; j < 4; ++j) links |= v[j] == left_out ? beside_helper : 0;
            for (int j = 0; j < 4; ++j)
                if (v[j] < points) {  // leaves out the infinite vertex and the helper
                    counts[v[j]] = (counts[v[j]] + 1) | links;
                    last[v[j]] = static_cast<std::uint32_t>(t);
                }
        }
        inner_seen[k] = inner;
    });
    if (counters > 1) {
        on_threads(counters, [&](std::size_t k) {
            constexpr std::uint32_t bits = on_hull | beside_helper;
            for (std::size_t i = n * k / counters, end = n * (k + 1) / counters; i < end; ++i)
                for (const Tally& other : more_tallies) {
                    const std::uint32_t count = other.counts[i];
                    tally[i] = ((tally[i] & ~bits) + (count & ~bits)) | ((tally[i] | count) & bits);
                    if (other.last[i + 1] != infinite_vertex) incident[i + 1] = other.last[i + 1];
                }
        });
        more_tallies.clear();
    }
    std::uint32_t inner_vertices_seen = 0;
    for (std::size_t k = 0; k < counters; ++k) inner_vertices_seen |= inner_seen[k];
    // With fewer than 2^31 points only the infinite vertex has the top bit.
    constexpr std::uint32_t top_bit = 1u << 31;
    if (n + 1 < top_bit && (inner_vertices_seen & top_bit) != 0) fail(Failure::vertex_link_not_sphere);
    // Each row's length, at the vertex's new name: the names are a
    // permutation, so the threads write apart.
    Buffer<std::uint32_t> indptr(n + 1);
    advise_huge_pages(indptr.data(), sizeof(std::uint32_t) * (n + 1));  // read and written by the caller's indices
    on_threads(parts, [&](std::size_t k) {
        for (std::size_t i = n * k / parts, end = n * (k + 1) / parts; i < end; ++i) {
            const std::uint32_t links = tally[i], count = links & ~(on_hull | beside_helper);
            if (count & 1) fail(Failure::vertex_link_not_sphere);
            // A duplicate holds no tetrahedron and gets no row.
            indptr[given_index[i]] =
                count == 0 ? 0 : count / 2 + 2 - ((links & on_hull) != 0) - ((links & beside_helper) != 0);
        }
    });
    Table().swap(tally);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t length = indptr[i];
        indptr[i] = static_cast<std::uint32_t>(total);
        total += length;
        if (total > 0xFFFFFFFFu) fail(Failure::too_many_adjacency_entries);
    }
    indptr[n] = static_cast<std::uint32_t>(total);
    detail::hand_back_freed_memory(n);  // the insertion's scratch and the tallies
    Buffer<std::uint32_t> indices(total);
    advise_huge_pages(indices.data(), sizeof(std::uint32_t) * total);  // rows written by the caller's indices
    // Stars in the order of the tetrahedra, which is about the order of
    // insertion: consecutive stars share tetrahedra in cache. Each vertex
    // is taken at its incident tetrahedron, the last one holding it, so
    // with the tetrahedra cut into ranges every row is written by one
    // thread, which reads the tetrahedra only. The threads take the ranges
    // in turn as they finish: stars cost unevenly along the tetrahedra
    // (reused slots crowd the later ones), and a thread of a shared
    // machine may lose its core for a while.
    auto search_stars = [&](std::size_t begin, std::size_t end, detail::Mark* marked, ScratchList& seen) {
        const Tetrahedron* const all = tets.data();
        const std::uint32_t* const last = incident.data();  // by vertex + 1, wrapping as above
        // Which of a tetrahedron's vertices take their star there.
        auto starts_at = [&](std::size_t t) {
            const std::uint32_t* vertex = all[t].vertex;
            unsigned starts = 0;
            if (vertex[0] != freed_vertex)
                for (int j = 0; j < 4; ++j) starts |= unsigned{last[vertex[j] + 1] == t} << j;
            return starts;
        };
        // Rows are written at the caller's indices, so the row offsets and
        // the rows are met in no order the caches could guess; slots reused
        // by later insertions scatter the tetrahedra too: each is fetched
        // some tetrahedra ahead, in the order its address becomes known, and
        // so are the neighbours, where the stars' rings begin. (Neighbours'
        // neighbours too cost more than they save.)
        // Each tetrahedron's starts are found once, two steps ahead, and
        // kept in a ring until it is searched.
        constexpr std::size_t ahead = 8, ring_mask = 4 * ahead - 1;
        unsigned ring[ring_mask + 1];
        for (std::size_t t = begin; t < std::min(end, begin + 2 * ahead); ++t) ring[t & ring_mask] = starts_at(t);
        for (std::size_t t = begin; t < end; ++t) {
            if (t + 3 * ahead < end) {
                const std::uint32_t* vertex = all[t + 3 * ahead].vertex;
                for (int j = 0; j < 4; ++j) __builtin_prefetch(last + (vertex[j] + 1));
            }
            if (t + 2 * ahead < end) {
                const unsigned starts = ring[(t + 2 * ahead) & ring_mask] = starts_at(t + 2 * ahead);
                for (unsigned s = starts; s; s &= s - 1)
                    __builtin_prefetch(indptr.data() + given_index[all[t + 2 * ahead].vertex[__builtin_ctz(s)]]);
            }
            if (t + ahead < end && all[t + ahead].vertex[0] != freed_vertex) {
                const Tetrahedron& next = all[t + ahead];
                for (unsigned s = ring[(t + ahead) & ring_mask]; s; s &= s - 1)
                    __builtin_prefetch(indices.data() + indptr[given_index[next.vertex[__builtin_ctz(s)]]], 1);
                for (int j = 0; j < 4; ++j) __builtin_prefetch(all + (next.neighbour[j] >> 2));
            }
            const std::uint32_t* vertex = all[t].vertex;
            unsigned starts = ring[t & ring_mask];
            for (; starts; starts &= starts - 1) {
                const std::uint32_t v = vertex[__builtin_ctz(starts)], name = given_index[v];
                std::uint32_t* row = indices.data() + indptr[name];
                const std::size_t degree = indptr[name + 1] - indptr[name];
                const std::uint32_t first = static_cast<std::uint32_t>(t);
                const std::size_t found =
                    detail::collect_star(tets.data(), v, first, marked, seen, row, degree, given_index);
                if (found != degree) fail(Failure::star_degree_mismatch);
                // Caller's indices are below 2^31 when there are fewer points.
                if (n < (std::size_t{1} << 31)) {
                    detail::sort_distinct_row(row, row + degree);
                } else {
                    detail::sort_row(row, row + degree);
                }
            }
        }
    };
    const std::size_t ranges = parts == 1 ? 1 : std::min<std::size_t>(16 * parts, tets.size() / 4096 + 1);
    std::atomic<std::size_t> next_range{0};
    on_threads(parts, [&](std::size_t) {
        // A byte per vertex: each thread its own.
        std::vector<detail::Mark> marked(n + 2, detail::Mark::clear);
        marked.front() = marked.back() = detail::Mark::set;  // the infinite vertex, the helper (the only vertices from n up)
        ScratchList seen;
        for (std::size_t range; (range = next_range.fetch_add(1, std::memory_order_relaxed)) < ranges;)
            search_stars(tets.size() * range / ranges, tets.size() * (range + 1) / ranges, marked.data(), seen);
    });
    Tetrahedra().swap(tets);
    return {std::move(indptr), std::move(indices)};
}

}  // namespace ornel::delaunay
