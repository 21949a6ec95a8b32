// Z-order (Morton) keys: the bit interleaving, shared by the grouped query set
// and the tetrahedraliser's insertion order, and the grouped set's quantiser
// and key.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "buffer.hpp"
#include "radix_sort.hpp"
#include "parallel_loop.hpp"

namespace ornel {

// Spreads the low 21 bits of v so that bit i lands on bit 3i.
inline std::uint64_t spread_bits_21(std::uint64_t v) {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x001f00000000ffffull;
    v = (v | v << 16) & 0x001f0000ff0000ffull;
    v = (v | v << 8) & 0x100f00f00f00f00full;
    v = (v | v << 4) & 0x10c30c30c30c30c3ull;
    v = (v | v << 2) & 0x1249249249249249ull;
    return v;
}

// The inverse of spread_bits_21: bits 0, 3, 6, .. 60 of v gathered into the
// low 21 bits.
inline std::uint64_t compact_bits_21(std::uint64_t v) {
    v &= 0x1249249249249249ull;
    v = (v | v >> 2) & 0x10c30c30c30c30c3ull;
    v = (v | v >> 4) & 0x100f00f00f00f00full;
    v = (v | v >> 8) & 0x001f0000ff0000ffull;
    v = (v | v >> 16) & 0x001f00000000ffffull;
    v = (v | v >> 32) & 0x1fffff;
    return v;
}

// spread_bits_21 of every value below 2^spread_table_bits, looked up.
inline constexpr int spread_table_bits = 10;
inline constexpr auto spread_table = [] {
    std::array<std::uint32_t, std::size_t{1} << spread_table_bits> table{};
    for (std::uint32_t v = 0; v < table.size(); ++v)
        for (int bit = 0; bit < spread_table_bits; ++bit) table[v] |= ((v >> bit) & 1u) << (3 * bit);
    return table;
}();

// Interleaves three 21-bit quanta, x in the least significant bit of each
// triple; bit 63 stays 0.
inline std::uint64_t morton_key(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
    return spread_bits_21(x) | spread_bits_21(y) << 1 | spread_bits_21(z) << 2;
}

// (c - lo) / extent scaled to 0 .. 2^21 - 1, truncated toward zero with
// saturation: negative or NaN gives 0, beyond 64 bits gives all ones.
inline std::uint64_t morton_quantum(double c, double lo, double extent) {
    const double q = (c - lo) / extent * 2097151.0;
    if (!(q > 0.0)) return 0;
    if (q >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(q);
}

// The permutation (sorted position -> row) that sorts the rows of `points`
// (anything with rows and at(row, column), three columns read) by the key
// above over their bounding box, equal keys in row order. The same key the
// grouped query set sorts by, so a cloud sorted here is sorted there too.
// The keys are made and radix-sorted on `threads` threads (stable, so equal
// keys stay in row order); a cloud too large for 32-bit rows is sorted by
// (key, row) instead, the same order.
template <class Points>
Buffer<std::int64_t> morton_order(const Points& points, std::size_t threads = 1) {
    const std::size_t n = points.rows;
    double lo[3], extent[3];
    for (int axis = 0; axis < 3; ++axis) {
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (std::size_t i = 0; i < n; ++i) {
            const double c = static_cast<double>(points.at(i, axis));
            low = c < low ? c : low;  // a NaN never replaces a bound
            high = c > high ? c : high;
        }
        lo[axis] = low;
        extent[axis] = high > low ? high - low : 1.0;
    }
    auto key_of = [&](std::size_t i) {
        std::uint64_t q[3];
        for (int axis = 0; axis < 3; ++axis)
            q[axis] = morton_quantum(static_cast<double>(points.at(i, axis)), lo[axis], extent[axis]);
        return morton_key(q[0], q[1], q[2]);
    };
    Buffer<std::int64_t> order(n);
    if (n < std::numeric_limits<std::uint32_t>::max()) {
        const Buffer<KeyedRow> keyed = sorted_by_key(n, key_of, threads, 63);
        for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].row;
        return order;
    }
    struct Keyed {
        std::uint64_t key;
        std::int64_t row;
        bool operator<(const Keyed& other) const { return key < other.key || (key == other.key && row < other.row); }
    };
    Buffer<Keyed> keyed(n);
    for (std::size_t i = 0; i < n; ++i) keyed[i] = {key_of(i), static_cast<std::int64_t>(i)};
    std::sort(keyed.data(), keyed.data() + n);
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].row;
    return order;
}

}  // namespace ornel
