// k-nearest join by best-first search on the target graph.
//
// For every query point q, a search starts at a seed vertex and keeps two
// structures: a min-heap of reached vertices not yet expanded, and the result
// list R of the best `ef` vertices reached so far, sorted by squared distance.
// It pops the nearest candidate, stops once R holds `ef` entries and that
// candidate is strictly farther than R's last entry, and otherwise reaches
// every neighbour not yet reached in this search, accepting one into both
// structures when R has room or when it is strictly nearer than R's last
// entry. The first `k` entries of R are q's row. Query points are visited
// along the query graph (query_walk.hpp), each starting at the running seed
// when it was discovered: the nearest entry of the last row written.
//
// Invariant: R is sorted ascending (equal distances in order of discovery;
// only NaN distances can break the order) and, once it holds `ef` entries,
// keeps that many (with ef = 0 it never counts as full); every vertex in the
// heap was stamped in this search. Termination: a vertex is stamped when first
// reached and never pushed again in the same search, so the heap is popped at
// most nt times per query point. Cost per query point: the degrees of the
// expanded vertices, plus O(log heap) per push and pop and O(ef) per insertion
// into R. Ties and expansion order follow the exact heap and list mechanics
// below, which decide the answers among equal distances and on graphs that are
// not Delaunay.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "buffer.hpp"
#include "candidate.hpp"
#include "csr.hpp"
#include "dispatch.hpp"
#include "failure.hpp"
#include "knn/candidate_heap.hpp"
#include "knn/neighbour_reader.hpp"
#include "knn/result_list.hpp"
#include "lanes.hpp"
#include "operand.hpp"
#include "packed_point.hpp"
#include "query_walk.hpp"
#include "result.hpp"
#include "search_bound.hpp"
#include "visit_stamps.hpp"

namespace ornel {

// One best-first search at a time, reusing its working state: candidate heap
// and result list are allocated once per call, the visit stamps borrowed for
// the call from the target's pool (or made for it when the target has none).
template <class S>
class BestFirstSearch {
public:
    BestFirstSearch(const GraphOperand<S>& target, std::uint64_t ef)
        : target_(target), ef_(ef), stamps_(target.stamp_pool, target.n_points) {
        // A search reaches each target vertex at most once, so neither
        // structure ever holds more than the target's points, whatever ef is.
        const std::uint64_t nt = target.n_points;
        heap_.reserve(std::min(4 * ef, nt));
        list_.reserve(std::min(ef, nt));
    }

    const ResultList<S>& list() const { return list_; }

    // Searches packed point p from vertex `seed`; the result is `list()`.
    template <RowAccess access>
    [[gnu::always_inline]] inline void run(std::uint64_t seed, const PackedPoint<S>& p) {
        constexpr bool checked = access != RowAccess::well_formed;
        const Rows<access> rows(target_);
        const std::uint32_t epoch = start(seed, p);
        Offers offers;
        for (;;) {
            if (heap_.empty()) break;
            // The search may end on the nearest candidate; the heap is not
            // needed after that, so it is popped only once the search goes on.
            if (list_.size() == ef_ && heap_.top().squared_distance() > list_.worst()) break;
            const std::uint32_t vertex = heap_.pop().vertex;
            if constexpr (!checked) {
                // The next nearest candidate is likely the next row expanded:
                // ask for its neighbour list while this row is worked on.
                if (!heap_.empty())
                    __builtin_prefetch(rows.unchecked_neighbours + rows.unchecked_offsets[heap_.top().vertex]);
            }
            std::uint64_t begin, end;
            if (!rows.bounds(vertex, begin, end)) continue;
            for (std::uint64_t i = begin; i < end;) {
                const std::uint64_t stop = std::min<std::uint64_t>(end, i + chunk);
                const std::size_t n = offers.gather(rows, i, stop, stamps_->data(), epoch, target_.n_points);
                if (n == 0) continue;
                offer(rows, offers, vertex, n, p);
            }
        }
    }

private:
    // A row is taken in chunks: first every neighbour of the chunk is
    // checked and stamped, without branching on the stamp, collecting the
    // ones not reached before; then their distances, which do not depend
    // on each other, are computed four at a time; then they are offered to
    // the list and heap in row order. The stamps are read only in the
    // first step, so this is the one-at-a-time rule, with fewer
    // mispredicted branches and overlapping memory reads.
    static constexpr std::size_t chunk = 32;
    static constexpr std::uint32_t all_bits = ~std::uint32_t{0};

    // The target's rows as this search reads them.
    template <RowAccess access>
    struct Rows {
        static constexpr bool checked = access != RowAccess::well_formed;
        CsrArray offsets;
        const std::uint32_t* unchecked_offsets;
        const std::uint32_t* unchecked_neighbours;
        NeighbourReader<access> neighbours;
        std::uint64_t neighbours_len;

        explicit Rows(const GraphOperand<S>& target)
            : offsets(target.indptr),
              unchecked_offsets(contiguous_entries(target.indptr)),
              unchecked_neighbours(contiguous_entries(target.indices)),
              neighbours{target.indices.data, target.indices.stride},
              neighbours_len(target.indices.len) {}

