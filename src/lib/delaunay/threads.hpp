// How the parts of one build are shared out; the threads that run them are the
// core's (parallel_loop.hpp), kept as one team for the build (delaunay.hpp).
#pragma once

#include <algorithm>
#include <cstddef>

#include "../parallel_loop.hpp"

namespace ornel::delaunay {

// How many parts `items` are shared into on `threads` threads: all of them
// from `least` items on, one below (too few to pay for starting threads).
inline std::size_t parts_for(std::size_t items, std::size_t threads, std::size_t least) {
    return threads > 1 && items >= least ? std::min(threads, max_threads) : 1;
}

}  // namespace ornel::delaunay
