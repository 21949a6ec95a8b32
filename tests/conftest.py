"""Helpers shared by the test modules."""

import numpy as np
from scipy.spatial import Delaunay

import _ornel


def delaunay_graph(points):
    """The vertex adjacency of the Delaunay tetrahedralisation of `points`, as
    the CSR pair (indptr, indices) of uint32 arrays."""
    simplices = Delaunay(points).simplices.astype(np.uint64)
    return _ornel.graph_from_simplices(simplices, len(points))
