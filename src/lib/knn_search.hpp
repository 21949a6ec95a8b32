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
#include "lanes.hpp"
#include "operand.hpp"
#include "packed_point.hpp"
#include "query_walk.hpp"
#include "result.hpp"
#include "search_bound.hpp"
#include "visit_stamps.hpp"

namespace ornel {

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

// Storage for a working list of one call: reserved when the call starts,
// doubled only when a search needs more, never shrunk; emptying it keeps the
// memory. The owner keeps the element count.
template <class T>
class WorkStorage {
public:
    void reserve(std::size_t capacity) {
        if (capacity > buffer_.size()) grow_to(capacity);
    }
    // Makes room for element number `size` (counting from 0).
    T* room_for(std::size_t size) {
        if (size >= buffer_.size()) [[unlikely]]
            grow_to(std::max<std::size_t>(2 * size, 16));
        return buffer_.data();
    }
    T* data() { return buffer_.data(); }
    const T* data() const { return buffer_.data(); }

private:
    void grow_to(std::size_t capacity) {
        Buffer<T> bigger(capacity);
        std::copy_n(buffer_.data(), buffer_.size(), bigger.data());
        buffer_ = std::move(bigger);
    }
    Buffer<T> buffer_;
};

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

    void reserve(std::size_t capacity) { storage_.reserve(capacity); }
    void clear() { size_ = 0; }
    bool empty() const { return size_ == 0; }
    // Precondition: not empty.
    const Entry& top() const { return storage_.data()[0]; }

    void push(std::uint32_t vertex, S squared_distance) {
        Entry* e = storage_.room_for(size_);
        sift_up(e, size_++, {total_order_key(squared_distance), vertex});
    }

    // Precondition: not empty.
    [[gnu::always_inline]] Entry pop() {
        Entry* e = storage_.data();
        const std::size_t left = --size_;
        const Entry last = e[left];
        if (left == 0) return last;
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
        sift_up(e, hole, last);
        return top;
    }

private:
    static void sift_up(Entry* e, std::size_t position, Entry moving) {
        while (position > 0) {
            const std::size_t parent = (position - 1) / 2;
            if (!(e[parent].key > moving.key)) break;
            e[position] = e[parent];
            position = parent;
        }
        e[position] = moving;
    }

    WorkStorage<Entry> storage_;
    std::size_t size_ = 0;
};

// Number of entries whose squared distance is <= d, by halving: the position
// after every entry equal to d, so among equal distances the first found stays
// first. Written without an early exit so that a list made unsorted by NaN
// distances is still probed in one fixed order.
template <class S>
inline std::size_t insertion_position(const S* distances, std::size_t size, S d) {
    if (size == 0) return 0;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t middle = base + half;
        base = distances[middle] <= d ? middle : base;
        size -= half;
    }
    return base + (distances[base] <= d);
}

// The result list R of one search: sorted, at most `ef` entries once it has
// reached `ef` (with ef = 0 it never counts as full and only grows).
//
// Distances and vertices are kept in two arrays, each behind one slot that
// holds -inf, so that a list of up to `short_list` entries takes an insertion
// as a few vector operations over all its slots, with no branch on where the
// entry goes: slot i takes entry i - 1 when that is farther than d, else the
// new entry when entry i is farther (or lies at or past the end), else keeps
// entry i.
template <class S>
class ResultList {
public:
    static constexpr std::size_t short_list = 16;

