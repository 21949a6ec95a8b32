// The vector vocabulary of the searches: lanes of distances, lanes of indices
// beside them, and the masks their comparisons give, each defined once.
//
// A vector of four scalars (`Lanes<S>`) holds one packed point or four
// distances; `IndexLanes<S>` holds four vertices in integers of the scalar's
// size, so that one comparison mask (`LaneMask<S>`) selects a distance and its
// vertex together. `Vector<T, bytes>` is the same idea at any width, for the
// kernels compiled once per vector size (dispatch.hpp).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace ornel {

namespace detail {
template <class T, std::size_t bytes>
struct VectorType {
    typedef T type __attribute__((vector_size(bytes)));
};
}  // namespace detail

// `bytes / sizeof(T)` lanes of T.
template <class T, std::size_t bytes>
using Vector = typename detail::VectorType<T, bytes>::type;

// The mask of a comparison of two vectors of type V: a signed integer lane of
// the element's size per lane, all ones where the comparison holds.
template <class V>
using MaskOf = decltype(V{} < V{});

// The unsigned integer of a scalar's size, the element of IndexLanes.
template <class S>
using LaneIndex = std::conditional_t<sizeof(S) == 4, std::uint32_t, std::uint64_t>;

template <class S>
using Lanes = Vector<S, 4 * sizeof(S)>;
template <class S>
using IndexLanes = Vector<LaneIndex<S>, 4 * sizeof(S)>;
template <class S>
using LaneMask = MaskOf<Lanes<S>>;

// Sum of the four lanes as (l0 + l1) + (l2 + l3). With the pad lane at zero this
// is (dx² + dy²) + dz² exactly; the grouping decides ties between equal-looking
// distances, so every search uses this one function.
template <class S>
inline S horizontal_sum(Lanes<S> v) {
    return (v[0] + v[1]) + (v[2] + v[3]);
}

// Lanes i0..i3 of the eight lanes of a then b.
template <int i0, int i1, int i2, int i3, class S>
inline Lanes<S> shuffle_lanes(Lanes<S> a, Lanes<S> b) {
#if defined(__clang__)
    return __builtin_shufflevector(a, b, i0, i1, i2, i3);
#else
    return __builtin_shuffle(a, b, LaneMask<S>{i0, i1, i2, i3});
#endif
}

// Index lanes i0..i3 of v.
template <int i0, int i1, int i2, int i3, class S>
inline IndexLanes<S> shuffle_index_lanes(IndexLanes<S> v) {
#if defined(__clang__)
    return __builtin_shufflevector(v, v, i0, i1, i2, i3);
#else
    return __builtin_shuffle(v, IndexLanes<S>{i0, i1, i2, i3});
#endif
}

// True when any lane of a comparison mask is set.
template <class Mask>
[[gnu::always_inline]] inline bool any_lane(const Mask& mask) {
    std::uint64_t words[sizeof(Mask) / 8];
    std::memcpy(words, &mask, sizeof words);
    std::uint64_t any = 0;
    for (std::uint64_t word : words) any |= word;
    return any != 0;
}

// One bit per lane of a comparison mask, lane i at bit i.
template <class S, class Mask>
[[gnu::always_inline]] inline std::uint32_t lane_bits(const Mask& mask) {
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (sizeof(S) == 4) {
        return static_cast<std::uint32_t>(__builtin_ia32_movmskps(std::bit_cast<Vector<float, 16>>(mask)));
    } else {
        // In two 16-byte halves, which the baseline instruction set can test.
        typedef Vector<double, 16> Two;
        Two low, high;
        std::memcpy(&low, &mask, sizeof low);
        std::memcpy(&high, reinterpret_cast<const char*>(&mask) + sizeof low, sizeof high);
        return static_cast<std::uint32_t>(__builtin_ia32_movmskpd(low) | (__builtin_ia32_movmskpd(high) << 2));
    }
#else
    std::uint32_t bits = 0;
    for (int lane = 0; lane < 4; ++lane) bits |= static_cast<std::uint32_t>(mask[lane] != 0) << lane;
    return bits;
#endif
}

}  // namespace ornel
