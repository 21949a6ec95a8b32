// The candidate heap of the k-nearest search: reached vertices not yet
// expanded, nearest first, in a fixed order among equal distances.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "work_storage.hpp"

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
    return std::bit_cast<S>(
        static_cast<Key>(key ^ static_cast<Key>(static_cast<Bits>(key >> (8 * sizeof(Key) - 1)) >> 1)));
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

}  // namespace ornel
