"""Interim Delaunay graphs through scipy (Qhull), until the native tetrahedraliser lands.

Points that Qhull leaves out of the tetrahedralisation (duplicates) get the row of
the vertex it names for them plus that vertex, so that no row is empty."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

import _ornel


def delaunay(points: npt.NDArray[Any]) -> npt.NDArray[np.uint64]:
    from scipy.spatial import Delaunay

    simplices: npt.NDArray[np.uint64] = Delaunay(np.asarray(points)[:, :3].astype(np.float64)).simplices.astype(np.uint64)
    return simplices


def delaunay_graph(points: npt.NDArray[Any]) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]:
    from scipy.spatial import Delaunay

    triangulation = Delaunay(np.asarray(points)[:, :3].astype(np.float64))
    indptr, indices = _ornel.graph_from_simplices(triangulation.simplices.astype(np.uint64), len(points))
    left_out = triangulation.coplanar[:, ::2]
    if len(left_out) == 0:
        return indptr, indices
    rows = [indices[indptr[i]:indptr[i + 1]] for i in range(len(points))]
    for point, twin in left_out:
        rows[point] = np.concatenate([[twin], rows[twin]]).astype(np.uint32)
    lengths = np.array([len(r) for r in rows], np.int64)
    return (np.concatenate([[0], np.cumsum(lengths)]).astype(np.uint32),
            np.concatenate(rows).astype(np.uint32))