    void reserve(std::size_t capacity) {
        // The vector insertion reads one whole vector from the sentinel on
        // and from the first entry on; every slot is initialised.
        const std::size_t slots = std::max(capacity, short_list) + 1;
        distances_.reserve(slots);
        vertices_.reserve(slots);
        std::fill_n(distances_.room_for(slots - 1), slots, S(0));
        std::fill_n(vertices_.room_for(slots - 1), slots, Vertex{0});
        distances_.data()[0] = -std::numeric_limits<S>::infinity();
    }
    void reset(std::uint32_t vertex, S squared_distance) {
        distances_.data()[1] = squared_distance;
        vertices_.data()[1] = vertex;
        size_ = 1;
        nan_entries_ = squared_distance != squared_distance;
    }
    std::size_t size() const { return size_; }
    Candidate<S> operator[](std::size_t i) const {
        return {static_cast<std::uint32_t>(vertices_.data()[i + 1]), distances_.data()[i + 1]};
    }
    S worst() const { return distances_.data()[size_]; }
    // Without NaN entries the list is sorted, and a full list's worst entry
    // can only come nearer.
    bool sorted() const { return nan_entries_ == 0; }

    // Inserts after every entry at most as far, dropping the last entry first
    // when the list holds `ef`. The caller has accepted the vertex, so when the
    // list is full the insertion position lies before its last entry.
    void insert(std::uint32_t vertex, S d, std::uint64_t ef) {
        S* const dist = distances_.room_for(size_ + 1) + 1;
        Vertex* const vert = vertices_.room_for(size_ + 1) + 1;
        const std::size_t before = size_;
        std::size_t hole = size_;
        if (size_ == ef) {
            --hole;
            nan_entries_ -= dist[hole] != dist[hole];
        } else {
            ++size_;
        }
        if (nan_entries_ == 0 && d == d) return insert_sorted(vertex, d, hole);
        const std::size_t position = insertion_position(dist, before, d);
        for (; hole > position; --hole) {
            dist[hole] = dist[hole - 1];
            vert[hole] = vert[hole - 1];
        }
        nan_entries_ += d != d;
        dist[hole] = d;
        vert[hole] = vertex;
    }

    // insert() into a full list without NaN entries of a d strictly below its
    // worst: the last entry drops out. Returns the new worst.
    S insert_into_full(std::uint32_t vertex, S d) {
        insert_sorted(vertex, d, size_ - 1);
        return distances_.data()[size_];
    }

private:
    using Vertex = LaneIndex<S>;
    using Mask = LaneMask<S>;

    // Entries 0 .. hole - 1 are sorted and not NaN, d is not NaN, and the
    // list ends at slot `hole` once d is in. The position after every entry
    // <= d is where a scan from the end stops: the search and the shift are
    // one short loop, or a few vector operations for a short list.
    [[gnu::always_inline]] void insert_sorted(std::uint32_t vertex, S d, std::size_t hole) {
        if (size_ <= short_list) return insert_short(vertex, d, hole);
        S* const dist = distances_.data() + 1;
        Vertex* const vert = vertices_.data() + 1;
        while (hole > 0 && dist[hole - 1] > d) {
            dist[hole] = dist[hole - 1];
            vert[hole] = vert[hole - 1];
            --hole;
        }
        dist[hole] = d;
        vert[hole] = vertex;
    }

    // insert_sorted for a short list, four slots at a time, in the vectors
    // the distances use: two groups for lists of up to eight, the
    // usual breadth, else all of them.
    [[gnu::always_inline]] void insert_short(std::uint32_t vertex, S d, std::size_t hole) {
        if (hole < 8)
            insert_short_groups<2>(vertex, d, hole);
        else
            insert_short_groups<short_list / 4>(vertex, d, hole);
    }

