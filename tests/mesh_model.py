"""A brute-force reference for point-to-mesh distances: every query against every
triangle, by the region method of Ericson (Real-Time Collision Detection, 5.1.5), in
NumPy, the same operations in the same order as the native search, so that double
precision answers agree bit for bit."""

from __future__ import annotations

from typing import Any

import numpy as np

Array = Any


def _dot(u: Array, v: Array) -> Array:
    return u[..., 0] * v[..., 0] + u[..., 1] * v[..., 1] + u[..., 2] * v[..., 2]


def _at(p: Array, a: Array, ab: Array, ac: Array, v: Array, w: Array) -> Array:
    c = a + ab * v[..., None] + ac * w[..., None]
    d = p - c
    return _dot(d, d)


def _segment(p: Array, start: Array, along: Array) -> Array:
    length2 = _dot(along, along)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = _dot(p - start, along) / length2
    t = np.where(t <= 0, 0.0, np.where(t >= 1, 1.0, t)).astype(p.dtype)
    return np.where(length2 > 0, t, np.zeros((), p.dtype))


def closest_squared(p: Array, a: Array, b: Array, c: Array) -> Array:
    """Squared distances of points p (q, 1, 3) to triangles a, b, c (1, m, 3): (q, m)."""
    zero, one = np.zeros((), p.dtype), np.ones((), p.dtype)
    ab, ac, ap = b - a, c - a, p - a
    d1, d2 = _dot(ab, ap), _dot(ac, ap)
    bp = p - b
    d3, d4 = _dot(ab, bp), _dot(ac, bp)
    cp = p - c
    d5, d6 = _dot(ab, cp), _dot(ac, cp)
    vc = d1 * d4 - d3 * d2
    vb = d5 * d2 - d1 * d6
    va = d3 * d6 - d5 * d4
    with np.errstate(invalid="ignore", divide="ignore"):
        # The regions in the native test order: each case is taken where none before it is.
        cases = []
        cases.append(((d1 <= 0) & (d2 <= 0), lambda: _dot(ap, ap)))
        cases.append(((d3 >= 0) & (d4 <= d3), lambda: _dot(bp, bp)))
        span_ab = d1 - d3
        v_ab = np.where(span_ab > 0, d1 / span_ab, zero)
        cases.append(((vc <= 0) & (d1 >= 0) & (d3 <= 0), lambda: _at(p, a, ab, ac, v_ab, zero * v_ab)))
        cases.append(((d6 >= 0) & (d5 <= d6), lambda: _dot(cp, cp)))
        span_ca = d2 - d6
        w_ca = np.where(span_ca > 0, d2 / span_ca, zero)
        cases.append(((vb <= 0) & (d2 >= 0) & (d6 <= 0), lambda: _at(p, a, ab, ac, zero * w_ca, w_ca)))
        from_b, from_c = d4 - d3, d5 - d6
        span_bc = from_b + from_c
        w_bc = np.where(span_bc > 0, from_b / span_bc, zero)
        cases.append(((va <= 0) & (from_b >= 0) & (from_c >= 0), lambda: _at(p, a, ab, ac, one - w_bc, w_bc)))
        area = va + vb + vc
        v, w = vb / area, vc / area
        u = one - v - w
        cases.append(((area > 0) & (v >= 0) & (w >= 0) & (u >= 0), lambda: _at(p, a, ab, ac, v, w)))
        # No face region: the nearest edge.
        bc = c - b
        t_ab, t_bc, t_ca = _segment(p, a, ab), _segment(p, b, bc), _segment(p, a, ac)
        d_ab = _at(p, a, ab, ac, t_ab, zero * t_ab)
        d_bc = _at(p, b, bc, ac, t_bc, zero * t_bc)
        d_ca = _at(p, a, ab, ac, zero * t_ca, t_ca)
        edges = d_ab
        edges = np.where(d_bc < edges, d_bc, edges)
        edges = np.where(d_ca < edges, d_ca, edges)
        result = edges
        for mask, value in reversed(cases):
            result = np.where(mask, value(), result)
        # A repeated corner (an edge of zero length): the nearest edge, whatever the regions say.
        repeated = (_dot(ab, ab) == 0) | (_dot(ac, ac) == 0) | (_dot(bc, bc) == 0)
        result = np.where(repeated, edges, result)
    return result


