// Work split over threads in contiguous parts: the calling thread takes the
// first part, helpers the others. A failure in any part is rethrown once all
// have finished, the lowest part's first, so what a caller sees does not
// depend on the number of threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace ornel {

// How many parts `count` items make for `threads` threads when a part should
// hold at least `min_items` (at least one part).
inline std::size_t part_count(std::size_t count, std::size_t threads, std::size_t min_items) {
    const std::size_t most = std::max<std::size_t>(1, count / std::max<std::size_t>(min_items, 1));
    return std::max<std::size_t>(1, std::min(threads, most));
}

// Runs work(part, first, last) on each of `parts` contiguous ranges of `count`.
template <class Work>
void run_in_parts(std::size_t count, std::size_t parts, Work&& work) {
    parts = std::max<std::size_t>(parts, 1);
    std::vector<std::exception_ptr> failures(parts);
    auto run_part = [&](std::size_t part) {
        try {
            work(part, count * part / parts, count * (part + 1) / parts);
        } catch (...) {
            failures[part] = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(parts - 1);
        for (std::size_t part = 1; part < parts; ++part) helpers.emplace_back(run_part, part);
        run_part(0);
    }  // joined here, also when starting a thread failed
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace ornel