    template <std::size_t groups>
    [[gnu::always_inline]] void insert_short_groups(std::uint32_t vertex, S d, std::size_t hole) {
        using Lane = std::remove_cvref_t<decltype(Mask{}[0])>;
        const Lanes<S> new_distance = Lanes<S>{} + d;
        const IndexLanes<S> new_vertex = IndexLanes<S>{} + static_cast<Vertex>(vertex);
        const Mask last = Mask{} + static_cast<Lane>(hole);
        // Slot i reads entry i - 1, so groups go from the last: a group
        // writes none of the slots the groups before it read.
        S* const distances = distances_.data();
        Vertex* const vertices = vertices_.data();
        for (std::size_t g = groups; g-- > 0;) {
            Lanes<S> here, before;
            IndexLanes<S> here_vertex, before_vertex;
            std::memcpy(&here, distances + 4 * g + 1, sizeof here);
            std::memcpy(&before, distances + 4 * g, sizeof before);
            std::memcpy(&here_vertex, vertices + 4 * g + 1, sizeof here_vertex);
            std::memcpy(&before_vertex, vertices + 4 * g, sizeof before_vertex);
            const Lane first = static_cast<Lane>(4 * g);
            const Mask lane = Mask{first, first + 1, first + 2, first + 3};
            const Mask shift = before > new_distance;
            const Mask place = (here > new_distance) | (lane >= last);
            here = shift ? before : (place ? new_distance : here);
            here_vertex = shift ? before_vertex : (place ? new_vertex : here_vertex);
            std::memcpy(distances + 4 * g + 1, &here, sizeof here);
            std::memcpy(vertices + 4 * g + 1, &here_vertex, sizeof here_vertex);
        }
    }

    WorkStorage<S> distances_;
    WorkStorage<Vertex> vertices_;
    std::size_t size_ = 0;
    std::size_t nan_entries_ = 0;
};

// How a search reads the target's rows: through the neighbour list's stride,
// at unit stride, or, on a well-formed graph (GraphOperand::well_formed),
// without any check.
enum class RowAccess { strided, unit_stride, well_formed };

