// A target vertex found for a query point, with its squared distance: what a
// descent step returns and what a k-nearest result list holds.
#pragma once

#include <cstdint>

namespace ornel {

template <class S>
struct Candidate {
    std::uint32_t vertex;
    S squared_distance;
};

}  // namespace ornel
