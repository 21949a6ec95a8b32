"""`nearest` and `compare` read a caller's arrays where they are: every layout and type
answered as a contiguous float64 copy would be, the caller's arrays never changed, and a
comparison (which outlives the call) never changed by them afterwards."""

import numpy as np
import pytest
from scipy.spatial import cKDTree

import ornel
from ornel._errors import CloudError


def layouts(points):
    """The same points as a caller may hold them."""
    wide = np.concatenate([points, np.ones((len(points), 2))], axis=1)
    every_other = np.repeat(points, 2, axis=0)[::2]
    return {
        "contiguous": points.copy(),
        "float32": points.astype(np.float32),
        "extra columns": wide,
        "strided rows": every_other,
        "fortran": np.asfortranarray(points),
        "read-only": np.lib.stride_tricks.as_strided(points.copy(), writeable=False),
    }


@pytest.mark.parametrize("offset", [0.0, 1e6])
@pytest.mark.parametrize("index", ["grid", "graph"])
@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_every_layout_answered_alike_and_left_alone(offset, index, precision):
    rng = np.random.default_rng(7)
    a, b = rng.random((1500, 3)) + offset, rng.random((2000, 3)) + offset
    for name, (given_a, given_b) in zip(layouts(a), zip(layouts(a).values(), layouts(b).values())):
        before = given_a.copy(), given_b.copy()
        flags = given_a.flags.writeable, given_b.flags.writeable
        # The reference: contiguous rows of the same type.
        plain = np.ascontiguousarray(given_a[:, :3]), np.ascontiguousarray(given_b[:, :3])
        dists, idx = ornel.nearest(given_a, given_b, precision=precision, index=index)
        want_d, want_i = ornel.nearest(*plain, precision=precision, index=index)
        np.testing.assert_array_equal(dists, want_d, err_msg=name)
        if precision == "f64":
            tree, _ = cKDTree(plain[1].astype(np.float64)).query(plain[0].astype(np.float64))
            np.testing.assert_array_equal(dists, tree, err_msg=name)
        result = ornel.compare(given_a, given_b, precision=precision, index=index)
        np.testing.assert_array_equal(result.distance, want_d.astype(np.float64), err_msg=name)
        np.testing.assert_array_equal(result.index, idx, err_msg=name)
        for given, kept, flag in zip((given_a, given_b), before, flags):
            np.testing.assert_array_equal(given, kept, err_msg=name)
            assert given.flags.writeable == flag, name


def test_a_comparison_keeps_its_own_points():
    rng = np.random.default_rng(8)
    a, b = rng.random((800, 3)), rng.random((900, 3))
    result = ornel.compare(a, b, precision="f64")
    plane = result.with_measure(local_model="plane").distance
    kept_a, kept_b = a.copy(), b.copy()
    a += 5.0
    b[:] = 0.0
    for held, kept in ((result.a.points, kept_a), (result.a_points, kept_a), (result.b.points, kept_b)):
        np.testing.assert_array_equal(held, kept)
        assert not held.flags.writeable
    np.testing.assert_array_equal(result.with_measure(local_model="plane").distance, plane)


def test_a_cloud_over_an_array_and_its_copy():
    rng = np.random.default_rng(9)
    points = rng.random((300, 3))
    cloud = ornel.Cloud.over(points, "c")
    assert np.shares_memory(cloud.points, points) and points.flags.writeable and not cloud.points.flags.writeable
    cloud.own()
    points[:] = -1.0
    assert not np.shares_memory(cloud.points, points) and (cloud.points >= 0).all()
    # Converted inputs are copies already; non-finite rows refused as by the constructor.
    assert not np.shares_memory(ornel.Cloud.over(points.astype(np.int32), "i").points, points)
    points[17, 1] = np.nan
    with pytest.raises(CloudError, match="first in point 17"):
        ornel.Cloud.over(points, "bad")


def test_a_loaded_file_changed_afterwards_leaves_the_cloud(tmp_path):
    rng = np.random.default_rng(10)
    points = rng.random((500, 3))
    path = tmp_path / "c.npy"
    np.save(path, points)
    cloud = ornel.Cloud.load(path)
    # A plain array over the same mapping, as a reader may hand it on.
    over_map = ornel.Cloud.over(np.asarray(np.load(path, mmap_mode="r")), "mapped")
    with open(path, "r+b") as file:  # rewritten in place: a mapping of it would see this
        file.seek(-points.nbytes, 2)
        file.write(np.zeros_like(points).tobytes())
    np.testing.assert_array_equal(cloud.points, points)
    np.testing.assert_array_equal(over_map.points, points)


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_all_by_all_of_every_layout(precision):
    rng = np.random.default_rng(11)
    clouds = [rng.random((400 + 50 * k, 3)) + k * 0.1 for k in range(3)]
    given = [list(layouts(c).values())[k + 1] for k, c in enumerate(clouds)]  # three layouts
    before = [g.copy() for g in given]
    matrix = ornel.all_by_all(given, precision=precision)
    want = ornel.all_by_all([np.ascontiguousarray(g[:, :3]) for g in given], precision=precision)
    np.testing.assert_array_equal(matrix.mean, want.mean)
    np.testing.assert_array_equal(matrix.max, want.max)
    for g, kept in zip(given, before):
        np.testing.assert_array_equal(g, kept)
