// Running the parts of one piece of work side by side: every parallel loop of
// the core goes through `on_threads` (parts numbered 0 .. parts - 1) or
// `split_over_threads` (contiguous ranges of items). Whatever a part throws
// is carried back and thrown on the calling thread once all parts are done,
// the lowest-numbered part's first, so the failure reported does not depend
// on how many threads ran.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace ornel {

// The most threads one loop or team runs at once.
inline constexpr std::size_t max_threads = 64;

namespace detail {
// The exceptions thrown by a set of parts, kept per part: the first is
// thrown again once all parts are done.
class PartErrors {
public:
    explicit PartErrors(std::size_t parts) : errors_(parts) {}
    // `job` with its part's exception caught and kept.
    template <class Job>
    auto guard(Job& job) {
        return [this, &job](std::size_t k) {
            try {
                job(k);
            } catch (...) {
                errors_[k] = std::current_exception();
            }
        };
    }
    void rethrow_first() const {
        for (const std::exception_ptr& error : errors_)
            if (error) std::rethrow_exception(error);
    }

private:
    std::vector<std::exception_ptr> errors_;
};
}  // namespace detail

// Threads kept for the parts of one build, which runs 10 to 25 sets of
// them: started once, they wait between sets. A thread started for each set
// began its work half a millisecond late on average (several when the build
// was faulting its pages in): a seventh of a 36,000-point build on two
// threads, though the calling thread's own part hid most of it. The calling
// thread takes parts too, and any part no helper has taken when
// it is done: each part only needs to run alone, not side by side, so
// helpers the system refuses, or late ones, cost time, never a result.
class ThreadTeam {
public:
    explicit ThreadTeam(std::size_t threads) {
        const std::size_t helpers = std::min(threads, max_threads) - 1;
        helpers_.reserve(helpers);
        try {
            for (std::size_t k = 0; k < helpers; ++k) helpers_.emplace_back([this] { serve(); });
        } catch (const std::system_error&) {
        }
    }
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;
    ~ThreadTeam() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& helper : helpers_) helper.join();
    }

    // Runs job(0) .. job(parts - 1), returning once all are done; the first
    // exception any of them throws is thrown here then.
    template <class Job>
    void run(std::size_t parts, Job& job) {
        detail::PartErrors errors(parts);
        auto call = errors.guard(job);
        std::unique_lock<std::mutex> lock(mutex_);
        running_ = true;
        task_ = &call;
        invoke_ = [](void* task, std::size_t k) { (*static_cast<decltype(call)*>(task))(k); };
        parts_ = parts;
        next_ = 0;
        done_ = 0;
        ++generation_;
        lock.unlock();
        wake_.notify_all();
        lock.lock();
        take_parts(lock);
        finished_.wait(lock, [&] { return done_ == parts_; });
        task_ = nullptr;
        running_ = false;
        lock.unlock();
        errors.rethrow_first();
    }

    std::size_t size() const { return helpers_.size() + 1; }
    // Whether a run is under way (a part of it calling on_threads again).
    bool running() const { return running_; }

private:
    // Runs the parts of the current run nobody has taken, each claimed under
    // the lock (so that no part is ever taken for a run that has ended).
    void take_parts(std::unique_lock<std::mutex>& lock) {
        while (next_ < parts_) {
            const std::size_t k = next_++;
            void* const task = task_;
            void (*const invoke)(void*, std::size_t) = invoke_;
            lock.unlock();
            invoke(task, k);
            lock.lock();
            if (++done_ == parts_) finished_.notify_all();
        }
    }

    void serve() {
        std::size_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            take_parts(lock);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::vector<std::thread> helpers_;
    void* task_ = nullptr;
    void (*invoke_)(void*, std::size_t) = nullptr;
    std::size_t parts_ = 0, next_ = 0, done_ = 0, generation_ = 0;
    bool stopping_ = false, running_ = false;
};

namespace detail {
// The team of the build running on this thread, if any (TeamScope).
inline thread_local ThreadTeam* current_team = nullptr;
}  // namespace detail

