// CPU dispatch, written once: every vector kernel is compiled for the baseline
// instruction set and for AVX2, and one of the two is picked at run time.
//
// A kernel is a class with a static member template
//
//     template <std::size_t vector_bytes>
//     [[gnu::always_inline]] static R run(Args... args);
//
// always inlined, so that its whole body is compiled inside each of the two
// entry functions of `Dispatch<Kernel, R, Args...>`: `baseline` (16-byte
// vectors, the portable build's instructions) and `avx2` (32-byte vectors,
// compiled for AVX2). Kernels that work in fixed-size vectors ignore
// `vector_bytes` and still gain AVX2's instructions on them. `pick()` returns
// the entry for this processor, to be called as often as needed. Both entries
// compute the same bits: no fused multiply-add either way (the build forbids
// contraction), and the same operations in the same order, lane by lane.
#pragma once

#include <cstddef>
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

// The entry for this processor of a kernel's two.
template <class Entry>
Entry pick_entry(Entry baseline, [[maybe_unused]] Entry avx2) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (avx2_enabled()) return avx2;
#endif
    return baseline;
}

template <class Kernel, class R, class... Args>
struct Dispatch {
    using Entry = R (*)(Args...);

    static R baseline(Args... args) { return Kernel::template run<16>(args...); }

#if defined(__x86_64__) && defined(__GNUC__)
    __attribute__((target("avx2"))) static R avx2(Args... args) { return Kernel::template run<32>(args...); }
    static Entry pick() { return pick_entry<Entry>(&baseline, &avx2); }
#else
    static Entry pick() { return &baseline; }
#endif
};

// The same for a kernel whose body calls functions of its own, as deep as
// the tetrahedraliser's insertion (walk, cavity, predicates): each entry is
// flattened, every call inlined into it, so that all of it is compiled for
// the entry's instructions, not only the kernel's top.
template <class Kernel, class R, class... Args>
struct FlatDispatch {
    using Entry = R (*)(Args...);

    [[gnu::flatten, gnu::noinline]] static R baseline(Args... args) { return Kernel::template run<16>(args...); }

#if defined(__x86_64__) && defined(__GNUC__)
    [[gnu::flatten, gnu::noinline, gnu::target("avx2")]] static R avx2(Args... args) {
        return Kernel::template run<32>(args...);
    }
    static Entry pick() { return pick_entry<Entry>(&baseline, &avx2); }
#else
    static Entry pick() { return &baseline; }
#endif
};

}  // namespace ornel
