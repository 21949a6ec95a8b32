// How the k-nearest search reads a target's neighbour list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ornel {

// How a search reads the target's rows: through the neighbour list's stride,
// at unit stride, or, on a well-formed graph (GraphOperand::well_formed),
// without any check.
enum class RowAccess { strided, unit_stride, well_formed };

// The target's neighbour list, read through its stride, or at one element
// per entry when the stride is known to be that, which saves a multiplication
// per read.
template <RowAccess access>
struct NeighbourReader {
    const char* data;
    std::ptrdiff_t stride;
    std::uint32_t operator[](std::uint64_t i) const {
        std::uint32_t value;
        const std::ptrdiff_t step = access == RowAccess::strided ? stride : static_cast<std::ptrdiff_t>(sizeof value);
        std::memcpy(&value, data + static_cast<std::ptrdiff_t>(i) * step, sizeof value);
        return value;
    }
};

}  // namespace ornel
