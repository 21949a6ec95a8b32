// The order in which points are inserted: biased randomised rounds, each
// along a Hilbert curve, so that every point is found by a short walk from the
// last one and the cavities stay small.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "../morton.hpp"
#include "mesh.hpp"
#include "threads.hpp"

namespace ornel::delaunay {

struct InsertionOrder {
    std::vector<std::uint32_t> order;
    std::vector<std::size_t> round_ends;  // positions in `order` where each round ends
    // When asked for: each point's place on the curve (the top 32 of the
    // cell's 60 bits), indexed by position in `order`, the helper point's
    // (index n) last.
    std::vector<std::uint32_t> cell;
};

namespace detail {

inline std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The place of a cell (three 10-bit coordinates) on a Hilbert curve, 30
// bits: Skilling's transposition ("Programming the Hilbert curve", 2004),
// written without branches, since the bits it tests are random.
inline std::uint64_t hilbert_key(std::uint32_t x0, std::uint32_t x1, std::uint32_t x2) {
    for (std::uint32_t q = 1u << 9; q > 1; q >>= 1) {
        const std::uint32_t p = q - 1;
        x0 ^= p & (0u - ((x0 & q) != 0));
        // Where x[i] has the bit, x0's lower bits are inverted; else they are swapped with x[i]'s.
        const std::uint32_t m1 = 0u - ((x1 & q) != 0);
        const std::uint32_t t1 = (x0 ^ x1) & p & ~m1;
        x0 ^= (p & m1) | t1;
        x1 ^= t1;
        const std::uint32_t m2 = 0u - ((x2 & q) != 0);
        const std::uint32_t t2 = (x0 ^ x2) & p & ~m2;
        x0 ^= (p & m2) | t2;
        x2 ^= t2;
    }
    x1 ^= x0;
    x2 ^= x1;
    std::uint32_t t = 0;
    for (std::uint32_t q = 1u << 9; q > 1; q >>= 1) t ^= (q - 1) & (0u - ((x2 & q) != 0));
    x0 ^= t;
    x1 ^= t;
    x2 ^= t;
    return spread_bits_21(x0) << 2 | spread_bits_21(x1) << 1 | spread_bits_21(x2);
}

}  // namespace detail

// Each of the n points (three doubles each in `xyz`) falls in a round by a
// hash of its coordinates (half of them in the last round, a quarter in the
// one before, ...), and each round runs along a Hilbert curve. Equal points
// get equal keys, so the one with the smallest index comes first. With
// `cells`, notes each point's cell in the order's positions, and the helper
// point's (index n) when `helper` is set. `threads` may share the keys of large clouds.
inline InsertionOrder insertion_order(const double* xyz, std::size_t n, bool cells, bool helper,
                                      std::size_t threads = 1) {
    double low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) {
            low[k] = std::min(low[k], xyz[3 * i + k]);
            high[k] = std::max(high[k], xyz[3 * i + k]);
        }
    double scale[3];
    for (int k = 0; k < 3; ++k) {
        // Halves keep the extent finite for coordinates near the largest double.
        const double extent = high[k] * 0.5 - low[k] * 0.5;
        scale[k] = extent > 0 ? 1048575.0 / extent : 0.0;
    }
    int rounds = 1;
    while (rounds < 12 && (n >> (rounds + 7)) > 0) ++rounds;
    // A Hilbert key on the top 10 bits per axis rather than a Morton one: a
    // range of it is one compact region, so the walks from point to point
    // are shorter, and the ranges of a parallel round meet along less
    // surface, and along another surface once the curve is turned. Within
    // each of its cells (2^-10 of the box across) the Morton key of the 10
    // bits below, which costs less and matters little at that scale. 60
    // bits, so that the round fits above them in the same 64-bit key.
    auto cell_of = [&](std::size_t i) {
        std::uint32_t x[3];
        for (int k = 0; k < 3; ++k) {
            const double q = std::min(std::max((xyz[3 * i + k] * 0.5 - low[k] * 0.5) * scale[k], 0.0), 1048575.0);
            x[k] = static_cast<std::uint32_t>(q);
        }
        const std::uint64_t fine =
            spread_bits_21(x[0] & 1023) | spread_bits_21(x[1] & 1023) << 1 | spread_bits_21(x[2] & 1023) << 2;
        return detail::hilbert_key(x[0] >> 10, x[1] >> 10, x[2] >> 10) << 30 | fine;
    };
    std::vector<std::uint64_t> keys(n);
    const std::size_t parts = threads > 1 && n >= 8192 ? std::min(threads, max_threads) : 1;
    on_threads(parts, [&](std::size_t part) {
        for (std::size_t i = n * part / parts, end = n * (part + 1) / parts; i < end; ++i) {
            const std::uint64_t cell = cell_of(i);
            std::uint64_t hash = 0x9E3779B97F4A7C15ull;
            for (int k = 0; k < 3; ++k) {
                const double x = xyz[3 * i + k];
                std::uint64_t bits;
                std::memcpy(&bits, &x, sizeof bits);
                hash = detail::mix(hash ^ bits);
            }
            const int level = std::min(__builtin_ctzll(hash | (std::uint64_t{1} << 40)), rounds - 1);
            const std::uint64_t round = static_cast<std::uint64_t>(rounds - 1 - level);
            keys[i] = round << 60 | cell;
        }
    });
    // Least significant digit first, 16 bits at a time: each pass is
    // stable, so equal keys keep the order of their indices. Large clouds
    // share each pass: every part counts its slice's digits, then moves its
    // slice to the places the counts of the parts before it leave, which
    // keeps the pass stable.
    InsertionOrder result;
    std::vector<std::uint32_t>& order = result.order;
    order.resize(n);
    std::vector<std::uint32_t> order_scratch(n);
    std::vector<std::uint64_t> keys_scratch(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    const std::size_t sorters = n >= 65536 ? std::min<std::size_t>(parts, 8) : 1;
    std::vector<std::uint32_t> count(65536 * sorters);
    for (int shift = 0; shift < 64; shift += 16) {
        on_threads(sorters, [&](std::size_t part) {
            std::uint32_t* mine = count.data() + 65536 * part;
            std::fill(mine, mine + 65536, 0);
            for (std::size_t i = n * part / sorters, end = n * (part + 1) / sorters; i < end; ++i)
                ++mine[keys[i] >> shift & 0xFFFF];
        });
        if (n == 0) break;
        {
            const std::size_t first = keys[0] >> shift & 0xFFFF;
            std::size_t same = 0;
            for (std::size_t part = 0; part < sorters; ++part) same += count[65536 * part + first];
            if (same == n) continue;  // one digit: nothing to move
        }
        std::uint32_t sum = 0;
        for (std::size_t digit = 0; digit < 65536; ++digit)
            for (std::size_t part = 0; part < sorters; ++part) sum += std::exchange(count[65536 * part + digit], sum);
        on_threads(sorters, [&](std::size_t part) {
            std::uint32_t* place = count.data() + 65536 * part;
            for (std::size_t i = n * part / sorters, end = n * (part + 1) / sorters; i < end; ++i) {
                const std::uint32_t to = place[keys[i] >> shift & 0xFFFF]++;
                keys_scratch[to] = keys[i];
                order_scratch[to] = order[i];
            }
        });
        keys.swap(keys_scratch);
        order.swap(order_scratch);
    }
    for (std::size_t i = 1; i <= n; ++i)
        if (i == n || keys[i] >> 60 != keys[i - 1] >> 60) result.round_ends.push_back(i);
    if (cells) {
        result.cell.assign(n + 1, 0);
        on_threads(sorters, [&](std::size_t part) {
            for (std::size_t i = n * part / sorters, end = n * (part + 1) / sorters; i < end; ++i)
                result.cell[i] = static_cast<std::uint32_t>(keys[i] >> 28);
        });
        if (helper) result.cell[n] = static_cast<std::uint32_t>(cell_of(n) >> 28);
    }
    return result;
}

}  // namespace ornel::delaunay
