// Running the parts of one build side by side.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace ornel::delaunay {

inline constexpr std::size_t max_threads = 64;

// How many parts `items` are shared into on `threads` threads: all of them
// from `least` items on, one below (too few to pay for starting threads).
inline std::size_t parts_for(std::size_t items, std::size_t threads, std::size_t least) {
    return threads > 1 && items >= least ? std::min(threads, max_threads) : 1;
}

// Runs job(0) .. job(parts - 1) at once, job(0) on the calling thread;
// the first exception any of them throws is thrown here once all are done.
// A thread that cannot be had leaves its job to the calling thread, after
// the others: each job only needs to run alone, not side by side.
template <class Job>
void on_threads(std::size_t parts, Job&& job) {
    std::vector<std::exception_ptr> errors(parts);
    auto guarded = [&](std::size_t k) {
        try {
            job(k);
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
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
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
}

}  // namespace ornel::delaunay
