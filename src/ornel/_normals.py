"""Local planes of a cloud: each point's nearest neighbours over its own graph, and the
normals fitted to them, which point-to-plane registration and signed and plane-model
distances share."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from ornel._native import estimate_normals as native_normals
from ornel._native import knn_self

# Neighbours (the point included) whose spread gives a point's normal.
NORMAL_NEIGHBOURS = 20
# Rounds in which each normal takes the side most of its neighbours' normals take.
ORIENTATION_PASSES = 2
# Candidates the k-nearest search keeps for them.
NORMAL_CANDIDATES = 32


def neighbourhoods(cloud: Any, neighbours: int = NORMAL_NEIGHBOURS, *,
                   threads: int | None = None) -> npt.NDArray[np.uint32]:
    """(n, k) rows of the `neighbours` nearest sorted points of each sorted point (itself
    first), by the exact k-nearest search over the cloud's own graph in double precision
    on `threads` threads (the rows do not depend on their number); fewer than k points
    fill a row with the point itself."""
    n = len(cloud.points)
    k = max(1, min(neighbours, n))
    indptr, indices = cloud.graph("f64", threads=threads)
    _, near = knn_self(cloud.sorted_coordinates("f64"), indptr, indices, k, max(k, NORMAL_CANDIDATES),
                       threads=threads)
    rows: npt.NDArray[np.uint32] = np.where(near < n, near, np.arange(n, dtype=np.uint32)[:, None])
    return rows


def estimate_normals(cloud: Any, neighbours: int = NORMAL_NEIGHBOURS, *,
                     threads: int | None = None) -> npt.NDArray[np.float64]:
    """Unit normals of the cloud's sorted points (rows of `sorted_coordinates("f64")`).

    Each is the direction of least spread (principal component analysis) of the point's
    `neighbours` nearest points, found on the cloud's own graph. Orientation: first away
    from the cloud's centre, then each normal takes the side the normals of its neighbours
    mostly take (twice), which straightens the few that point inwards in hollows. Zero
    where the neighbours do not span a plane (all equal, or on one line): such a point
    then adds nothing to a point-to-plane fit. The neighbours (and the graph, if still to
    build) are searched on `threads` threads; the normals do not depend on their number."""
    normals: npt.NDArray[np.float64] = native_normals(cloud.sorted_coordinates("f64"),
                                                      neighbourhoods(cloud, neighbours, threads=threads),
                                                      ORIENTATION_PASSES)
    normals.flags.writeable = False
    return normals
