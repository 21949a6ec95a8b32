// The one place where the core's failures become the messages callers see.
// Each kind has one text, and the texts never change (see lib/failure.hpp).
#include <cstdint>
#include <string>

#include "runtime.hpp"

namespace ornel::py {

namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string count_of(std::uint64_t n, const char* one, const char* many) {
    return number(n) + " " + (n == 1 ? one : many);
}

std::string index_message(std::uint64_t len, std::uint64_t index) {
    return "index out of bounds: the len is " + number(len) + " but the index is " + number(index);
}

}  // namespace

std::string failure_message(const CoreFailure& failure) {
    const std::uint64_t a = failure.value(0), b = failure.value(1), c = failure.value(2);
    switch (failure.kind()) {
        case Failure::index_out_of_bounds:
            return index_message(a, b);
        case Failure::too_few_columns:
            return index_message(a, a);
        case Failure::slice_inverted:
            return "slice index starts at " + number(a) + " but ends at " + number(b);
        case Failure::slice_past_end:
            return "range end index " + number(a) + " out of range for slice of length " + number(b);
        case Failure::capacity_overflow:
            return "capacity overflow";
        case Failure::strided_csr_indptr:
            return "contiguous CSR indptr";
        case Failure::strided_csr_indices:
            return "contiguous CSR neighbours";
        case Failure::strided_target_perm:
            return "contiguous target perm";
        case Failure::strided_query_perm:
            return "contiguous perm";
        case Failure::target_perm_out_of_range:
            return "target_perm[" + number(a) + "] is " + std::to_string(static_cast<std::int64_t>(b)) +
                   ", outside the target's " + number(c) + " points";
        case Failure::target_perm_repeat:
            return "target_perm[" + number(a) + "] repeats entry " + number(b);
        case Failure::query_perms_count:
            return "query_perms has " + count_of(a, "entry", "entries") + " for " +
                   count_of(b, "query cloud", "query clouds");
        case Failure::query_perm_repeat:
            return "query_perms[" + number(a) + "] repeats entry " + number(b);
        case Failure::too_many_points:
            return "graph_from_simplices: " + number(a) + " points exceeds the u32 CSR limit of 4294967295";
        case Failure::too_many_edges:
            return "graph_from_simplices: edge count exceeds u32: TryFromIntError(PosOverflow)";
        case Failure::simplices_changed:
            return "graph_from_simplices: simplices changed while being read";
        case Failure::described:
            return failure.text();
    }
    return failure.text();
}

}  // namespace ornel::py
