// Visit marks for best-first searches, and the pool a prepared target keeps.
//
// A search marks a vertex by writing the current epoch into its stamp, so
// starting a new search is one increment; the stamps are cleared only when the
// 32-bit epoch wraps around. No stamp is ever above the current epoch, which
// lets a search test "not reached yet" as stamp < epoch. Allocating and
// zeroing nt stamps costs as much as a few hundred searches, so a prepared
// target keeps the stamps of finished calls in a pool and lends them to the
// next call: one set per call running at the same time, never shared by two
// calls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "buffer.hpp"

namespace ornel {

class VisitStamps {
public:
    explicit VisitStamps(std::size_t n) : stamps_(n, 0) {}

    std::size_t size() const { return stamps_.size(); }
    std::uint32_t* data() { return stamps_.data(); }

    // The epoch of a new search: no stamp holds it yet.
    std::uint32_t next_epoch() {
        if (++epoch_ == 0) {
            std::fill(stamps_.begin(), stamps_.end(), 0u);
            epoch_ = 1;
        }
        return epoch_;
    }

private:
    Buffer<std::uint32_t> stamps_;
    std::uint32_t epoch_ = 0;
};

class StampPool {
public:
    std::unique_ptr<VisitStamps> take(std::size_t n) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<VisitStamps> stamps = std::move(idle_.back());
                idle_.pop_back();
                if (stamps->size() == n) return stamps;
            }
        }
        return std::make_unique<VisitStamps>(n);
    }

    // Keeps the stamps for a later call; should the pool itself fail to grow,
    // they are simply freed.
    void give_back(std::unique_ptr<VisitStamps> stamps) noexcept {
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            idle_.push_back(std::move(stamps));
        } catch (...) {
        }
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<VisitStamps>> idle_;
};

// Stamps for one call: borrowed from a pool when there is one, returned to it
// when the call ends, however it ends.
class StampLease {
public:
    StampLease(StampPool* pool, std::size_t n)
        : pool_(pool), stamps_(pool ? pool->take(n) : std::make_unique<VisitStamps>(n)) {}
    StampLease(const StampLease&) = delete;
    StampLease& operator=(const StampLease&) = delete;
    ~StampLease() {
        if (pool_) pool_->give_back(std::move(stamps_));
    }

    VisitStamps& operator*() { return *stamps_; }
    VisitStamps* operator->() { return stamps_.get(); }

private:
    StampPool* pool_;
    std::unique_ptr<VisitStamps> stamps_;
};

}  // namespace ornel
