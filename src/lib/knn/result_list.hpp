// The result list of one k-nearest search: the best `ef` vertices reached,
// ascending by squared distance.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "../candidate.hpp"
#include "../lanes.hpp"
#include "work_storage.hpp"

namespace ornel {

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

}  // namespace ornel
