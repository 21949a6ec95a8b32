// Bit interleaving for Z-order (Morton) keys, shared by the grouped query set
// and the tetrahedraliser's insertion order.
#pragma once

#include <cstdint>

namespace ornel {

// Spreads the low 21 bits of v so that bit i lands on bit 3i.
inline std::uint64_t spread_bits_21(std::uint64_t v) {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x001f00000000ffffull;
    v = (v | v << 16) & 0x001f0000ff0000ffull;
    v = (v | v << 8) & 0x100f00f00f00f00full;
    v = (v | v << 4) & 0x10c30c30c30c30c3ull;
    v = (v | v << 2) & 0x1249249249249249ull;
    return v;
}

}  // namespace ornel
