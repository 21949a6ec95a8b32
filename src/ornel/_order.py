"""Spatial orders of point clouds."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ornel._native import morton_order as native_morton_order


def morton_order(points: npt.ArrayLike) -> npt.NDArray[np.intp]:
    """Permutation (sorted position -> original index) that sorts `points` along a
    Z-order curve of 21 bits per axis, over their bounding box.

    Neighbouring points then get neighbouring indices, which is what the searches
    want of both the query cloud and the target cloud."""
    array = np.asarray(points)
    if array.ndim != 2 or array.shape[1] < 3:
        raise ValueError(f"expected points of shape (n, 3); got shape {array.shape}")
    if array.dtype not in (np.float32, np.float64):
        array = array.astype(np.float64)
    order: npt.NDArray[np.intp] = native_morton_order(array).astype(np.intp, copy=False)
    return order
