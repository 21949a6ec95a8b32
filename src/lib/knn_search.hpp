// k-nearest join by best-first search on the target graph.
//
// For every query point q, a search starts at a seed vertex and keeps two
// structures: a min-heap of reached vertices not yet expanded, and the result
// list R of the best `ef` vertices reached so far, sorted by squared distance.
// It pops the nearest candidate, stops once R is full and that candidate is
// strictly farther than R's last entry, and otherwise reaches every neighbour
// not yet reached in this search, accepting one into both structures when R
// has room or when it is strictly nearer than R's last entry. The first `k`
// entries of R are q's row. Query points are visited along the query graph
// (query_walk.hpp); each starts at the nearest answer of the point searched
// most recently with an answer before it was discovered, so searches are short.
//
// Invariant: R is sorted ascending (equal distances in order of discovery) and
// never holds more than max(ef, 1) entries; every vertex in the heap was
// stamped in this search. Termination: a vertex is stamped when first reached
// and never pushed again in the same search, so the heap is popped at most nt
// times per query point. Cost per query point: the degrees of the expanded
// vertices, times O(log) for each heap push and O(log ef + ef) for each
// insertion into R. Ties and expansion order follow the exact heap and list
// mechanics below, which decide the answers among equal distances and on graphs
// that are not Delaunay.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "buffer.hpp"
#include "failure.hpp"
#include "graph.hpp"
#include "packed_point.hpp"
#include "query_walk.hpp"
#include "search_bound.hpp"

namespace ornel {

template <class S>
struct KnnResult {
    Buffer<S> dists;              // nq x k, row-major
    Buffer<std::uint64_t> idx;    // nq x k, row-major
};

// IEEE 754 totalOrder as a signed-integer order: flipping every bit but the
// sign of a negative value makes the integer comparison of the bit patterns
// agree with totalOrder (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN).
// The map is its own inverse.
template <class S>
using OrderKey = std::conditional_t<sizeof(S) == 4, std::int32_t, std::int64_t>;

template <class S>
inline OrderKey<S> total_order_key(S value) {
    using Key = OrderKey<S>;
    using Bits = std::make_unsigned_t<Key>;
    const Key bits = std::bit_cast<Key>(value);
    return bits ^ static_cast<Key>(static_cast<Bits>(bits >> (8 * sizeof(Key) - 1)) >> 1);
}

template <class S>
inline S from_total_order_key(OrderKey<S> key) {
    using Key = OrderKey<S>;
    using Bits = std::make_unsigned_t<Key>;
    return std::bit_cast<S>(static_cast<Key>(key ^ static_cast<Key>(static_cast<Bits>(key >> (8 * sizeof(Key) - 1)) >> 1)));
}

// Binary min-heap of (vertex, squared distance), ordered by the distance alone
// under totalOrder. The sift rules are fixed, not just "a heap": they decide
// which of several equal distances is expanded first. A pop takes the root,
// moves a hole from the root to the bottom (always to the smaller child, the
// right one on equal keys), then puts the former last entry into the hole and
// sifts it up; a push sifts up the new last entry, moving parents down while
// they are strictly greater.
template <class S>
class CandidateHeap {
public:
    struct Entry {
        OrderKey<S> key;
        std::uint32_t vertex;

        S squared_distance() const { return from_total_order_key<S>(key); }
    };

    void reserve(std::size_t capacity) { entries_.reserve(capacity); }
    void clear() { entries_.clear(); }
    bool empty() const { return entries_.empty(); }

    void push(std::uint32_t vertex, S squared_distance) {
        entries_.push_back({total_order_key(squared_distance), vertex});
        sift_up(entries_.size() - 1);
    }

    // Precondition: not empty.
    Entry pop() {
        Entry last = entries_.back();
        entries_.pop_back();
        const std::size_t left = entries_.size();
        if (left == 0) return last;
        Entry* e = entries_.data();
        const Entry top = e[0];
        std::size_t hole = 0;
        std::size_t child = 1;
        while (child + 1 < left) {  // both children exist
            child += e[child + 1].key <= e[child].key;
            e[hole] = e[child];
            hole = child;
            child = 2 * hole + 1;
        }
        if (child == left - 1) {  // exactly one child
            e[hole] = e[child];
            hole = child;
        }
        e[hole] = last;
        sift_up(hole);
        return top;
    }

private:
    void sift_up(std::size_t position) {
        Entry* e = entries_.data();
        const Entry moving = e[position];
        while (position > 0) {
            const std::size_t parent = (position - 1) / 2;
            if (!(e[parent].key > moving.key)) break;
            e[position] = e[parent];
            position = parent;
        }
        e[position] = moving;
    }

