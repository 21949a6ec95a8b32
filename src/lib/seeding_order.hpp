// Who seeds whom when a cloud's points are searched along its own graph.
#pragma once

#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "buffer.hpp"
#include "csr.hpp"
#include "failure.hpp"
#include "query_walk.hpp"

namespace ornel {

// Who seeds whom along the query walk, in order of discovery.
struct SeedingOrder {
    static constexpr std::uint32_t target_start = std::numeric_limits<std::uint32_t>::max();

    explicit SeedingOrder(std::size_t nq) : query(nq), seeded_by(nq), root(nq), pop_rank(nq) {}

    Buffer<std::uint32_t> query;      // the query points in order of discovery
    Buffer<std::uint32_t> seeded_by;  // whose answer seeds each (for a root, the point answered
                                      // just before it); target_start for the first root
    Buffer<std::uint8_t> root;        // 1 for the roots of the walk
    Buffer<std::uint32_t> pop_rank;   // by query point: its place in the order the walk answers them
};

// Runs the query walk of a cloud of `n_points` packed points without
// searching, checking what it reads exactly as a searching walk does, in the
// same order (a point is checked against the points where the search would
// read it). Needs nq < 2^32 - 1.
inline SeedingOrder seeding_order(const CsrArray& indptr, const CsrArray& indices, std::size_t n_points,
                                  std::size_t nq) {
    QueryWalk walk(nq);
    SeedingOrder order(nq);
    // Roots are pushed with the walk's root seed, the others with their
    // discoverer: a bit above the 32 of a point tells the two apart.
    constexpr std::uint64_t root_mark = std::uint64_t{1} << 32;
    std::uint64_t root_seed = root_mark | SeedingOrder::target_start;
    std::size_t discovered = 0;
    std::uint32_t answered = 0;
    walk.run<DecreasingRows::fail>(
        indptr, indices, root_seed,
        [&](std::uint64_t, std::uint64_t q) -> std::uint64_t {
            check_index(q, n_points);
            order.pop_rank[q] = answered++;
            root_seed = root_mark | q;
            return q;
        },
        [&](std::uint64_t seeded_by, std::uint64_t q) {
            order.query[discovered] = static_cast<std::uint32_t>(q);
            order.seeded_by[discovered] = static_cast<std::uint32_t>(seeded_by);
            order.root[discovered] = (seeded_by & root_mark) != 0;
            ++discovered;
        });
    return order;
}

// A prepared cloud's seeding order, worked out the first time the cloud is a
// query and kept: it depends on nothing but the cloud's own graph, and a
// cloud joined against many targets would otherwise walk it for each. A walk
// that fails keeps nothing, so every call reports the fault.
class SeedingOrderCache {
public:
    // Threads asking together wait for one walk; the order never changes
    // once set, so the reference stays good after the lock is dropped.
    template <class Build>
    const SeedingOrder& get(Build&& build) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!order_) order_.emplace(build());
        return *order_;
    }

private:
    std::mutex mutex_;
    std::optional<SeedingOrder> order_;
};

}  // namespace ornel
