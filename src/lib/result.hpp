// What every search returns: distances (square roots, in S) and target
// indices, one per query point for the single-nearest searches, `k` per query
// point, row-major, for the k-nearest search. A miss is (+inf, number of
// target points). The buffers are handed to the caller as they are.
#pragma once

#include <cstdint>

#include "buffer.hpp"

namespace ornel {

template <class S>
struct SearchResult {
    Buffer<S> dists;
    Buffer<std::uint64_t> idx;
};

}  // namespace ornel