        // Row `vertex`'s slice of the neighbours; false for a row to skip.
        [[gnu::always_inline]] bool bounds(std::uint32_t vertex, std::uint64_t& begin, std::uint64_t& end) const {
            if constexpr (checked) {
                begin = offsets.checked_at(vertex);
                end = offsets.checked_at(std::uint64_t{vertex} + 1);
                if (end <= begin) return false;  // a decreasing row reads as empty
                check_slice(begin, end, neighbours_len);
            } else {
                begin = unchecked_offsets[vertex];
                end = unchecked_offsets[vertex + 1];
            }
            return true;
        }
    };

    // The neighbours of one chunk not reached before, and their distances.
    struct Offers {
        std::uint32_t fresh[chunk + 3];
        alignas(sizeof(Lanes<S>)) S distance[chunk];

        // Stamps neighbours [i, stop) and keeps those not reached before
        // (i ends at stop); returns how many. No stamp is ever above the
        // epoch, so "not reached" is stamp < epoch: one comparison whose
        // carry counts it.
        template <RowAccess access>
        [[gnu::always_inline]] std::size_t gather(const Rows<access>& rows, std::uint64_t& i, std::uint64_t stop,
                                                  std::uint32_t* stamps, std::uint32_t epoch, std::uint64_t nt) {
            std::size_t n = 0;
#pragma GCC unroll 4
            for (; i < stop; ++i) {
                const std::uint32_t v = rows.neighbours[i];
                if constexpr (Rows<access>::checked) check_index(v, nt);
                const std::uint32_t stamp = stamps[v];
                stamps[v] = epoch;
                fresh[n] = v;
                n += stamp < epoch;
            }
            return n;
        }

        // Bit i set where offer i beats `worst`, for the offers of [first, n).
        [[gnu::always_inline]] std::uint32_t beating_bits(S worst, std::size_t first, std::size_t n) const {
            std::uint32_t bits = 0;
            for (std::size_t g = first & ~std::size_t{3}; g < n; g += 4) {
                Lanes<S> four;
                std::memcpy(&four, distance + g, sizeof four);
                bits |= lane_bits<S>(Lanes<S>{} + worst > four) << g;
            }
            return bits & (all_bits << first) & (all_bits >> (chunk - n));
        }
    };

    // A fresh epoch and the search's start at `seed`; returns the epoch.
    [[gnu::always_inline]] std::uint32_t start(std::uint64_t seed, const PackedPoint<S>& p) {
        const std::uint32_t epoch = stamps_->next_epoch();
        heap_.clear();
        check_index(seed, target_.n_points);
        const std::uint32_t start = static_cast<std::uint32_t>(seed);
        stamps_->data()[start] = epoch;
        const S d_start = squared_distance(target_.points[start], p);
        heap_.push(start, d_start);
        list_.reset(start, d_start);
        return epoch;
    }

    // Measures the `n` offers of a chunk of `vertex`'s row and takes into
    // the list and heap those that beat the list's worst, in row order.
    template <RowAccess access>
    [[gnu::always_inline]] void offer(const Rows<access>& rows, Offers& offers, std::uint32_t vertex, std::size_t n,
                                      const PackedPoint<S>& p) {
        const PackedPoint<S>* const points = target_.points;
        const std::uint64_t ef = ef_;
        std::uint32_t* const fresh = offers.fresh;
        S* const fresh_distance = offers.distance;
        // The last group of four is filled up with the expanded vertex, a
        // valid point whose distances are measured and ignored.
        fresh[n] = fresh[n + 1] = fresh[n + 2] = vertex;
        // Full and sorted, the list stays so (it takes no NaN), and its worst
        // entry only comes nearer: an offer that does not beat it now never
        // will. So the offers are sifted while they are measured, and only
        // those that beat it are taken, in order.
        const bool sifting = list_.size() == ef && list_.sorted();
        const Lanes<S> bar = Lanes<S>{} + (sifting ? list_.worst() : S(0));
        std::uint32_t beating = 0;
        for (std::size_t g = 0; g < n; g += 4) {
            const Lanes<S> four = squared_distances(points[fresh[g]], points[fresh[g + 1]], points[fresh[g + 2]],
                                                    points[fresh[g + 3]], p);
            std::memcpy(fresh_distance + g, &four, sizeof four);
            beating |= lane_bits<S>(bar > four) << g;
        }
        beating &= all_bits >> (chunk - n);
        if (!sifting) {
            // While the list fills, or once NaN entries have unsorted it,
            // each offer is tested on its own.
            std::size_t j = 0;
            for (; j < n && !(list_.size() == ef && list_.sorted()); ++j) {
                const S d = fresh_distance[j];
                if (!(list_.size() < ef || list_.worst() > d)) continue;
                heap_.push(fresh[j], d);
                if constexpr (!Rows<access>::checked) __builtin_prefetch(rows.unchecked_offsets + fresh[j]);
                list_.insert(fresh[j], d, ef);
            }
            if (j == n) return;
            beating = offers.beating_bits(list_.worst(), j, n);
        }
        S worst = list_.worst();
        while (beating != 0) {
            const int m = std::countr_zero(beating);
            beating &= beating - 1;
            const S d = fresh_distance[m];
            if (!(worst > d)) continue;
            heap_.push(fresh[m], d);
            if constexpr (!Rows<access>::checked) __builtin_prefetch(rows.unchecked_offsets + fresh[m]);
            worst = list_.insert_into_full(fresh[m], d);
        }
    }

