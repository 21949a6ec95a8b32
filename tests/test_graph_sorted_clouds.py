"""graph_from_simplices on spatially sorted clouds, the order users build graphs in.

Sorting makes neighbouring vertices' lists sit side by side, which gives the
build's gathering ranges shapes that random ids do not: these sizes once made
it write past its scratch buffer.
"""

import numpy as np
import pytest
from delaunay_model import assert_matches_scipy

import ornel


def morton_sorted(points):
    return points[ornel.morton_order(points)]


@pytest.mark.parametrize("n", [3306, 3350, 3420, 5000, 12_000])
@pytest.mark.parametrize("seed", [0, 1])
def test_morton_sorted_clouds_match_scipy(n, seed):
    assert_matches_scipy(morton_sorted(np.random.default_rng(seed).random((n, 3))))
