"""A cloud's bounding box, measured a block of rows at a time, equals NumPy's reduction
of the whole array: every size around the block's, both precisions, far from the origin,
with a NaN or an infinity anywhere (NaN wins its column, as in NumPy)."""

import numpy as np
import pytest

from ornel import _cloud


@pytest.mark.parametrize("block", [7, _cloud.BOX_BLOCK_ROWS])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_the_box_equals_numpys_reduction_of_every_row(monkeypatch, block, dtype):
    monkeypatch.setattr(_cloud, "BOX_BLOCK_ROWS", block)
    rng = np.random.default_rng(block)
    for n in sorted({1, 2, block - 1, block, block + 1, 2 * block + 5, 3 * block}):
        if n < 1:
            continue
        for offset in (0.0, 3e5, -6e6):
            wide = (rng.normal(size=(n, 4)) * 10 + offset).astype(dtype)
            for points in (np.ascontiguousarray(wide[:, :3]), wide[:, :3]):  # rows apart too
                spoilt = points.copy()
                for value in (None, np.nan, np.inf, -np.inf):
                    if value is not None:
                        spoilt[rng.integers(n), rng.integers(3)] = value
                    lo, hi = _cloud.bounding_box(spoilt)
                    assert lo.dtype == hi.dtype == np.float64
                    np.testing.assert_array_equal(lo, spoilt.min(axis=0).astype(np.float64))
                    np.testing.assert_array_equal(hi, spoilt.max(axis=0).astype(np.float64))
