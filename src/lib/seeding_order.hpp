// Who seeds whom when a cloud's points are searched along its own graph.
#pragma once

#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "buffer.hpp"

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