    const GraphOperand<S>& target_;
    std::uint64_t ef_;
    StampLease stamps_;
    CandidateHeap<S> heap_;
    ResultList<S> list_;
};

// One search as a dispatched kernel.
template <class S, RowAccess access>
struct KnnKernel {
    template <std::size_t>
    [[gnu::always_inline]] static void run(BestFirstSearch<S>& searcher, std::uint64_t seed, const PackedPoint<S>& p) {
        searcher.template run<access>(seed, p);
    }
};

template <class S, RowAccess access>
using KnnSearches = Dispatch<KnnKernel<S, access>, void, BestFirstSearch<S>&, std::uint64_t, const PackedPoint<S>&>;

// Bytes the working state may need before anything is searched: heap entries
// are a target index and a distance, 16 bytes, reserved four per `ef`.
inline void check_reservation(std::uint64_t ef) {
    constexpr std::uint64_t entry_bytes = 16;
    constexpr std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (ef > largest / entry_bytes / 4) fail_capacity_overflow();
}

// Byte size of an (nq, k) result of 8-byte indices, each empty dimension
// counted as 1: NumPy refuses an array whose size so counted exceeds the
// largest signed 64-bit value, even one with no elements, such as (0, 2^61).
inline void check_result_shape(std::uint64_t nq, std::uint64_t k) {
    constexpr std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t rows = std::max<std::uint64_t>(nq, 1);
    const std::uint64_t columns = std::max<std::uint64_t>(k, 1);
    if (columns > largest / sizeof(std::uint64_t) / rows) fail_capacity_overflow();
}

// The k nearest target points of every query point (see the top of the file).
// Rows start as the miss marker (+inf, nt); with a bound r an entry farther
// than r is never written, and a row whose nearest entry is farther than r is
// left a miss and does not move the running seed on.
template <class S>
SearchResult<S> knn_search(const GraphOperand<S>& query, const GraphOperand<S>& target, std::uint64_t k,
                           std::uint64_t ef, const std::optional<SearchBound<S>>& bound) {
    constexpr S inf = std::numeric_limits<S>::infinity();
    if (query.indptr.len == 0) fail_capacity_overflow();
    const std::size_t nq = query.indptr.len - 1;
    const std::uint64_t nt = target.n_points;

    check_result_shape(nq, k);
    SearchResult<S> result{Buffer<S>(nq * k, inf), Buffer<std::uint64_t>(nq * k, nt)};

    check_reservation(ef);
    BestFirstSearch<S> searcher(target, ef);
    QueryWalk walk(nq);

    BoundPlan plan = BoundPlan::unbounded;
    S r2 = S(0);
    if (bound) {
        if (nq == 0) return result;
        plan = plan_bound(*bound, query_box_for(*bound, query.points, query.n_points));
        if (plan == BoundPlan::all_miss) return result;
        r2 = bound->r * bound->r;
    }
    const bool bounded = plan != BoundPlan::unbounded;
    const bool test_each_point = plan == BoundPlan::test_each_point;
    const ResultList<S>& list = searcher.list();

    // Writes q's row from R; returns whether it was written (else a miss).
    auto write_row = [&](std::uint64_t q) -> bool {
        if (bounded && list[0].squared_distance > r2) return false;
        const std::size_t filled = static_cast<std::size_t>(std::min<std::uint64_t>(list.size(), k));
        S* dists = result.dists.data() + q * k;
        std::uint64_t* idx = result.idx.data() + q * k;
        for (std::size_t j = 0; j < filled; ++j) {
            if (bounded && list[j].squared_distance > r2) break;
            dists[j] = std::sqrt(list[j].squared_distance);
            idx[j] = list[j].vertex;
        }
        return true;
    };

    auto walk_with = [&]<RowAccess access>() {
        const auto search = KnnSearches<S, access>::pick();
        std::uint64_t running_seed = target.start;
        walk.run<DecreasingRows::read_as_empty>(
            query.indptr, query.indices, running_seed, [&](std::uint64_t seed, std::uint64_t q) -> std::uint64_t {
                check_index(q, query.n_points);
                const PackedPoint<S>& p = query.points[q];
                if (test_each_point && point_box_distance_squared(bound->target_box, p) > r2) return running_seed;
                search(searcher, seed, p);
                if (k > 0 && write_row(q)) running_seed = list[0].vertex;
                return running_seed;
            });
    };
    if (target.well_formed)
        walk_with.template operator()<RowAccess::well_formed>();
    else if (target.indices.stride == static_cast<std::ptrdiff_t>(sizeof(std::uint32_t)))
        walk_with.template operator()<RowAccess::unit_stride>();
    else
        walk_with.template operator()<RowAccess::strided>();
    return result;
}

}  // namespace ornel
