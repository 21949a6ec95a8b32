// Points equal to an earlier one. The first of a group of equal points (the
// smallest index) is the vertex of the tetrahedralisation; the others are
// recorded against it and get its neighbours in the graph.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../csr.hpp"
#include "../failure.hpp"
#include "mesh.hpp"

namespace ornel::delaunay {

class Duplicates {
public:
    explicit Duplicates(std::size_t n_points) : n_(n_points) {}

    void record(std::uint32_t point, std::uint32_t vertex) {
        if (representative_.empty()) {
            representative_.resize(n_ + 1);
            for (std::size_t i = 0; i <= n_; ++i) representative_[i] = static_cast<std::uint32_t>(i);
        }
        representative_[point] = vertex;
    }

    bool empty() const { return representative_.empty(); }

    // The graph over all points from the graph over the vertices: every
    // point of a group of equal points lists the others and every member of
    // the groups its representative lists.
    CsrGraph spread(const Buffer<std::uint32_t>& indptr, const Buffer<std::uint32_t>& indices) const {
        const std::size_t n = n_;
        const Groups groups = make_groups();
        CsrGraph out{Buffer<std::uint32_t>(n + 1), {}};
        std::size_t total = 0;
        out.indptr[0] = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t r = groups.representative(i);
            std::size_t row = groups.size(r) - 1;
            for (std::uint32_t k = indptr[r]; k < indptr[r + 1]; ++k) row += groups.size(indices[k]);
            total += row;
            if (total > 0xFFFFFFFFu) fail(Failure::too_many_adjacency_entries);
            out.indptr[i + 1] = static_cast<std::uint32_t>(total);
        }
        out.indices = Buffer<std::uint32_t>(total);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t r = groups.representative(i);
            std::uint32_t* row = out.indices.data() + out.indptr[i];
            std::uint32_t* end = row;
            for (std::uint32_t m = r; m != infinite_vertex; m = groups.next(m))
                if (m != i) *end++ = m;
            for (std::uint32_t k = indptr[r]; k < indptr[r + 1]; ++k)
                for (std::uint32_t m = indices[k]; m != infinite_vertex; m = groups.next(m)) *end++ = m;
            std::sort(row, end);
        }
        return out;
    }

private:
    // Points grouped by equal coordinates, each group chained from its representative.
    struct Groups {
        std::vector<std::uint32_t> representative_of;  // empty: no duplicates
        std::vector<std::uint32_t> next_member;        // ascending chains, ended by infinite_vertex
        std::vector<std::uint32_t> members;

        std::uint32_t representative(std::uint32_t i) const {
            return representative_of.empty() ? i : representative_of[i];
        }
        std::uint32_t next(std::uint32_t i) const { return next_member.empty() ? infinite_vertex : next_member[i]; }
        std::size_t size(std::uint32_t r) const { return members.empty() ? 1 : members[r]; }
    };

    Groups make_groups() const {
        Groups groups;
        if (representative_.empty()) return groups;
        const std::size_t n = n_;
        groups.representative_of.assign(representative_.begin(),
                                        representative_.begin() + static_cast<std::ptrdiff_t>(n));
        groups.next_member.assign(n, infinite_vertex);
        groups.members.assign(n, 0);
        std::vector<std::uint32_t> tail(n, infinite_vertex);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t r = groups.representative_of[i];
            // Chains start at their representative: it must be the smallest index.
            if (r > i || groups.representative_of[r] != r) fail(Failure::duplicate_out_of_order);
            ++groups.members[r];
            if (tail[r] != infinite_vertex) groups.next_member[tail[r]] = i;
            tail[r] = i;
        }
        return groups;
    }

    std::size_t n_;
    std::vector<std::uint32_t> representative_;  // per point (and the helper point), once one is recorded
};

}  // namespace ornel::delaunay
