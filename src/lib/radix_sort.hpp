// A stable sort of (key, row) records by their 64-bit key, the records made
// by the sort itself: one pass by the key's top digit spread over threads,
// then each bucket sorted alone, least significant digit first, while it sits
// in cache.
//
// Stable throughout, so equal keys keep their rows in order: what std::sort by
// (key, row) gives. The first pass makes the keys, counts their top digit per
// thread and notes which bits vary, all in one read of the input; the scatter
// by the top digit is the only pass over the whole array out of cache (none
// for keys that are in order already: a cloud given sorted). Each
// bucket (about 4096 records for a spread cloud) then takes one read to
// count all its digits and one scatter per digit that is not the same in all
// its records, between the two arrays' slices of that bucket. A cloud whose
// top bits are all equal (a tiny box, a flat or straight one) is split by its
// highest varying digit instead. Cost: about 3 n words moved out of cache, and
// the in-cache passes.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "huge_pages.hpp"
#include "parallel_loop.hpp"

namespace ornel {

struct KeyedRow {
    std::uint64_t key;
    std::uint32_t row;

    static KeyedRow of(std::uint64_t key, std::uint32_t row) { return {key, row}; }
    std::uint64_t sort_key() const { return key; }
    std::uint32_t sorted_row() const { return row; }
};

// The same for keys below 2^32, both in one word (half the bytes moved and
// kept): the key above the row.
struct PackedRow {
    std::uint64_t word;

    static constexpr int most_key_bits = 32;
    static PackedRow of(std::uint64_t key, std::uint32_t row) { return {key << 32 | row}; }
    std::uint64_t sort_key() const { return word >> 32; }
    std::uint32_t sorted_row() const { return static_cast<std::uint32_t>(word); }
};

namespace detail {

// The top digit's width grows with n, for buckets of about 4096 records
// (64 KB, well within a core's second-level cache), but stays narrow enough
// that the scatter's destinations do not outrun the write buffers and the
// address translation cache.
inline constexpr int most_top_digit_bits = 11;
inline constexpr std::size_t most_top_buckets = std::size_t{1} << most_top_digit_bits;
inline int top_digit_bits(std::size_t n) {
    return std::clamp(static_cast<int>(std::bit_width(n >> 12)), 4, most_top_digit_bits);
}
// The digits within a bucket: at most 11 bits, so that 55 bits take 5
// passes; the bits are shared evenly among the passes they take, since a
// narrower digit clears and sums fewer counts (26 bits: three passes of 9
// bits, not 11, 11 and 4, whose 2048 counts a pass outnumbered the records
// of a small cloud's buckets).
inline constexpr int local_digit_bits = 11;
inline constexpr std::size_t local_buckets = std::size_t{1} << local_digit_bits;
inline constexpr int local_passes = (64 + local_digit_bits - 1) / local_digit_bits;
// Buckets this small are sorted by insertion: fewer moves than the passes.
inline constexpr std::size_t insertion_bucket = 48;

using LocalCounts = std::array<std::array<std::uint32_t, local_buckets>, local_passes>;

// Sorts from[0, n) by the key's bits below `bits`, stably, with `to` as
// scratch; the result ends in `from`. `counts` is the caller's scratch.
template <class Record>
void sort_bucket(Record* from, Record* to, std::size_t n, int bits, LocalCounts& counts) {
    Record* const home = from;
    if (n < 2 || bits <= 0) return;  // no bits: the bucket's keys are all equal
    if (n <= insertion_bucket) {
        for (std::size_t i = 1; i < n; ++i) {
            const Record record = from[i];
            std::size_t j = i;
            for (; j > 0 && from[j - 1].sort_key() > record.sort_key(); --j) from[j] = from[j - 1];  // strict: stable
            from[j] = record;
        }
        return;
    }
    const int passes = (bits + local_digit_bits - 1) / local_digit_bits;
    const int digit_bits = (bits + passes - 1) / passes;
    const std::size_t digits = std::size_t{1} << digit_bits;
    const std::uint64_t mask = digits - 1;
    for (int pass = 0; pass < passes; ++pass) std::fill_n(counts[pass].begin(), digits, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = from[i].sort_key();
        for (int pass = 0; pass < passes; ++pass) ++counts[pass][(key >> (pass * digit_bits)) & mask];
    }
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = pass * digit_bits;
        std::uint32_t* const next = counts[pass].data();
        if (next[(from[0].sort_key() >> shift) & mask] == n) continue;  // one digit for all: nothing moves
        std::uint32_t offset = 0;
        for (std::size_t digit = 0; digit < digits; ++digit) offset += std::exchange(next[digit], offset);
        for (std::size_t i = 0; i < n; ++i) to[next[(from[i].sort_key() >> shift) & mask]++] = from[i];
        std::swap(from, to);
    }
    if (from != home)
        for (std::size_t i = 0; i < n; ++i) home[i] = from[i];
}

}  // namespace detail

// The two arrays a sort works in, kept for the next sort of no more bytes
// of records: a second sort (the queries' after the target's) then pays no
// fresh pages.
struct SortSpace {
    Buffer<KeyedRow> records, scratch;  // as bytes, for records of either kind

    // Both room for n records of `Record`.
    template <class Record>
    void reserve(std::size_t n) {
        static_assert(sizeof(KeyedRow) % sizeof(Record) == 0 && alignof(Record) <= alignof(KeyedRow));
        const std::size_t length = (n * sizeof(Record) + sizeof(KeyedRow) - 1) / sizeof(KeyedRow);
        for (Buffer<KeyedRow>* array : {&records, &scratch})
            if (array->size() < length) {
                *array = Buffer<KeyedRow>();
                *array = Buffer<KeyedRow>(length);
                // Both arrays are scattered into: 2 MB pages spare most of
                // their faults and translation misses.
                advise_huge_pages(array->data(), length * sizeof(KeyedRow));
            }
    }
    // The bytes both arrays hold.
    std::size_t bytes() const { return (records.size() + scratch.size()) * sizeof(KeyedRow); }
    template <class Record>
    Record* records_as() {
        return reinterpret_cast<Record*>(records.data());
    }
    template <class Record>
    Record* scratch_as() {
        return reinterpret_cast<Record*>(scratch.data());
    }
};

