"""graph_from_simplices on spatially sorted clouds, the order users build graphs in.

Sorting makes neighbouring vertices' lists sit side by side, which gives the
build's gathering ranges shapes that random ids do not: these sizes once made
it write past its scratch buffer.
"""

import numpy as np
import pytest
from test_graph_from_simplices import assert_matches_scipy


def morton_sorted(points):
    lo, hi = points.min(axis=0), points.max(axis=0)
    q = ((points - lo) / np.where(hi > lo, hi - lo, 1) * 2097151).astype(np.uint64)
    key = np.zeros(len(points), np.uint64)
    for bit in range(21):
        for axis in range(3):
            key |= ((q[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return points[np.argsort(key, kind="stable")]


@pytest.mark.parametrize("n", [3306, 3350, 3420, 5000, 12_000])
@pytest.mark.parametrize("seed", [0, 1])
def test_morton_sorted_clouds_match_scipy(n, seed):
    assert_matches_scipy(morton_sorted(np.random.default_rng(seed).random((n, 3))))
