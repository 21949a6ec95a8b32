"""Exact references for tetrahedralisations and their graphs, shared by the test modules."""

from fractions import Fraction

import _ornel
import numpy as np
import pytest
from scipy.spatial import ConvexHull, Delaunay


def exact_det(rows):
    """Determinant of a square matrix of Python ints or Fractions, by elimination without rounding."""
    m = [[Fraction(v) for v in row] for row in rows]
    n, det = len(m), Fraction(1)
    for c in range(n):
        pivot = next((r for r in range(c, n) if m[r][c] != 0), None)
        if pivot is None:
            return Fraction(0)
        if pivot != c:
            m[c], m[pivot] = m[pivot], m[c]
            det = -det
        det *= m[c][c]
        for r in range(c + 1, n):
            f = m[r][c] / m[c][c]
            m[r] = [a - f * b for a, b in zip(m[r], m[c])]
    return det


def check_delaunay_exactly(points, tets):
    """Every tetrahedron positively oriented and no point strictly inside any circumsphere, decided
    without rounding (Fractions of the doubles as given); the tetrahedra tile the hull: every face is
    shared by two tetrahedra or lies on the hull, and the volumes add up to the hull's."""
    p = [[Fraction(float(v)) for v in row[:3]] for row in points]
    volume = Fraction(0)
    for t in tets.tolist():
        a = p[t[0]]
        orient = exact_det([[q[k] - a[k] for k in range(3)] for q in (p[t[1]], p[t[2]], p[t[3]])])
        assert orient > 0, f"tetrahedron {t} is flat or inverted"
        volume += orient / 6
        for e in range(len(p)):
            if e in t:
                continue
            rows = [
                [q[k] - p[e][k] for k in range(3)] + [sum((q[k] - p[e][k]) ** 2 for k in range(3))]
                for q in (p[v] for v in t)
            ]
            assert exact_det(rows) >= 0, f"point {e} lies inside the circumsphere of {t}"
    faces = {}
    for t in tets.tolist():
        for skip in range(4):
            face = tuple(sorted(t[:skip] + t[skip + 1 :]))
            faces[face] = faces.get(face, 0) + 1
    assert max(faces.values()) <= 2
    hull = {face for face, count in faces.items() if count == 1}
    # The faces used once close a surface: each of its edges is on exactly two of them.
    edges = {}
    for face in hull:
        for skip in range(3):
            edge = face[:skip] + face[skip + 1 :]
            edges[edge] = edges.get(edge, 0) + 1
    assert set(edges.values()) == {2}
    # The cones from one point over the outward hull faces add up to the volume they enclose.
    enclosed = Fraction(0)
    for t in tets.tolist():
        for skip in range(4):
            if tuple(sorted(t[:skip] + t[skip + 1 :])) in hull:
                q = [p[v] for v in t]
                q[skip] = p[0]
                enclosed += exact_det([[q[i][k] - q[0][k] for k in range(3)] for i in (1, 2, 3)]) / 6
    assert volume == enclosed
    if abs(volume) < 1e300:
        hull_volume = ConvexHull(np.asarray(points, np.float64)[:, :3]).volume
        assert float(volume) == pytest.approx(hull_volume, rel=1e-9, abs=1e-300)


def assert_matches_scipy(points):
    triangulation = Delaunay(points)
    assert len(triangulation.simplices) > 0
    scipy_indptr, scipy_indices = triangulation.vertex_neighbor_vertices
    indptr, indices = _ornel.graph_from_simplices(triangulation.simplices.astype(np.uint64), len(points))
    np.testing.assert_array_equal(indptr, scipy_indptr)
    for v in range(len(points)):
        expected = np.sort(scipy_indices[scipy_indptr[v] : scipy_indptr[v + 1]])
        np.testing.assert_array_equal(indices[indptr[v] : indptr[v + 1]], expected)
