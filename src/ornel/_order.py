"""Spatial orders of point clouds."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


def morton_order(points: npt.ArrayLike) -> npt.NDArray[np.intp]:
    """Permutation (sorted position -> original index) that sorts `points` along a
    Z-order curve of 21 bits per axis, over their bounding box.

    Neighbouring points then get neighbouring indices, which is what the searches
    want of both the query cloud and the target cloud."""
    coords: npt.NDArray[Any] = np.asarray(points)[:, :3].astype(np.float64)
    if len(coords) == 0:
        return np.zeros(0, np.intp)
    lo, hi = coords.min(axis=0), coords.max(axis=0)
    q = ((coords - lo) / np.where(hi > lo, hi - lo, 1) * 2097151).astype(np.uint64)
    key = np.zeros(len(coords), np.uint64)
    for bit in range(21):
        for axis in range(3):
            key |= ((q[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return np.argsort(key, kind="stable")
