// One target against a whole grouped query set, then back to the callers'
// numbering.
//
// The grouped set's Morton-ordered points run through the blocked descent as
// they are stored, so nothing is copied or sorted per target. Finalising
// scatters the raw results to concatenated order through `perm`, then moves
// each cloud's answers to its original order through its permutation and
// translates target indices through `target_perm`; a miss keeps index nt.
//
// The cloud permutations were checked when the set was built. `target_perm`
// is checked before the descent, so a malformed call costs nothing: it must
// cover every target index and send each to a distinct index of the target.
// Cost: the descent, plus two linear passes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "blocked_descent.hpp"
#include "buffer.hpp"
#include "failure.hpp"
#include "grouped_queries.hpp"
#include "operand.hpp"
#include "result.hpp"
#include "search_bound.hpp"
#include "strided.hpp"

namespace ornel {

struct GroupedOptions {
    std::size_t block = 32;
    bool finalize = true;
};

namespace detail {

// The permutation of cloud c, if the caller gave one.
template <class S>
const Buffer<std::int64_t>* cloud_perm(const GroupedQueries<S>& grouped, std::size_t c) {
    if (c >= grouped.query_perms.size() || !grouped.query_perms[c]) return nullptr;
    return &*grouped.query_perms[c];
}

inline void check_target_perm(const std::optional<Strided<std::int64_t>>& target_perm, std::uint64_t nt) {
    if (!target_perm) return;
    if (target_perm->len < nt) fail_index(target_perm->len, nt - 1);
    Buffer<std::uint8_t> taken(nt, 0);
    for (std::uint64_t t = 0; t < nt; ++t) {
        const std::int64_t original = (*target_perm)[t];
        if (original < 0 || static_cast<std::uint64_t>(original) >= nt)
            fail(Failure::target_perm_out_of_range, t, static_cast<std::uint64_t>(original), nt);
        if (taken[original]) fail(Failure::target_perm_repeat, t, static_cast<std::uint64_t>(original));
        taken[original] = 1;
    }
}

}  // namespace detail

template <class S>
SearchResult<S> grouped_descent(const PreparedGraph<S>& target, const GroupedQueries<S>& grouped,
                                const std::optional<Strided<std::int64_t>>& target_perm, const GroupedOptions& options,
                                const std::optional<SearchBound<S>>& bound) {
    const std::size_t n = grouped.n_points();
    const std::uint64_t nt = target.points.size();
    if (n == 0) return {Buffer<S>(0), Buffer<std::uint64_t>(0)};
    if (options.finalize) detail::check_target_perm(target_perm, nt);

    SearchResult<S> raw = blocked_descent<S>(grouped.points.span(), n, target, options.block, bound);
    if (!options.finalize) return raw;

    auto translate = [&](std::uint64_t t) -> std::uint64_t {
        if (t >= nt) return nt;  // a miss keeps the miss index
        return target_perm ? static_cast<std::uint64_t>((*target_perm)[t]) : t;
    };
    SearchResult<S> out{Buffer<S>(n), Buffer<std::uint64_t>(n)};
    bool reordered = false;
    for (std::size_t c = 0; c < grouped.n_clouds(); ++c) reordered |= detail::cloud_perm(grouped, c) != nullptr;
    if (!reordered) {
        // Concatenated order is the final order: one scatter does it all.
        for (std::size_t s = 0; s < n; ++s) {
            const std::uint64_t i = grouped.perm[s];
            out.dists[i] = raw.dists[s];
            out.idx[i] = translate(raw.idx[s]);
        }
        return out;
    }

    // Scatter to concatenated order, into the result's buffers; then move each
    // cloud into its original order, into the raw buffers, which are free.
    for (std::size_t s = 0; s < n; ++s) {
        const std::uint64_t i = grouped.perm[s];
        out.dists[i] = raw.dists[s];
        out.idx[i] = raw.idx[s];
    }
    std::swap(out, raw);
    for (std::size_t c = 0; c < grouped.n_clouds(); ++c) {
        const std::uint64_t lo = grouped.offsets[c];
        const std::uint64_t size = grouped.offsets[c + 1] - lo;
        const Buffer<std::int64_t>* p = detail::cloud_perm(grouped, c);
        if (size == 0) continue;
        for (std::uint64_t k = 0; k < size; ++k) {
            const std::uint64_t destination = lo + (p ? static_cast<std::uint64_t>((*p)[k]) : k);
            out.dists[destination] = raw.dists[lo + k];
            out.idx[destination] = translate(raw.idx[lo + k]);
        }
    }
    return out;
}

}  // namespace ornel