// The records {key_of(i), i} for i in 0 .. n - 1 (n below 2^32), sorted by
// key, equal keys in row order, in one of `space`'s arrays (the one
// returned; the other is scratch); made and sorted on `threads` threads, so
// key_of must be safe to call from several at once. Keys below 2^key_bits
// (63 for Morton keys) spare the first pass an empty bit. PackedRow records
// need keys below 2^32.
//
// `falls_allowed`: keys that fall (are below the one before) at most that
// many times are returned as they stand, in row order, not sorted: for an
// order that only needs to be near the sorted one (the grid's queries').
template <class Record = KeyedRow, class KeyOf>
const Record* sort_by_key(SortSpace& space, std::size_t n, KeyOf&& key_of, std::size_t threads, int key_bits = 64,
                          std::size_t falls_allowed = 0) {
    using namespace detail;
    if constexpr (requires { Record::most_key_bits; }) key_bits = std::min(key_bits, Record::most_key_bits);
    using TopCounts = std::array<std::uint32_t, most_top_buckets>;
    const int top_bits = top_digit_bits(n);
    const std::size_t top_buckets = std::size_t{1} << top_bits;
    const int top_shift = std::max(key_bits - top_bits, 0);
    space.reserve<Record>(n);
    Record* const records = space.records_as<Record>();
    if (n == 0) return records;
    const std::size_t parts = parts_for_items(n, threads, 1 << 15);
    std::vector<TopCounts> counts(parts);
    std::vector<std::uint64_t> first_key(parts), last_key(parts), varying(parts), descents(parts);
    on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
        TopCounts& count = counts[part];
        std::fill_n(count.begin(), top_buckets, 0);
        const std::uint64_t first = key_of(begin);
        std::uint64_t bits = 0, before = first, falls = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint64_t key = key_of(i);
            records[i] = Record::of(key, static_cast<std::uint32_t>(i));
            ++count[(key >> top_shift) & (top_buckets - 1)];
            bits |= key ^ first;
            falls += key < before;
            before = key;
        }
        first_key[part] = first;
        last_key[part] = before;
        varying[part] = bits;
        descents[part] = falls;
    });
    std::uint64_t varying_bits = 0, falls = 0;
    for (std::size_t part = 0; part < parts; ++part) {
        varying_bits |= varying[part] | (first_key[part] ^ first_key[0]);
        falls += descents[part] + (part > 0 && first_key[part] < last_key[part - 1]);
    }
    // Keys that never fall (all equal, or a cloud given in this order
    // already) are sorted in row order as they stand: the stable order.
    if (varying_bits == 0 || falls <= falls_allowed) return records;

    // The digit to split by: the top one, or else the highest that varies
    // (the bits above it are the same in every key).
    const int high = 64 - std::countl_zero(varying_bits);
    const int shift = high > top_shift && high <= key_bits ? top_shift : std::max(high - top_bits, 0);
    auto top_digit = [shift, top_buckets](std::uint64_t key) { return (key >> shift) & (top_buckets - 1); };
    if (shift != top_shift)
        on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
            TopCounts& count = counts[part];
            std::fill_n(count.begin(), top_buckets, 0);
            for (std::size_t i = begin; i < end; ++i) ++count[top_digit(records[i].sort_key())];
        });

    // Bucket by bucket, part by part: where each part writes its records.
    std::vector<std::size_t> bucket_begin(top_buckets + 1);
    std::uint32_t offset = 0;
    for (std::size_t bucket = 0; bucket < top_buckets; ++bucket) {
        bucket_begin[bucket] = offset;
        for (std::size_t part = 0; part < parts; ++part) offset += std::exchange(counts[part][bucket], offset);
    }
    bucket_begin[top_buckets] = n;
    Record* const scratch = space.scratch_as<Record>();
    on_ranges(n, parts, [&](std::size_t part, std::size_t begin, std::size_t end) {
        TopCounts& next = counts[part];
        for (std::size_t i = begin; i < end; ++i) scratch[next[top_digit(records[i].sort_key())]++] = records[i];
    });

    // Each part sorts whole buckets holding about its share of the records,
    // in place in `scratch`, with `records`' slices of them as its scratch.
    on_threads(parts, [&](std::size_t part) {
        LocalCounts local;
        const std::size_t from = n * part / parts, to = n * (part + 1) / parts;
        for (std::size_t bucket = 0; bucket < top_buckets; ++bucket) {
            const std::size_t begin = bucket_begin[bucket], end = bucket_begin[bucket + 1];
            // A bucket belongs to the part its first record falls in.
            if (begin < from || begin >= to || begin == end) continue;
            sort_bucket(scratch + begin, records + begin, end - begin, shift, local);
        }
    });
    return scratch;
}

// sort_by_key in arrays of its own, the sorted one returned.
template <class KeyOf>
Buffer<KeyedRow> sorted_by_key(std::size_t n, KeyOf&& key_of, std::size_t threads, int key_bits = 64) {
    SortSpace space;
    const KeyedRow* const sorted = sort_by_key(space, n, key_of, threads, key_bits);
    return sorted == space.records.data() ? std::move(space.records) : std::move(space.scratch);
}

}  // namespace ornel