// Makes `team` the one on_threads uses on this thread while it lives.
class TeamScope {
public:
    explicit TeamScope(ThreadTeam* team) : previous_(detail::current_team) { detail::current_team = team; }
    TeamScope(const TeamScope&) = delete;
    TeamScope& operator=(const TeamScope&) = delete;
    ~TeamScope() { detail::current_team = previous_; }

private:
    ThreadTeam* previous_;
};

// Runs job(0) .. job(parts - 1) at once, on the current team when there is
// one large enough, else on threads started for them, job(0) on the calling
// thread; the first exception any of them throws is thrown here once all
// are done. A thread that cannot be had leaves its job to the calling
// thread, after the others: each job only needs to run alone, not side by
// side.
template <class Job>
void on_threads(std::size_t parts, Job&& job) {
    ThreadTeam* const team = detail::current_team;
    if (parts > 1 && team != nullptr && !team->running() && team->size() >= parts) {
        team->run(parts, job);
        return;
    }
    detail::PartErrors errors(parts);
    auto guarded = errors.guard(job);
    std::vector<std::thread> running;
    running.reserve(parts);
    std::size_t k = 1;
    try {
        for (; k < parts; ++k) running.emplace_back(guarded, k);
    } catch (const std::system_error&) {
    }
    guarded(0);
    for (std::thread& thread : running) thread.join();
    for (; k < parts; ++k) guarded(k);
    errors.rethrow_first();
}

// How many parts `count` items are split into on `threads` threads: as many
// as there are threads, up to max_threads, but no more than `count` at
// `min_items` a part (rounded up) allow, since a smaller part would not pay
// for its thread; always at least one.
inline std::size_t parts_for_items(std::size_t count, std::size_t threads, std::size_t min_items) {
    const std::size_t least = std::max<std::size_t>(min_items, 1);
    const std::size_t most = (count + least - 1) / least;
    return std::max<std::size_t>(1, std::min({threads, most, max_threads}));
}

// Runs work(first, last) on the parts_for_items contiguous ranges of `count`
// items (their sizes within one of each other) through on_threads, the
// calling thread taking the first.
template <class Work>
void split_over_threads(std::size_t count, std::size_t threads, std::size_t min_items, Work&& work) {
    const std::size_t parts = parts_for_items(count, threads, min_items);
    on_threads(parts, [&](std::size_t part) { work(count * part / parts, count * (part + 1) / parts); });
}

// Runs work(part, first, last) on `parts` contiguous ranges of `count` items
// through on_threads, for work that keeps something per part.
template <class Work>
void on_ranges(std::size_t count, std::size_t parts, Work&& work) {
    parts = std::max<std::size_t>(parts, 1);
    on_threads(parts, [&](std::size_t part) { work(part, count * part / parts, count * (part + 1) / parts); });
}

// Runs work(part, first, last) over `count` items on `parts` parts, in claims
// of `claim` consecutive items: part k sweeps its own stretch of the items
// (the k-th of `parts` about equal ones) claim by claim, then takes the
// unclaimed claims of the others' stretches, theirs from the next one on. Each
// part's items lie together, so that when neighbouring items read the same
// data (a spatial order) each part's caches keep its own: claims taken in turn
// from one counter gave the two threads alternate claims, each rereading
// what the other had just read. A part the system holds back leaves the rest
// of its stretch to the others rather than being waited for.
template <class Work>
void on_claimed_stretches(std::size_t count, std::size_t parts, std::size_t claim, Work&& work) {
    parts = std::clamp<std::size_t>(parts, 1, max_threads);
    claim = std::max<std::size_t>(claim, 1);
    // A cache line each: every claim writes its stretch's counter.
    struct alignas(64) Stretch {
        std::atomic<std::size_t> next;
        std::size_t end;
    };
    Stretch stretches[max_threads];
    for (std::size_t k = 0; k < parts; ++k) {
        stretches[k].next.store(count * k / parts, std::memory_order_relaxed);
        stretches[k].end = count * (k + 1) / parts;
    }
    on_threads(parts, [&](std::size_t part) {
        for (std::size_t step = 0; step < parts; ++step) {
            Stretch& stretch = stretches[(part + step) % parts];
            for (;;) {
                const std::size_t first = stretch.next.fetch_add(claim, std::memory_order_relaxed);
                if (first >= stretch.end) break;
                work(part, first, std::min(stretch.end, first + claim));
            }
        }
    });
}

}  // namespace ornel
