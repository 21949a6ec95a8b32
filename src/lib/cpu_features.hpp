// Which vector paths may run on this processor.
#pragma once

#include <cstdlib>
#include <cstring>

namespace ornel {

// True where the processor has AVX2 and the environment variable
// ORNEL_DISABLE_AVX2 is unset, empty or "0". Every vector path gives the same
// bits, so the switch exists to run the baseline path on machines that have
// AVX2 (the tests force each path on in turn). Read once per process.
inline bool avx2_enabled() {
    static const bool enabled = [] {
        const char* disable = std::getenv("ORNEL_DISABLE_AVX2");
        if (disable != nullptr && disable[0] != '\0' && std::strcmp(disable, "0") != 0) return false;
#if defined(__x86_64__) && defined(__GNUC__)
        return __builtin_cpu_supports("avx2") != 0;
#else
        return false;
#endif
    }();
    return enabled;
}

}  // namespace ornel
