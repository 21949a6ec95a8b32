// The predicates of the insertion on tetrahedra, with the infinite vertex and
// symbolic perturbation.
//
// Degenerate input (four or more points on a sphere, coplanar points on the
// hull) is resolved by symbolic perturbation: the lifted coordinate of the
// point with index i is raised by eps^(n - i) for an infinitesimal eps, so a
// zero insphere determinant is decided by orientation signs, and the result is
// the Delaunay tetrahedralisation of the perturbed points, which is a Delaunay
// tetrahedralisation of the points as given, and the same whatever the order
// of insertion. The infinite vertex acts as a point beyond the hull with the
// smallest perturbation of all.
#pragma once

#include <algorithm>
#include <cstdint>

#include "mesh.hpp"
#include "predicates.hpp"

namespace ornel::delaunay {

// Orientation of t with its vertex at `position` replaced by point p.
inline int orient_replaced(Predicates& predicates, const Tetrahedron& t, int position, std::uint32_t p) {
    // The face opposite `position`, ordered so that the orientation of the
    // face and p is that of t with p in place of the vertex.
    static constexpr std::uint8_t face[4][3] = {{1, 3, 2}, {0, 2, 3}, {0, 3, 1}, {0, 1, 2}};
    const std::uint8_t* k = face[position];
    return predicates.orient3d(t.vertex[k[0]], t.vertex[k[1]], t.vertex[k[2]], p);
}

// Sign of the perturbed insphere of the five rows, decided by the
// orientation cofactors in order of decreasing perturbation. `virtual_row`
// (or -1) is a point beyond the plane of the other finite rows, opposite
// to `mirror`: orientations through it are those through `mirror`, negated.
// `index` names each row's point as the caller did: the perturbation
// follows the caller's indices, not the order the points are stored in, so
// that the result does not depend on that order.
[[gnu::noinline]] inline int perturbed_insphere(Predicates& predicates, const std::uint32_t* rows, int virtual_row,
                                                std::uint32_t mirror, const std::uint32_t* index) {
    int by_rank[5] = {0, 1, 2, 3, 4};
    std::sort(by_rank, by_rank + 5, [&](int a, int b) {
        if (a == virtual_row) return false;  // the virtual row has the smallest perturbation
        if (b == virtual_row) return true;
        return index[rows[a]] > index[rows[b]];
    });
    for (int r = 0; r < 5; ++r) {
        const int i = by_rank[r];
        if (i == virtual_row) break;
        std::uint32_t rest[4];
        int negate = 1;
        for (int j = 0, k = 0; j < 5; ++j) {
            if (j == i) continue;
            if (j == virtual_row) {
                rest[k++] = mirror;
                negate = -1;
            } else {
                rest[k++] = rows[j];
            }
        }
        const int o = negate * predicates.orient3d(rest[0], rest[1], rest[2], rest[3]);
        // The lifted determinant gains eps^rank * (-1)^i * o; insphere is minus its sign.
        if (o != 0) return (i & 1) ? o : -o;
    }
    return -1;  // unreachable for distinct points: treat as outside
}

// in_conflict for a finite t that the floating-point stage leaves open:
// out of line, and reading t's vertices again, so that the common path
// keeps none of them in registers past its filter.
[[gnu::noinline]] inline bool in_conflict_close(Predicates& predicates, const Tetrahedron& t, std::uint32_t p,
                                                const std::uint32_t* index) {
    const int s = predicates.insphere_careful(t.vertex[0], t.vertex[1], t.vertex[2], t.vertex[3], p);
    if (s != 0) return s > 0;
    const std::uint32_t rows[5] = {t.vertex[0], t.vertex[1], t.vertex[2], t.vertex[3], p};
    return perturbed_insphere(predicates, rows, -1, 0, index) > 0;
}

// in_conflict for an infinite t (its infinite vertex at position k) whose
// hull face's plane holds p: rare, so out of line.
[[gnu::noinline]] inline bool on_hull_plane_in_conflict(Predicates& predicates, const Tetrahedron* tets,
                                                        const Tetrahedron& t, int k, std::uint32_t p,
                                                        const std::uint32_t* index) {
    // The hull face's circumcircle, cut by the sphere of the solid
    // neighbour, decides.
    const std::uint32_t reference = t.neighbour[k];
    const Tetrahedron& solid = tets[reference >> 2];
    const int s = predicates.insphere(solid.vertex[0], solid.vertex[1], solid.vertex[2], solid.vertex[3], p);
    if (s != 0) return s > 0;
    const std::uint32_t mirror = solid.vertex[reference & 3];
    std::uint32_t rows[5] = {t.vertex[0], t.vertex[1], t.vertex[2], t.vertex[3], p};
    rows[k] = infinite_vertex;
    return perturbed_insphere(predicates, rows, k, mirror, index) > 0;
}

// True when p lies inside the perturbed circumsphere of t (of `tets`); for an
// infinite t, when p sees its hull face or lies inside the circumcircle of
// that face as the perturbation decides.
// `wide`: as Predicates::insphere. `index`: as perturbed_insphere.
template <bool wide = true>
bool in_conflict(Predicates& predicates, const Tetrahedron* tets, const Tetrahedron& t, std::uint32_t p,
                 const std::uint32_t* index) {
    if (!is_infinite(t)) {
        const int s = predicates.template insphere_filtered<wide>(t.vertex, p);
        if (s != Predicates::undecided) return s > 0;  // never zero
        return in_conflict_close(predicates, t, p, index);
    }
    const int k = t.vertex[0] == infinite_vertex ? 0 : 3;
    const int o = orient_replaced(predicates, t, k, p);
    if (o != 0) return o > 0;
    return on_hull_plane_in_conflict(predicates, tets, t, k, p, index);
}

}  // namespace ornel::delaunay
