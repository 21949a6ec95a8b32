// A stable sort of (key, row) records by their 64-bit key: least significant
// digit first, 11 bits a pass, each pass split over threads.
//
// Stable, so records with equal keys keep their order: sorting records made
// in row order gives equal keys in row order, what std::sort by (key, row)
// gives. A pass whose digit is the same in every record is skipped (keys of
// 63 bits, or from a small box, leave the top passes empty). Cost: one read
// of the keys for every digit's histogram, then per pass one histogram of each
// thread's part and one scatter; about 2 n words moved a pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "parallel_loop.hpp"

namespace ornel {

struct KeyedRow {
    std::uint64_t key;
    std::uint32_t row;
};

inline constexpr int radix_bits = 11;
inline constexpr std::size_t radix_buckets = std::size_t{1} << radix_bits;
inline constexpr int radix_passes = (64 + radix_bits - 1) / radix_bits;

// Sorts `records` by key, stably; `threads` threads where the records are many
// enough to share.
inline void radix_sort(Buffer<KeyedRow>& records, std::size_t threads) {
    const std::size_t n = records.size();
    if (n < 2) return;
    using Histogram = std::array<std::size_t, radix_buckets>;
    auto digit = [](std::uint64_t key, int pass) {
        return static_cast<std::size_t>((key >> (pass * radix_bits)) & (radix_buckets - 1));
    };
    // Which passes change anything: a digit equal in all records is one the
    // first record's digit predicts.
    std::uint64_t varying = 0;
    {
        const std::uint64_t first = records[0].key;
        const std::size_t parts = parts_for_items(n, threads, 1 << 16);
        std::vector<std::uint64_t> part_varying(parts, 0);
        on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
            std::uint64_t bits = 0;
            for (std::size_t i = begin; i < end; ++i) bits |= records[i].key ^ first;
            part_varying[part] = bits;
        });
        for (std::uint64_t bits : part_varying) varying |= bits;
    }
    Buffer<KeyedRow> scratch(n);
    KeyedRow* from = records.data();
    KeyedRow* to = scratch.data();
    const std::size_t parts = parts_for_items(n, threads, 1 << 16);
    std::vector<Histogram> counts(parts);
    for (int pass = 0; pass < radix_passes; ++pass) {
        if (((varying >> (pass * radix_bits)) & (radix_buckets - 1)) == 0) continue;
        on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
            Histogram& count = counts[part];
            count.fill(0);
            for (std::size_t i = begin; i < end; ++i) ++count[digit(from[i].key, pass)];
        });
        // Bucket by bucket, part by part: where each part writes its records.
        std::size_t offset = 0;
        for (std::size_t bucket = 0; bucket < radix_buckets; ++bucket)
            for (std::size_t part = 0; part < parts; ++part) offset += std::exchange(counts[part][bucket], offset);
        on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
            Histogram& next = counts[part];
            for (std::size_t i = begin; i < end; ++i) to[next[digit(from[i].key, pass)]++] = from[i];
        });
        std::swap(from, to);
    }
    if (from != records.data()) records = std::move(scratch);
}

}  // namespace ornel