def brute_force(points: Array, vertices: Array, triangles: Array, chunk: int = 4_000_000) -> tuple[Array, Array]:
    """(distances, triangles) of every point's closest triangle, ties to the lowest
    triangle, in the points' floating type.

    Every triangle is measured that could be nearest: those whose bounding box is no
    farther than the point's nearest vertex (an upper bound of the answer) plus the
    rounding of a computed closest point (a needle's, whose face region rounds away, may
    lie a few units in the last place of the coordinates off its own vertex); the others
    cannot hold a closer point."""
    dtype = points.dtype
    triangles = np.asarray(triangles)
    corners = vertices[triangles].astype(dtype)
    lo, hi = corners.min(axis=1).astype(np.float64), corners.max(axis=1).astype(np.float64)
    used = vertices[np.unique(triangles)].astype(np.float64)
    distance = np.empty(len(points), dtype)
    nearest = np.empty(len(points), np.int64)
    rows = max(1, chunk // max(len(triangles), len(used)))
    for start in range(0, len(points), rows):
        p = points[start : start + rows, :3]
        p64 = p.astype(np.float64)
        bound = np.min(((p64[:, None, :] - used[None]) ** 2).sum(axis=2), axis=1)
        rounding = 64 * np.finfo(dtype).eps * max(np.abs(used).max(), np.abs(p64).max())
        bound = (np.sqrt(bound) + rounding) ** 2
        gap = np.maximum(np.maximum(lo[None] - p64[:, None], p64[:, None] - hi[None]), 0)
        candidate = (gap**2).sum(axis=2) <= bound[:, None] * (1 + 1e-6) + 1e-300
        query, triangle = np.nonzero(candidate)
        squared = closest_squared(p[query], corners[triangle, 0], corners[triangle, 1], corners[triangle, 2])
        order = np.lexsort((triangle, squared, query))  # by query, then distance, then triangle
        first = order[np.r_[True, query[order][1:] != query[order][:-1]]]
        nearest[start + query[first]] = triangle[first]
        distance[start + query[first]] = np.sqrt(squared[first])
    return distance, nearest


def _unit(vectors: Array) -> Array:
    length = np.linalg.norm(vectors, axis=-1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(length > 0, vectors / length, 0.0)


def _welded(points: Array) -> tuple[Array, int]:
    _, ids = np.unique(points + 0.0, axis=0, return_inverse=True)  # + 0.0: -0 is 0
    return ids.reshape(-1), int(ids.max()) + 1


def pseudo_normals(vertices: Array, triangles: Array) -> Array:
    """(m, 7, 3) angle-weighted pseudo-normals (Bærentzen and Aanæs 2005) by their
    definition, in NumPy: per triangle its face, corners a b c (the angle-weighted sum of
    the faces at the welded vertex) and edges ab bc ca (the sum of the faces on the edge,
    either way round), each unit or zero."""
    welded, count = _welded(vertices)
    corners = welded[triangles]
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    face = _unit(np.cross(b - a, c - a))
    normals = np.zeros((len(triangles), 7, 3))
    normals[:, 0] = face
    at_vertex = np.zeros((count, 3))
    for k, (here, after, before) in enumerate(((a, b, c), (b, c, a), (c, a, b))):
        cosine = np.einsum("ij,ij->i", _unit(after - here), _unit(before - here))
        np.add.at(at_vertex, corners[:, k], np.arccos(np.clip(cosine, -1.0, 1.0))[:, None] * face)
    at_vertex = _unit(at_vertex)
    for k in range(3):
        normals[:, 1 + k] = at_vertex[corners[:, k]]
    ends = np.sort(np.stack([corners[:, [0, 1]], corners[:, [1, 2]], corners[:, [2, 0]]], axis=1).reshape(-1, 2), 1)
    _, edge = np.unique(ends, axis=0, return_inverse=True)
    edge = edge.reshape(-1)
    on_edge = np.zeros((int(edge.max()) + 1, 3))
    np.add.at(on_edge, edge, np.repeat(face, 3, axis=0))
    normals[:, 4:7] = _unit(on_edge)[edge].reshape(-1, 3, 3)
    return normals


def winding_numbers(points: Array, vertices: Array, triangles: Array) -> Array:
    """The generalised winding number of each point (Van Oosterom and Strackee's solid
    angle of each triangle, summed over 4 pi): 1 inside a closed counter-clockwise mesh,
    0 outside, whatever the closest feature."""
    total = np.zeros(len(points))
    corners = vertices[triangles]
    for start in range(0, len(points), 32):
        p = points[start : start + 32, None, None, :]
        r = corners[None] - p  # (q, m, 3, 3)
        length = np.linalg.norm(r, axis=-1)
        a, b, c = r[..., 0, :], r[..., 1, :], r[..., 2, :]
        la, lb, lc = length[..., 0], length[..., 1], length[..., 2]
        numerator = np.einsum("qmi,qmi->qm", a, np.cross(b, c))
        denominator = la * lb * lc + _dot(a, b) * lc + _dot(b, c) * la + _dot(c, a) * lb
        total[start : start + 32] = 2 * np.arctan2(numerator, denominator).sum(axis=1)
    return total / (4 * np.pi)
