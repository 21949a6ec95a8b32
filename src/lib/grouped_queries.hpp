// The query side of an all-by-all join, prepared once: many clouds'
// packed points concatenated and sorted into Morton (Z-order) order.
//
// Consecutive points of the sorted set lie close together in space, so the
// blocks of the blocked descent stand on the same few target vertices and
// share their gathers. `perm` maps a sorted position to its concatenated
// index, `offsets` gives each cloud's range of concatenated indices, and
// `query_perms` keeps owned copies of the callers' cloud permutations for
// putting results back in each cloud's original order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "failure.hpp"
#include "morton.hpp"
#include "packed_point.hpp"
#include "strided.hpp"

namespace ornel {

namespace detail {

// Every cloud has its entry in `cloud_perms`, and a present one sends the
// cloud's points to distinct places inside the cloud; anything else would
// come back as mislabelled answers. Entries beyond a cloud's size are not
// read. Messages for a short permutation and an entry out of range are the
// index messages; a repeat and a list of the wrong length say so.
template <class S>
void check_cloud_permutations(std::span<const std::span<const PackedPoint<S>>> clouds,
                              std::span<const std::optional<Strided<std::int64_t>>> cloud_perms) {
    if (cloud_perms.size() != clouds.size()) fail(Failure::query_perms_count, cloud_perms.size(), clouds.size());
    std::size_t largest = 0;
    for (std::span<const PackedPoint<S>> cloud : clouds) largest = std::max(largest, cloud.size());
    Buffer<std::uint8_t> taken(largest);
    for (std::size_t c = 0; c < clouds.size(); ++c) {
        const std::size_t size = clouds[c].size();
        if (size == 0 || !cloud_perms[c]) continue;
        const Strided<std::int64_t>& p = *cloud_perms[c];
        if (p.len < size) fail_index(p.len, p.len);
        std::fill_n(taken.data(), size, std::uint8_t{0});
        for (std::size_t k = 0; k < size; ++k) {
            const std::uint64_t destination = static_cast<std::uint64_t>(p[k]);
            check_index(destination, size);
            if (taken[destination]) fail(Failure::query_perm_repeat, c, destination);
            taken[destination] = 1;
        }
    }
}

}  // namespace detail

template <class S>
struct GroupedQueries {
    Buffer<PackedPoint<S>> points;
    Buffer<std::uint64_t> perm;
    Buffer<std::uint64_t> offsets;
    std::vector<std::optional<Buffer<std::int64_t>>> query_perms;

    std::size_t n_points() const { return points.size(); }
    std::size_t n_clouds() const { return offsets.size() - 1; }

    // Checks the permutations, concatenates the clouds, sorts the points by
    // Morton key, and copies the permutations.
    //
    // The key box is taken over every coordinate in double precision, NaN
    // passed over; a flat axis gets extent 1. Pairs (key, concatenated index)
    // are sorted by key, equal keys by index, so the order is reproducible.
    // Cost: O(n log n) for the sort, linear otherwise.
    static GroupedQueries build(std::span<const std::span<const PackedPoint<S>>> clouds,
                                std::span<const std::optional<Strided<std::int64_t>>> cloud_perms) {
        detail::check_cloud_permutations(clouds, cloud_perms);
        GroupedQueries grouped;
        grouped.offsets = Buffer<std::uint64_t>(clouds.size() + 1);
        grouped.offsets[0] = 0;
        for (std::size_t c = 0; c < clouds.size(); ++c) grouped.offsets[c + 1] = grouped.offsets[c] + clouds[c].size();
        const std::size_t n = grouped.offsets[clouds.size()];

        Buffer<PackedPoint<S>> concatenated(n);
        for (std::size_t c = 0; c < clouds.size(); ++c)
            std::copy(clouds[c].begin(), clouds[c].end(), concatenated.data() + grouped.offsets[c]);

        grouped.points = Buffer<PackedPoint<S>>(n);
        grouped.perm = Buffer<std::uint64_t>(n);
        if (n > 0) {
            constexpr double inf = std::numeric_limits<double>::infinity();
            double lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
            for (const PackedPoint<S>& p : concatenated) {
                for (int axis = 0; axis < 3; ++axis) {
                    lo[axis] = min_ignoring_nan(lo[axis], static_cast<double>(p[axis]));
                    hi[axis] = max_ignoring_nan(hi[axis], static_cast<double>(p[axis]));
                }
            }
            double extent[3];
            for (int axis = 0; axis < 3; ++axis) {
                extent[axis] = hi[axis] - lo[axis];
                if (extent[axis] == 0.0) extent[axis] = 1.0;
            }

            struct Keyed {
                std::uint64_t key;
                std::uint64_t index;
                bool operator<(const Keyed& other) const {
                    return key != other.key ? key < other.key : index < other.index;
                }
            };
            Buffer<Keyed> keyed(n);
            for (std::size_t i = 0; i < n; ++i) {
                const PackedPoint<S>& p = concatenated[i];
                std::uint64_t q[3];
                for (int axis = 0; axis < 3; ++axis)
                    q[axis] = morton_quantum(static_cast<double>(p[axis]), lo[axis], extent[axis]);
                keyed[i] = {morton_key(q[0], q[1], q[2]), i};
            }
            std::sort(keyed.begin(), keyed.end());
            for (std::size_t s = 0; s < n; ++s) {
                grouped.perm[s] = keyed[s].index;
                grouped.points[s] = concatenated[keyed[s].index];
            }
        }

        grouped.query_perms.reserve(cloud_perms.size());
        for (const std::optional<Strided<std::int64_t>>& given : cloud_perms) {
            if (!given) {
                grouped.query_perms.emplace_back(std::nullopt);
                continue;
            }
            Buffer<std::int64_t> copy(given->len);
            for (std::size_t i = 0; i < given->len; ++i) copy[i] = (*given)[i];
            grouped.query_perms.emplace_back(std::move(copy));
        }
        return grouped;
    }
};

}  // namespace ornel
