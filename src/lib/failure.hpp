// The one failure type of the search core.
//
// A `CoreFailure` means an operand broke an assumption the core relies on (a
// malformed graph, an index out of range, a strided array that must be read in
// place, a size limit). The message is the text the caller sees; the Python
// frame turns it into `PanicException`. Out-of-memory is reported separately,
// as std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace ornel {

class CoreFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) { throw CoreFailure(message); }

[[noreturn, gnu::cold, gnu::noinline]] inline void fail_index(std::uint64_t len, std::uint64_t index) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index));
}

// Reading index `index` of something `len` long: one predictable compare.
inline void check_index(std::uint64_t index, std::uint64_t len) {
    if (index >= len) [[unlikely]]
        fail_index(len, index);
}

[[noreturn, gnu::cold, gnu::noinline]] inline void fail_slice(std::uint64_t start, std::uint64_t end,
                                                              std::uint64_t len) {
    if (start > end)
        fail("slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end));
    fail("range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(len));
}

// The checks of taking the slice [start, end) of something `len` long, in the
// order a reader meets them: an inverted range first, then one that runs past
// the end. Inlined on the fast path; the messages are built out of line.
inline void check_slice(std::uint64_t start, std::uint64_t end, std::uint64_t len) {
    if (start > end || end > len) [[unlikely]]
        fail_slice(start, end, len);
}

[[noreturn]] inline void fail_capacity_overflow() { fail("capacity overflow"); }

}  // namespace ornel