// The target's neighbour list, read through its stride, or at one element
// per entry when the stride is known to be that, which saves a multiplication
// per read.
template <RowAccess access>
struct NeighbourReader {
    const char* data;
    std::ptrdiff_t stride;
    std::uint32_t operator[](std::uint64_t i) const {
        std::uint32_t value;
        const std::ptrdiff_t step =
            access == RowAccess::strided ? stride : static_cast<std::ptrdiff_t>(sizeof value);
        std::memcpy(&value, data + static_cast<std::ptrdiff_t>(i) * step, sizeof value);
        return value;
    }
};

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
        const std::uint64_t nt = target_.n_points;
        const std::uint64_t ef = ef_;
        const PackedPoint<S>* const points = target_.points;
        const CsrArray offsets = target_.indptr;
        const auto* const unchecked_offsets = reinterpret_cast<const std::uint32_t*>(offsets.data);
        const auto* const unchecked_neighbours = reinterpret_cast<const std::uint32_t*>(target_.indices.data);
        const NeighbourReader<access> neighbours{target_.indices.data, target_.indices.stride};
        const std::uint64_t neighbours_len = target_.indices.len;
        std::uint32_t* const stamps = stamps_->data();

        const std::uint32_t epoch = stamps_->next_epoch();
        heap_.clear();
        check_index(seed, nt);
        const std::uint32_t start = static_cast<std::uint32_t>(seed);
        stamps[start] = epoch;
        const S d_start = squared_distance(points[start], p);
        heap_.push(start, d_start);
        list_.reset(start, d_start);

        // A row is taken in chunks: first every neighbour of the chunk is
        // checked and stamped, without branching on the stamp, collecting the
        // ones not reached before; then their distances, which do not depend
        // on each other, are computed four at a time; then they are offered to
        // the list and heap in row order. The stamps are read only in the
        // first step, so this is the one-at-a-time rule, with fewer
        // mispredicted branches and overlapping memory reads.
        constexpr std::size_t chunk = 32;
        std::uint32_t fresh[chunk + 3];
        alignas(sizeof(Lanes<S>)) S fresh_distance[chunk];
        constexpr std::uint32_t all_bits = ~std::uint32_t{0};
        // Bit i set where offer i beats `worst`, for the offers of [first, n).
        auto beating_bits = [&](S worst, std::size_t first, std::size_t n) [[gnu::always_inline]] {
            std::uint32_t bits = 0;
            for (std::size_t g = first & ~std::size_t{3}; g < n; g += 4) {
                Lanes<S> four;
                std::memcpy(&four, fresh_distance + g, sizeof four);
                bits |= lane_bits<S>(Lanes<S>{} + worst > four) << g;
            }
            return bits & (all_bits << first) & (all_bits >> (chunk - n));
        };
        for (;;) {
            if (heap_.empty()) break;
            // The search may end on the nearest candidate; the heap is not
            // needed after that, so it is popped only once the search goes on.
            if (list_.size() == ef && heap_.top().squared_distance() > list_.worst()) break;
            const std::uint32_t vertex = heap_.pop().vertex;
            if constexpr (!checked) {
                // The next nearest candidate is likely the next row expanded:
                // ask for its neighbour list while this row is worked on.
                if (!heap_.empty()) __builtin_prefetch(unchecked_neighbours + unchecked_offsets[heap_.top().vertex]);
            }
            std::uint64_t begin, end;
            if constexpr (checked) {
                begin = offsets.checked_at(vertex);
                end = offsets.checked_at(std::uint64_t{vertex} + 1);
                if (end <= begin) continue;  // a decreasing row reads as empty
                check_slice(begin, end, neighbours_len);
            } else {
                begin = unchecked_offsets[vertex];
                end = unchecked_offsets[vertex + 1];
            }
            for (std::uint64_t i = begin; i < end;) {
                const std::uint64_t stop = std::min<std::uint64_t>(end, i + chunk);
                std::size_t n = 0;
                // No stamp is ever above the epoch, so "not reached" is
                // stamp < epoch: one comparison whose carry counts it.
#pragma GCC unroll 4
                for (; i < stop; ++i) {
                    const std::uint32_t v = neighbours[i];
                    if constexpr (checked) check_index(v, nt);
                    const std::uint32_t stamp = stamps[v];
                    stamps[v] = epoch;
                    fresh[n] = v;
                    n += stamp < epoch;
                }
                if (n == 0) continue;
                // The last group of four is filled up with the expanded vertex,
                // a valid point whose distances are measured and ignored.
                fresh[n] = fresh[n + 1] = fresh[n + 2] = vertex;
                // Full and sorted, the list stays so (it takes no NaN), and
                // its worst entry only comes nearer: an offer that does not
                // beat it now never will. So the offers are sifted while they
                // are measured, and only those that beat it are taken, in order.
                const bool sifting = list_.size() == ef && list_.sorted();
                const Lanes<S> bar = Lanes<S>{} + (sifting ? list_.worst() : S(0));
                std::uint32_t beating = 0;
                for (std::size_t g = 0; g < n; g += 4) {
                    const Lanes<S> four = squared_distances(points[fresh[g]], points[fresh[g + 1]],
                                                            points[fresh[g + 2]], points[fresh[g + 3]], p);
                    std::memcpy(fresh_distance + g, &four, sizeof four);
                    beating |= lane_bits<S>(bar > four) << g;
                }
                beating &= all_bits >> (chunk - n);
                if (!sifting) {
                    // While the list fills, or once NaN entries have unsorted
                    // it, each offer is tested on its own.
                    std::size_t j = 0;
                    for (; j < n && !(list_.size() == ef && list_.sorted()); ++j) {
                        const S d = fresh_distance[j];
                        if (!(list_.size() < ef || list_.worst() > d)) continue;
                        heap_.push(fresh[j], d);
                        if constexpr (!checked) __builtin_prefetch(unchecked_offsets + fresh[j]);
                        list_.insert(fresh[j], d, ef);
                    }
                    if (j == n) continue;
                    beating = beating_bits(list_.worst(), j, n);
                }
                S worst = list_.worst();
                while (beating != 0) {
                    const int m = std::countr_zero(beating);
                    beating &= beating - 1;
                    const S d = fresh_distance[m];
                    if (!(worst > d)) continue;
                    heap_.push(fresh[m], d);
                    if constexpr (!checked) __builtin_prefetch(unchecked_offsets + fresh[m]);
                    worst = list_.insert_into_full(fresh[m], d);
                }
            }
        }
    }

private:
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