    std::vector<Entry> entries_;
};

// The best vertices of one search, ascending by squared distance.
template <class S>
struct Found {
    std::uint32_t vertex;
    S squared_distance;
};

// Number of entries whose squared distance is <= d, by halving: the position
// after every entry equal to d, so among equal distances the first found stays
// first. Written without an early exit so that a list made unsorted by NaN
// distances is still probed in one fixed order.
template <class S>
inline std::size_t insertion_position(const std::vector<Found<S>>& list, S d) {
    std::size_t size = list.size();
    if (size == 0) return 0;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t middle = base + half;
        base = list[middle].squared_distance <= d ? middle : base;
        size -= half;
    }
    return base + (list[base].squared_distance <= d);
}

// Bytes the working state may need before anything is searched: heap entries
// are a target index and a distance, 16 bytes, reserved four per `ef`.
inline void check_reservation(std::uint64_t ef) {
    constexpr std::uint64_t entry_bytes = 16;
    constexpr std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (ef > largest / entry_bytes / 4) fail_capacity_overflow();
}

// Element count of an (nq, k) result, each empty dimension counted as 1.
inline void check_result_shape(std::uint64_t nq, std::uint64_t k) {
    constexpr std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t rows = std::max<std::uint64_t>(nq, 1);
    const std::uint64_t columns = std::max<std::uint64_t>(k, 1);
    if (columns > largest / rows) fail_capacity_overflow();
}

// The k nearest target points of every query point (see the top of the file).
// Rows start as the miss marker (+inf, nt); with a bound r an entry farther
// than r is never written, and a row whose nearest entry is farther than r is
// left a miss and does not move the running seed on.
template <class S>
KnnResult<S> knn_search(const GraphOperand<S>& query, const GraphOperand<S>& target, std::uint64_t k,
                        std::uint64_t ef, const std::optional<SearchBound<S>>& bound) {
    constexpr S inf = std::numeric_limits<S>::infinity();
    if (query.offsets.len == 0) fail_capacity_overflow();
    const std::size_t nq = query.offsets.len - 1;
    const std::uint64_t nt = target.n_points;

    check_result_shape(nq, k);
    KnnResult<S> result{Buffer<S>(nq * k, inf), Buffer<std::uint64_t>(nq * k, nt)};

    check_reservation(ef);
    Buffer<std::uint32_t> stamps(nt, 0);
    std::uint32_t epoch = 0;
    CandidateHeap<S> heap;
    heap.reserve(4 * ef);
    std::vector<Found<S>> list;
    list.reserve(ef);
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

    // One best-first search of packed point p from vertex `seed`; leaves R in `list`.
    auto search = [&](std::uint64_t seed, const PackedPoint<S>& p) {
        if (++epoch == 0) {
            std::fill(stamps.begin(), stamps.end(), 0u);
            epoch = 1;
        }
        heap.clear();
        list.clear();
        check_index(seed, nt);
        const std::uint32_t start = static_cast<std::uint32_t>(seed);
        stamps[start] = epoch;
        const S d_start = squared_distance(target.points[start], p);
        heap.push(start, d_start);
        list.push_back({start, d_start});
        while (!heap.empty()) {
            const typename CandidateHeap<S>::Entry candidate = heap.pop();
            if (list.size() == ef && candidate.squared_distance() > list.back().squared_distance) break;
            const std::uint64_t begin = target.offsets.at(candidate.vertex);
            const std::uint64_t end = target.offsets.at(std::uint64_t{candidate.vertex} + 1);
            if (end <= begin) continue;  // a decreasing row reads as empty
            check_slice(begin, end, target.neighbours.len);
            for (std::uint64_t i = begin; i < end; ++i) {
                const std::uint32_t v = target.neighbours[i];
                check_index(v, nt);
                if (stamps[v] == epoch) continue;
                stamps[v] = epoch;
                const S d = squared_distance(target.points[v], p);
                if (!(list.size() < ef || list.back().squared_distance > d)) continue;
                heap.push(v, d);
                const std::size_t position = insertion_position(list, d);
                if (list.size() == ef) list.pop_back();
                list.insert(list.begin() + static_cast<std::ptrdiff_t>(position), Found<S>{v, d});
            }
        }
    };

    // Writes q's row from R; returns whether it was written (else a miss).
    auto write_row = [&](std::uint64_t q) -> bool {
        if (bounded && list.front().squared_distance > r2) return false;
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

    std::uint64_t running_seed = 0;
    walk.run<DecreasingRows::read_as_empty>(
        query.offsets, query.neighbours, running_seed, [&](std::uint64_t seed, std::uint64_t q) -> std::uint64_t {
            check_index(q, query.n_points);
            const PackedPoint<S>& p = query.points[q];
            if (test_each_point && point_box_distance_squared(bound->target_box, p) > r2) return running_seed;
            search(seed, p);
            if (k > 0 && write_row(q)) running_seed = list.front().vertex;
            return running_seed;
        });
    return result;
}

}  // namespace ornel
