// The walk of the query cloud's own graph that orders and seeds the searches.
//
// Query points are taken depth first along the query graph: a root is the
// lowest-numbered point not yet discovered; after a point is answered, its
// undiscovered neighbours are marked and pushed with the seed its answer gives,
// so each search starts next to the answer of a neighbouring query point. A
// point is marked when pushed, so it is answered exactly once, and the stack
// never holds more than nq entries. Cost: O(nq + query edges) besides the
// searches.
#pragma once

#include <cstdint>

#include "buffer.hpp"
#include "csr.hpp"
#include "failure.hpp"

namespace ornel {

enum class DecreasingRows { fail, read_as_empty };

struct IgnorePushed {
    void operator()(std::uint64_t, std::uint64_t) const {}
};

struct QueryWalk {
    struct Pending {
        std::uint64_t seed;
        std::uint64_t query;
    };

    explicit QueryWalk(std::size_t nq) : marks(nq, 0), stack(nq) {}

    Buffer<std::uint8_t> marks;
    Buffer<Pending> stack;

    // Calls answer(seed, q) once for every q < nq; it returns the seed handed
    // to the points q discovers. Each root is seeded with `root_seed` as it
    // stands when the root is reached: the callback may move it on, hence the
    // reference. pushed(seed, q) hears of every point as it is discovered
    // (roots included), in the order of discovery.
    template <DecreasingRows decreasing_rows, class Answer, class Pushed = IgnorePushed>
    void run(const CsrArray& indptr, const CsrArray& indices, std::uint64_t& root_seed, Answer&& answer,
             Pushed&& pushed = {}) {
        const std::size_t nq = marks.size();
        std::size_t top = 0;
        for (std::size_t cursor = 0; cursor < nq; ++cursor) {
            if (marks[cursor]) continue;
            marks[cursor] = 1;
            pushed(root_seed, cursor);
            stack[top++] = {root_seed, cursor};
            while (top > 0) {
                const Pending pending = stack[--top];
                const std::uint64_t q = pending.query;
                const std::uint64_t seed_for_neighbours = answer(pending.seed, q);
                // q < nq, so both offsets are inside the nq + 1 entries.
                std::uint64_t begin = indptr[q];
                std::uint64_t end = indptr[q + 1];
                // Read as empty, a row is only checked against the neighbour
                // list when it holds something.
                if (decreasing_rows == DecreasingRows::read_as_empty && end <= begin) continue;
                check_slice(begin, end, indices.len);
                for (std::uint64_t i = begin; i < end; ++i) {
                    const std::uint64_t m = indices[i];
                    check_index(m, nq);
                    if (marks[m]) continue;
                    marks[m] = 1;
                    pushed(seed_for_neighbours, m);
                    stack[top++] = {seed_for_neighbours, m};
                }
            }
        }
    }
};

}  // namespace ornel
