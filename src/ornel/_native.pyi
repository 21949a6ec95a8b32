from typing import Any

import numpy as np
import numpy.typing as npt

def delaunay(points: npt.NDArray[Any], *, threads: int | None = None) -> npt.NDArray[np.uint64]: ...
def delaunay_graph(points: npt.NDArray[Any], *, threads: int | None = None) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]: ...
def nearest_from_starts(
    points: npt.NDArray[Any],
    indptr: npt.NDArray[np.uint32],
    indices: npt.NDArray[np.uint32],
    queries: npt.NDArray[np.float64],
    starts: npt.NDArray[np.uint32],
    distance_upper_bound: float | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]: ...
